// Clamped arithmetic on biased differences, in place on the destination: one
// frame and one row kernel for 8- and 16-bit pixels, a small functor per
// operation and pixel type.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "pelfunc/saturate.h"
#include "platform/rows.h"

namespace {

using Pel = std::uint8_t;

// Each functor maps (destination pixel, source pixel) to the new destination
// pixel.
struct SubClampSigned {
    Pel operator()(Pel d, Pel s) const { return vk_detail::subBiased(d, s); }
};

struct AddClamp {
    Pel operator()(Pel d, Pel s) const { return vk_detail::addBiased(d, s); }
};

// clamp(d - s, -r, r) + 128: the clamp to lo = 128 - r .. hi = 128 + r of the
// value above, as 1..255 contains that range.
struct SubClamp {
    Pel lo, hi;
    Pel operator()(Pel d, Pel s) const { return std::min(std::max(SubClampSigned{}(d, s), lo), hi); }
};

// 16-bit pixels of a given depth: the same definitions in 32-bit integers,
// with the bias half = 2^(depth - 1) and the top level top = 2^depth - 1.
// Results always lie in 0..top, also for source values above it.
struct SubClampSigned16 {
    std::int32_t half, top;
    std::uint16_t operator()(std::uint16_t d, std::uint16_t s) const {
        return static_cast<std::uint16_t>(std::clamp(std::int32_t{d} - s + half, 0, top));
    }
};

struct AddClamp16 {
    std::int32_t half, top;
    std::uint16_t operator()(std::uint16_t d, std::uint16_t s) const {
        return static_cast<std::uint16_t>(std::clamp(std::int32_t{d} + s - half, 0, top));
    }
};

struct SubClamp16 {
    std::int32_t half, r;
    std::uint16_t operator()(std::uint16_t d, std::uint16_t s) const {
        return static_cast<std::uint16_t>(std::clamp(std::int32_t{d} - s, -r, r) + half);
    }
};

// Rows go in blocks of 16 pixels (one 128-bit vector of bytes, two of 16-bit
// pixels): each block is loaded whole, combined and stored, which the
// compiler turns into a few vector instructions and which stays right when
// source and destination are the same pixels. The last width mod 16 pixels go
// through the same block code on a zero-padded copy, so every width runs one
// kernel.
constexpr std::int32_t kBlock = 16;

// Forced inline: with two call sites the compiler would otherwise call it per
// block.
template <class T, class Op>
[[gnu::always_inline]] inline void combineBlock(T* d, const T* s, Op op) {
    T dv[kBlock], sv[kBlock];
    std::memcpy(dv, d, sizeof dv);
    std::memcpy(sv, s, sizeof sv);
    for (std::int32_t k = 0; k < kBlock; ++k) dv[k] = op(dv[k], sv[k]);
    std::memcpy(d, dv, sizeof dv);
}

template <class T, class Op>
void combineRow(T* d, const T* s, std::int32_t n, Op op) {
    std::int32_t x = 0;
    for (; n - x >= kBlock; x += kBlock) combineBlock(d + x, s + x, op);
    if (x < n) {
        const auto rest = sizeof(T) * static_cast<std::size_t>(n - x);
        T dv[kBlock] = {}, sv[kBlock] = {};
        std::memcpy(dv, d + x, rest);
        std::memcpy(sv, s + x, rest);
        combineBlock(dv, sv, op);
        std::memcpy(d + x, dv, rest);
    }
}

template <class T, class Op>
void combine(const vkPelBuffer<T>& destination, const vkPelBuffer_const<T>& source, Op op) {
    vk_detail::requireBound(destination);
    vk_detail::requireBound(source);
    const vkPelRect r = destination.window() & source.window();
    if (r.isNull()) return;
    const vkPelBuffer<T> d = vk_detail::narrowed(destination, r);
    vkPelBuffer_const<T> s = vk_detail::narrowed(source, r);
    // A source that shares the destination's storage at another place would
    // read pixels already written; it is read from a copy instead, so the
    // result is always that of the pixels as they were before the call.
    if (vk_detail::shiftedAlias(s, d)) s = vfPelCopy(s);
    const T* sp = s.pointToOffset();
    T* dp = d.pointToOffset();
    for (std::int32_t y = 0; y < r.height(); ++y, sp += s.rowUpdate(), dp += d.rowUpdate())
        combineRow(dp, sp, r.width(), op);
}

// The bias 2^(depth - 1) of a depth in 1..16; vkPelFunc::BadParams otherwise.
std::int32_t biasOf(std::int32_t depth) {
    if (depth < 1 || depth > 16)
        throw vkPelFunc::BadParams("clamped arithmetic: the bit depth must lie in 1..16");
    return std::int32_t{1} << (depth - 1);
}

}  // namespace

void vf_PelSubClamp(const vkPelBuffer<std::uint8_t>& destination, const vkPelBuffer_const<std::uint8_t>& source,
                    unsigned char maxDifference) {
    const Pel r = maxDifference < 127 ? maxDifference : Pel{127};
    combine(destination, source, SubClamp{static_cast<Pel>(128 - r), static_cast<Pel>(128 + r)});
}

void vf_PelSubClampSigned(const vkPelBuffer<std::uint8_t>& destination,
                          const vkPelBuffer_const<std::uint8_t>& source) {
    combine(destination, source, SubClampSigned{});
}

void vf_PelAddClamp(const vkPelBuffer<std::uint8_t>& destination, const vkPelBuffer_const<std::uint8_t>& source) {
    combine(destination, source, AddClamp{});
}

void vf_PelSubClamp(const vkPelBuffer<std::uint16_t>& destination,
                    const vkPelBuffer_const<std::uint16_t>& source, std::uint16_t maxDifference,
                    std::int32_t depth) {
    const std::int32_t half = biasOf(depth);
    combine(destination, source, SubClamp16{half, std::min<std::int32_t>(maxDifference, half - 1)});
}

void vf_PelSubClampSigned(const vkPelBuffer<std::uint16_t>& destination,
                          const vkPelBuffer_const<std::uint16_t>& source, std::int32_t depth) {
    const std::int32_t half = biasOf(depth);
    combine(destination, source, SubClampSigned16{half, 2 * half - 1});
}

void vf_PelAddClamp(const vkPelBuffer<std::uint16_t>& destination,
                    const vkPelBuffer_const<std::uint16_t>& source, std::int32_t depth) {
    const std::int32_t half = biasOf(depth);
    combine(destination, source, AddClamp16{half, 2 * half - 1});
}
