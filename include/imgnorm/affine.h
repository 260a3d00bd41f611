// Affine sampling: a parallelogram in client coordinates sampled onto a grid.
//
// A vkAffineRectangle is given by three client points: its origin, the end
// of its first side and the end of its second side. Sampling it with
// width x height samples puts sample (i, j) at the centre of grid cell (i, j):
//     origin + (i + 0.5) / width * (firstEnd - origin)
//            + (j + 0.5) / height * (secondEnd - origin).
// The result's window is (0, 0, width, height) and its client-from-image
// transform maps a grid position (u, v) (pixel-edge convention, so cell (i, j)
// covers [i, i+1) x [j, j+1)) to origin + u / width * side1 + v / height *
// side2, so that every result pixel keeps the client position it was sampled
// at.
#pragma once

#include <cstdint>

#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"
#include "imgnorm/xform.h"

class vkAffineRectangle {
public:
    vkAffineRectangle() = default;
    vkAffineRectangle(const vkVector<2>& origin, const vkVector<2>& firstSideEnd, const vkVector<2>& secondSideEnd)
        : origin_(origin), first_(firstSideEnd), second_(secondSideEnd) {}

    const vkVector<2>& origin() const { return origin_; }
    const vkVector<2>& firstSideEnd() const { return first_; }
    const vkVector<2>& secondSideEnd() const { return second_; }
    vkVector<2> firstSide() const { return first_ - origin_; }
    vkVector<2> secondSide() const { return second_ - origin_; }

    // The transform from grid positions of a width x height sampling to
    // client coordinates (see the file comment).
    vkXform<2> clientFromGrid(std::int32_t width, std::int32_t height) const {
        const vkVector<2> s1 = firstSide() * (1.0 / width), s2 = secondSide() * (1.0 / height);
        return {s1.x(), s2.x(), s1.y(), s2.y(), origin_.x(), origin_.y()};
    }

private:
    vkVector<2> origin_, first_, second_;
};

class vkAffineSamplingParams {
public:
    // Interpolation between source pixels.
    enum Interpolation : int { eNearestNeighbor = 1, eBilinear = 2, eBicubic = 3 };

    // width and height must lie in 1..32767 and the mode must be one of the
    // enumerators, else vkPelFunc::BadParams.
    vkAffineSamplingParams(const vkAffineRectangle& rect, std::int32_t width, std::int32_t height,
                           Interpolation mode)
        : rect_(rect), width_(width), height_(height), mode_(mode) {
        if (width < 1 || width > 32767 || height < 1 || height > 32767)
            throw vkPelFunc::BadParams("sample counts must lie in 1..32767");
        if (mode != eNearestNeighbor && mode != eBilinear && mode != eBicubic)
            throw vkPelFunc::BadParams("unknown interpolation mode");
    }

    const vkAffineRectangle& rectangle() const { return rect_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    Interpolation interpolation() const { return mode_; }

private:
    vkAffineRectangle rect_;
    std::int32_t width_;
    std::int32_t height_;
    Interpolation mode_;
};

// Samples the source's window at the points of the affine rectangle (mapped
// to source positions through the source's image-from-client transform;
// pixel (x, y) has its centre at position (x + 0.5, y + 0.5)) and returns a
// new width x height image (see the file comment for its window and
// transform). Interpolation: nearest neighbour; bilinear; or bicubic with
// the Catmull-Rom kernel (Keys' cubic convolution, a = -0.5). Results are
// clamped to 0..255 and rounded half up, so a constant image resamples to
// exactly that constant. A tap outside the source's window reads the nearest
// window pixel. Unbound or empty source: vkPel::UnboundWindow or
// vkPel::BadWindow; a degenerate rectangle: vkPelFunc::BadParams.
IMGNORM_API vkPelBuffer<std::uint8_t> vfAffineTransformImage(const vkPelBuffer_const<std::uint8_t>& source,
                                                             const vkAffineSamplingParams& params);
