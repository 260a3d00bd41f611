// 3 x 3 and 5 x 5 medians of 8-bit and 16-bit images on sorting networks
// over vector lanes, for unmasked filters; other filters take the
// sliding-histogram kernel.
//
// Every result row is made from padded copies of its source rows, so the
// networks never test for an edge. Repeated edges pad with the edge pixels.
// Cut neighbourhoods pad with 0 and the pixel type's largest value (255 or
// 65535) in a pattern that leaves the lower middle of the pixels inside the
// window in the middle: a neighbourhood of N = k * k places that misses m
// pixels must rank ceil(m / 2) of them below
// and floor(m / 2) above every pixel, so the result, the middle of all N,
// is the pixel of rank (n - 1) / 2 of the n = N - m inside. A missing row
// at distance j beyond an edge holds z(j) = ceil(j k / 2) - ceil((j - 1) k / 2)
// zeros in every k consecutive pixels (zero where x mod k < z(j)), so the
// rows missing from any neighbourhood (those at distances 1 .. m') hold
// ceil(m' k / 2) zeros in it; missing columns likewise along y. Only the
// corner results, whose neighbourhoods miss rows and columns at once, are
// sorted directly.
//
// 3 x 3: each column of three is sorted once per row; a result is the
// middle of (the largest minimum, the middle middle, the smallest maximum)
// of its three columns. 5 x 5: two result rows share the four source rows
// between them; per column those four are sorted, a pruned merging network
// yields ranks 7 .. 12 of the 20 values of five such columns, and each
// result combines them with its own fifth row's five values, sorted: the
// rank 12 of the union is min over i of max(A[i], B[11 - i]) (i = 7 .. 11)
// and A[12].
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define IMGNORM_HAVE_STREAMING_STORES 1
#endif

#include "imgnorm/attention.h"
#include "platform/median_kernel.h"
#include "platform/rows.h"

