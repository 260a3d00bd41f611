// Histogram matching by the midpoint rule: a gray map from two histograms.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "imgnorm/exception.h"
#include "imgnorm/pelfunc.h"

namespace {

// Counts reach 2^48 over 2^16 bins; products of two such sums (times 2) need
// more than 64 bits.
__extension__ typedef unsigned __int128 u128;

constexpr std::size_t kMaxBins = 65536;

std::uint64_t total(const std::vector<std::uint32_t>& histogram) {
    std::uint64_t n = 0;
    for (const std::uint32_t c : histogram)
        n += c;
    return n;
}

}  // namespace

template <class T>
void vf_MidpointHistogramMap(const std::vector<std::uint32_t>& source,
                             const std::vector<std::uint32_t>& reference, std::vector<T>& map) {
    constexpr std::size_t kLevels = std::size_t{std::numeric_limits<T>::max()} + 1;
    if (source.empty() || source.size() > kMaxBins || reference.empty() ||
        reference.size() > kLevels)
        throw vkPelFunc::BadParams(
            "histogram map: the source needs 1.." + std::to_string(kMaxBins) +
            " bins and the reference 1.." + std::to_string(kLevels) + ", got " +
            std::to_string(source.size()) + " and " + std::to_string(reference.size()));
    const std::uint64_t sourceTotal = total(source), referenceTotal = total(reference);
    if (sourceTotal == 0 || referenceTotal == 0)
        throw vkPelFunc::BadParams("histogram map: a histogram without samples cannot be matched");

    std::vector<T> out(source.size());
    // Level i's share of the source is (C(i-1), C(i)] of sourceTotal; it goes
    // to the smallest occupied reference level j whose cumulative count
    // reaches the middle of that share: 2 R(j) / referenceTotal >=
    // (C(i-1) + C(i)) / sourceTotal, compared exactly. The last occupied
    // level always qualifies, so j stays inside the reference.
    std::size_t j = 0;
    while (reference[j] == 0)
        ++j;
    std::uint64_t below = 0, upTo = 0, cumulative = reference[j];
    for (std::size_t i = 0; i < source.size(); ++i) {
        below = upTo;
        upTo += source[i];
        const u128 middle = u128{below + upTo} * referenceTotal;
        while (u128{2} * cumulative * sourceTotal < middle)
            cumulative += reference[++j];
        out[i] = static_cast<T>(j);
    }
    map = std::move(out);
}

template IMGNORM_API void vf_MidpointHistogramMap<std::uint8_t>(const std::vector<std::uint32_t>&,
                                                                const std::vector<std::uint32_t>&,
                                                                std::vector<std::uint8_t>&);
template IMGNORM_API void vf_MidpointHistogramMap<std::uint16_t>(const std::vector<std::uint32_t>&,
                                                                 const std::vector<std::uint32_t>&,
                                                                 std::vector<std::uint16_t>&);
