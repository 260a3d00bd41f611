// Masked copy and masked divide: writes into a destination only where a mask
// selects the pixel.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/parallel.h"
#include "platform/rows.h"

using vk_detail::narrowed;
using vk_detail::requireBound;

namespace {

// d = selected ? s : d, as a blend so that the loop has no branch and
// vectorizes. Invert selects where the mask is 0.
template <bool Invert, class T>
void copyRow(const T* s, const std::uint8_t* m, T* d, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x) {
        const bool set = Invert ? m[x] == 0 : m[x] != 0;
        const auto keep = static_cast<T>(set ? 0 : ~T{0});
        d[x] = static_cast<T>((s[x] & ~keep) | (d[x] & keep));
    }
}

// A handle that reads the same pixels as b but cannot be changed by writes
// through d: a private copy when b shares d's storage at a shifted position.
template <class B, class D>
vkPelBuffer_const<B> detached(const vkPelBuffer_const<B>& b, const vkPelBuffer<D>& d) {
    if (vk_detail::shiftedAlias<B, D>(b, d)) return vfPelCopy(b);
    return b;
}

template <class T>
void maskedCopy(const vkPelBuffer_const<T>& source, const vkPelBuffer_const<std::uint8_t>& mask,
                vkPelBuffer<T>& destination, bool invertMask) {
    requireBound(source);
    if (!mask.isBound()) {
        vfPelCopy(source, destination);
        return;
    }
    vkPelRect rect = source.window() & mask.window();
    if (destination.isBound()) rect &= destination.window();
    if (rect.isNull()) return;

    vkPelBuffer<T> out;
    if (destination.isBound()) {
        out = narrowed(destination, rect);
    } else {
        out = vkPelBuffer<T>(rect);
        out.copyXforms(source);
    }
    const auto s = detached(narrowed(source, rect), out);
    const auto m = detached(narrowed(mask, rect), out);
    const auto walk = invertMask ? copyRow<true, T> : copyRow<false, T>;
    const T* ps = s.pointToOffset();
    const std::uint8_t* pm = m.pointToOffset();
    T* pd = out.pointToOffset();
    for (std::int32_t y = 0; y < rect.height(); ++y) {
        walk(ps, pm, pd, rect.width());
        ps += s.rowUpdate();
        pm += m.rowUpdate();
        pd += out.rowUpdate();
    }
    if (!destination.isBound()) destination = out;
}

}  // namespace

void vf_MaskedPelCopy(const vkPelBuffer_const<std::uint8_t>& source,
                      const vkPelBuffer_const<std::uint8_t>& mask,
                      vkPelBuffer<std::uint8_t>& destination, bool invertMask) {
    maskedCopy(source, mask, destination, invertMask);
}

void vf_MaskedPelCopy(const vkPelBuffer_const<std::uint16_t>& source,
                      const vkPelBuffer_const<std::uint8_t>& mask,
                      vkPelBuffer<std::uint16_t>& destination, bool invertMask) {
    maskedCopy(source, mask, destination, invertMask);
}