namespace {

// 32 bytes of pixels in vector lanes (GCC and clang vector extension; the
// baseline build splits it into SSE2 halves).
template <class T>
struct Lanes;
template <>
struct Lanes<std::uint8_t> {
    typedef std::uint8_t Vec __attribute__((vector_size(32)));
};
template <>
struct Lanes<std::uint16_t> {
    typedef std::uint16_t Vec __attribute__((vector_size(32)));
};
template <class T>
using Vec = typename Lanes<T>::Vec;
template <class T>
constexpr std::int32_t kLanes = 32 / sizeof(T);

// Compare-exchange: a gets the minimum, b the maximum. For Vec and for
// single pixels, which finish each row.
#define VK_INLINE [[gnu::always_inline]] inline

template <class U>
VK_INLINE void cswap(U& a, U& b) {
    const U lo = a < b ? a : b;
    b = a < b ? b : a;
    a = lo;
}
template <class U>
VK_INLINE void keepMin(U& a, const U& b) {
    a = a < b ? a : b;
}
template <class U>
VK_INLINE void keepMax(U& a, const U& b) {
    a = a < b ? b : a;
}

// Vectors go through references only: passing them by value would depend on
// the instruction set the caller was compiled for.
template <class U, class T>
VK_INLINE void broadcast(U& v, T x) {
    if constexpr (sizeof(U) == sizeof(T))
        v = x;
    else
        for (std::size_t i = 0; i < sizeof(U) / sizeof(T); ++i)
            v[i] = x;
}
template <class U, class T>
VK_INLINE void load(U& v, const T* p) {
    std::memcpy(&v, p, sizeof(U));
}
template <class U, class T>
VK_INLINE void store(T* p, const U& v) {
    std::memcpy(p, &v, sizeof(U));
}
// Stores a result; with Stream, whole vectors at 16-byte aligned p bypass
// the caches (rows that start elsewhere, and single pixels, are stored as
// usual). Ordinary stores read each line of a result that is not in the
// cache before they write it, so a large result costs three image sizes of
// memory traffic where a read and a write need two.
template <bool Stream, class U, class T>
VK_INLINE void storeResult(T* p, const U& v) {
#if defined(IMGNORM_HAVE_STREAMING_STORES)
    if constexpr (Stream && sizeof(U) == 32)
        if ((reinterpret_cast<std::uintptr_t>(p) & 15) == 0) {
            __m128i a, b;
            std::memcpy(&a, &v, 16);
            std::memcpy(&b, reinterpret_cast<const char*>(&v) + 16, 16);
            _mm_stream_si128(reinterpret_cast<__m128i*>(p), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(p) + 1, b);
            return;
        }
#endif
    store(p, v);
}

// Calls body.template at<Vec<T>>(i) for i in steps of kLanes<T>, then
// body.template at<T>(i) for the rest, T being the body's pixel type.
template <class Body>
VK_INLINE void forLanes(std::int32_t n, Body& body) {
    using T = typename Body::Pel;
    std::int32_t i = 0;
    for (; i + kLanes<T> <= n; i += kLanes<T>)
        body.template at<Vec<T>>(i);
    for (; i < n; ++i)
        body.template at<T>(i);
}

// Sorting networks: comparators on wires i < j; a comparator may keep only
// the half a later one needs.
enum class Keep : std::uint8_t { Both, Min, Max };
struct Comparator {
    std::uint8_t i, j;
    Keep keep;
};

template <class U, Comparator C>
VK_INLINE void apply(U* v) {
    if constexpr (C.keep == Keep::Both)
        cswap(v[C.i], v[C.j]);
    else if constexpr (C.keep == Keep::Min)
        keepMin(v[C.i], v[C.j]);
    else
        keepMax(v[C.j], v[C.i]);
}
// Applies the comparators of Network to the wires v, in order.
template <class U, const auto& Network, std::size_t... K>
VK_INLINE void applyNetwork(U* v, std::index_sequence<K...>) {
    (apply<U, Network[K]>(v), ...);
}
template <class U, const auto& Network>
VK_INLINE void applyNetwork(U* v) {
    applyNetwork<U, Network>(v, std::make_index_sequence<std::size(Network)>());
}

// Sorts N rows (wire k: row in[k]) lane by lane into the rows out.
template <class T, std::size_t N, const auto& Network>
struct SortLanes {
    using Pel = T;
    const T* in[N];
    T* out[N];
    // A row to fetch into the cache on the way (null: none).
    const T* ahead = nullptr;
    template <class U>
    VK_INLINE void at(std::int32_t i) {
        if (sizeof(U) > sizeof(T) && ahead != nullptr) __builtin_prefetch(ahead + i);
        at<U>(i, std::make_index_sequence<N>());
    }
    // Unrolled, so that the wires stay in registers.
    template <class U, std::size_t... K>
    VK_INLINE void at(std::int32_t i, std::index_sequence<K...>) {
        U v[N];
        (load(v[K], in[K] + i), ...);
        applyNetwork<U, Network>(v);
        (store(out[K] + i, v[K]), ...);
    }
};

constexpr Comparator kSort3[] = {{0, 1, Keep::Both}, {1, 2, Keep::Both}, {0, 1, Keep::Both}};
constexpr Comparator kSort4[] = {{0, 1, Keep::Both},
                                 {2, 3, Keep::Both},
                                 {0, 2, Keep::Both},
                                 {1, 3, Keep::Both},
                                 {1, 2, Keep::Both}};
constexpr Comparator kSort5[] = {{0, 1, Keep::Both}, {3, 4, Keep::Both}, {2, 4, Keep::Both},
                                 {2, 3, Keep::Both}, {0, 3, Keep::Both}, {0, 2, Keep::Both},
                                 {1, 4, Keep::Both}, {1, 3, Keep::Both}, {1, 2, Keep::Both}};

// 3 x 3 -------------------------------------------------------------------

template <class T, bool Stream>
struct Median3 {
    using Pel = T;
    const T *lo, *mid, *hi;
    T* out;
    template <class U>
    VK_INLINE void at(std::int32_t i) {
        U l, l1, l2, h, h1, h2, m0, m1, m2;
        load(l, lo + i);
        load(l1, lo + i + 1);
        load(l2, lo + i + 2);
        load(h, hi + i);
        load(h1, hi + i + 1);
        load(h2, hi + i + 2);
        load(m0, mid + i);
        load(m1, mid + i + 1);
        load(m2, mid + i + 2);
        keepMax(l, l1);
        keepMax(l, l2);
        keepMin(h, h1);
        keepMin(h, h2);
        cswap(m0, m1);
        keepMin(m1, m2);
        keepMax(m0, m1);  // m0: the middle of the middles
        cswap(l, m0);
        keepMin(m0, h);
        keepMax(l, m0);
        storeResult<Stream>(out + i, l);
    }
};

// Columns 0 .. n - 1 of three rows, each sorted into lo, mid and hi, while
// the same columns of the row ahead (unless null), which the next result row
// sorts, are fetched: the hardware's prefetcher alone leaves the loads of
// each new row waiting for memory.
template <class T>
VK_INLINE void sort3Columns(const T* a, const T* b, const T* c, T* lo, T* mid, T* hi,
                            std::int32_t n, const T* ahead) {
    SortLanes<T, 3, kSort3> sort{{a, b, c}, {lo, mid, hi}, ahead};
    forLanes(n, sort);
}
// Results 0 .. n - 1 from sorted columns 0 .. n + 1 (Stream: see
// storeResult).
template <class T, bool Stream>
VK_INLINE void median3x3Row(const T* lo, const T* mid, const T* hi, std::int32_t n, T* out) {
    Median3<T, Stream> med{lo, mid, hi, out};
    forLanes(n, med);
}

// 5 x 5 -------------------------------------------------------------------

// Ranks 7 .. 12 (wires 7 .. 12) of the 20 values of five sorted columns of
// four (wire 4 c + e: value e of column c): Batcher's odd-even merges of
// columns 0 and 1, 2 and 3, then of those two, then with column 4, with the
// comparators no wanted rank depends on left out, and of the others only
// the half that is used.
constexpr Comparator kRanks7To12[] = {
    {0, 4, Keep::Both},   {2, 6, Keep::Both},   {2, 4, Keep::Both},   {1, 5, Keep::Both},
    {3, 7, Keep::Both},   {3, 5, Keep::Both},   {1, 2, Keep::Both},   {3, 4, Keep::Both},
    {5, 6, Keep::Both},   {8, 12, Keep::Both},  {10, 14, Keep::Both}, {10, 12, Keep::Both},
    {9, 13, Keep::Both},  {11, 15, Keep::Both}, {11, 13, Keep::Both}, {9, 10, Keep::Both},
    {11, 12, Keep::Both}, {13, 14, Keep::Both}, {0, 8, Keep::Both},   {4, 12, Keep::Both},
    {4, 8, Keep::Both},   {2, 10, Keep::Both},  {6, 14, Keep::Both},  {6, 10, Keep::Both},
    {2, 4, Keep::Both},   {6, 8, Keep::Both},   {10, 12, Keep::Both}, {1, 9, Keep::Both},
    {5, 13, Keep::Both},  {5, 9, Keep::Both},   {3, 11, Keep::Both},  {7, 15, Keep::Min},
    {7, 11, Keep::Both},  {3, 5, Keep::Both},   {7, 9, Keep::Both},   {11, 13, Keep::Both},
    {1, 2, Keep::Both},   {3, 4, Keep::Both},   {5, 6, Keep::Both},   {7, 8, Keep::Both},
    {9, 10, Keep::Both},  {11, 12, Keep::Both}, {13, 14, Keep::Min},  {0, 16, Keep::Max},
    {8, 16, Keep::Both},  {4, 8, Keep::Max},    {12, 16, Keep::Min},  {2, 18, Keep::Max},
    {10, 18, Keep::Min},  {6, 10, Keep::Both},  {6, 8, Keep::Max},    {10, 12, Keep::Both},
    {1, 17, Keep::Max},   {9, 17, Keep::Both},  {5, 9, Keep::Max},    {13, 17, Keep::Min},
    {3, 19, Keep::Max},   {11, 19, Keep::Min},  {7, 11, Keep::Both},  {7, 9, Keep::Both},
    {11, 13, Keep::Min},  {7, 8, Keep::Both},   {9, 10, Keep::Both},  {11, 12, Keep::Both}};

template <class T, bool Stream>
struct Median5Pair {
    using Pel = T;
    const T* s[4];      // sorted middle rows, by column
    const T* above[5];  // sorted windows of the row above them
    const T* below[5];  // ... and of the row below
    T *outA, *outB;
    template <class U>
    VK_INLINE void at(std::int32_t i) {
        U v[20];
        for (int c = 0; c < 5; ++c)
            for (int e = 0; e < 4; ++e)
                load(v[4 * c + e], s[e] + i + c);
        applyNetwork<U, kRanks7To12>(v);
        U r;
        combine(v, above, i, r);
        storeResult<Stream>(outA + i, r);
        combine(v, below, i, r);
        storeResult<Stream>(outB + i, r);
    }
    // r: rank 12 of the 20 (ranks 7 .. 12 in v[7 .. 12]) and five sorted b.
    template <class U>
    VK_INLINE static void combine(const U* v, const T* const* b, std::int32_t i, U& r) {
        r = v[12];
        for (int k = 7; k < 12; ++k) {
            U t;
            load(t, b[11 - k] + i);
            keepMax(t, v[k]);
            keepMin(r, t);
        }
    }
};

// Results 0 .. n - 1 of two rows from padded columns 0 .. n + 3 of the six
// rows around them (rows[1 .. 4] are shared; Stream: see storeResult).
template <class T>
struct Pair5Buffers {
    T *s[4], *above[5], *below[5];
    // The source rows the next pair adds, fetched into the cache on the way
    // (null: none; see sort3Columns).
    const T* ahead[2];
};
template <class T, bool Stream>
VK_INLINE void median5x5Rows(const T* const* rows, const Pair5Buffers<T>& t, std::int32_t n,
                             T* outA, T* outB) {
    // Columns of the four shared rows, and each window of five consecutive
    // pixels of the rows above and below them, sorted.
    SortLanes<T, 4, kSort4> sort{{rows[1], rows[2], rows[3], rows[4]},
                                 {t.s[0], t.s[1], t.s[2], t.s[3]}};
    forLanes(n + 4, sort);
    const T* r0 = rows[0];
    SortLanes<T, 5, kSort5> a{{r0, r0 + 1, r0 + 2, r0 + 3, r0 + 4},
                              {t.above[0], t.above[1], t.above[2], t.above[3], t.above[4]},
                              t.ahead[0]};
    forLanes(n, a);
    const T* r5 = rows[5];
    SortLanes<T, 5, kSort5> b{{r5, r5 + 1, r5 + 2, r5 + 3, r5 + 4},
                              {t.below[0], t.below[1], t.below[2], t.below[3], t.below[4]},
                              t.ahead[1]};
    forLanes(n, b);
    Median5Pair<T, Stream> med{{t.s[0], t.s[1], t.s[2], t.s[3]},
                               {t.above[0], t.above[1], t.above[2], t.above[3], t.above[4]},
                               {t.below[0], t.below[1], t.below[2], t.below[3], t.below[4]},
                               outA,
                               outB};
    forLanes(n, med);
}

template <class T>
struct ClampRow {
    using Pel = T;
    T* p;
    T lo, hi;
    template <class U>
    VK_INLINE void at(std::int32_t i) {
        U v, l, h;
        load(v, p + i);
        broadcast(l, lo);
        broadcast(h, hi);
        keepMax(v, l);
        keepMin(v, h);
        store(p + i, v);
    }
};
template <class T>
VK_INLINE void clampRow(T* p, std::int32_t n, T lo, T hi) {
    ClampRow<T> c{p, lo, hi};
    forLanes(n, c);
}

// The row kernels, compiled for the baseline and for AVX2 from the same
// source: the helpers above are always inlined, so each copy is vectorized
// for its own instruction set.
template <class T>
struct RowKernels {
    void (*sort3)(const T*, const T*, const T*, T*, T*, T*, std::int32_t, const T*);
    void (*median3)(const T*, const T*, const T*, std::int32_t, T*);
    void (*median3Stream)(const T*, const T*, const T*, std::int32_t, T*);
    void (*median5)(const T* const*, const Pair5Buffers<T>&, std::int32_t, T*, T*);
    void (*median5Stream)(const T* const*, const Pair5Buffers<T>&, std::int32_t, T*, T*);
    void (*clamp)(T*, std::int32_t, T, T);
};

#define VK_SMALL_MEDIAN_KERNELS(NAME, T, ATTRIBUTES)                                              \
    ATTRIBUTES void sort3##NAME(const T* a, const T* b, const T* c, T* lo, T* mid, T* hi,         \
                                std::int32_t n, const T* ahead) {                                 \
        sort3Columns(a, b, c, lo, mid, hi, n, ahead);                                             \
    }                                                                                             \
    ATTRIBUTES void median3##NAME(const T* lo, const T* mid, const T* hi, std::int32_t n,         \
                                  T* out) {                                                       \
        median3x3Row<T, false>(lo, mid, hi, n, out);                                              \
    }                                                                                             \
    ATTRIBUTES void median3Stream##NAME(const T* lo, const T* mid, const T* hi, std::int32_t n,   \
                                        T* out) {                                                 \
        median3x3Row<T, true>(lo, mid, hi, n, out);                                               \
    }                                                                                             \
    ATTRIBUTES void median5##NAME(const T* const* rows, const Pair5Buffers<T>& t, std::int32_t n, \
                                  T* outA, T* outB) {                                             \
        median5x5Rows<T, false>(rows, t, n, outA, outB);                                          \
    }                                                                                             \
    ATTRIBUTES void median5Stream##NAME(const T* const* rows, const Pair5Buffers<T>& t,           \
                                        std::int32_t n, T* outA, T* outB) {                       \
        median5x5Rows<T, true>(rows, t, n, outA, outB);                                           \
    }                                                                                             \
    ATTRIBUTES void clamp##NAME(T* p, std::int32_t n, T lo, T hi) {                               \
        clampRow(p, n, lo, hi);                                                                   \
    }                                                                                             \
    constexpr RowKernels<T> k##NAME{sort3##NAME,   median3##NAME,       median3Stream##NAME,      \
                                    median5##NAME, median5Stream##NAME, clamp##NAME};

