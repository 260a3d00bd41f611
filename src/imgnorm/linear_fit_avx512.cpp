// The linear fit's refinement sums over a row of deep pixels, compiled for
// AVX-512 (BW and VBMI) and chosen at run time by linear_fit.cpp when the
// processor has it. 64 pixels at a time: their reduced values as bytes, the
// run of kept template values of each run-time value from in-register
// tables, and the sums in 32-bit lanes, exact for 2^16 pixels, then in the
// caller's 64-bit sums.
#include "imgnorm/linear_fit.h"

#include "platform/cpu.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define VK_FIT_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi,bmi2,popcnt")))

namespace imgnorm_detail {

namespace {

// Pixels summed in 32-bit lanes before they go to the 64-bit sums: a lane
// gains at most 4 * 2 * 255 * 255 per 64 pixels (Cross), so 2^16 pixels
// stay below 2^30.
constexpr std::int32_t kLanePixels = 1 << 16;

struct Lanes {
    __m512i r, t, rhrh, rhrl, rlrl, rhth, cross, rltl;
};

// The bytes table[i] of a 256-byte table held in four registers: the low
// seven bits of i index a half, the top bit picks the half.
VK_FIT_AVX512 inline __m512i lookup(const __m512i* table, __m512i i) {
    const __m512i low = _mm512_permutex2var_epi8(table[0], i, table[1]);
    const __m512i high = _mm512_permutex2var_epi8(table[2], i, table[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(i), low, high);
}

// Adds the 32 pixels of r and t that keep selects, bytes split.
VK_FIT_AVX512 inline void addPixels(Lanes& a, __m512i r, __m512i t, __mmask32 keep) {
    const __m512i low = _mm512_set1_epi16(0xFF), one = _mm512_set1_epi16(1),
                  byte = _mm512_set1_epi16(256);
    r = _mm512_maskz_mov_epi16(keep, r);
    t = _mm512_maskz_mov_epi16(keep, t);
    const __m512i rh = _mm512_srli_epi16(r, 8), rl = _mm512_and_si512(r, low);
    const __m512i th = _mm512_srli_epi16(t, 8), tl = _mm512_and_si512(t, low);
    a.r = _mm512_add_epi32(
        a.r, _mm512_add_epi32(_mm512_madd_epi16(rh, byte), _mm512_madd_epi16(rl, one)));
    a.t = _mm512_add_epi32(
        a.t, _mm512_add_epi32(_mm512_madd_epi16(th, byte), _mm512_madd_epi16(tl, one)));
    a.rhrh = _mm512_add_epi32(a.rhrh, _mm512_madd_epi16(rh, rh));
    a.rhrl = _mm512_add_epi32(a.rhrl, _mm512_madd_epi16(rh, rl));
    a.rlrl = _mm512_add_epi32(a.rlrl, _mm512_madd_epi16(rl, rl));
    a.rhth = _mm512_add_epi32(a.rhth, _mm512_madd_epi16(rh, th));
    a.cross = _mm512_add_epi32(
        a.cross, _mm512_add_epi32(_mm512_madd_epi16(rh, tl), _mm512_madd_epi16(rl, th)));
    a.rltl = _mm512_add_epi32(a.rltl, _mm512_madd_epi16(rl, tl));
}

// The sum of the sixteen 32-bit lanes, each taken as unsigned.
VK_FIT_AVX512 inline std::uint64_t laneSum(__m512i v) {
    alignas(64) std::uint32_t lanes[16];
    _mm512_store_si512(lanes, v);
    std::uint64_t sum = 0;
    for (std::uint32_t lane : lanes)
        sum += lane;
    return sum;
}

struct Row {
    const std::uint16_t* rt;
    const std::uint16_t* tp;
    const std::uint8_t* wt;
    __m512i lo[4], hi[4];
    __m128i shift;
    __m512i lowBytes;  // byte k of two registers of words: the low byte of word k
};

// Adds the pixels x .. x + 63 that valid selects.
VK_FIT_AVX512 inline std::uint64_t addBlock(const Row& row, std::int32_t x, __mmask64 valid,
                                            Lanes& a) {
    const auto v0 = static_cast<__mmask32>(valid), v1 = static_cast<__mmask32>(valid >> 32);
    const __m512i r0 = _mm512_maskz_loadu_epi16(v0, row.rt + x),
                  r1 = _mm512_maskz_loadu_epi16(v1, row.rt + x + 32);
    const __m512i t0 = _mm512_maskz_loadu_epi16(v0, row.tp + x),
                  t1 = _mm512_maskz_loadu_epi16(v1, row.tp + x + 32);
    const __m512i r = _mm512_permutex2var_epi8(_mm512_srl_epi16(r0, row.shift), row.lowBytes,
                                               _mm512_srl_epi16(r1, row.shift));
    const __m512i t = _mm512_permutex2var_epi8(_mm512_srl_epi16(t0, row.shift), row.lowBytes,
                                               _mm512_srl_epi16(t1, row.shift));
    __mmask64 keep = valid & _mm512_cmp_epu8_mask(lookup(row.lo, r), t, _MM_CMPINT_LE) &
                     _mm512_cmp_epu8_mask(t, lookup(row.hi, r), _MM_CMPINT_LE);
    if (row.wt != nullptr) {
        const __m512i w = _mm512_maskz_loadu_epi8(valid, row.wt + x);
        keep &= _mm512_test_epi8_mask(w, w);
    }
    addPixels(a, r0, t0, static_cast<__mmask32>(keep));
    addPixels(a, r1, t1, static_cast<__mmask32>(keep >> 32));
    return static_cast<std::uint64_t>(_mm_popcnt_u64(keep));
}

}  // namespace

bool keptRowAvx512Available() { return vk_detail::cpuHasAvx512Vbmi(); }

VK_FIT_AVX512 void addKeptRowAvx512(const std::uint16_t* rt, const std::uint16_t* tp,
                                    const std::uint8_t* wt, std::int32_t w, const KeptRuns& runs,
                                    int shift, std::uint64_t* sums) {
    Row row{rt, tp, wt, {}, {}, _mm_cvtsi32_si128(shift), {}};
    for (int k = 0; k < 4; ++k) {
        row.lo[k] = _mm512_loadu_si512(runs.lo.data() + 64 * k);
        row.hi[k] = _mm512_loadu_si512(runs.hi.data() + 64 * k);
    }
    alignas(64) std::uint8_t even[64];
    for (int k = 0; k < 64; ++k)
        even[k] = static_cast<std::uint8_t>(2 * k);
    row.lowBytes = _mm512_load_si512(even);
    for (std::int32_t x0 = 0; x0 < w; x0 += kLanePixels) {
        const std::int32_t end = w - x0 < kLanePixels ? w : x0 + kLanePixels;
        Lanes a{};
        std::uint64_t count = 0;
        std::int32_t x = x0;
        for (; x + 64 <= end; x += 64)
            count += addBlock(row, x, ~__mmask64{0}, a);
        if (x < end)
            count +=
                addBlock(row, x, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(end - x)), a);
        sums[kCount] += count;
        sums[kR] += laneSum(a.r);
        sums[kT] += laneSum(a.t);
        sums[kRhRh] += laneSum(a.rhrh);
        sums[kRhRl] += laneSum(a.rhrl);
        sums[kRlRl] += laneSum(a.rlrl);
        sums[kRhTh] += laneSum(a.rhth);
        sums[kCross] += laneSum(a.cross);
        sums[kRlTl] += laneSum(a.rltl);
    }
}

}  // namespace imgnorm_detail

#else

namespace imgnorm_detail {

bool keptRowAvx512Available() {
    return false;
}

void addKeptRowAvx512(const std::uint16_t*, const std::uint16_t*, const std::uint8_t*, std::int32_t,
                      const KeptRuns&, int, std::uint64_t*) {}

}  // namespace imgnorm_detail

#endif
