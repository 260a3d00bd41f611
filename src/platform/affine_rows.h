// Affine sampling one result row at a time (internal): the rows of
// vfAffineTransformImage, for callers that consume each row as it is made
// (to subtract it from another image, say) instead of storing the result.
#pragma once

#include <cstdint>
#include <memory>

#include "imgnorm/affine.h"
#include "imgnorm/pelbuffer.h"

namespace vk_detail {

class AffineRowSampler {
public:
    // The source must stay alive and unchanged while rows are taken. An
    // unbound or empty source throws vkPel::UnboundWindow or vkPel::BadWindow;
    // a degenerate rectangle vkPelFunc::BadParams.
    AffineRowSampler(const vkPelBuffer_const<std::uint8_t>& source, const vkAffineSamplingParams& params);
    ~AffineRowSampler();
    AffineRowSampler(const AffineRowSampler&) = delete;
    AffineRowSampler& operator=(const AffineRowSampler&) = delete;

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    // The result's client-from-image transform (see affine.h).
    const vkXform<2>& clientFromGrid() const { return clientFromGrid_; }
    // Writes row j (0 <= j < height()) of the result, width() pixels, to out:
    // the same values vfAffineTransformImage gives, bit for bit. Rows taken
    // in increasing order reuse the interpolated source rows they share.
    void row(std::int32_t j, std::uint8_t* out);
    // True when row j (j > 0) is by construction equal to row j - 1.
    bool repeatsPreviousRow(std::int32_t j) const;

    class Rows;

private:
    std::int32_t width_, height_;
    vkXform<2> clientFromGrid_;
    std::unique_ptr<Rows> rows_;
};

}  // namespace vk_detail