VK_SMALL_MEDIAN_KERNELS(Baseline8, std::uint8_t, )
VK_SMALL_MEDIAN_KERNELS(Baseline16, std::uint16_t, )
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define IMGNORM_HAVE_AVX2_SMALL_MEDIAN 1
VK_SMALL_MEDIAN_KERNELS(Avx2_8, std::uint8_t, __attribute__((target("avx2"))))
VK_SMALL_MEDIAN_KERNELS(Avx2_16, std::uint16_t, __attribute__((target("avx2"))))
#endif

// Zeros in every k consecutive padded pixels of the row (or column) at
// distance j beyond an edge (see the file comment).
constexpr std::int32_t zerosAt(std::int32_t j, std::int32_t k) {
    return (j * k + 1) / 2 - ((j - 1) * k + 1) / 2;
}
template <class T>
T patternAt(std::int32_t j, std::int32_t k, std::int32_t phase) {
    const std::int32_t p = ((phase % k) + k) % k;
    return p < zerosAt(j, k) ? T{0} : std::numeric_limits<T>::max();
}

// The strip's padded source rows: padded column c is window column
// outX - r + c.
template <class T>
class PaddedRows {
  public:
    PaddedRows(const vk_detail::MedianJobOf<T>& job, std::int32_t ring)
        : job_(job),
          r_(job.radiusX),
          width_(job.outWidth + 2 * job.radiusX),
          stride_(width_ + kLanes<T>),
          rows_(static_cast<std::size_t>(ring * stride_)),
          held_(static_cast<std::size_t>(ring), kNone) {}

