// Groups of 16 histogram bins for the median kernel on SSE2 (part of every
// x86-64 processor): a group is two 8-lane vectors. Same operations and
// results as PortableBins.
#pragma once

#if defined(__SSE2__)
#define IMGNORM_HAVE_SSE2_BINS 1

#include <emmintrin.h>

#include <cstdint>

namespace vk_detail {

struct Sse2Bins {
    struct Group {
        __m128i lo, hi;
    };

    static Group zero() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
    static Group load(const std::uint16_t* p) {
        const auto* v = reinterpret_cast<const __m128i*>(p);
        return {_mm_load_si128(v), _mm_load_si128(v + 1)};
    }
    // 16 bytes (16-byte aligned) widened to lanes.
    static Group load(const std::uint8_t* p) {
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
        return {_mm_unpacklo_epi8(b, _mm_setzero_si128()),
                _mm_unpackhi_epi8(b, _mm_setzero_si128())};
    }
    static void store(std::uint16_t* p, const Group& g) {
        auto* v = reinterpret_cast<__m128i*>(p);
        _mm_store_si128(v, g.lo);
        _mm_store_si128(v + 1, g.hi);
    }
    static Group add(const Group& a, const Group& b) {
        return {_mm_add_epi16(a.lo, b.lo), _mm_add_epi16(a.hi, b.hi)};
    }
    static Group slide(const Group& a, const Group& in, const Group& out) {
        return {_mm_add_epi16(a.lo, _mm_sub_epi16(in.lo, out.lo)),
                _mm_add_epi16(a.hi, _mm_sub_epi16(in.hi, out.hi))};
    }
    static Group addTimes(const Group& a, const Group& g, std::int32_t times) {
        const __m128i t = _mm_set1_epi16(static_cast<short>(times));
        return {_mm_add_epi16(a.lo, _mm_mullo_epi16(g.lo, t)),
                _mm_add_epi16(a.hi, _mm_mullo_epi16(g.hi, t))};
    }
    // Lanes d and above: lane index >= d, as all-ones lanes, and with w.
    static void count(std::uint16_t* p, int d, std::int32_t w) {
        const __m128i dv = _mm_set1_epi16(static_cast<short>(d - 1));
        const __m128i wv = _mm_set1_epi16(static_cast<short>(w));
        const __m128i lo =
            _mm_and_si128(_mm_cmpgt_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7), dv), wv);
        const __m128i hi =
            _mm_and_si128(_mm_cmpgt_epi16(_mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15), dv), wv);
        auto* v = reinterpret_cast<__m128i*>(p);
        _mm_store_si128(v, _mm_add_epi16(_mm_load_si128(v), lo));
        _mm_store_si128(v + 1, _mm_add_epi16(_mm_load_si128(v + 1), hi));
    }
    static void count2(std::uint16_t* p, int d1, std::int32_t w1, int d2, std::int32_t w2) {
        count(p, d1, w1);
        count(p, d2, w2);
    }
    static Group splat(std::uint32_t x) {
        const __m128i v = _mm_set1_epi16(static_cast<short>(x));
        return {v, v};
    }
    static Group prefixSum(const Group& g) {
        const __m128i lo = runningSum(g.lo);
        // Lane 7 of the low half in every lane.
        const __m128i top = _mm_shufflehi_epi16(lo, 0xFF);
        return {lo, _mm_add_epi16(runningSum(g.hi), _mm_unpackhi_epi64(top, top))};
    }
    // Counts never exceed 32767, so the signed comparison is exact.
    static int firstAbove(const Group& g, const Group& rank) {
        const __m128i above =
            _mm_packs_epi16(_mm_cmpgt_epi16(g.lo, rank.lo), _mm_cmpgt_epi16(g.hi, rank.hi));
        return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(above)));
    }
    static Group laneBelow(const Group& g, int k) {
        if (k == 0) return zero();
        alignas(16) std::uint16_t t[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(t), g.lo);
        _mm_store_si128(reinterpret_cast<__m128i*>(t + 8), g.hi);
        return splat(t[k - 1]);
    }
    static std::uint32_t total(const Group& g) {
        return static_cast<std::uint32_t>(_mm_extract_epi16(g.hi, 7)) & 0xFFFF;
    }

  private:
    // Running sums within 8 lanes.
    static __m128i runningSum(__m128i x) {
        x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
        return _mm_add_epi16(x, _mm_slli_si128(x, 8));
    }
};

}  // namespace vk_detail

#endif
