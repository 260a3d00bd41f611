// The linear gray-value fit: joint histogram, projections, line band, least
// squares and the gray map.
#include "imgnorm/linear_fit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "imgnorm/attention.h"
#include "imgnorm/errors.h"
#include "imgnorm/pelops.h"
#include "imgnorm/xform.h"
#include "platform/linefit.h"
#include "platform/parallel.h"
#include "platform/projection.h"
#include "platform/rows.h"
#include "platform/util.h"

namespace imgnorm_detail {

namespace {

constexpr std::size_t kCells = static_cast<std::size_t>(kGrayBins) * kGrayBins;
constexpr std::size_t kPairs = 256 * 256;

// Offset of the first cell of each template value's histogram row.
const std::array<std::uint16_t, 256>& rowStarts() {
    static const std::array<std::uint16_t, 256> starts = [] {
        std::array<std::uint16_t, 256> s{};
        for (std::size_t g = 0; g < 256; ++g) s[g] = static_cast<std::uint16_t>(grayBins()[g] * kGrayBins);
        return s;
    }();
    return starts;
}

// Counts the pairs of the paired windows into total (size counters of type
// T) strip by strip on the library's threads: f(runTimeRow, templateRow,
// weightRow, width, table) counts one row into the strip's zeroed table of
// parts * size counters (weightRow is null without weight image), whose
// parts are summed into the same total: counting pixels in turn into two
// parts breaks the store-to-load chains that runs of equal pairs (smooth
// images) would otherwise form. A strip holds some 2^21 pixels at least, so
// that its table costs little next to its counting.
template <class T, class Pel, class F>
void countPairedRows(const PairedImagesOf<Pel>& images, std::size_t size, std::size_t parts,
                     T* total, F&& f) {
    const bool weighted = images.weight.isBound();
    const std::int32_t w = images.runTime.width(), h = images.runTime.height();
    const Pel* rt = images.runTime.pointToOffset();
    const Pel* tp = images.templ.pointToOffset();
    const std::uint8_t* wt = weighted ? images.weight.pointToOffset() : nullptr;
    const std::ptrdiff_t rs = images.runTime.rowUpdate(), ts = images.templ.rowUpdate();
    const std::ptrdiff_t ws = weighted ? images.weight.rowUpdate() : 0;
    const std::int32_t minRows =
        static_cast<std::int32_t>(((std::int64_t{1} << 21) + w) / std::max(w, 1));
    vk_detail::countStrips(h, vk_detail::stripRows(h, w, minRows), size, parts, total,
                           [&](std::int32_t y0, std::int32_t y1, T* table) {
                               vkAttention::check();
                               for (std::int32_t y = y0; y < y1; ++y)
                                   f(rt + y * rs, tp + y * ts, weighted ? wt + y * ws : nullptr, w,
                                     table);
                           });
}

// The pair table index t * 256 + r of a template and a run-time value: the
// values themselves for 8-bit images, shifted right for deep ones (and kept
// in the table should a value lie above the depth).
template <class Pel>
struct PairIndex {
    unsigned shift;
    std::size_t operator()(Pel t, Pel r) const {
        if constexpr (sizeof(Pel) == 1)
            return static_cast<std::size_t>(t) << 8 | r;
        else
            return static_cast<std::size_t>((t >> shift) & 255u) << 8 | ((r >> shift) & 255u);
    }
};

// The pair indices PairIndex gives n deep pixels, and the ORs of their
// run-time and template values added to bits[0] and bits[1]; vectorised, so
// that counting is one load and one increment per pixel. A value times
// 2^(8 - shift), modulo 2^16, holds bits shift .. shift + 7 of the value in
// its high byte: the index is computed in 16-bit lanes.
VK_ROW_KERNEL void deepPairIndices(const std::uint16_t* rt, const std::uint16_t* tp, std::int32_t n,
                                   unsigned shift, std::uint16_t* index, std::uint32_t* bits) {
    const auto up = static_cast<std::uint16_t>(1u << (8 - shift));
    std::uint16_t runTime = 0, templ = 0;
    for (std::int32_t x = 0; x < n; ++x) {
        runTime = static_cast<std::uint16_t>(runTime | rt[x]);
        templ = static_cast<std::uint16_t>(templ | tp[x]);
        const auto r = static_cast<std::uint16_t>(rt[x] * up),
                   t = static_cast<std::uint16_t>(tp[x] * up);
        index[x] = static_cast<std::uint16_t>((t & 0xFF00u) | r >> 8);
    }
    bits[0] |= runTime;
    bits[1] |= templ;
}

// Calls count(at, x0, n) for the pieces of a deep row: at[i] is the pair
// index of pixel x0 + i, i < n. Adds the row's ORs to seen, for the depth
// check.
template <class F>
void deepRowPieces(const std::uint16_t* rt, const std::uint16_t* tp, std::int32_t w, unsigned shift,
                   const SeenValues& seen, F&& count) {
    constexpr std::int32_t kPiece = 1024;
    std::uint16_t at[kPiece];
    std::uint32_t bits[2] = {0, 0};
    for (std::int32_t x0 = 0; x0 < w; x0 += kPiece) {
        const std::int32_t n = std::min(kPiece, w - x0);
        deepPairIndices(rt + x0, tp + x0, n, shift, at, bits);
        count(at, x0, n);
    }
    seen.add(bits);
}

// Every pixel weighs 1: counts every pair (t, r) in pairs[t * 256 + r],
// even and odd pixels in the two parts of a strip's table.
template <class Pel>
void countUnweighted(const PairedImagesOf<Pel>& images, PairIndex<Pel> index,
                     std::vector<std::uint32_t>& pairs, const SeenValues& seen) {
    pairs.resize(kPairs);
    countPairedRows(images, kPairs, 2, pairs.data(),
                    [&](const Pel* rt, const Pel* tp, const std::uint8_t*, std::int32_t w,
                        std::uint32_t* even) {
                        std::uint32_t* const odd = even + kPairs;
                        if constexpr (sizeof(Pel) == 1) {
                            std::int32_t x = 0;
                            for (; x + 2 <= w; x += 2) {
                                ++even[index(tp[x], rt[x])];
                                ++odd[index(tp[x + 1], rt[x + 1])];
                            }
                            if (x < w) ++even[index(tp[x], rt[x])];
                        } else {
                            deepRowPieces(
                                rt, tp, w, index.shift, seen,
                                [&](const std::uint16_t* at, std::int32_t, std::int32_t n) {
                                    std::int32_t x = 0;
                                    for (; x + 2 <= n; x += 2) {
                                        ++even[at[x]];
                                        ++odd[at[x + 1]];
                                    }
                                    if (x < n) ++even[at[x]];
                                });
                        }
                    });
}

// With weights: one 64-bit entry per pair holds the number of pixels of a
// nonzero weight in its low half and the weight sum, modulo 2^32 like every
// count, in its high half; one scatter per pixel serves both. The low half
// carries into the high one only past 2^32 pixels of one pair, where 32-bit
// counts have wrapped anyway.
template <class Pel>
void countWeighted(const PairedImagesOf<Pel>& images, PairIndex<Pel> index,
                   std::vector<std::uint64_t>& packed, const SeenValues& seen) {
    packed.resize(kPairs);
    countPairedRows(images, kPairs, 1, packed.data(),
                    [&](const Pel* rt, const Pel* tp, const std::uint8_t* wt, std::int32_t w,
                        std::uint64_t* table) {
                        auto add = [&](std::size_t pair, std::uint64_t weight) {
                            table[pair] += weight << 32 | (weight != 0 ? 1u : 0u);
                        };
                        if constexpr (sizeof(Pel) == 1) {
                            for (std::int32_t x = 0; x < w; ++x)
                                add(index(tp[x], rt[x]), wt[x]);
                        } else {
                            deepRowPieces(
                                rt, tp, w, index.shift, seen,
                                [&](const std::uint16_t* at, std::int32_t x0, std::int32_t n) {
                                    for (std::int32_t x = 0; x < n; ++x)
                                        add(at[x], wt[x0 + x]);
                                });
                        }
                    });
}

// Adds value(t, r) of every pair to its 33 x 33 cell.
template <class V>
vkPelBuffer<std::uint32_t> cellSums(V&& value) {
    const auto& bin = grayBins();
    const auto& row = rowStarts();
    std::array<std::uint32_t, kCells> cells{};
    for (std::size_t t = 0; t < 256; ++t) {
        std::uint32_t* cellRow = cells.data() + row[t];
        for (std::size_t r = 0; r < 256; ++r) cellRow[bin[r]] += value(t << 8 | r);
    }
    vkPelBuffer<std::uint32_t> histogram(kGrayBins, kGrayBins);
    std::uint32_t* dst = histogram.pointToOffset();
    for (std::size_t y = 0; y < static_cast<std::size_t>(kGrayBins); ++y, dst += histogram.rowUpdate())
        std::copy_n(cells.data() + y * kGrayBins, kGrayBins, dst);
    return histogram;
}

// A (run-time value, template value, count) entry of the pair table, and
// its index there.
struct PairEntry {
    double r, t, n;
    std::size_t pair;
};

// The least-squares gray line through the entries that keep selects (all
// when keep is empty), or nothing when it does not meet x = 0. Least squares
// of t on r depends on the pairs only through the count and the template sum
// at each run-time value, so the fitter gets one weighted point per value.
std::optional<vkPair<double>> leastSquaresLine(const std::vector<PairEntry>& entries, const std::vector<char>& keep) {
    std::array<double, 256> count{}, sum{};
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (keep.empty() || keep[i]) {
            const auto r = static_cast<std::size_t>(entries[i].r);
            count[r] += entries[i].n;
            sum[r] += entries[i].n * entries[i].t;
        }
    vkLSLineFitter fitter;
    for (std::size_t r = 0; r < 256; ++r)
        if (count[r] > 0.0) fitter.update(static_cast<double>(r), sum[r] / count[r], count[r]);
    const vkFLine fitted = fitter.fit();
    const std::vector<vkVector<2>> at = fitted.intersection(vkFLine(vkDegree(90.0), vkVector<2>(0.0, 0.0)));
    if (at.empty()) return std::nullopt;
    const double intercept = at.front().y();
    const double slope = std::tan(vkRadian(fitted.angle()).toDouble());
    if (!std::isfinite(intercept) || !std::isfinite(slope)) return std::nullopt;
    return vkPair<double>(slope, intercept);
}

void requireGrid(const vkPelBuffer_const<std::uint8_t>& grid) {
    if (!grid.isBound() || grid.width() != kGrayBins || grid.height() != kGrayBins) vstd_assert_(__LINE__);
}

// What the fit found, for a diagnostics recorder.
void recordFit(vkDiagObject* details, const std::vector<std::uint32_t>& pairs,
               const vkPelBuffer_const<std::uint8_t>& band, const vkPair<double>& line,
               double tolerance, bool fitted) {
    vkPelBuffer<std::uint32_t> joint(256, 256);
    for (std::size_t t = 0; t < 256; ++t)
        std::copy_n(pairs.data() + t * 256, 256,
                    joint.pointToOffset() + static_cast<std::ptrdiff_t>(t) * joint.rowUpdate());
    vf_AddImage(details, compressHistogram(joint), "Joint histogram", false);
    vf_AddImage(details, band, "Line band", false);
    std::string text("slope=");
    text.append(vfStr(line.x())).append("\nintercept=").append(vfStr(line.y()));
    text.append("\ntolerance=")
        .append(vfStr(tolerance))
        .append("\nfitted=")
        .append(vfStr(fitted))
        .append("\n");
    vf_AddText(details, text, "Gray line");
}

}  // namespace

const std::array<std::uint8_t, 256>& grayBins() {
    static const std::array<std::uint8_t, 256> bins = [] {
        std::array<std::uint8_t, 256> b{};
        for (std::size_t g = 0; g < 256; ++g) b[g] = static_cast<std::uint8_t>((g + 4) >> 3);
        return b;
    }();
    return bins;
}

void buildFitAngles(std::vector<vkDegree>& angles) {
    angles.resize(kFitAngleCount);
    std::size_t k = 0;
    for (int i = 1; i < kGrayBins; ++i) angles[k++] = vkDegree(vkRadian(std::atan2(static_cast<double>(i), 33.0)));
    for (int j = kGrayBins - 2; j >= 1; --j) angles[k++] = vkDegree(vkRadian(std::atan2(33.0, static_cast<double>(j))));
}

template <class Pel>
PairedImagesOf<Pel> pairImages(const vkPelBuffer_const<Pel>& runTimeImage,
                               const vkPelBuffer_const<Pel>& templateImage,
                               const vkPelBuffer_const<std::uint8_t>& weightImage) {
    vkPelRect common = runTimeImage.window() & templateImage.window();
    if (weightImage.isBound()) common &= weightImage.window();
    PairedImagesOf<Pel> p{runTimeImage, templateImage, weightImage};
    p.runTime.window(common);
    p.templ.window(common);
    if (p.weight.isBound()) p.weight.window(common);
    return p;
}

template <class Pel>
PairCounts countPairs(const PairedImagesOf<Pel>& images, int shift, const SeenValues& seen) {
    const PairIndex<Pel> index{static_cast<unsigned>(shift)};
    PairCounts out;
    if (images.weight.isBound()) {
        std::vector<std::uint64_t> packed;
        countWeighted(images, index, packed, seen);
        out.pairs.resize(kPairs);
        for (std::size_t i = 0; i < kPairs; ++i) out.pairs[i] = static_cast<std::uint32_t>(packed[i]);
        out.histogram = cellSums([&](std::size_t i) { return static_cast<std::uint32_t>(packed[i] >> 32); });
    } else {
        countUnweighted(images, index, out.pairs, seen);
        out.histogram = cellSums([&](std::size_t i) { return out.pairs[i]; });
    }
    return out;
}

vkPelBuffer<std::uint8_t> compressHistogram(const vkPelBuffer_const<std::uint32_t>& counts) {
    const std::uint32_t largest = vfPelMax(counts);
    vkPelBuffer<std::uint8_t> image(counts.width(), counts.height());
    const double k = largest >= 256 ? 255.0 / std::log(static_cast<double>(largest)) : 0.0;
    const std::uint32_t* src = counts.pointToOffset();
    std::uint8_t* dst = image.pointToOffset();
    for (std::int32_t y = 0; y < counts.height(); ++y, src += counts.rowUpdate(), dst += image.rowUpdate())
        for (std::int32_t x = 0; x < counts.width(); ++x) {
            const std::uint32_t c = src[x];
            if (largest < 256) {
                dst[x] = static_cast<std::uint8_t>(c);
            } else if (c == 0) {
                dst[x] = 0;
            } else {
                // c <= largest, so the value is at most 255.5 (plus rounding).
                const double v = std::trunc(k * std::log(static_cast<double>(c)) + 0.5);
                dst[x] = static_cast<std::uint8_t>(std::fmin(v, 255.0));
            }
        }
    return image;
}

vkAffineSamplingParams projectionSampling(vkDegree angle) {
    const double side = kGrayBins;
    const vkVector<2> corners[4] = {{0, 0}, {0, side}, {side, side}, {side, 0}};
    // A frame turned so that its x axis runs across lines of direction angle
    // and its y axis along them.
    const vkDegree phi = angle + vkDegree(90.0);
    const vkXform<2> turn(vkVector<2>(0.0, 0.0), vkRadian(phi), vkRadian(phi), 1.0, 1.0);
    const vkXform<2> unturn = turn.inverse();
    const vkVector<2> first = unturn.map(corners[0]);
    double xmin = first.x(), xmax = first.x(), ymin = first.y(), ymax = first.y();
    for (int c = 1; c < 4; ++c) {
        const vkVector<2> p = unturn.map(corners[c]);
        if (p.x() < xmin) xmin = p.x();
        if (p.x() > xmax) xmax = p.x();
        if (p.y() < ymin) ymin = p.y();
        if (p.y() > ymax) ymax = p.y();
    }
    // The turned box of a 33 x 33 image spans 33 to 47 units; anything else
    // (NaN included) means a non-finite angle.
    const double across = std::trunc(xmax - xmin + 0.5) + 1.0;
    const double along = std::trunc(ymax - ymin - 0.5) - 1.0;
    if (!(across >= 1.0 && across <= 64.0 && along >= 1.0 && along <= 64.0)) vstd_assert_(__LINE__);
    const vkAffineRectangle rect(turn.map({xmin, ymin}), turn.map({xmax, ymin}), turn.map({xmin, ymax}));
    return vkAffineSamplingParams(rect, static_cast<std::int32_t>(across), static_cast<std::int32_t>(along),
                                  vkAffineSamplingParams::eBilinear);
}

std::vector<vkPelBuffer<std::uint32_t>> projectAtAngles(const vkPelBuffer_const<std::uint8_t>& histogram,
                                                        const std::vector<vkDegree>& angles) {
    requireGrid(histogram);
    if (angles.size() != kFitAngleCount) vstd_assert_(__LINE__);
    std::vector<vkPelBuffer<std::uint32_t>> profiles(kLastProjectedAngle - kFirstProjectedAngle +
                                                     1);
    // The projections do not depend on each other: two per strip on the
    // library's threads, so that they do not stay the fit's serial part and
    // the threads' shares differ by little (the profiles differ in length).
    vk_detail::parallelRows(
        static_cast<std::int32_t>(profiles.size()), 2, [&](std::int32_t k0, std::int32_t k1) {
            for (auto k = static_cast<std::size_t>(k0); k < static_cast<std::size_t>(k1); ++k) {
                vkPelBuffer<std::uint32_t> scratch;
                std::uint32_t inside = 0;
                bool allInside = false;
                vfProjectImage(histogram, profiles[k], scratch,
                               projectionSampling(angles[k + kFirstProjectedAngle]), inside,
                               allInside);
            }
        });
    return profiles;
}

std::vector<std::uint32_t> boxSum(const std::vector<std::uint32_t>& v, std::int32_t r) {
    const std::size_t n = v.size();
    if (r < 0 || n < 2 * static_cast<std::size_t>(r) + 1) vstd_assert_(__LINE__);
    const auto R = static_cast<std::size_t>(r);
    std::vector<std::uint32_t> out(n);
    // Unsigned wrap-around cancels exactly, so the running sums stay exact.
    std::uint32_t s = 0;
    for (std::size_t i = 0; i <= 2 * R; ++i) s += v[i];
    out[R] = s;
    for (std::size_t i = R + 1; i + R < n; ++i) {
        s += v[i + R];
        s -= v[i - R - 1];
        out[i] = s;
    }
    // Right border: the entering sample v[i + r] is mirrored to v[2(n-1) - i - r].
    for (std::size_t i = n - R; i < n; ++i) {
        s += v[2 * (n - 1) - i - R];
        s -= v[i - R - 1];
        out[i] = s;
    }
    // Left border, going left from out[r]: v[i - r] is mirrored to v[r - i].
    s = out[R];
    for (std::size_t i = R; i-- > 0;) {
        s += v[R - i];
        s -= v[i + R + 1];
        out[i] = s;
    }
    return out;
}

StrongestProjection findStrongestProjection(const std::vector<vkPelBuffer<std::uint32_t>>& profiles) {
    StrongestProjection best;
    double bestValue = -1.0;
    for (std::size_t k = 0; k < profiles.size(); ++k) {
        const vkPelBuffer<std::uint32_t>& p = profiles[k];
        const std::uint32_t* first = p.pointToOffset();
        const std::vector<std::uint32_t> s = boxSum(std::vector<std::uint32_t>(first, first + p.width()), 1);
        std::size_t peak = 0;
        std::uint32_t peakValue = 0;
        for (std::size_t i = 0; i < s.size(); ++i)
            if (s[i] > peakValue) {
                peakValue = s[i];
                peak = i;
            }
        if (bestValue < peakValue) {
            bestValue = peakValue;
            best.index = k;
            best.peakPosition = static_cast<std::int32_t>(peak);
            best.peakValue = peakValue;
        }
    }
    return best;
}

vkPelBuffer<std::uint8_t> makeLineBand(const vkPelBuffer_const<std::uint32_t>& profile, std::int32_t peakPosition) {
    const vkXform<2>& toProfile = profile.imageFromClientXform();
    const double lo = peakPosition - 1.0, hi = peakPosition + 2.0;
    vkPelBuffer<std::uint8_t> band(kGrayBins, kGrayBins);
    std::uint8_t* row = band.pointToOffset();
    for (std::int32_t y = 0; y < kGrayBins; ++y, row += band.rowUpdate())
        for (std::int32_t x = 0; x < kGrayBins; ++x) {
            const double u = toProfile.map(vkVector<2>(x, y)).x();
            row[x] = (lo <= u && u < hi) ? 255 : 0;
        }
    return band;
}

bool fitGrayLine(const std::vector<std::uint32_t>& pairs,
                 const vkPelBuffer_const<std::uint8_t>& band, vkPair<double>& line,
                 double* tolerance, std::vector<std::uint8_t>* kept) {
    requireGrid(band);
    if (pairs.size() != kPairs) vstd_assert_(__LINE__);
    const auto& bin = grayBins();
    std::vector<PairEntry> inBand, unsaturated;
    for (std::size_t t = 0; t < 256; ++t) {
        const std::uint8_t* bandRow = band.pointToOffset() + bin[t] * band.rowUpdate();
        for (std::size_t cell = 0; cell < static_cast<std::size_t>(kGrayBins); ++cell) {
            if (bandRow[cell] == 0) continue;
            // The run-time values of bin cell: 8 * cell - 4 .. 8 * cell + 3, within 0..255.
            const std::size_t first = cell == 0 ? 0 : 8 * cell - 4, last = std::min<std::size_t>(255, 8 * cell + 3);
            for (std::size_t r = first; r <= last; ++r) {
                const std::uint32_t n = pairs[t << 8 | r];
                if (n == 0) continue;
                const PairEntry e{static_cast<double>(r), static_cast<double>(t),
                                  static_cast<double>(n), t << 8 | r};
                inBand.push_back(e);
                if (r != 0 && r != 255 && t != 0 && t != 255) unsaturated.push_back(e);
            }
        }
    }
    // Saturated pairs only bound the true value; they are used only when the
    // others do not determine a line (a two-level image, for instance).
    std::optional<vkPair<double>> current = leastSquaresLine(unsaturated, {});
    const bool useSaturated = !current;
    if (useSaturated) current = leastSquaresLine(inBand, {});
    if (!current) return false;
    const std::vector<PairEntry>& entries = useSaturated ? inBand : unsaturated;

    // Trim: keep the pairs within kTrimSigmas standard deviations (at least
    // kMinTolerance gray levels) of the current line, refit, and repeat until
    // the kept set settles. Symmetric trimming leaves the fit of symmetric
    // noise unbiased while pairs that do not follow the line stop pulling it.
    constexpr double kTrimSigmas = 2.5;
    constexpr double kMinTolerance = 1.0;
    constexpr int kMaxRounds = 10;
    std::vector<char> keep(entries.size(), 1), next(entries.size());
    double lastTolerance = 0.0;
    for (int round = 0; round < kMaxRounds; ++round) {
        const double slope = current->x(), intercept = current->y();
        double weight = 0.0, squares = 0.0;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (keep[i]) {
                const double e = entries[i].t - (intercept + slope * entries[i].r);
                weight += entries[i].n;
                squares += entries[i].n * e * e;
            }
        lastTolerance = std::fmax(kMinTolerance, kTrimSigmas * std::sqrt(squares / weight));
        for (std::size_t i = 0; i < entries.size(); ++i)
            next[i] = std::fabs(entries[i].t - (intercept + slope * entries[i].r)) <= lastTolerance
                          ? 1
                          : 0;
        if (next == keep) break;
        const std::optional<vkPair<double>> refit = leastSquaresLine(entries, next);
        if (!refit) break;
        keep.swap(next);
        current = refit;
    }
    line = *current;
    if (tolerance != nullptr) *tolerance = lastTolerance;
    if (kept != nullptr) {
        kept->assign(kPairs, 0);
        for (std::size_t i = 0; i < entries.size(); ++i)
            (*kept)[entries[i].pair] = static_cast<std::uint8_t>(keep[i]);
    }
    return true;
}

namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

// The count, sum r, sum t, sum r^2 and sum r t of a refinement's kept pixels.
struct KeptTotals {
    u128 n = 0, r = 0, t = 0, rr = 0, rt = 0;
};

// The portable refinement: per full run-time value, the number of kept
// pixels and their template sum, so that the pass is two increments per
// pixel (64-bit sums: no overflow before 2^48 pixels of one run-time value).
// The values lie below 2^depth (checked when the pairs were counted), so the
// tables have 2^depth entries. Even and odd pixels go to two sets of tables,
// as the pair counts do, so that runs of equal values form no store-to-load
// chains. A strip's table holds the counts and template sums of even pixels,
// then those of odd ones.
KeptTotals keptByTable(const PairedImagesOf<std::uint16_t>& images,
                       const std::vector<std::uint8_t>& kept, int shift) {
    const std::size_t levels = std::size_t{256} << shift;
    const PairIndex<std::uint16_t> index{static_cast<unsigned>(shift)};
    std::vector<std::uint64_t> sums(2 * levels);
    const std::uint8_t* const keep = kept.data();
    countPairedRows(
        images, sums.size(), 2, sums.data(),
        [index, keep, levels](const std::uint16_t* rt, const std::uint16_t* tp,
                              const std::uint8_t* wt, std::int32_t w, std::uint64_t* table) {
            std::uint64_t* const count0 = table;
            std::uint64_t* const sum0 = table + levels;
            std::uint64_t* const count1 = table + 2 * levels;
            std::uint64_t* const sum1 = table + 3 * levels;
            // k is 0 or 1; the sum takes the template value under
            // a mask instead of a multiply.
            auto add = [&](std::int32_t x, std::uint64_t k, std::uint64_t* count,
                           std::uint64_t* sum) {
                count[rt[x]] += k;
                sum[rt[x]] += tp[x] & (0 - k);
            };
            auto pixels = [&](auto keptAt) {
                std::int32_t x = 0;
                for (; x + 2 <= w; x += 2) {
                    add(x, keptAt(x), count0, sum0);
                    add(x + 1, keptAt(x + 1), count1, sum1);
                }
                if (x < w) add(x, keptAt(x), count0, sum0);
            };
            if (wt == nullptr)
                pixels([&](std::int32_t x) -> std::uint64_t { return keep[index(tp[x], rt[x])]; });
            else
                pixels([&](std::int32_t x) -> std::uint64_t {
                    return keep[index(tp[x], rt[x])] & static_cast<std::uint8_t>(wt[x] != 0);
                });
        });
    KeptTotals total;
    for (std::size_t r = 0; r < levels; ++r) {
        const u128 count = sums[r], sum = sums[levels + r];
        total.n += count;
        total.r += count * r;
        total.rr += count * r * r;
        total.t += sum;
        total.rt += sum * r;
    }
    return total;
}

// Whether the kept pairs of each reduced run-time value form one run of
// template values, pairs that no pixel has counting as either (runs holds
// them then). The robust fit keeps a band about a line, so they do.
bool keptRuns(const std::vector<std::uint8_t>& kept, const std::vector<std::uint32_t>& pairs,
              KeptRuns& runs) {
    runs.lo.fill(255);
    runs.hi.fill(0);
    for (std::size_t t = 0; t < 256; ++t)
        for (std::size_t r = 0; r < 256; ++r)
            if (kept[t << 8 | r] != 0) {
                runs.lo[r] = std::min(runs.lo[r], static_cast<std::uint8_t>(t));
                runs.hi[r] = static_cast<std::uint8_t>(t);
            }
    for (std::size_t r = 0; r < 256; ++r)
        for (std::size_t t = runs.lo[r]; t <= runs.hi[r]; ++t)
            if (kept[t << 8 | r] == 0 && pairs[t << 8 | r] != 0) return false;
    return true;
}

// The vector refinement: the pixels whose reduced pair lies in runs, summed
// in vector lanes (addKeptRowAvx512).
KeptTotals keptByRuns(const PairedImagesOf<std::uint16_t>& images, const KeptRuns& runs,
                      int shift) {
    std::array<std::uint64_t, kKeptSums> s{};
    countPairedRows(images, kKeptSums, 1, s.data(),
                    [&](const std::uint16_t* rt, const std::uint16_t* tp, const std::uint8_t* wt,
                        std::int32_t w, std::uint64_t* sums) {
                        addKeptRowAvx512(rt, tp, wt, w, runs, shift, sums);
                    });
    KeptTotals total;
    total.n = s[kCount];
    total.r = s[kR];
    total.t = s[kT];
    total.rr = (u128{s[kRhRh]} << 16) + (u128{s[kRhRl]} << 9) + s[kRlRl];
    total.rt = (u128{s[kRhTh]} << 16) + (u128{s[kCross]} << 8) + s[kRlTl];
    return total;
}

}  // namespace

