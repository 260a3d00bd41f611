// Affine sampling one result row at a time (internal): the rows of
// vfAffineTransformImage, for callers that consume each row as it is made
// (to subtract it from another image, say) instead of storing the result.
#pragma once

#include <cstdint>
#include <memory>

#include "imgnorm/affine.h"
#include "imgnorm/pelbuffer.h"

namespace vk_detail {

// A separable bilinear sample from its two horizontally interpolated source
// rows: w0 * r0 + w1 * r1, rounded half up (a convex combination of values
// in 0..255 needs no clamping). Shared by the sampler and by callers that
// combine rows themselves, so that both give the same bits.
inline std::uint8_t bilinearPel(float w0, float r0, float w1, float r1) {
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(w0 * r0 + w1 * r1 + 0.5f));
}

// What row j of a separable bilinear sampling combines: pixel i of the row
// is bilinearPel(w0, r0[i], w1, r1[i]).
struct BilinearRowPair {
    const float* r0;
    const float* r1;
    float w0, w1;
};

// The same in integers, where every weight of the sampling is a multiple of
// 1/8 (an exact magnification by 2 or 4, say): r0 and r1 hold the
// interpolated rows times 8, exactly, and w0 + w1 == 8, so that pixel i is
// (w0 r0[i] + w1 r1[i] + 32) >> 6, the value bilinearPel gives.
struct FixedRowPair {
    const std::uint16_t* r0;
    const std::uint16_t* r1;
    std::uint16_t w0, w1;
};

class AffineRowSampler {
  public:
    // The source must stay alive and unchanged while rows are taken. An
    // unbound or empty source throws vkPel::UnboundWindow or vkPel::BadWindow;
    // a degenerate rectangle vkPelFunc::BadParams.
    AffineRowSampler(const vkPelBuffer_const<std::uint8_t>& source,
                     const vkAffineSamplingParams& params);
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
    // For a separable bilinear sampling, the rows and weights that make row
    // j, valid until the next call; false (nothing computed) for any other.
    bool bilinearRowPair(std::int32_t j, BilinearRowPair& pair);
    // True when row j (j > 0) is by construction equal to row j - 1.
    bool repeatsPreviousRow(std::int32_t j) const;

    class Rows;
    class Scratch;

    // Takes rows of a sampler with a cache of interpolated rows of its own,
    // so that several readers may take rows of one sampler at once, each on
    // its own thread (the sampler's row() and bilinearRowPair() use one
    // more). Same results as the sampler's; the sampler must outlive it.
    class Reader {
      public:
        explicit Reader(const AffineRowSampler& sampler);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        void row(std::int32_t j, std::uint8_t* out);
        bool bilinearRowPair(std::int32_t j, BilinearRowPair& pair);
        // Row j as a FixedRowPair, valid until the next call; false (nothing
        // computed) where the weights are not all multiples of 1/8.
        bool fixedRowPair(std::int32_t j, FixedRowPair& pair);

      private:
        const Rows* rows_;
        std::unique_ptr<Scratch> scratch_;
    };

  private:
    std::int32_t width_, height_;
    vkXform<2> clientFromGrid_;
    std::unique_ptr<Rows> rows_;
    std::unique_ptr<Reader> own_;
};

}  // namespace vk_detail
