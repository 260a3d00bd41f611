// Otsu's threshold, compared exactly in wide integer arithmetic.
#include "platform/threshold.h"

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>

#include "imgnorm/exception.h"

namespace {

// An unsigned integer of 352 bits, enough for every product formed below:
// with at most 2^16 bins of 32-bit counts, the sample count stays below 2^48
// and the level sum below 2^64, so a squared class-mean difference term
// times a class-size product stays below 2^320.
class Wide {
public:
    static constexpr std::size_t kLimbs = 11;

    explicit Wide(std::uint64_t v = 0) {
        limb_[0] = static_cast<std::uint32_t>(v);
        limb_[1] = static_cast<std::uint32_t>(v >> 32);
    }

    friend Wide operator*(const Wide& a, const Wide& b) {
        Wide r;
        for (std::size_t i = 0; i < kLimbs; ++i) {
            if (a.limb_[i] == 0) continue;
            std::uint64_t carry = 0;
            for (std::size_t j = 0; i + j < kLimbs; ++j) {
                const std::uint64_t cur = std::uint64_t{a.limb_[i]} * b.limb_[j] + r.limb_[i + j] + carry;
                r.limb_[i + j] = static_cast<std::uint32_t>(cur);
                carry = cur >> 32;
            }
        }
        return r;
    }

    // a - b for a >= b.
    friend Wide operator-(const Wide& a, const Wide& b) {
        Wide r;
        std::uint64_t borrow = 0;
        for (std::size_t i = 0; i < kLimbs; ++i) {
            const std::uint64_t sub = std::uint64_t{b.limb_[i]} + borrow;
            const std::uint64_t cur = std::uint64_t{a.limb_[i]} - sub;
            r.limb_[i] = static_cast<std::uint32_t>(cur);
            borrow = std::uint64_t{a.limb_[i]} < sub ? 1 : 0;
        }
        return r;
    }

    friend std::strong_ordering operator<=>(const Wide& a, const Wide& b) {
        for (std::size_t i = kLimbs; i-- > 0;)
            if (a.limb_[i] != b.limb_[i]) return a.limb_[i] <=> b.limb_[i];
        return std::strong_ordering::equal;
    }

private:
    std::array<std::uint32_t, kLimbs> limb_{};
};

constexpr std::size_t kMaxBins = 65536;

}  // namespace

void vfThresholdWGV(const std::vector<std::uint32_t>& histogram, vkThresholdResult& result, std::int32_t first,
                    std::int32_t last) {
    if (first < 0 || last < -1 || (last >= 0 && last < first))
        throw vkPelFunc::BadParams("threshold range must satisfy 0 <= first <= last, or last = -1");
    if (histogram.size() > kMaxBins) throw vkPelFunc::BadParams("a threshold histogram has at most 65536 bins");

    // Bins beyond the histogram are empty, so the range is clipped to it.
    const std::int64_t end =
        std::min<std::int64_t>(last == -1 ? static_cast<std::int64_t>(histogram.size()) : std::int64_t{last} + 1,
                               static_cast<std::int64_t>(histogram.size()));
    std::int64_t lo = -1, hi = -1;
    std::uint64_t n = 0, sum = 0;
    for (std::int64_t v = first; v < end; ++v) {
        const std::uint32_t c = histogram[static_cast<std::size_t>(v)];
        if (c == 0) continue;
        if (lo < 0) lo = v;
        hi = v;
        n += c;
        sum += c * static_cast<std::uint64_t>(v);
    }
    if (lo < 0) {
        result.threshold(first);
        return;
    }
    if (lo == hi) {
        result.threshold(static_cast<std::int32_t>(lo));
        return;
    }

    // Minimising the within-group variance maximises the between-group term
    // nA * nB * (meanB - meanA)^2 / n = D^2 / (n * nA * nB) with
    // D = sum * nA - n * sumA (never negative, as meanA <= mean). Only splits
    // just above an occupied level are tried: a split inside a gap of empty
    // levels gives the same classes as the smallest split of that gap, and
    // the strict comparison keeps the smallest threshold among equal optima.
    const Wide wn(n), wsum(sum);
    std::uint64_t nA = 0, sumA = 0;
    std::int64_t best = -1;
    Wide bestD2, bestP;
    for (std::int64_t v = lo; v < hi; ++v) {
        const std::uint32_t c = histogram[static_cast<std::size_t>(v)];
        if (c == 0) continue;
        nA += c;
        sumA += c * static_cast<std::uint64_t>(v);
        const Wide d = wsum * Wide(nA) - wn * Wide(sumA);
        const Wide d2 = d * d;
        const Wide p = Wide(nA) * Wide(n - nA);
        if (best < 0 || d2 * bestP > bestD2 * p) {
            best = v + 1;
            bestD2 = d2;
            bestP = p;
        }
    }
    result.threshold(static_cast<std::int32_t>(best));
}
