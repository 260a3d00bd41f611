// Internal pieces of the Gaussian sampling: the choice of the kernel, its
// form for the running sums, the per-axis sampling plan and exact division
// by a run-time constant.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
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
        for (std::int32_t w : split(s))
            v += 20 * (std::int64_t{w} * w - 1);
        return v > target ? v - target : target - v;
    };
    const std::int64_t lowest = evenTaps ? 4 : 3;
    // Start near the equal-width solution and walk downhill; the variance
    // grows with s, so the miss has a single minimum.
    std::int64_t s = 3 * std::llround(std::sqrt(3.8 * (double(k) * k + 2) / 4.0 + 1.0));
    if ((s % 2 == 0) != evenTaps) ++s;
    if (s < lowest) s = lowest;
    while (s - 2 >= lowest && miss(s - 2) <= miss(s))
        s -= 2;
    while (miss(s + 2) < miss(s))
        s += 2;
    return split(s);
}

// The shape of the kernel for one kernel size: a B(w0, w1, w2) + b B(v, v, v),
// where B(...) is the cascade (convolution) of boxes of those widths, the two
// cascades centred on each other (b = 0: the first alone).
struct GaussShape {
    std::array<std::int32_t, 3> w{1, 1, 1};
    std::uint32_t a = 1;
    std::int32_t v = 0;
    std::uint32_t b = 0;
};

