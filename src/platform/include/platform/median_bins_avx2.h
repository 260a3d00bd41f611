// Groups of 16 histogram bins for the median kernel on AVX2: a group is one
// 16-lane vector. Same operations and results as PortableBins. Its functions
// are compiled for AVX2 whatever the build's baseline, so only code that
// has checked the processor may call them.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define IMGNORM_HAVE_AVX2_BINS 1

#include <immintrin.h>

#include <cstdint>

#define VK_AVX2 __attribute__((target("avx2")))
// Group operations are always inlined: GCC 12 was seen to lose the upper
// half of a 256-bit group returned from one compiled out of line.
#define VK_AVX2_BINS VK_AVX2 __attribute__((always_inline))

namespace vk_detail {

struct Avx2Bins {
    struct Group {
        __m256i v;
    };

    VK_AVX2_BINS static Group zero() { return {_mm256_setzero_si256()}; }
    VK_AVX2_BINS static Group load(const std::uint16_t* p) {
        return {_mm256_load_si256(reinterpret_cast<const __m256i*>(p))};
    }
    // 16 bytes (16-byte aligned) widened to lanes.
    VK_AVX2_BINS static Group load(const std::uint8_t* p) {
        return {_mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p)))};
    }
    VK_AVX2_BINS static void store(std::uint16_t* p, const Group& g) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(p), g.v);
    }
    VK_AVX2_BINS static Group add(const Group& a, const Group& b) {
        return {_mm256_add_epi16(a.v, b.v)};
    }
    VK_AVX2_BINS static Group slide(const Group& a, const Group& in, const Group& out) {
        return {_mm256_add_epi16(a.v, _mm256_sub_epi16(in.v, out.v))};
    }
    VK_AVX2_BINS static Group addTimes(const Group& a, const Group& g, std::int32_t times) {
        return {_mm256_add_epi16(
            a.v, _mm256_mullo_epi16(g.v, _mm256_set1_epi16(static_cast<short>(times))))};
    }
    // Counts w more values of digit d: w in lanes d and above.
    VK_AVX2_BINS static void count(std::uint16_t* p, int d, std::int32_t w) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v, _mm256_add_epi16(_mm256_load_si256(v), weighted(d, w)));
    }
    VK_AVX2_BINS static void count2(std::uint16_t* p, int d1, std::int32_t w1, int d2,
                                    std::int32_t w2) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v,
                           _mm256_add_epi16(_mm256_load_si256(v),
                                            _mm256_add_epi16(weighted(d1, w1), weighted(d2, w2))));
    }
    VK_AVX2_BINS static Group splat(std::uint32_t x) {
        return {_mm256_set1_epi16(static_cast<short>(x))};
    }
    // Running sums within each 128-bit half, then the low half's last lane
    // added to the high half.
    VK_AVX2_BINS static Group prefixSum(const Group& g) {
        __m256i x = _mm256_add_epi16(g.v, _mm256_slli_si256(g.v, 2));
        x = _mm256_add_epi16(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi16(x, _mm256_slli_si256(x, 8));
        const __m256i last = _mm256_shuffle_epi8(x, _mm256_set1_epi16(0x0F0E));
        return {_mm256_add_epi16(x, _mm256_permute2x128_si256(last, last, 0x08))};
    }
    // Counts never exceed 32767, so the signed comparison is exact; each lane
    // gives two mask bits.
    VK_AVX2_BINS static int firstAbove(const Group& g, const Group& rank) {
        const __m256i above = _mm256_cmpgt_epi16(g.v, rank.v);
        return __builtin_ctz(static_cast<unsigned>(_mm256_movemask_epi8(above))) >> 1;
    }
    // The 32-bit lane that holds lane k - 1, moved to the bottom, its half
    // shifted down and broadcast: no trip through memory, whose
    // store-to-load forwarding stalls here.
    VK_AVX2_BINS static Group laneBelow(const Group& g, int k) {
        if (k == 0) return zero();
        const __m256i pair = _mm256_permutevar8x32_epi32(
            g.v, _mm256_castsi128_si256(_mm_cvtsi32_si128((k - 1) >> 1)));
        const __m128i low = _mm256_castsi256_si128(pair);
        return {_mm256_broadcastw_epi16(_mm_srl_epi32(low, _mm_cvtsi32_si128(16 * ((k - 1) & 1))))};
    }
    // Bit j set where p[j] (32 values, unaligned) has high byte `high`.
    VK_AVX2_BINS static std::uint32_t sameHigh(const std::uint16_t* p, std::uint32_t high) {
        const __m256i h = _mm256_set1_epi16(static_cast<short>(high));
        const auto* v = reinterpret_cast<const __m256i*>(p);
        const __m256i a = _mm256_cmpeq_epi16(_mm256_srli_epi16(_mm256_loadu_si256(v), 8), h);
        const __m256i b = _mm256_cmpeq_epi16(_mm256_srli_epi16(_mm256_loadu_si256(v + 1), 8), h);
        // Packing interleaves the halves: 64-bit lanes 0, 2, 1, 3 put them back.
        return static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8)));
    }
    VK_AVX2_BINS static std::uint32_t total(const Group& g) {
        return static_cast<std::uint32_t>(_mm256_extract_epi16(g.v, 15)) & 0xFFFF;
    }

  private:
    // w in lanes d and above: all-ones lanes from a table, and w; +-1 (no
    // mask) need no multiply.
    VK_AVX2_BINS static __m256i weighted(int d, std::int32_t w) {
        const __m256i from = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFrom + 16 - d));
        if (w == 1) return _mm256_sub_epi16(_mm256_setzero_si256(), from);
        if (w == -1) return from;
        return _mm256_and_si256(from, _mm256_set1_epi16(static_cast<short>(w)));
    }
    // 16 zeros then 16 all-ones lanes: lanes d and above of kFrom + 16 - d.
    static constexpr std::uint16_t kFrom[32] = {
        0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,
        0,      0,      0,      0,      0,      0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
        0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
};

}  // namespace vk_detail

#endif