    // The window's row sy (the nearest one when edges repeat), or null when
    // the padded row is a pattern (a row outside the window of a cut
    // neighbourhood).
    const T* sourceRow(std::int32_t sy) const {
        if (job_.clip && (sy < 0 || sy >= job_.height)) return nullptr;
        return job_.image + std::clamp(sy, 0, job_.height - 1) * job_.imageStride;
    }
    // The window column of padded column 0.
    std::int32_t firstColumn() const { return job_.outX - r_; }
    // Padded column c of the window's row sy (0 <= sy < height or not cut)
    // where it lies outside the window.
    T edge(std::int32_t sy, std::int32_t c) const {
        const std::int32_t w = job_.width, k = 2 * r_ + 1, wc = firstColumn() + c;
        const T* src = sourceRow(sy);
        if (wc < 0) return job_.clip ? patternAt<T>(-wc, k, sy) : src[0];
        return job_.clip ? patternAt<T>(wc - (w - 1), k, sy) : src[w - 1];
    }

    // Padded source row sy (any integer).
    const T* row(std::int32_t sy) {
        const auto slot = static_cast<std::size_t>(((sy % ring()) + ring()) % ring());
        T* p = rows_.data() + slot * static_cast<std::size_t>(stride_);
        if (held_[slot] != sy) {
            fill(sy, p);
            held_[slot] = sy;
        }
        return p;
    }