// Two cascades of equal boxes, a B(w, w, w) + b B(v, v, v), for kernel sizes
// 8 to 128, odd then even number of taps: made by bench/gauss_kernel_search.
struct GaussMixture {
    std::uint8_t a, w, b, v;
};
inline constexpr std::int32_t kGaussTableFirst = 8, kGaussTableLast = 128;
inline constexpr GaussMixture kGaussMixtures[kGaussTableLast - kGaussTableFirst + 1][2] = {
    {{11, 7, 1, 11}, {9, 6, 2, 10}},      {{15, 7, 4, 11}, {10, 8, 1, 12}},
    {{7, 7, 5, 11}, {7, 8, 2, 12}},       {{13, 9, 4, 13}, {4, 8, 3, 12}},
    {{5, 9, 4, 13}, {16, 10, 5, 14}},     {{3, 11, 1, 15}, {7, 10, 6, 14}},
    {{7, 9, 6, 15}, {15, 12, 2, 18}},     {{7, 13, 1, 19}, {15, 12, 4, 18}},
    {{7, 13, 2, 19}, {2, 12, 1, 18}},     {{11, 13, 6, 19}, {7, 14, 2, 20}},
    {{10, 15, 3, 21}, {9, 14, 5, 20}},    {{7, 15, 4, 21}, {10, 16, 3, 22}},
    {{6, 17, 1, 25}, {8, 14, 5, 22}},     {{11, 17, 3, 25}, {6, 18, 1, 26}},
    {{9, 17, 4, 25}, {7, 18, 2, 26}},     {{7, 19, 2, 27}, {11, 18, 5, 26}},
    {{11, 19, 5, 27}, {7, 20, 2, 28}},    {{11, 21, 2, 31}, {13, 20, 6, 28}},
    {{15, 21, 4, 31}, {11, 22, 2, 32}},   {{5, 21, 2, 31}, {11, 22, 3, 32}},
    {{5, 21, 3, 31}, {5, 22, 2, 32}},     {{12, 23, 5, 33}, {7, 24, 2, 34}},
    {{16, 25, 3, 37}, {12, 24, 5, 34}},   {{12, 25, 5, 35}, {11, 22, 7, 34}},
    {{11, 25, 4, 37}, {11, 26, 3, 38}},   {{2, 25, 1, 37}, {8, 26, 3, 38}},
    {{8, 27, 3, 39}, {2, 26, 1, 38}},     {{15, 27, 8, 39}, {13, 28, 5, 40}},
    {{13, 29, 5, 41}, {5, 30, 1, 44}},    {{7, 27, 4, 41}, {11, 30, 3, 44}},
    {{11, 31, 3, 45}, {14, 30, 5, 44}},   {{14, 31, 5, 45}, {13, 30, 6, 44}},
    {{15, 31, 7, 45}, {11, 32, 4, 46}},   {{11, 33, 4, 47}, {15, 32, 7, 46}},
    {{3, 33, 1, 49}, {15, 34, 4, 50}},    {{11, 35, 3, 51}, {3, 34, 1, 50}},
    {{11, 33, 6, 49}, {7, 34, 3, 50}},    {{16, 35, 7, 51}, {6, 38, 1, 56}},
    {{6, 39, 1, 57}, {9, 36, 4, 52}},     {{14, 39, 3, 57}, {15, 38, 4, 56}},
    {{15, 39, 4, 57}, {9, 38, 4, 54}},    {{3, 39, 1, 57}, {11, 40, 3, 58}},
    {{11, 41, 3, 59}, {3, 40, 1, 58}},    {{2, 39, 1, 57}, {12, 40, 5, 58}},
    {{12, 41, 5, 59}, {9, 44, 2, 62}},    {{15, 43, 4, 63}, {7, 42, 3, 60}},
    {{7, 43, 3, 61}, {13, 42, 5, 62}},    {{11, 45, 3, 65}, {15, 42, 7, 62}},
    {{3, 45, 1, 65}, {5, 44, 2, 64}},     {{5, 45, 2, 65}, {3, 46, 1, 66}},
    {{15, 47, 4, 69}, {5, 46, 2, 66}},    {{5, 47, 2, 67}, {11, 48, 3, 70}},
    {{8, 47, 3, 69}, {9, 46, 4, 68}},     {{9, 47, 4, 69}, {13, 48, 5, 70}},
    {{13, 49, 5, 71}, {11, 48, 5, 70}},   {{11, 49, 5, 71}, {13, 50, 5, 72}},
    {{16, 51, 5, 75}, {15, 52, 4, 76}},   {{11, 51, 4, 75}, {16, 52, 5, 76}},
    {{7, 51, 3, 75}, {8, 52, 3, 76}},     {{8, 53, 3, 77}, {7, 52, 3, 76}},
    {{16, 53, 7, 77}, {8, 54, 3, 78}},    {{8, 55, 3, 79}, {15, 56, 4, 82}},
    {{9, 55, 4, 79}, {16, 56, 5, 82}},    {{16, 57, 5, 83}, {14, 56, 5, 82}},
    {{11, 57, 4, 83}, {12, 56, 5, 82}},   {{12, 57, 5, 83}, {11, 58, 4, 84}},
    {{11, 59, 4, 85}, {15, 60, 4, 88}},   {{15, 61, 4, 89}, {13, 60, 4, 88}},
    {{13, 61, 4, 89}, {7, 60, 3, 86}},    {{11, 59, 5, 87}, {5, 60, 2, 88}},
    {{16, 63, 5, 91}, {14, 62, 5, 90}},   {{14, 63, 5, 91}, {15, 64, 4, 94}},
    {{15, 65, 4, 95}, {10, 64, 3, 94}},   {{13, 65, 4, 95}, {11, 66, 3, 96}},
    {{16, 63, 7, 93}, {13, 66, 4, 96}},   {{13, 67, 4, 97}, {9, 64, 4, 94}},
    {{9, 65, 4, 95}, {5, 66, 2, 96}},     {{15, 69, 4, 101}, {9, 66, 4, 96}},
    {{10, 69, 3, 101}, {5, 68, 2, 98}},   {{5, 69, 2, 99}, {8, 68, 3, 100}},
    {{13, 69, 5, 101}, {7, 68, 3, 100}},  {{7, 69, 3, 101}, {13, 70, 5, 102}},
    {{13, 73, 4, 105}, {7, 70, 3, 102}},  {{10, 73, 3, 107}, {15, 74, 4, 108}},
    {{3, 73, 1, 107}, {10, 74, 3, 108}},  {{8, 73, 3, 107}, {3, 74, 1, 108}},
    {{12, 73, 5, 107}, {8, 74, 3, 108}},  {{8, 75, 3, 109}, {12, 74, 5, 108}},
    {{7, 75, 3, 109}, {15, 78, 4, 114}},  {{13, 79, 4, 113}, {7, 76, 3, 110}},
    {{10, 79, 3, 115}, {3, 78, 1, 114}},  {{3, 79, 1, 115}, {10, 80, 3, 116}},
    {{8, 79, 3, 115}, {3, 80, 1, 116}},   {{11, 83, 3, 119}, {15, 82, 4, 120}},
    {{8, 81, 3, 117}, {12, 80, 5, 116}},  {{12, 81, 5, 117}, {8, 82, 3, 118}},
    {{3, 83, 1, 121}, {11, 82, 4, 120}},  {{11, 83, 4, 121}, {5, 82, 2, 120}},
    {{5, 83, 2, 121}, {11, 84, 4, 122}},  {{15, 87, 4, 127}, {3, 86, 1, 124}},
    {{3, 87, 1, 125}, {9, 84, 4, 122}},   {{9, 85, 4, 123}, {14, 86, 5, 126}},
    {{14, 87, 5, 127}, {11, 86, 5, 124}}, {{5, 93, 1, 135}, {7, 86, 3, 126}},
    {{15, 91, 4, 133}, {5, 88, 2, 128}},  {{5, 89, 2, 129}, {11, 90, 4, 130}},
    {{11, 91, 4, 131}, {5, 90, 2, 130}},  {{5, 91, 2, 131}, {11, 92, 4, 132}},
    {{13, 91, 5, 133}, {12, 90, 5, 132}}, {{15, 95, 4, 139}, {13, 92, 5, 134}},
    {{11, 97, 3, 139}, {14, 94, 5, 136}}, {{14, 95, 5, 137}, {9, 98, 2, 144}},
    {{9, 99, 2, 145}, {8, 94, 3, 138}},   {{7, 95, 3, 137}, {12, 94, 5, 138}},
    {{12, 95, 5, 139}, {9, 94, 4, 138}},  {{13, 97, 5, 141}, {12, 96, 5, 140}},
    {{12, 97, 5, 141}, {13, 98, 5, 142}}, {{13, 99, 5, 143}, {7, 96, 3, 142}},
    {{8, 99, 3, 145}, {5, 98, 2, 144}},   {{15, 103, 4, 151}, {8, 100, 3, 146}},
    {{8, 101, 3, 147}, {15, 104, 4, 152}}};