namespace {

// The bit pattern of 255.0f. Non-negative floats order like their patterns
// read as integers, so an integer minimum clamps them without a float
// comparison (which would keep the loop from vectorizing).
const std::int32_t kBits255 = std::bit_cast<std::int32_t>(255.0f);

// q = (n * scale + d / 2) / d truncated and saturated at 255, in single
// precision so that the loop vectorizes instead of dividing integers. It is
// exact for every n, d >= 1 and scale:
// - An exact quotient below 256 means n * scale + d / 2 < 256 * 65535 < 2^24:
//   every operand (scale too, unless n is 0 and the product 0 anyway), the
//   product and the sum are exact floats, and the float
//   quotient is the exact one correctly rounded. Rounding could carry a
//   fraction up to the next integer k only if k - q <= 2^-17 (half a float
//   step below 256), but a quotient short of an integer is short by at least
//   1/d >= 1/65535. Truncation gives the exact integer part.
// - An exact quotient of 256 or more has a dividend of at least 256 * d, a
//   representable value; rounding is monotonic, so the float dividend and
//   quotient stay at or above it and saturate.
// A zero d is replaced by 1; the caller discards that quotient.
inline std::int32_t quotient(std::int32_t n, std::int32_t d, float scale) {
    const float num = static_cast<float>(n) * scale + static_cast<float>(d >> 1);
    const float q = num / static_cast<float>(d + static_cast<std::int32_t>(d == 0));
    return static_cast<std::int32_t>(std::bit_cast<float>(std::min(std::bit_cast<std::int32_t>(q), kBits255)));
}

// One row. A pixel is divided where the mask is set (masked form) and the
// denominator is not 0; every other pixel keeps its value. Every pixel's
// quotient is computed and blended in, so that the loop has no branch.
VK_ROW_KERNEL void divideRowMasked(const std::uint16_t* num, const std::uint16_t* den, const std::uint8_t* m,
                                   std::uint8_t* d, std::int32_t n, float scale) {
    for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t de = den[x];
        const std::int32_t keep = -((m[x] == 0) | (de == 0));  // all ones where the pixel is kept
        d[x] = static_cast<std::uint8_t>((quotient(num[x], de, scale) & ~keep) | (d[x] & keep));
    }
}
VK_ROW_KERNEL void divideRowUnmasked(const std::uint16_t* num, const std::uint16_t* den, const std::uint8_t*,
                                     std::uint8_t* d, std::int32_t n, float scale) {
    for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t de = den[x];
        const std::int32_t keep = -static_cast<std::int32_t>(de == 0);
        d[x] = static_cast<std::uint8_t>((quotient(num[x], de, scale) & ~keep) | (d[x] & keep));
    }
}

}  // namespace

void vf_MaskedPelDivide(const vkPelBuffer_const<std::uint16_t>& numerator,
                        const vkPelBuffer_const<std::uint16_t>& denominator,
                        const vkPelBuffer_const<std::uint8_t>& mask, vkPelBuffer<std::uint8_t>& destination,
                        std::uint32_t scale) {
    requireBound(numerator);
    requireBound(denominator);
    vkPelRect rect = numerator.window() & denominator.window();
    if (mask.isBound()) rect &= mask.window();

    vkPelBuffer<std::uint8_t> out;
    if (destination.isBound()) {
        rect &= destination.window();
        if (rect.isNull()) return;
        out = narrowed(destination, rect);
    } else {
        out = vkPelBuffer<std::uint8_t>(rect);
        out.copyXforms(numerator);
        if (rect.isNull()) {
            destination = out;
            return;
        }
    }
    const auto nu = narrowed(numerator, rect);
    const auto de = narrowed(denominator, rect);
    const bool masked = mask.isBound();
    vkPelBuffer_const<std::uint8_t> m;
    if (masked) m = detached(narrowed(mask, rect), out);

    const auto walk = masked ? divideRowMasked : divideRowUnmasked;
    const auto s = static_cast<float>(scale);
    const std::uint16_t* pn = nu.pointToOffset();
    const std::uint16_t* pe = de.pointToOffset();
    const std::uint8_t* pm = masked ? m.pointToOffset() : nullptr;
    std::uint8_t* pd = out.pointToOffset();
    vk_detail::parallelRows(rect.height(), vk_detail::stripRows(rect.height(), rect.width()),
                            [&](std::int32_t y0, std::int32_t y1) {
                                for (std::int32_t y = y0; y < y1; ++y)
                                    walk(pn + y * nu.rowUpdate(), pe + y * de.rowUpdate(),
                                         masked ? pm + y * m.rowUpdate() : nullptr,
                                         pd + y * out.rowUpdate(), rect.width(), s);
                            });
    if (!destination.isBound()) destination = out;
}
