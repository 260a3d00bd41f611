// Groups of 16 histogram bins for the median kernel, on SSE2 (part of every
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
    using Sums = Group;

    static Group zero() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
    static Group load(const std::uint16_t* p) {
        const auto* v = reinterpret_cast<const __m128i*>(p);
        return {_mm_load_si128(v), _mm_load_si128(v + 1)};
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
    static Sums sums(const Group& g) {
        const __m128i lo = prefix8(g.lo);
        // Carry the low half's total into every lane of the high half.
        __m128i carry = _mm_shufflehi_epi16(lo, 0xFF);
        carry = _mm_unpackhi_epi64(carry, carry);
        return {lo, _mm_add_epi16(prefix8(g.hi), carry)};
    }
    static std::uint32_t total(const Sums& s) {
        return static_cast<std::uint32_t>(_mm_extract_epi16(s.hi, 7));
    }
    // Running sums never exceed 32767, so the signed comparison is exact.
    static int firstAbove(const Sums& s, std::uint32_t rank) {
        const __m128i r = _mm_set1_epi16(static_cast<short>(rank));
        const __m128i above = _mm_packs_epi16(_mm_cmpgt_epi16(s.lo, r), _mm_cmpgt_epi16(s.hi, r));
        return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(above)));
    }
    static std::uint32_t before(const Sums& s, int k) {
        alignas(16) std::uint16_t t[24];
        t[7] = 0;
        _mm_store_si128(reinterpret_cast<__m128i*>(t + 8), s.lo);
        _mm_store_si128(reinterpret_cast<__m128i*>(t + 16), s.hi);
        return t[7 + k];
    }

  private:
    static __m128i prefix8(__m128i v) {
        v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
        return _mm_add_epi16(v, _mm_slli_si128(v, 8));
    }
};

}  // namespace vk_detail

#endif