bool refineGrayLine(const PairedImagesOf<std::uint16_t>& images,
                    const std::vector<std::uint8_t>& kept, const std::vector<std::uint32_t>& pairs,
                    int shift, vkPair<double>& line, RefinePath path) {
    if (kept.size() != kPairs || pairs.size() != kPairs) vstd_assert_(__LINE__);
    // The runs may take in pairs without pixels, which pairs tells only for
    // images below 2^32 pixels (a pair's count wraps there).
    const std::int64_t area = std::int64_t{images.runTime.width()} * images.runTime.height();
    KeptRuns runs;
    const KeptTotals s = path == RefinePath::Fastest && area < (std::int64_t{1} << 32) &&
                                 keptRowAvx512Available() && keptRuns(kept, pairs, runs)
                             ? keptByRuns(images, runs, shift)
                             : keptByTable(images, kept, shift);
    // n times the centred sums: n sum r^2 - (sum r)^2 and n sum r t - sum r
    // sum t, exact in 128 bits, so that only the division rounds.
    const u128 rr = s.n * s.rr - s.r * s.r;
    // rr is 0 exactly when every kept pixel has one run-time value.
    if (s.n == 0 || rr == 0) return false;
    const i128 rt = static_cast<i128>(s.n * s.rt) - static_cast<i128>(s.r * s.t);
    const double slope = static_cast<double>(rt) / static_cast<double>(rr);
    const double n = static_cast<double>(s.n);
    const double intercept = static_cast<double>(s.t) / n - slope * (static_cast<double>(s.r) / n);
    if (!std::isfinite(slope) || !std::isfinite(intercept)) return false;
    line = vkPair<double>(slope, intercept);
    return true;
}

