// Projection of an 8-bit image along the second side of an affine rectangle.
#include "platform/projection.h"

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace {

bool finite(const vkVector<2>& p) { return std::isfinite(p.x()) && std::isfinite(p.y()); }

// Reads the source window through row pointers; positions are relative to the
// window's first pixel and anything outside the window reads 0.
class ZeroPaddedSource {
public:
    explicit ZeroPaddedSource(const vkPelBuffer_const<std::uint8_t>& s)
        : base_(s.pointToOffset()), stride_(s.rowUpdate()), w_(s.width()), h_(s.height()) {}

    std::int32_t width() const { return w_; }
    std::int32_t height() const { return h_; }

    // Bilinear value at (fx, fy), pixel centres at integer coordinates (the
    // caller has already moved the pixel-edge convention by half a pixel).
    double bilinear(double fx, double fy) const {
        // Beyond one pixel outside, or NaN: every neighbour is padding.
        if (!(fx > -1.0 && fx < w_ && fy > -1.0 && fy < h_)) return 0.0;
        // fx, fy > -1, so truncating fx + 1 floors it (std::floor is a
        // library call on baseline x86-64).
        const std::int32_t x0 = static_cast<std::int32_t>(fx + 1.0) - 1;
        const std::int32_t y0 = static_cast<std::int32_t>(fy + 1.0) - 1;
        const double ax = fx - x0, ay = fy - y0;
        // Neighbours outside the window get weight 0 and read a clamped,
        // valid address instead: no branch per neighbour.
        const double wx0 = x0 >= 0 ? 1.0 - ax : 0.0, wx1 = x0 + 1 < w_ ? ax : 0.0;
        const double wy0 = y0 >= 0 ? 1.0 - ay : 0.0, wy1 = y0 + 1 < h_ ? ay : 0.0;
        const std::int32_t xa = x0 < 0 ? 0 : x0, xb = x0 + 1 < w_ ? x0 + 1 : w_ - 1;
        const std::uint8_t* ra = base_ + (y0 < 0 ? 0 : y0) * stride_;
        const std::uint8_t* rb = base_ + (y0 + 1 < h_ ? y0 + 1 : h_ - 1) * stride_;
        return wy0 * (wx0 * ra[xa] + wx1 * ra[xb]) + wy1 * (wx0 * rb[xa] + wx1 * rb[xb]);
    }

    // Value of the pixel whose cell holds (qx, qy) (pixel-edge convention).
    double nearest(double qx, double qy) const {
        if (!(qx >= 0.0 && qx < w_ && qy >= 0.0 && qy < h_)) return 0.0;
        return at(static_cast<std::int32_t>(qx), static_cast<std::int32_t>(qy));
    }

private:
    double at(std::int32_t x, std::int32_t y) const {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) return 0.0;
        return base_[y * stride_ + x];
    }

    const std::uint8_t* base_;
    std::ptrdiff_t stride_;
    std::int32_t w_, h_;
};

// Samples j in [first, last).
struct Span {
    std::int32_t first, last;
};

