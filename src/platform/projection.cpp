// Projection of an 8-bit image along the second side of an affine rectangle.
#include "imgnorm/projection.h"

#include <cmath>
#include <cstddef>
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
        const double flx = std::floor(fx), fly = std::floor(fy);
        const double ax = fx - flx, ay = fy - fly;
        const auto x0 = static_cast<std::int32_t>(flx), y0 = static_cast<std::int32_t>(fly);
        double p00, p10, p01, p11;
        if (x0 >= 0 && y0 >= 0 && x0 + 1 < w_ && y0 + 1 < h_) {
            const std::uint8_t* r0 = base_ + y0 * stride_ + x0;
            p00 = r0[0];
            p10 = r0[1];
            p01 = r0[stride_];
            p11 = r0[stride_ + 1];
        } else {
            p00 = at(x0, y0);
            p10 = at(x0 + 1, y0);
            p01 = at(x0, y0 + 1);
            p11 = at(x0 + 1, y0 + 1);
        }
        return (1.0 - ay) * ((1.0 - ax) * p00 + ax * p10) + ay * ((1.0 - ax) * p01 + ax * p11);
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
        std::uint64_t sum = 0;
        for (std::int32_t j = 0; j < h; ++j) {
            const vkVector<2> q = column + dv * (j + 0.5);
            if (q.x() >= 0.0 && q.x() < src.width() && q.y() >= 0.0 && q.y() < src.height()) ++inside;
            const double value = bilinear ? src.bilinear(q.x() - 0.5, q.y() - 0.5) : src.nearest(q.x(), q.y());
            // value lies in 0..255, so this is at most 65280.
            sum += static_cast<std::uint64_t>(value * 256.0 + 0.5);
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