template <class T>
std::vector<T> grayMap(const vkPair<double>& line, std::int32_t depth) {
    const std::size_t levels = std::size_t{1} << depth;
    const auto top = static_cast<double>(levels - 1);
    std::vector<T> map(levels);
    double v = line.y();
    for (std::size_t g = 0; g < levels; ++g, v += line.x()) {
        // Clamping to [-1, top + 1] first keeps the conversion defined and
        // does not change the clamped result; NaN goes to 0.
        const double c = v > top + 1.0 ? top + 1.0 : (v > -1.0 ? v : -1.0);
        const double rounded = c >= 0.0 ? std::trunc(c + 0.5) : -std::trunc(-c + 0.5);
        map[g] = static_cast<T>(rounded < 0.0 ? 0.0 : (rounded > top ? top : rounded));
    }
    return map;
}
template std::vector<std::uint8_t> grayMap<std::uint8_t>(const vkPair<double>&, std::int32_t);
template std::vector<std::uint16_t> grayMap<std::uint16_t>(const vkPair<double>&, std::int32_t);

vkPelBuffer<std::uint8_t> applyGrayLine(const vkPelBuffer_const<std::uint8_t>& runTimeImage,
                                        const vkPair<double>& line) {
    return vfPelMap(runTimeImage, grayMap(line));
}

