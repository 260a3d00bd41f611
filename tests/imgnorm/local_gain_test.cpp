// The local gain corrections against a slow reference: the weighted local
// statistics, gains, offsets and bilinear resampling written out in double
// precision, with the Gaussian taken as the linear operator that the Gaussian
// sampling applies (found from its responses to single pixels). The same
// reference serves 8-bit and deep images.
#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>

#include "imgnorm/gain_normalizer.h"
#include "imgnorm/local_model.h"
#include "scene.h"

namespace {

using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
using P = vkPair<std::int32_t>;
using Correction = vkLocalGainNormalizer::Correction;

struct Grid {
    std::int32_t w = 0, h = 0;
    std::vector<double> v, wt;  // values and weights (255 = fully included)
};

template <class Pel>
Grid gridOf(const vkPelBuffer_const<Pel>& image, const CImg& mask, bool reduce, P g) {
    using C = vkPelBuffer_const<Pel>;
    vkGaussSampleParams reduction(g, P(g.x() - 1, g.y() - 1), 1.0, true);
    reduction.doRounding(true);
    vkPelBuffer<Pel> masked = testimg::crop(image, image.window());
    if (mask.isBound())
        for (std::int32_t y = 0; y < image.height(); ++y)
            for (std::int32_t x = 0; x < image.width(); ++x)
                if (testimg::at(mask, x, y) == 0)
                    masked.pointToOffset()[y * masked.rowUpdate() + x] = 0;
    const C v = reduce ? C(vfGaussSample<Pel>(masked, reduction)) : C(masked);
    const CImg w = !mask.isBound() ? CImg()
                   : reduce        ? CImg(vfGaussSample<std::uint8_t>(mask, reduction))
                                   : mask;
    Grid out{v.width(), v.height(), {}, {}};
    for (std::int32_t y = 0; y < v.height(); ++y)
        for (std::int32_t x = 0; x < v.width(); ++x) {
            out.v.push_back(testimg::at<Pel>(v, x, y));
            out.wt.push_back(w.isBound() ? testimg::at(w, x, y) : 255.0);
        }
    return out;
}

// k[p * n + q]: the weight of grid pixel q in the smoothed value at p, from
// the responses to single pixels of 255 at gain 256 and, where that does not
// saturate, at gain 65536 for small weights.
std::vector<double> gaussOperator(std::int32_t w, std::int32_t h, P kernel) {
    const auto n = static_cast<std::size_t>(w * h);
    std::vector<double> k(n * n);
    for (double gain : {256.0, 65536.0}) {
        vkGaussSampleParams params(P(1, 1), kernel, gain, true);
        params.doRounding(true);
        for (std::size_t q = 0; q < n; ++q) {
            Img delta(w, h);
            const auto qx = static_cast<std::int32_t>(q % static_cast<std::size_t>(w));
            const auto qy = static_cast<std::int32_t>(q / static_cast<std::size_t>(w));
            delta.pointToOffset()[qy * delta.rowUpdate() + qx] = 255;
            vkPelBuffer<std::uint16_t> out;
            vfGaussSample<std::uint8_t, std::uint16_t>(delta, out, params);
            for (std::size_t p = 0; p < n; ++p) {
                const std::uint16_t v = testimg::at<std::uint16_t>(
                    out, static_cast<std::int32_t>(p % static_cast<std::size_t>(w)),
                    static_cast<std::int32_t>(p / static_cast<std::size_t>(w)));
                if (v < 65535) k[p * n + q] = v / (255.0 * gain);
            }
        }
    }
    return k;
}

struct Stats {
    std::vector<double> mean, dev;
    std::vector<bool> valid, borderline, lowShare;
};

// The weighted mean and standard deviation of the grid pixels' mean values
// 255 v / wt, each weighted by wt (any depth: the weights are 8-bit).
Stats statsOf(const Grid& g, const std::vector<double>& k) {
    const auto n = g.v.size();
    Stats s{std::vector<double>(n), std::vector<double>(n), std::vector<bool>(n),
            std::vector<bool>(n), std::vector<bool>(n)};
    for (std::size_t p = 0; p < n; ++p) {
        double sw = 0, s1 = 0, s2 = 0;
        for (std::size_t q = 0; q < n; ++q) {
            if (g.wt[q] == 0) continue;
            const double r = 255.0 * g.v[q] / g.wt[q];
            sw += k[p * n + q] * g.wt[q];
            s1 += k[p * n + q] * g.wt[q] * r;
            s2 += k[p * n + q] * g.wt[q] * r * r;
        }
        // Statistics need 1/16 of the kernel's weight on included pixels;
        // close to that share, rounding may decide either way.
        s.valid[p] = sw >= 255.0 / 16.0;
        s.borderline[p] = std::abs(sw / (255.0 / 16.0) - 1.0) < 0.05;
        // Below a quarter, the quantized sums may shift a result by 2.
        s.lowShare[p] = sw < 255.0 / 4.0;
        if (s.valid[p]) {
            s.mean[p] = s1 / sw;
            s.dev[p] = std::sqrt(std::max(s2 / sw - s.mean[p] * s.mean[p], 0.0));
        }
    }
    return s;
}

template <class Pel>
struct GainCase {
    const char* name;
    vkPelBuffer_const<Pel> image, reference;
    CImg mask;
    P n, g;
    Correction correction;
    vkPair<double> range{0.25, 4.0};
    double floor = 1.0;
    std::int32_t depth = 8;
};

// The expected result, and in tolerance the largest difference allowed at
// each pixel: 0 (not compared) where it depends on a grid pixel whose share
// of included weight is borderline, 2 where on one whose share is below a
// quarter, else 1. On a deep image the floor counts 2^(depth-8) of its levels
// and results lie in 0..2^depth - 1.
template <class Pel>
vkPelBuffer<Pel> slowGain(const GainCase<Pel>& s, Img& tolerance) {
    vkPelRect rect = s.image.window() & s.reference.window();
    if (s.mask.isBound()) rect &= s.mask.window();
    const vkPelBuffer_const<Pel> img = testimg::crop(s.image, rect),
                                 ref = testimg::crop(s.reference, rect);
    CImg mask;
    if (s.mask.isBound())
        mask = scene::mapped(testimg::crop(s.mask, rect),
                             [](double v, int, int) { return v > 0 ? 255 : 0; });
    const bool reduce = (s.g.x() > 1 || s.g.y() > 1) && (s.n.x() > 1 || s.n.y() > 1);
    const Grid gi = gridOf(img, mask, reduce, s.g), gr = gridOf(ref, mask, reduce, s.g);
    const auto k = gaussOperator(
        gi.w, gi.h, imgnorm_detail::gaussKernelSize(imgnorm_detail::reducedNeighborhood(s.n, s.g)));
    const Stats si = statsOf(gi, k), sr = statsOf(gr, k);
    std::vector<double> gain(gi.v.size(), 1.0), offset(gi.v.size(), 0.0);
    const double floor = std::ldexp(s.floor, s.depth - 8), top = std::ldexp(1.0, s.depth) - 1;
    for (std::size_t p = 0; p < gi.v.size(); ++p) {
        if (!sr.valid[p]) continue;
        const double ratio = s.correction == Correction::gainAndOffset
                                 ? std::max(sr.dev[p], floor) / std::max(si.dev[p], floor)
                                 : std::max(sr.mean[p], floor) / std::max(si.mean[p], floor);
        gain[p] = std::clamp(ratio, s.range.x(), s.range.y());
        offset[p] =
            s.correction == Correction::gainAndOffset ? sr.mean[p] - gain[p] * si.mean[p] : 0.0;
    }
    // Bilinear between grid pixel centres, the grid spread evenly over the
    // rectangle; beyond the outer centres the border values continue.
    auto at = [&](const std::vector<double>& f, double u, double v) {
        u = std::clamp(u, 0.0, gi.w - 1.0);
        v = std::clamp(v, 0.0, gi.h - 1.0);
        const auto x0 = static_cast<std::int32_t>(u), y0 = static_cast<std::int32_t>(v);
        const std::int32_t x1 = std::min(x0 + 1, gi.w - 1), y1 = std::min(y0 + 1, gi.h - 1);
        const double tx = u - x0, ty = v - y0;
        auto f_ = [&](std::int32_t x, std::int32_t y) {
            return f[static_cast<std::size_t>(y * gi.w + x)];
        };
        return (1 - ty) * ((1 - tx) * f_(x0, y0) + tx * f_(x1, y0)) +
               ty * ((1 - tx) * f_(x0, y1) + tx * f_(x1, y1));
    };
    std::vector<double> borderline(gi.v.size()), lowShare(gi.v.size());
    for (std::size_t p = 0; p < gi.v.size(); ++p) {
        borderline[p] = sr.borderline[p] ? 1.0 : 0.0;
        lowShare[p] = sr.lowShare[p] && sr.valid[p] ? 1.0 : 0.0;
    }
    vkPelBuffer<Pel> out = testimg::crop(img, rect);
    tolerance = Img(rect);
    for (std::int32_t y = 0; y < rect.height(); ++y)
        for (std::int32_t x = 0; x < rect.width(); ++x) {
            const double u = (x + 0.5) * gi.w / rect.width() - 0.5,
                         v = (y + 0.5) * gi.h / rect.height() - 0.5;
            const double value = at(gain, u, v) * testimg::at<Pel>(img, x, y) + at(offset, u, v);
            out.pointToOffset()[y * out.rowUpdate() + x] =
                static_cast<Pel>(std::clamp(std::floor(value + 0.5), 0.0, top));
            tolerance.pointToOffset()[y * tolerance.rowUpdate() + x] = at(borderline, u, v) > 0 ? 0
                                                                       : at(lowShare, u, v) > 0 ? 2
                                                                                                : 1;
        }
    return out;
}

template <class Pel>
vkPelBuffer<Pel> toolGain(const GainCase<Pel>& s) {
    using Tool = std::conditional_t<std::is_same_v<Pel, std::uint8_t>, vkLocalGainNormalizer,
                                    vkDeepLocalGainNormalizer>;
    typename Tool::Source source;
    if constexpr (!std::is_same_v<Pel, std::uint8_t>) source.depth(s.depth);
    source.referenceImage(s.reference, true);
    source.maskImage(s.mask, true);
    source.neighborhoodSize(s.n);
    source.granularity(s.g);
    Tool tool;
    tool.gainRange(s.range);
    tool.deviationFloor(s.floor);
    tool.train(source);
    return tool.run(s.image, s.correction);
}

// The first pixel that differs by more than its tolerance times scale (""
// if none); skipped counts the pixels not compared.
template <class Pel>
std::string compare(const vkPelBuffer_const<Pel>& got, const vkPelBuffer_const<Pel>& want,
                    const CImg& tolerance, int& skipped, int scale = 1) {
    skipped = 0;
    if (got.window() != want.window()) return "different windows";
    for (std::int32_t y = 0; y < got.height(); ++y)
        for (std::int32_t x = 0; x < got.width(); ++x) {
            const int t = testimg::at(tolerance, x, y);
            skipped += t == 0 ? 1 : 0;
            const int a = testimg::at<Pel>(got, x, y), b = testimg::at<Pel>(want, x, y);
            if (t != 0 && std::abs(a - b) > t * scale)
                return std::to_string(x) + "," + std::to_string(y) + ": " + std::to_string(a) +
                       " instead of " + std::to_string(b);
        }
    return "";
}

// The cases at one depth: the texture (8-bit levels, times 2^(depth-8) with
// low bits from the position on deep images) shaded, clipping at both ends
// or flat, against itself or a flat reference. The fixed point keeps the
// same share of the range at every depth, so the tolerance counts 8-bit
// gray levels (2^(depth-8) levels each).
template <class Pel>
void checkAgainstSlowReference(std::int32_t depth) {
    using C = vkPelBuffer_const<Pel>;
    const std::int32_t w = 23, h = 17;
    const Img tex = scene::texture(w, h, 3);
    const double top = std::ldexp(1.0, depth) - 1;
    const std::int32_t step = 1 << (depth - 8);
    auto levels = [&](const std::function<double(double, int, int)>& f) {
        return testimg::mapped<Pel>(tex, [&](double v, int x, int y) {
            return std::lround(std::clamp(f(v, x, y) * step + (x * 7 + y * 3) % step, 0.0, top));
        });
    };
    // Windows off the origin: the reference inside other storage, the run-time
    // image larger than the reference, so the working rectangle is the
    // reference's window.
    auto reference = [&](const std::function<double(double, int, int)>& f) {
        return C(testimg::embeddedWithMargins<Pel>(levels(f), 2, 1, 3, 4, 9, P(5, 4)));
    };
    auto runtime = [&](const std::function<double(double, int, int)>& f) {
        return C(testimg::embeddedWithMargins<Pel>(levels(f), 1, 2, 0, 1, 0, P(5, 4)));
    };
    std::mt19937 gen = testimg::rng(7);
    const C ref = reference([](double v, int, int) { return v; });
    const C flatRef = reference([](double, int, int) { return 90; });
    const C shaded = runtime([&](double v, int x, int y) {
        return (0.45 + 0.5 * x / w) * v + 30.0 * y / h + static_cast<double>(gen() % 5) - 2;
    });
    const C extreme = runtime([](double v, int, int) { return 2.6 * v - 160; });  // clips
    const C flat = runtime([](double, int, int) { return 77; });
    // The mask leaves the left columns without any included pixel nearby
    // (no statistics there), and holes elsewhere; values other than 255 count.
    Img maskContent = scene::mapped(tex, [](double v, int x, int y) {
        return x < 12 || (x + 2 * y) % 7 == 0 ? 0 : v > 60 ? 1 : 200;
    });
    const CImg mask = testimg::embedded<std::uint8_t>(maskContent, 2, 0, P(5, 4));

    const Correction GO = Correction::gainAndOffset, G = Correction::gainOnly;
    const vkPair<double> usual(0.25, 4);
    const GainCase<Pel> cases[] = {
        {"full resolution", shaded, ref, {}, P(9, 7), P(1, 1), GO, usual, 1},
        {"full resolution gain only", shaded, ref, {}, P(9, 7), P(1, 1), G, usual, 1},
        {"masked", shaded, ref, mask, P(9, 7), P(1, 1), GO, usual, 1},
        {"masked gain only", shaded, ref, mask, P(9, 7), P(1, 1), G, usual, 1},
        {"reduced", shaded, ref, {}, P(9, 7), P(2, 2), GO, usual, 1},
        {"reduced unevenly, masked", shaded, ref, mask, P(11, 9), P(3, 2), GO, usual, 1},
        {"reduced gain only, masked", shaded, ref, mask, P(9, 7), P(2, 2), G, usual, 1},
        {"granularity without a neighbourhood", shaded, ref, mask, P(1, 1), P(2, 2), GO, usual, 1},
        {"clipping, narrow gain range", extreme, ref, {}, P(9, 7), P(1, 1), GO, {0.5, 2}, 1},
        {"clipping, reduced, wide range", extreme, ref, {}, P(9, 7), P(2, 2), GO, {0.25, 16}, 1},
        {"clipping, reduced, masked", extreme, ref, mask, P(9, 7), P(2, 2), GO, usual, 4},
        {"flat run-time image", flat, ref, {}, P(9, 7), P(1, 1), GO, usual, 1},
        {"flat run-time image, high floor", flat, ref, mask, P(9, 7), P(2, 2), GO, usual, 6},
        {"flat reference", shaded, flatRef, {}, P(9, 7), P(1, 1), GO, usual, 1},
        {"flat reference, gain only", extreme, flatRef, mask, P(9, 7), P(1, 1), G, usual, 1},
        // A kernel of weight 2^49 down the columns: 128-bit column sums for
        // 16-bit planes (at every deep depth, so once is enough: the
        // reference is slow).
        {"huge neighbourhood", shaded, ref, mask, P(9, 60001), P(1, 1), GO, usual, 1},
    };
    for (GainCase<Pel> s : cases) {
        if (s.n.y() > 1000 && depth != 16) continue;
        SCOPED_TRACE(std::string(s.name) + ", depth " + std::to_string(depth));
        s.depth = depth;
        Img tolerance;
        const vkPelBuffer<Pel> got = toolGain(s), want = slowGain(s, tolerance);
        int skipped = 0;
        EXPECT_EQ(compare<Pel>(got, want, tolerance, skipped, step), "");
        EXPECT_LT(skipped, got.width() * got.height() / 10);
        EXPECT_EQ(got.window(), s.reference.window());
    }
}

TEST(LocalGain, MatchesTheSlowReferenceOnWindowsMasksExtremesAndFlatAreasAtEveryDepth) {
    checkAgainstSlowReference<std::uint8_t>(8);
    checkAgainstSlowReference<std::uint16_t>(12);
    checkAgainstSlowReference<std::uint16_t>(16);
}

}  // namespace
