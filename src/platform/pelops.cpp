// Whole-window pixel operations: copy, map, minimum, maximum, fill,
// histogram and equality.
#include "imgnorm/pelops.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/cpu.h"
#include "platform/parallel.h"
#include "platform/rows.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define IMGNORM_HAVE_X86_MAPS 1
#endif

using vk_detail::forRows;
using vk_detail::narrowed;
using vk_detail::requireBound;

namespace {

// A new result on rect with the source's transforms; its pixels start
// undefined, as every caller writes them all.
template <class T>
vkPelBuffer<T> newLike(const vkPelBuffer_const<T>& source, const vkPelRect& rect) {
    vkPelBuffer<T> out(rect, vk_detail::uninitialized);
    out.copyXforms(source);
    return out;
}

template <class T>
void copyRows(const vkPelBuffer_const<T>& s, const vkPelBuffer<T>& d) {
    forRows(s.pointToOffset(), s.rowUpdate(), d.pointToOffset(), d.rowUpdate(), s.width(), s.height(),
            [](const T* src, T* dst, std::int32_t n) { std::memcpy(dst, src, sizeof(T) * static_cast<std::size_t>(n)); });
}

}  // namespace

template <class T>
vkPelBuffer<T> vfPelCopy(const vkPelBuffer_const<T>& source) {
    requireBound(source);
    vkPelBuffer<T> out = newLike(source, source.window());
    copyRows(source, out);
    return out;
}

template <class T>
void vfPelCopy(const vkPelBuffer_const<T>& source, vkPelBuffer<T>& destination) {
    requireBound(source);
    if (!destination.isBound()) {
        destination = vfPelCopy(source);
        return;
    }
    const vkPelRect r = source.window() & destination.window();
    if (r.isNull()) return;
    vkPelBuffer_const<T> s = narrowed(source, r);
    vkPelBuffer<T> d = narrowed(destination, r);
    if (vk_detail::shiftedAlias(s, d)) s = vfPelCopy(s);
    copyRows(s, d);
}

namespace {

void checkTable(const std::vector<std::uint8_t>& table) {
    if (table.size() != 256) throw vkPelFunc::BadParams("a gray map must have 256 entries");
}

#if defined(IMGNORM_HAVE_X86_MAPS)
// Maps n bytes through a 256-byte table, 64 at a time, on processors with
// AVX-512 byte permutes: the low seven bits of a byte pick an entry in each
// half of the table (two registers each), the top bit picks the half. Reads
// each group of 64 before writing it, so a may equal b.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void mapBytesAvx512(
    const std::uint8_t* a, std::uint8_t* b, std::int32_t n, const std::uint8_t* table) {
    const __m512i t0 = _mm512_loadu_si512(table), t1 = _mm512_loadu_si512(table + 64),
                  t2 = _mm512_loadu_si512(table + 128), t3 = _mm512_loadu_si512(table + 192);
    for (std::int32_t x = 0; x < n; x += 64) {
        const __mmask64 m = n - x >= 64 ? ~__mmask64{0} : ~__mmask64{0} >> (64 - (n - x));
        const __m512i i = _mm512_maskz_loadu_epi8(m, a + x);
        const __m512i low = _mm512_permutex2var_epi8(t0, i, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, i, t3);
        _mm512_mask_storeu_epi8(b + x, m,
                                _mm512_mask_blend_epi8(_mm512_movepi8_mask(i), low, high));
    }
}

#endif

// Maps n 16-bit pixels through a table of index + 1 entries in one pass,
// four pixels per 64-bit load and store (a lookup per pixel and two memory
// accesses per four). Each lookup keeps only the index bits of its pixel, so
// it never leaves the table; the OR of the pixels, returned, shows a pixel
// beyond it in one of its 16-bit lanes. Reads each group of four before
// writing it, so a may equal b.
std::uint64_t mapWords(const std::uint16_t* a, std::uint16_t* b, std::int32_t n,
                       const std::uint16_t* table, std::uint64_t index) {
    return vk_detail::forPelQuads(
        a, n,
        [&](std::uint64_t v, std::int32_t x) {
            const std::uint64_t r = std::uint64_t{table[v & index]} |
                                    std::uint64_t{table[(v >> 16) & index]} << 16 |
                                    std::uint64_t{table[(v >> 32) & index]} << 32 |
                                    std::uint64_t{table[(v >> 48) & index]} << 48;
            std::memcpy(b + x, &r, sizeof r);
        },
        [&](std::uint16_t p, std::int32_t x) { b[x] = table[p & index]; });
}