// The kernel shape for size k. Below 8: three near-equal boxes
// (gaussBoxWidths). From 8 to 128: the table. Above: widths w and v of the
// kernel's parity nearest 1.6 sigma and 1.46 w, the proportions that make a
// two-cascade kernel closest to a Gaussian, and weights a, b in 1..16 without
// a common factor whose mass fraction a w^3 / (a w^3 + b v^3) lies in
// 0.3..0.7 and whose variance is closest to sigma^2 (on a tie the smaller
// a w^3 + b v^3).
inline GaussShape gaussShape(std::int32_t k, bool evenTaps) {
    GaussShape s;
    if (k < kGaussTableFirst) {
        s.w = gaussBoxWidths(k, evenTaps);
        return s;
    }
    if (k <= kGaussTableLast) {
        const GaussMixture& m = kGaussMixtures[k - kGaussTableFirst][evenTaps ? 1 : 0];
        s.w = {m.w, m.w, m.w};
        s.a = m.a;
        s.v = m.v;
        s.b = m.b;
        return s;
    }
    const std::int64_t parity = evenTaps ? 0 : 1;
    // The integer of the parity nearest x: parity + 2 round((x - parity) / 2).
    // 0.8 sqrt(k^2 + 2) lies far (over 1e-6) from every boundary, so the
    // rounding of the double arithmetic cannot change it.
    const std::int64_t w =
        parity + 2 * static_cast<std::int64_t>(std::floor(
                         (0.8 * std::sqrt(double(k) * k + 2) - double(parity)) / 2.0 + 0.5));
    // 1.46 w in integers: parity + 2 floor((146 w - 100 parity + 100) / 200).
    const std::int64_t v = parity + 2 * ((146 * w - 100 * parity + 100) / 200);
    const std::uint64_t w3 = std::uint64_t(w) * std::uint64_t(w) * std::uint64_t(w);
    const std::uint64_t v3 = std::uint64_t(v) * std::uint64_t(v) * std::uint64_t(v);
    const GaussU128 var4 = GaussU128(std::int64_t{k} * k + 2);  // 4 sigma^2
    // The variance's miss times 4, as the fraction q + r / sum (exact: sums
    // stay below 2^58, numerators below 2^96).
    GaussU128 bestQ = 0;
    std::uint64_t bestR = 0, bestSum = 0;
    for (std::uint32_t a = 1; a <= 16; ++a)
        for (std::uint32_t b = 1; b <= 16; ++b) {
            if (std::gcd(a, b) != 1) continue;
            const std::uint64_t sw = a * w3, sv = b * v3, sum = sw + sv;
            if (GaussU128{10} * sw < GaussU128{3} * sum || GaussU128{10} * sw > GaussU128{7} * sum)
                continue;
            const GaussU128 m =
                GaussU128{sw} * std::uint64_t(w * w - 1) + GaussU128{sv} * std::uint64_t(v * v - 1);
            const GaussU128 miss = m > var4 * sum ? m - var4 * sum : var4 * sum - m;
            const GaussU128 q = miss / sum;
            const auto r = static_cast<std::uint64_t>(miss % sum);
            const bool better =
                s.b == 0 || q < bestQ ||
                (q == bestQ &&
                 (GaussU128{r} * bestSum < GaussU128{bestR} * sum ||
                  (GaussU128{r} * bestSum == GaussU128{bestR} * sum && sum < bestSum)));
            if (better) {
                s.a = a;
                s.b = b;
                bestQ = q;
                bestR = r;
                bestSum = sum;
            }
        }
    s.w = {static_cast<std::int32_t>(w), static_cast<std::int32_t>(w),
           static_cast<std::int32_t>(w)};
    s.v = static_cast<std::int32_t>(v);
    return s;
}

