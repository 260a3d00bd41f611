// Groups of 16 histogram bins for the median kernel on AVX-512 (BW and VL):
// a group is one 16-lane vector of 256 bits, as on AVX2, but counting a
// value in is one masked add (the mask of lanes d and above is a shift) and
// a search compares into a mask register. Same operations and results as
// PortableBins. Its functions are compiled for AVX-512 whatever the build's
// baseline, so only code that has checked the processor may call them.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define IMGNORM_HAVE_AVX512_BINS 1

#include <immintrin.h>

#include <cstdint>

#define VK_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi,bmi2")))

namespace vk_detail {

struct Avx512Bins {
    struct Group {
        __m256i v;
    };

    VK_AVX512 static Group zero() { return {_mm256_setzero_si256()}; }
    VK_AVX512 static Group load(const std::uint16_t* p) {
        return {_mm256_load_si256(reinterpret_cast<const __m256i*>(p))};
    }
    VK_AVX512 static void store(std::uint16_t* p, const Group& g) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(p), g.v);
    }
    VK_AVX512 static Group add(const Group& a, const Group& b) {
        return {_mm256_add_epi16(a.v, b.v)};
    }
    VK_AVX512 static Group slide(const Group& a, const Group& in, const Group& out) {
        return {_mm256_add_epi16(a.v, _mm256_sub_epi16(in.v, out.v))};
    }
    VK_AVX512 static Group addTimes(const Group& a, const Group& g, std::int32_t times) {
        return {_mm256_add_epi16(
            a.v, _mm256_mullo_epi16(g.v, _mm256_set1_epi16(static_cast<short>(times))))};
    }
    // Counts w more values of digit d: w in lanes d and above. The addend is
    // formed under the mask and the whole vector stored (a masked store is
    // slower).
    VK_AVX512 static void count(std::uint16_t* p, int d, std::int32_t w) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v, _mm256_add_epi16(_mm256_load_si256(v), weighted(d, w)));
    }
    VK_AVX512 static void count2(std::uint16_t* p, int d1, std::int32_t w1, int d2,
                                 std::int32_t w2) {
        auto* v = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(v,
                           _mm256_add_epi16(_mm256_load_si256(v),
                                            _mm256_add_epi16(weighted(d1, w1), weighted(d2, w2))));
    }
    VK_AVX512 static Group splat(std::uint32_t x) { return {splat16(x)}; }
    // Running sums within each 128-bit half, then the low half's last lane
    // added to the high half.
    VK_AVX512 static Group prefixSum(const Group& g) {
        __m256i x = _mm256_add_epi16(g.v, _mm256_slli_si256(g.v, 2));
        x = _mm256_add_epi16(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi16(x, _mm256_slli_si256(x, 8));
        const __m256i last = _mm256_shuffle_epi8(x, _mm256_set1_epi16(0x0F0E));
        return {_mm256_add_epi16(x, _mm256_permute2x128_si256(last, last, 0x08))};
    }
    // Counts never exceed 32767, so the signed comparison is exact.
    VK_AVX512 static int firstAbove(const Group& g, const Group& rank) {
        return __builtin_ctz(static_cast<unsigned>(_mm256_cmpgt_epi16_mask(g.v, rank.v)));
    }
    // Lane k - 1 broadcast by one permute, zeroed for k = 0.
    VK_AVX512 static Group laneBelow(const Group& g, int k) {
        const auto keep = static_cast<__mmask16>(k == 0 ? 0 : 0xFFFF);
        return {
            _mm256_maskz_permutexvar_epi16(keep, splat16(static_cast<std::uint32_t>(k - 1)), g.v)};
    }
    VK_AVX512 static std::uint32_t total(const Group& g) {
        return static_cast<std::uint32_t>(_mm256_extract_epi16(g.v, 15)) & 0xFFFF;
    }

  private:
    VK_AVX512 static __m256i weighted(int d, std::int32_t w) {
        return _mm256_maskz_set1_epi16(static_cast<__mmask16>(0xFFFFu << d), static_cast<short>(w));
    }
    template <class I>
    VK_AVX512 static __m256i splat16(I x) {
        return _mm256_set1_epi16(static_cast<short>(x));
    }
};

}  // namespace vk_detail

#endif