  private:
    static constexpr std::int32_t kNone = -(1 << 30);
    std::int32_t ring() const { return static_cast<std::int32_t>(held_.size()); }

    void fill(std::int32_t sy, T* p) const {
        const std::int32_t w = job_.width, h = job_.height, k = 2 * r_ + 1;
        const std::int32_t cx0 = firstColumn();
        if (const T* src = sourceRow(sy)) {
            const std::int32_t a = std::max(cx0, 0), b = std::min(cx0 + width_, w);
            std::memcpy(p + (a - cx0), src + a, static_cast<std::size_t>(b - a) * sizeof(T));
            for (std::int32_t c = 0; c < a - cx0; ++c)
                p[c] = edge(sy, c);
            for (std::int32_t c = b - cx0; c < width_; ++c)
                p[c] = edge(sy, c);
        } else {
            const std::int32_t j = sy < 0 ? -sy : sy - (h - 1);
            for (std::int32_t c = 0; c < width_; ++c)
                p[c] = patternAt<T>(j, k, cx0 + c);
        }
    }

    const vk_detail::MedianJobOf<T>& job_;
    std::int32_t r_, width_, stride_;
    std::vector<T> rows_;
    std::vector<std::int32_t> held_;
};

// The median of the neighbourhood of (x, y) cut to the window, directly.
template <class T>
T cutMedian(const vk_detail::MedianJobOf<T>& job, std::int32_t x, std::int32_t y) {
    std::array<T, 25> v{};
    std::size_t n = 0;
    const std::int32_t r = job.radiusX;
    for (std::int32_t sy = std::max(0, y - r); sy <= std::min(job.height - 1, y + r); ++sy)
        for (std::int32_t sx = std::max(0, x - r); sx <= std::min(job.width - 1, x + r); ++sx)
            v[n++] = job.image[sy * job.imageStride + sx];
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>((n - 1) / 2),
                     v.begin() + static_cast<std::ptrdiff_t>(n));
    return std::clamp(v[(n - 1) / 2], job.lo, job.hi);
}