namespace {

void checkFitInputs(bool runBound, bool templateBound, const std::vector<vkDegree>& angles) {
    if (!runBound || !templateBound)
        throw vkImageNormalizerDefs::BadImage("Both template image and run-time image must be bound.");
    if (angles.size() != kFitAngleCount) vstd_assert_(__LINE__);
    for (const vkDegree& a : angles)
        if (!std::isfinite(a.toDouble())) vstd_assert_(__LINE__);
}

// The robust fit on the (reduced) pair counts: the line (0, 0 when none
// fits), its band and last trimming distance, and the pairs it was fitted to
// when kept is not null.
struct RobustFit {
    vkPair<double> line{0.0, 0.0};
    vkPelBuffer<std::uint8_t> band;
    double tolerance = 0.0;
    bool found = false;
};
RobustFit robustLine(const PairCounts& counts, const std::vector<vkDegree>& angles,
                     std::vector<std::uint8_t>* kept) {
    const vkPelBuffer<std::uint8_t> histogram = compressHistogram(counts.histogram);
    vkAttention::check();
    const std::vector<vkPelBuffer<std::uint32_t>> profiles = projectAtAngles(histogram, angles);
    const StrongestProjection strongest = findStrongestProjection(profiles);
    RobustFit fit;
    fit.band = makeLineBand(profiles[strongest.index], strongest.peakPosition);
    fit.found = fitGrayLine(counts.pairs, fit.band, fit.line, &fit.tolerance, kept);
    vkAttention::check();
    return fit;
}

}  // namespace

