// Groups of 16 histogram bins for the median kernel on AVX-512 (BW and VL):
// the AVX2 groups (one 16-lane vector of 256 bits), but counting a value in
// forms its addend under a mask made by a shift, a search compares into a
// mask register, and a lane is broadcast by one permute. Same operations
// and results as PortableBins. Its functions are compiled for AVX-512
// whatever the build's baseline, so only code that has checked the
// processor may call them.
#pragma once

#include "platform/median_bins_avx2.h"

#include <cstddef>

#if defined(IMGNORM_HAVE_AVX2_BINS)
#define IMGNORM_HAVE_AVX512_BINS 1

#define VK_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi,bmi2")))
#define VK_AVX512_BINS VK_AVX512 __attribute__((always_inline))  // as VK_AVX2_BINS

namespace vk_detail {

struct Avx512Bins : Avx2Bins {
    // Counts w more values of digit d: w in lanes d and above. The addend is
    // added to the whole group, which is stored whole (written as a masked
    // add, the compiler makes it a masked store, which is slower).
    VK_AVX512_BINS static void count(std::uint16_t* p, int d, std::int32_t w) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v, _mm256_add_epi16(_mm256_load_si256(v), weighted(d, w)));
    }
    VK_AVX512_BINS static void count2(std::uint16_t* p, int d1, std::int32_t w1, int d2,
                                      std::int32_t w2) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v,
                           _mm256_add_epi16(_mm256_load_si256(v),
                                            _mm256_add_epi16(weighted(d1, w1), weighted(d2, w2))));
    }
    // Counts never exceed 32767, so the signed comparison is exact.
    VK_AVX512_BINS static int firstAbove(const Group& g, const Group& rank) {
        return __builtin_ctz(static_cast<unsigned>(_mm256_cmpgt_epi16_mask(g.v, rank.v)));
    }
    // Lane k - 1 broadcast by one permute, zeroed for k = 0.
    VK_AVX512_BINS static Group laneBelow(const Group& g, int k) {
        const auto keep = static_cast<__mmask16>(k == 0 ? 0 : 0xFFFF);
        return {_mm256_maskz_permutexvar_epi16(keep, _mm256_set1_epi16(static_cast<short>(k - 1)),
                                               g.v)};
    }

    // Bit j set where p[j] (32 values, unaligned) has high byte `high`: one
    // compare into a mask register.
    VK_AVX512_BINS static std::uint32_t sameHigh(const std::uint16_t* p, std::uint32_t high) {
        return _mm512_cmpeq_epi16_mask(_mm512_srli_epi16(_mm512_loadu_si512(p), 8),
                                       _mm512_set1_epi16(static_cast<short>(high)));
    }

    // Slides n consecutive groups at p by the n groups of counts at in and
    // at out (16-byte aligned), two groups to a 512-bit vector.
    VK_AVX512_BINS static void slideMany(std::uint16_t* p, const std::uint8_t* in,
                                         const std::uint8_t* out, std::size_t n) {
        std::size_t g = 0;
        for (; g + 2 <= n; g += 2) {
            const __m512i add = _mm512_cvtepu8_epi16(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 16 * g)));
            const __m512i sub = _mm512_cvtepu8_epi16(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out + 16 * g)));
            auto* v = reinterpret_cast<__m512i*>(p + 16 * g);
            _mm512_storeu_si512(
                v, _mm512_add_epi16(_mm512_loadu_si512(v), _mm512_sub_epi16(add, sub)));
        }
        if (g < n)
            store(p + 16 * g, slide(load(p + 16 * g), load(in + 16 * g), load(out + 16 * g)));
    }
    VK_AVX512_BINS static void slideMany(std::uint16_t* p, const std::uint16_t* in,
                                         const std::uint16_t* out, std::size_t n) {
        std::size_t g = 0;
        for (; g + 2 <= n; g += 2) {
            auto* v = reinterpret_cast<__m512i*>(p + 16 * g);
            _mm512_storeu_si512(
                v, _mm512_add_epi16(_mm512_loadu_si512(v),
                                    _mm512_sub_epi16(_mm512_loadu_si512(in + 16 * g),
                                                     _mm512_loadu_si512(out + 16 * g))));
        }
        if (g < n)
            store(p + 16 * g, slide(load(p + 16 * g), load(in + 16 * g), load(out + 16 * g)));
    }

  private:
    VK_AVX512_BINS static __m256i weighted(int d, std::int32_t w) {
        return _mm256_maskz_set1_epi16(static_cast<__mmask16>(0xFFFFu << d), static_cast<short>(w));
    }
};

}  // namespace vk_detail

#endif