#if defined(IMGNORM_HAVE_X86_MAPS)
// The same on processors with AVX2, 32 pixels at a time (and the rest of
// the row by mapWords). The first 16 go through gathers: the index bits of
// the even and of the odd pixels in 32-bit lanes, and two gathers of the
// 32-bit words at twice those byte offsets, which hold the entries in their
// low halves; the last entry is not gathered (its word would end past the
// table) but taken from a register. The other 16 go through mapWords in the
// meantime, whose scalar loads the gathers leave room for. Measured faster
// than either alone, and than 16-lane gathers.
__attribute__((target("avx2"))) std::uint64_t mapWordsAvx2(const std::uint16_t* a, std::uint16_t* b,
                                                           std::int32_t n,
                                                           const std::uint16_t* table,
                                                           std::uint16_t index) {
    const __m256i top = _mm256_set1_epi32(index), last = _mm256_set1_epi32(table[index]),
                  low = _mm256_set1_epi32(0xFFFF);
    const auto* words = reinterpret_cast<const int*>(table);
    __m256i any = _mm256_setzero_si256();
    std::uint64_t scalar = 0;
    std::int32_t x = 0;
    for (; x < n - 31; x += 32) {  // no overflow near INT32_MAX
        scalar |= mapWords(a + x + 16, b + x + 16, 16, table, index);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + x));
        any = _mm256_or_si256(any, v);
        const __m256i even = _mm256_and_si256(v, top);
        const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(v, 16), top);
        const __m256i e =
            _mm256_mask_i32gather_epi32(last, words, even, _mm256_cmpgt_epi32(top, even), 2);
        const __m256i o =
            _mm256_mask_i32gather_epi32(last, words, odd, _mm256_cmpgt_epi32(top, odd), 2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + x),
                            _mm256_or_si256(_mm256_and_si256(e, low), _mm256_slli_epi32(o, 16)));
    }
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), any);
    return scalar | lanes[0] | lanes[1] | lanes[2] | lanes[3] |
           mapWords(a + x, b + x, n - x, table, index);
}

#endif

// Maps every pixel through the table, in strips of rows on the library's
// threads. The OR of 16-bit pixels is returned (0 for 8-bit pixels): a 16-bit
// pixel beyond index is looked up by its index bits alone, and shows there.
template <class T>
T mapRows(const vkPelBuffer_const<T>& s, const vkPelBuffer<T>& d, const T* table, T index) {
    const T* src = s.pointToOffset();
    T* dst = d.pointToOffset();
    const std::ptrdiff_t ss = s.rowUpdate(), ds = d.rowUpdate();
    const std::int32_t rows = vk_detail::stripRows(s.height(), s.width());
    std::vector<std::uint64_t> seen(
        static_cast<std::size_t>(vk_detail::stripCount(s.height(), rows)), 0);
#if defined(IMGNORM_HAVE_X86_MAPS)
    const bool byteLanes = vk_detail::cpuHasAvx512Vbmi(), gathers = vk_detail::cpuHasAvx2();
#endif
    vk_detail::parallelRows(s.height(), rows, [&](std::int32_t y0, std::int32_t y1) {
        std::uint64_t& strip = seen[static_cast<std::size_t>(y0 / rows)];
        forRows(src + y0 * ss, ss, dst + y0 * ds, ds, s.width(), y1 - y0,
                [&](const T* a, T* b, std::int32_t n) {
                    if constexpr (sizeof(T) == 1) {
#if defined(IMGNORM_HAVE_X86_MAPS)
                        if (byteLanes) return mapBytesAvx512(a, b, n, table);
#endif
                        for (std::int32_t x = 0; x < n; ++x)
                            b[x] = table[a[x]];
                    } else {
#if defined(IMGNORM_HAVE_X86_MAPS)
                        if (gathers) {
                            strip |= mapWordsAvx2(a, b, n, table, index);
                            return;
                        }
#endif
                        strip |= mapWords(a, b, n, table, index);
                    }
                });
    });
    std::uint64_t all = 0;
    for (const std::uint64_t v : seen)
        all |= v;
    return static_cast<T>(vk_detail::foldLanes(all));
}

}  // namespace

