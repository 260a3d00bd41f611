// Internal pieces of the Gaussian sampling: the choice of the three box
// widths, the per-axis sampling plan and exact division by a run-time
// constant.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vk_detail {

__extension__ typedef unsigned __int128 GaussU128;

// The three box widths (ascending) for kernel size k; evenTaps asks for a
// kernel with an even number of taps (centred between two pixels). The
// widths add up to s, differ by at most one, and s (with the parity that
// gives s - 2 taps of the requested parity) brings the variance
// sum(w^2 - 1) / 12 closest to 0.95 (k^2 + 2) / 4; ties go to the smaller s.
// k = 0 gives 1, 1, 1 (a single tap) whatever evenTaps says.
inline std::array<std::int32_t, 3> gaussBoxWidths(std::int32_t k, bool evenTaps) {
    if (k <= 0) return {1, 1, 1};
    auto split = [](std::int64_t s) {
        const auto base = static_cast<std::int32_t>(s / 3);
        const auto extra = static_cast<std::int32_t>(s % 3);
        return std::array<std::int32_t, 3>{base + (extra > 2 ? 1 : 0), base + (extra > 1 ? 1 : 0),
                                           base + (extra > 0 ? 1 : 0)};
    };
    // Everything times 240: 20 sum(w^2 - 1) against 57 (k^2 + 2).
    const std::int64_t target = 57 * (std::int64_t{k} * k + 2);
    auto miss = [&](std::int64_t s) {
        std::int64_t v = 0;
        for (std::int32_t w : split(s)) v += 20 * (std::int64_t{w} * w - 1);
        return v > target ? v - target : target - v;
    };
    const std::int64_t lowest = evenTaps ? 4 : 3;
    // Start near the equal-width solution and walk downhill; the variance
    // grows with s, so the miss has a single minimum.
    std::int64_t s = 3 * std::llround(std::sqrt(3.8 * (double(k) * k + 2) / 4.0 + 1.0));
    if ((s % 2 == 0) != evenTaps) ++s;
    if (s < lowest) s = lowest;
    while (s - 2 >= lowest && miss(s - 2) <= miss(s)) s -= 2;
    while (miss(s + 2) < miss(s)) s += 2;
    return split(s);
}

// Offset, from the window start, of the first tap of output 0 on an axis with
// step f and a kernel of L taps: the kernel is centred on (f - 1) / 2 in pixel
// indices (the block centre), rounded up when the parities differ.
inline std::int64_t gaussFirstTap(std::int32_t f, std::int32_t taps) {
    const std::int64_t a = std::int64_t{f} - taps;
    return a >= 0 ? (a + 1) / 2 : -((-a) / 2);
}

// Exact floor(n / d) for every 64-bit n and d >= 1, by a multiply-high with
// a magic number (the round-up method of Granlund and Montgomery, in
// libdivide's branch-free form, which needs d >= 2; d = 1 is passed through).
class ExactDivider64 {
public:
    explicit ExactDivider64(std::uint64_t d) {
        const int log2d = 63 - __builtin_clzll(d | 1);
        if (d <= 1) {
            one_ = true;
        } else if ((d & (d - 1)) == 0) {
            magic_ = 0;
            shift_ = log2d - 1;
        } else {
            const GaussU128 num = GaussU128{1} << (64 + log2d);
            auto m = static_cast<std::uint64_t>(num / d);
            const auto rem = static_cast<std::uint64_t>(num % d);
            // The 65-bit magic 2^(64 + log2d + 1) / d + 1 without its top bit;
            // the shift-and-add below puts that bit back.
            m += m;
            const std::uint64_t twice = rem + rem;
            if (twice >= d || twice < rem) m += 1;
            magic_ = m + 1;
            shift_ = log2d;
        }
    }
    std::uint64_t operator()(std::uint64_t n) const {
        if (one_) return n;
        const auto q = static_cast<std::uint64_t>((GaussU128{magic_} * n) >> 64);
        return (((n - q) >> 1) + q) >> shift_;
    }

private:
    std::uint64_t magic_ = 0;
    int shift_ = 0;
    bool one_ = false;
};

// How one axis is sampled: which source pixels each output pixel covers and
// the kernel's weight inside the window for every output pixel produced.
struct GaussAxis {
    std::int32_t n = 0;       // window length
    std::int32_t step = 1;    // sub-sampling factor f
    std::array<std::int32_t, 3> width{1, 1, 1};
    std::int32_t taps = 1;    // kernel length
    std::int64_t first = 0;   // first tap of output 0, from the window start
    std::int32_t count = 0;   // outputs of the full grid: ceil(n / f)
    std::int32_t begin = 0;   // outputs produced: [begin, end)
    std::int32_t end = 0;
    std::int32_t innerBegin = 0;  // outputs whose taps all lie in the window
    std::int32_t innerEnd = 0;
    std::int32_t missFrom = 0;  // outputs from here on cover no pixel (see gaussAxis)
    std::uint64_t full = 1;   // sum of the kernel's weights

    // The running sums reach output j's last tap at this index.
    std::int64_t lastTap(std::int32_t j) const { return first + std::int64_t{j} * step + taps - 1; }
    // How far output j's kernel centre lies beyond (j + 0.5) f, in pixels:
    // 0, or 0.5 when a single tap cannot sit between two pixels.
    double centreShift() const { return double(first) + (taps - 1) / 2.0 + 0.5 - step / 2.0; }
};

inline GaussAxis gaussAxis(std::int32_t n, std::int32_t f, std::int32_t k, bool fullWindow) {
    GaussAxis a;
    a.n = n;
    a.step = f;
    a.width = gaussBoxWidths(k, f % 2 == 0);
    a.taps = a.width[0] + a.width[1] + a.width[2] - 2;
    a.first = gaussFirstTap(f, a.taps);
    a.count = static_cast<std::int32_t>((std::int64_t{n} + f - 1) / f);
    a.full = std::uint64_t(a.width[0]) * std::uint64_t(a.width[1]) * std::uint64_t(a.width[2]);
    // A kernel shorter than f can miss a partial last block altogether; such
    // an output takes the window's last pixel instead.
    const std::int64_t reach = std::int64_t{n} - 1 - a.first;
    a.missFrom = static_cast<std::int32_t>(reach < 0 ? 0 : std::min<std::int64_t>(a.count, reach / f + 1));
    // Outputs whose taps all lie in [0, n): first + j f >= 0 and
    // first + j f + taps <= n.
    const std::int64_t lo = a.first >= 0 ? 0 : (-a.first + f - 1) / f;
    const std::int64_t room = std::int64_t{n} - a.taps - a.first;
    const std::int64_t hi = room < 0 ? lo : std::max(lo, room / f + 1);
    a.innerBegin = static_cast<std::int32_t>(std::min<std::int64_t>(lo, a.count));
    a.innerEnd = static_cast<std::int32_t>(std::min<std::int64_t>(hi, a.count));
    a.begin = fullWindow ? 0 : a.innerBegin;
    a.end = fullWindow ? a.count : a.innerEnd;
    return a;
}

}  // namespace vk_detail
