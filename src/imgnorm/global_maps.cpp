// The global gray maps of eMatchHistogram, eMatchMeanAndStddev and
// eMatchHistogramTails.
#include "imgnorm/global_maps.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imgnorm/pelfunc.h"

namespace imgnorm_detail {

namespace {

// Truncates toward zero and clamps to 0..top, without converting an
// out-of-range double to an integer.
template <class T>
T truncatedLevel(double v, double top) {
    if (!(v > 0.0)) return 0;  // negative values, and NaN
    if (v >= top) return static_cast<T>(top);
    return static_cast<T>(v);
}

template <class T>
void fillLinear(std::size_t bins, double gain, double offset, std::vector<T>& table) {
    table.resize(bins);
    const auto top = static_cast<double>(bins - 1);
    for (std::size_t i = 0; i < bins; ++i)
        table[i] = truncatedLevel<T>(static_cast<double>(i) * gain + offset, top);
}

// Rounds to the nearest integer, halves away from zero. Values far outside
// 0..100 (possible only for a tool loaded from an archive) saturate.
std::int32_t roundHalfAway(double v) {
    if (std::isnan(v)) return 0;
    v = std::fmax(-1e9, std::fmin(1e9, v));
    return v >= 0.0 ? static_cast<std::int32_t>(v + 0.5) : -static_cast<std::int32_t>(-v + 0.5);
}

}  // namespace

template <class T>
void matchHistogram(const std::vector<std::uint32_t>& referenceHistogram,
                    const std::vector<std::uint32_t>& runHistogram, std::vector<T>& table,
                    std::string& message) {
    if constexpr (sizeof(T) > 1) {
        // Deep images: the middle of each level's share (see global_maps.h).
        const auto occupied = [](const std::vector<std::uint32_t>& h) {
            return std::any_of(h.begin(), h.end(), [](std::uint32_t c) { return c != 0; });
        };
        if (!occupied(runHistogram) || !occupied(referenceHistogram)) {
            message = "Cannot match histogram if either is empty.";
            table.clear();
            return;
        }
        vf_MidpointHistogramMap(runHistogram, referenceHistogram, table);
        return;
    }
    const std::size_t n = runHistogram.size(), m = referenceHistogram.size();
    table.resize(n);
    // 64-bit sums: identical to 32-bit ones wherever those do not overflow.
    std::uint64_t runSum = 0, refSum = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        runSum += runHistogram[i];
        while (runSum > refSum && j < m) refSum += referenceHistogram[j++];
        table[i] = static_cast<T>(j == 0 ? 0 : j - 1);
    }
    if (runSum == 0 || refSum == 0) {
        message = "Cannot match histogram if either is empty.";
        table.clear();
    }
}

template <class T>
void matchMeanAndStddev(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                        std::vector<T>& table, std::string& message) {
    if (runStats.nSamp() == 0 || !(runStats.sDev() > 0.0)) {  // a NaN counts as 0
        message = "Cannot match when standard deviation is 0.";
        table.clear();
        return;
    }
    const double gain = referenceStats.sDev() / runStats.sDev();
    const double offset = referenceStats.mean() - runStats.mean() * gain;
    fillLinear(runStats.histogram().size(), gain, offset, table);
}

template <class T>
void matchHistogramTails(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                         const vkPair<std::int32_t>& percents, std::vector<T>& table,
                         std::string& message) {
    const std::size_t bins = runStats.histogram().size();
    table.resize(bins);
    if (percents.x() == percents.y()) {
        for (std::size_t i = 0; i < bins; ++i)
            table[i] = static_cast<T>(i);
        return;
    }
    const std::int32_t runLow = runStats.inverseCum(percents.x());
    const std::int32_t runHigh = runStats.inverseCum(percents.y());
    const std::int32_t refLow = referenceStats.inverseCum(percents.x());
    const std::int32_t refHigh = referenceStats.inverseCum(percents.y());
    if (runLow == runHigh) {
        message = "Cannot match the specified tails for this image.";
        table.clear();
        return;
    }
    const double gain = static_cast<double>(refHigh - refLow) / static_cast<double>(runHigh - runLow);
    const double offset = refLow - runLow * gain;
    fillLinear(bins, gain, offset, table);
}

#define IMGNORM_GLOBAL_MAPS(T)                                                                     \
    template void matchHistogram<T>(const std::vector<std::uint32_t>&,                             \
                                    const std::vector<std::uint32_t>&, std::vector<T>&,            \
                                    std::string&);                                                 \
    template void matchMeanAndStddev<T>(const vkHistoStats&, const vkHistoStats&, std::vector<T>&, \
                                        std::string&);                                             \
    template void matchHistogramTails<T>(const vkHistoStats&, const vkHistoStats&,                 \
                                         const vkPair<std::int32_t>&, std::vector<T>&,             \
                                         std::string&);
IMGNORM_GLOBAL_MAPS(std::uint8_t)
IMGNORM_GLOBAL_MAPS(std::uint16_t)
#undef IMGNORM_GLOBAL_MAPS

vkPair<std::int32_t> tailPercents(const vkPair<double>& f) {
    return {roundHalfAway(100.0 * f.x()), roundHalfAway(100.0 * f.y())};
}

}  // namespace imgnorm_detail