// A kernel as the running sums compute it: k(z) = N(z) / (1 - z)^3, three
// running sums over the sparse numerator N(z) = sum of c (z^add - z^sub) over
// four terms (c >= 0). N has degree span, the kernel span - 2 taps, and its
// weights are integers adding up to sum.
struct GaussKernel {
    struct Term {
        std::uint32_t c;
        std::int64_t add, sub;
    };
    std::array<Term, 4> terms{};
    std::int64_t span = 3;
    std::int32_t taps = 1;
    std::uint64_t sum = 1;
};

inline GaussKernel gaussKernel(const GaussShape& s) {
    GaussKernel k;
    if (s.b == 0) {
        // (1 - z^w0)(1 - z^w1)(1 - z^w2), times a = 1.
        const std::int64_t w0 = s.w[0], w1 = s.w[1], w2 = s.w[2], d = w0 + w1 + w2;
        k.terms = {{{1, 0, d}, {1, w1 + w2, w0}, {1, w0 + w2, w1}, {1, w0 + w1, w2}}};
        k.span = d;
        k.sum = std::uint64_t(w0) * std::uint64_t(w1) * std::uint64_t(w2);
    } else {
        // b (1 - z^v)^3 + a z^o (1 - z^w)^3, o = 3 (v - w) / 2 centring the
        // narrower cascade.
        const std::int64_t w = s.w[0], v = s.v, d = 3 * v, o = 3 * (v - w) / 2;
        k.terms = {
            {{s.b, 0, d}, {3 * s.b, 2 * v, v}, {s.a, o, d - o}, {3 * s.a, d - o - w, o + w}}};
        k.span = d;
        k.sum = s.a * std::uint64_t(w) * std::uint64_t(w) * std::uint64_t(w) +
                s.b * std::uint64_t(v) * std::uint64_t(v) * std::uint64_t(v);
    }
    k.taps = static_cast<std::int32_t>(k.span - 2);
    return k;
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
    std::int32_t n = 0;     // window length
    std::int32_t step = 1;  // sub-sampling factor f
    GaussKernel kernel;
    std::int32_t taps = 1;   // kernel length
    std::int64_t first = 0;  // first tap of output 0, from the window start
    std::int32_t count = 0;  // outputs of the full grid: ceil(n / f)
    std::int32_t begin = 0;  // outputs produced: [begin, end)
    std::int32_t end = 0;
    std::int32_t innerBegin = 0;  // outputs whose taps all lie in the window
    std::int32_t innerEnd = 0;
    std::int32_t missFrom = 0;  // outputs from here on cover no pixel (see gaussAxis)
    std::uint64_t full = 1;     // sum of the kernel's weights

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
    a.kernel = gaussKernel(gaussShape(k, f % 2 == 0));
    a.taps = a.kernel.taps;
    a.first = gaussFirstTap(f, a.taps);
    a.count = static_cast<std::int32_t>((std::int64_t{n} + f - 1) / f);
    a.full = a.kernel.sum;
    // A kernel shorter than f can miss a partial last block altogether; such
    // an output takes the window's last pixel instead.
    const std::int64_t reach = std::int64_t{n} - 1 - a.first;
    a.missFrom =
        static_cast<std::int32_t>(reach < 0 ? 0 : std::min<std::int64_t>(a.count, reach / f + 1));
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