vkPelBuffer<std::uint8_t> vfPelMap(const vkPelBuffer_const<std::uint8_t>& source,
                                   const std::vector<std::uint8_t>& table) {
    requireBound(source);
    checkTable(table);
    vkPelBuffer<std::uint8_t> out = newLike(source, source.window());
    mapRows<std::uint8_t>(source, out, table.data(), 0xFF);
    return out;
}

vkPelBuffer<std::uint16_t> vfPelMap(const vkPelBuffer_const<std::uint16_t>& source,
                                    const std::vector<std::uint16_t>& table) {
    requireBound(source);
    const std::size_t n = table.size();
    if (n < 2 || n > 65536 || (n & (n - 1)) != 0)
        throw vkPelFunc::BadParams("a 16-bit gray map must have 2^d entries, d = 1..16");
    vkPelBuffer<std::uint16_t> out = newLike(source, source.window());
    const auto index = static_cast<std::uint16_t>(n - 1);
    // The index keeps every lookup inside the table; a pixel beyond it
    // shows in the OR of the pixels, and the new buffer is dropped.
    if ((mapRows<std::uint16_t>(source, out, table.data(), index) & ~index) != 0)
        throw vkPelFunc::BadParams("a pixel value lies beyond the 16-bit gray map");
    return out;
}

void vfPelMap(const vkPelBuffer_const<std::uint8_t>& source, const std::vector<std::uint8_t>& table,
              vkPelBuffer<std::uint8_t>& destination) {
    requireBound(source);
    checkTable(table);
    if (!destination.isBound()) {
        destination = vfPelMap(source, table);
        return;
    }
    const vkPelRect r = source.window() & destination.window();
    if (r.isNull()) return;
    vkPelBuffer_const<std::uint8_t> s = narrowed(source, r);
    vkPelBuffer<std::uint8_t> d = narrowed(destination, r);
    if (vk_detail::shiftedAlias(s, d)) s = vfPelCopy(s);
    mapRows<std::uint8_t>(s, d, table.data(), 0xFF);
}

template <class T>
void vfPelMin(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b, vkPelBuffer<T>& destination) {
    requireBound(a);
    requireBound(b);
    vkPelRect r = a.window() & b.window();
    if (!destination.isBound())
        destination = newLike(a, r);
    else
        r &= destination.window();
    if (r.isNull()) return;
    vkPelBuffer_const<T> sa = narrowed(a, r);
    vkPelBuffer_const<T> sb = narrowed(b, r);
    vkPelBuffer<T> d = narrowed(destination, r);
    if (vk_detail::shiftedAlias(sa, d)) sa = vfPelCopy(sa);
    if (vk_detail::shiftedAlias(sb, d)) sb = vfPelCopy(sb);
    const T* pa = sa.pointToOffset();
    const T* pb = sb.pointToOffset();
    T* pd = d.pointToOffset();
    vk_detail::parallelRows(r.height(), vk_detail::stripRows(r.height(), r.width()),
                            [&](std::int32_t y0, std::int32_t y1) {
                                // The width in a local: a byte store may alias
                                // anything read through a pointer, and the loop
                                // would not vectorise re-reading it.
                                const std::int32_t width = r.width();
                                for (std::int32_t y = y0; y < y1; ++y) {
                                    const T* ra = pa + y * sa.rowUpdate();
                                    const T* rb = pb + y * sb.rowUpdate();
                                    T* rd = pd + y * d.rowUpdate();
                                    for (std::int32_t x = 0; x < width; ++x)
                                        rd[x] = std::min(ra[x], rb[x]);
                                }
                            });
}