vkPelBuffer<std::uint8_t> runLinearFit(const vkPelBuffer_const<std::uint8_t>& runTimeImage,
                                       const vkPelBuffer_const<std::uint8_t>& templateImage,
                                       const vkPelBuffer_const<std::uint8_t>& weightImage,
                                       const std::vector<vkDegree>& angles, vkDiagObject* details) {
    checkFitInputs(runTimeImage.isBound(), templateImage.isBound(), angles);
    const PairCounts counts = countPairs(pairImages(runTimeImage, templateImage, weightImage));
    const RobustFit fit = robustLine(counts, angles, nullptr);
    if (details != nullptr)
        recordFit(details, counts.pairs, fit.band, fit.line, fit.tolerance, fit.found);
    return applyGrayLine(runTimeImage, fit.line);
}

vkPelBuffer<std::uint16_t> runLinearFit(const vkPelBuffer_const<std::uint16_t>& runTimeImage,
                                        const vkPelBuffer_const<std::uint16_t>& templateImage,
                                        const vkPelBuffer_const<std::uint8_t>& weightImage,
                                        const std::vector<vkDegree>& angles, std::int32_t depth,
                                        vkDiagObject* details) {
    checkFitInputs(runTimeImage.isBound(), templateImage.isBound(), angles);
    if (depth < 9 || depth > 16) vstd_assert_(__LINE__);
    const int shift = depth - 8;
    const PairedImagesOf<std::uint16_t> images =
        pairImages(runTimeImage, templateImage, weightImage);
    std::vector<std::uint8_t> kept;
    // A value above the depth is refused by the pass that counts the pairs,
    // before the refinement and the gray map index tables with it.
    const SeenValues seen;
    const PairCounts counts = countPairs(images, shift, seen);
    refuseAboveDepth(seen, depth);
    RobustFit fit = robustLine(counts, angles, &kept);
    // The reduced fit found two reduced run-time values among the kept
    // pairs, so their pixels hold two full ones.
    if (fit.found && !refineGrayLine(images, kept, counts.pairs, shift, fit.line))
        vstd_assert_(__LINE__);
    vkAttention::check();
    // The record shows the reduced pairs and band with the refined line.
    if (details != nullptr)
        recordFit(details, counts.pairs, fit.band, fit.line, fit.tolerance, fit.found);
    return vfPelMap(runTimeImage, grayMap<std::uint16_t>(fit.line, depth));
}

template PairedImagesOf<std::uint8_t> pairImages(const vkPelBuffer_const<std::uint8_t>&,
                                                 const vkPelBuffer_const<std::uint8_t>&,
                                                 const vkPelBuffer_const<std::uint8_t>&);
template PairedImagesOf<std::uint16_t> pairImages(const vkPelBuffer_const<std::uint16_t>&,
                                                  const vkPelBuffer_const<std::uint16_t>&,
                                                  const vkPelBuffer_const<std::uint8_t>&);
template PairCounts countPairs(const PairedImagesOf<std::uint8_t>&, int, const SeenValues&);
template PairCounts countPairs(const PairedImagesOf<std::uint16_t>&, int, const SeenValues&);

}  // namespace imgnorm_detail