constexpr std::int64_t kStreamBytes = std::int64_t{8} << 20;

template <class T>
bool applies(const vk_detail::MedianJobOf<T>& job) {
    const std::int32_t r = job.radiusX;
    return job.mask == nullptr && r == job.radiusY && (r == 1 || r == 2) && job.width > 2 * r &&
           job.height > 2 * r;
}

// The row kernels for T, on AVX2 or the baseline.
template <class T>
RowKernels<T> kernelsFor(bool avx2) {
#if defined(IMGNORM_HAVE_AVX2_SMALL_MEDIAN)
    if (avx2) {
        if constexpr (sizeof(T) == 1)
            return kAvx2_8;
        else
            return kAvx2_16;
    }
#else
    (void)avx2;
#endif
    if constexpr (sizeof(T) == 1)
        return kBaseline8;
    else
        return kBaseline16;
}

template <class T>
void filter(const vk_detail::MedianJobOf<T>& job, vk_detail::MedianPath path) {
    using vk_detail::MedianPath;
    // AVX-512 processors run the AVX2 kernels.
    const RowKernels<T> kernels = kernelsFor<T>(
        (path == MedianPath::Fastest || path == MedianPath::Avx2 || path == MedianPath::Avx512) &&
        vk_detail::medianPathAvailable(MedianPath::Avx2));
    const std::int32_t r = job.radiusX, n = job.outWidth;
    const std::int32_t y0 = job.outY, y1 = job.outY + job.outHeight;
    const bool clampResults = job.lo != 0 || job.hi != std::numeric_limits<T>::max();
    // Results of images larger than a quarter of this machine's last-level
    // cache go past the caches, unless the clamp reads them again.
    const bool stream = !clampResults && static_cast<std::int64_t>(job.width) * job.height *
                                                 static_cast<std::int64_t>(sizeof(T)) >=
                                             kStreamBytes;
    PaddedRows<T> rows(job, 2 * r + 2);
    const auto stride = static_cast<std::size_t>(n + 4 + kLanes<T>);
    std::vector<T> scratch(15 * stride);
    auto slice = [&](std::size_t k) { return scratch.data() + k * stride; };
    T* out = job.result;
    for (std::int32_t y = y0; y < y1;) {
        if (job.poll && ((y - y0) & 63) == 63) vkAttention::check();
        if (r == 1) {
            T *lo = slice(0), *mid = slice(1), *hi = slice(2);
            const T* src[3] = {rows.sourceRow(y - 1), rows.sourceRow(y), rows.sourceRow(y + 1)};
            if (src[0] != nullptr && src[1] != nullptr && src[2] != nullptr) {
                // Rows of the window: the columns inside it sorted straight
                // from the image, the one or two padded ones apart.
                const std::int32_t cx0 = rows.firstColumn();
                const std::int32_t c0 = std::max(-cx0, 0), c1 = std::min(n + 2, job.width - cx0);
                const T* ahead = y + 2 < job.height ? src[2] + job.imageStride + cx0 + c0 : nullptr;
                kernels.sort3(src[0] + cx0 + c0, src[1] + cx0 + c0, src[2] + cx0 + c0, lo + c0,
                              mid + c0, hi + c0, c1 - c0, ahead);
                const auto sortPadded = [&](std::int32_t c) {
                    T u = rows.edge(y - 1, c), v = rows.edge(y, c), t = rows.edge(y + 1, c);
                    cswap(u, v);
                    cswap(v, t);
                    cswap(u, v);
                    lo[c] = u;
                    mid[c] = v;
                    hi[c] = t;
                };
                for (std::int32_t c = 0; c < c0; ++c)
                    sortPadded(c);
                for (std::int32_t c = c1; c < n + 2; ++c)
                    sortPadded(c);
            } else {
                kernels.sort3(rows.row(y - 1), rows.row(y), rows.row(y + 1), lo, mid, hi, n + 2,
                              nullptr);
            }
            (stream ? kernels.median3Stream : kernels.median3)(lo, mid, hi, n, out);
            if (clampResults) kernels.clamp(out, n, job.lo, job.hi);
            out += job.resultStride;
            ++y;
        } else {
            const T* six[6];
            for (std::int32_t k = 0; k < 6; ++k)
                six[k] = rows.row(y - 2 + k);
            const auto ahead = [&](std::int32_t sy) -> const T* {
                const T* src = sy < job.height ? rows.sourceRow(sy) : nullptr;
                return src != nullptr ? src + std::max(rows.firstColumn(), 0) : nullptr;
            };
            const Pair5Buffers<T> t{{slice(0), slice(1), slice(2), slice(3)},
                                    {slice(4), slice(5), slice(6), slice(7), slice(8)},
                                    {slice(9), slice(10), slice(11), slice(12), slice(13)},
                                    {ahead(y + 4), ahead(y + 5)}};
            // A last single row writes its pair's second row to scratch.
            const bool pair = y + 1 < y1;
            T* outB = pair ? out + job.resultStride : slice(14);
            (stream ? kernels.median5Stream : kernels.median5)(six, t, n, out, outB);
            if (clampResults) {
                kernels.clamp(out, n, job.lo, job.hi);
                kernels.clamp(outB, n, job.lo, job.hi);
            }
            out += 2 * job.resultStride;
            y += 2;
        }
    }
#if defined(IMGNORM_HAVE_STREAMING_STORES)
    // Streamed results are weakly ordered: make them visible before the
    // strip counts as done.
    if (stream) _mm_sfence();
#endif
    if (job.poll) vkAttention::check();
    // Corner results of cut neighbourhoods miss rows and columns at once.
    if (job.clip) {
        const std::int32_t w = job.width, h = job.height;
        for (std::int32_t y = y0; y < y1; ++y) {
            if (y >= r && y < h - r) continue;
            for (std::int32_t x = job.outX; x < job.outX + n; ++x)
                if (x < r || x >= w - r)
                    job.result[(y - y0) * job.resultStride + (x - job.outX)] = cutMedian(job, x, y);
        }
    }
}

}  // namespace

// The entries of each pixel type (median_kernel.h).
#define VK_SMALL_MEDIAN_ENTRIES(T)                                            \
    bool vk_detail::smallMedianApplies(const MedianJobOf<T>& job) {           \
        return applies(job);                                                  \
    }                                                                         \
    void vk_detail::smallMedian(const MedianJobOf<T>& job, MedianPath path) { \
        filter(job, path);                                                    \
    }

VK_SMALL_MEDIAN_ENTRIES(std::uint8_t)
VK_SMALL_MEDIAN_ENTRIES(std::uint16_t)
#undef VK_SMALL_MEDIAN_ENTRIES