// The samples j (0 <= j < n) for which a + d * (j + 0.5) may lie in
// (lo, hi), widened by a sample each way against rounding; every sample when
// the bounds are not numbers.
Span sampleSpan(double a, double d, double lo, double hi, std::int32_t n) {
    if (d == 0.0) return (a > lo && a < hi) ? Span{0, n} : Span{0, 0};
    double j0 = (lo - a) / d - 0.5, j1 = (hi - a) / d - 0.5;
    if (d < 0.0) std::swap(j0, j1);
    if (!(j0 <= j1)) return Span{0, n};
    const double first = std::max(0.0, j0 - 1.0), last = std::min(static_cast<double>(n), j1 + 2.0);
    if (!(first < last)) return Span{0, 0};
    return Span{static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

}  // namespace

void vfProjectImage(const vkPelBuffer_const<std::uint8_t>& source, vkPelBuffer<std::uint32_t>& profile,
                    vkPelBuffer<std::uint32_t>& scratch, const vkAffineSamplingParams& params,
                    std::uint32_t& insideCount, bool& allInside) {
    if (!source.isBound()) throw vkPel::UnboundWindow();
    if (source.window().isNull()) throw vkPel::BadWindow("cannot project an empty window");
    const vkAffineRectangle& rect = params.rectangle();
    if (!finite(rect.origin()) || !finite(rect.firstSideEnd()) || !finite(rect.secondSideEnd()))
        throw vkPelFunc::BadParams("the projection rectangle needs finite corners");
    const auto mode = params.interpolation();
    if (mode == vkAffineSamplingParams::eBicubic)
        throw vkPelFunc::BadParams("projection supports nearest-neighbour and bilinear sampling only");
    const std::int32_t w = params.width(), h = params.height();
    const vkXform<2> clientFromGrid = rect.clientFromGrid(w, h);
    // A rectangle with parallel or empty sides has no grid positions to
    // report: inverse() throws BadParams.
    const vkXform<2> gridFromClient = clientFromGrid.inverse();

    // Sample (i, j) sits at grid position (i + 0.5, j + 0.5). In the source's
    // window coordinates that is q0 + (i + 0.5) * du + (j + 0.5) * dv.
    const vkXform<2> windowFromGrid = vkXform<2>::translation(-source.offset().x(), -source.offset().y()) *
                                      source.imageFromClientXform() * clientFromGrid;
    const vkVector<2> q0 = windowFromGrid.trans();
    const vkVector<2> du(windowFromGrid.a(), windowFromGrid.c());
    const vkVector<2> dv(windowFromGrid.b(), windowFromGrid.d());

    const ZeroPaddedSource src(source);
    const bool bilinear = mode == vkAffineSamplingParams::eBilinear;
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(w), 0);
    std::uint64_t inside = 0;
    for (std::int32_t i = 0; i < w; ++i) {
        const vkVector<2> column = q0 + du * (i + 0.5);
        // Only the samples within half a pixel of the window can read a
        // pixel or lie inside; the others are 0 and are skipped.
        const Span sx = sampleSpan(column.x(), dv.x(), -0.5, src.width() + 0.5, h);
        const Span sy = sampleSpan(column.y(), dv.y(), -0.5, src.height() + 0.5, h);
        const std::int32_t first = std::max(sx.first, sy.first), last = std::min(sx.last, sy.last);
        std::uint64_t sum = 0;
        for (std::int32_t j = first; j < last; ++j) {
            const vkVector<2> q = column + dv * (j + 0.5);
            if (q.x() >= 0.0 && q.x() < src.width() && q.y() >= 0.0 && q.y() < src.height()) ++inside;
            const double value = bilinear ? src.bilinear(q.x() - 0.5, q.y() - 0.5) : src.nearest(q.x(), q.y());
            // value lies in 0..255, so this is at most 65280.
            sum += static_cast<std::uint64_t>(static_cast<std::int64_t>(value * 256.0 + 0.5));
        }
        sums[static_cast<std::size_t>(i)] = sum;
    }

    // At most 32767 samples of 65280 per column: the sums fit 32 bits.
    vkPelBuffer<std::uint32_t> newProfile(w, 1), newScratch(w, 1);
    std::uint32_t* p = newProfile.pointToOffset();
    std::uint32_t* s = newScratch.pointToOffset();
    for (std::int32_t i = 0; i < w; ++i) {
        const std::uint64_t sum = sums[static_cast<std::size_t>(i)];
        s[i] = static_cast<std::uint32_t>(sum);
        p[i] = static_cast<std::uint32_t>((sum + 128) >> 8);
    }
    newProfile.imageFromClientXform(gridFromClient);
    newScratch.copyXforms(newProfile);

    profile = std::move(newProfile);
    scratch = std::move(newScratch);
    insideCount = static_cast<std::uint32_t>(inside);
    allInside = inside == static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
}