template <class T>
vkPelBuffer<T> vfPelMin(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b) {
    vkPelBuffer<T> out;
    vfPelMin(a, b, out);
    return out;
}

template <class T>
T vfPelMax(const vkPelBuffer_const<T>& image) {
    requireBound(image);
    T best = 0;
    const T* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate()) {
        T m = 0;
        for (std::int32_t x = 0; x < image.width(); ++x) m = std::max(m, row[x]);
        best = std::max(best, m);
    }
    return best;
}

template <class T>
void vfPelSet(const vkPelBuffer<T>& image, T value) {
    requireBound(image);
    T* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
        std::fill(row, row + image.width(), value);
}

void vfPelHistogram(const vkPelBuffer_const<std::uint8_t>& image, std::vector<std::uint32_t>& histogram) {
    requireBound(image);
    vk_detail::requireCountable(image.window(), "histogram");
    const std::int32_t w = image.width(), h = image.height();
    const std::uint8_t* base = image.pointToOffset();
    const std::ptrdiff_t stride = image.rowUpdate();
    std::array<std::uint32_t, 256> total;
    vk_detail::countStrips(h, vk_detail::stripRows(h, w), 256, total.data(),
                           [&](std::int32_t y0, std::int32_t y1, std::uint32_t* bins) {
                               // Four tables break the store-to-load dependency
                               // between equal neighbouring pixels.
                               std::array<std::array<std::uint32_t, 256>, 4> t{};
                               const std::uint8_t* row = base + y0 * stride;
                               for (std::int32_t y = y0; y < y1; ++y, row += stride) {
                                   std::int32_t x = 0;
                                   for (; x < w - 3; x += 4) {  // no overflow near INT32_MAX
                                       ++t[0][row[x]];
                                       ++t[1][row[x + 1]];
                                       ++t[2][row[x + 2]];
                                       ++t[3][row[x + 3]];
                                   }
                                   for (; x < w; ++x)
                                       ++t[0][row[x]];
                               }
                               for (std::size_t v = 0; v < 256; ++v)
                                   bins[v] = t[0][v] + t[1][v] + t[2][v] + t[3][v];
                           });
    histogram.assign(total.begin(), total.end());
}

template <class T>
bool vfPelEqual(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b) {
    if (!a.isBound() || !b.isBound()) return a.isBound() == b.isBound();
    if (a.width() != b.width() || a.height() != b.height()) return false;
    const T* pa = a.pointToOffset();
    const T* pb = b.pointToOffset();
    const auto rowBytes = sizeof(T) * static_cast<std::size_t>(a.width());
    for (std::int32_t y = 0; y < a.height(); ++y, pa += a.rowUpdate(), pb += b.rowUpdate())
        if (std::memcmp(pa, pb, rowBytes) != 0) return false;
    return true;
}

#define VK_INSTANTIATE_PELOPS(T)                                                                     \
    template IMGNORM_API vkPelBuffer<T> vfPelCopy<T>(const vkPelBuffer_const<T>&);                   \
    template IMGNORM_API void vfPelCopy<T>(const vkPelBuffer_const<T>&, vkPelBuffer<T>&);            \
    template IMGNORM_API vkPelBuffer<T> vfPelMin<T>(const vkPelBuffer_const<T>&,                     \
                                                    const vkPelBuffer_const<T>&);                    \
    template IMGNORM_API void vfPelMin<T>(const vkPelBuffer_const<T>&, const vkPelBuffer_const<T>&, \
                                          vkPelBuffer<T>&);                                          \
    template IMGNORM_API T vfPelMax<T>(const vkPelBuffer_const<T>&);                                 \
    template IMGNORM_API void vfPelSet<T>(const vkPelBuffer<T>&, T);                                 \
    template IMGNORM_API bool vfPelEqual<T>(const vkPelBuffer_const<T>&, const vkPelBuffer_const<T>&);

VK_INSTANTIATE_PELOPS(std::uint8_t)
VK_INSTANTIATE_PELOPS(std::uint16_t)
VK_INSTANTIATE_PELOPS(std::uint32_t)
