// Saturating byte arithmetic, written so that the compiler keeps it in byte
// lanes; shared by the clamped pixel arithmetic and the local corrections.
#pragma once

#include <algorithm>
#include <cstdint>

namespace vk_detail {

// a + b limited to 255.
inline std::uint8_t satAdd(std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>(std::min(a, static_cast<std::uint8_t>(255 - b)) + b);
}
// a - b limited to 0.
inline std::uint8_t satSub(std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>(std::max(a, b) - b);
}

// Both biased forms move a by the signed value b - 128, split into its two
// saturated parts below = 128 - b and above = b - 128 (at most one is
// non-zero, so the two saturations give the exact clamp to 0..255):
//   a - b + 128 = (a + below) - above,   a + b - 128 = (a - below) + above.
// The part below goes first in both: the compiler vectorises this order into
// far fewer instructions than the other (the clamped arithmetic's benchmark
// shows it).

// clamp(a - b + 128, 0, 255).
inline std::uint8_t subBiased(std::uint8_t a, std::uint8_t b) {
    return satSub(satAdd(a, satSub(128, b)), satSub(b, 128));
}
// clamp(a + b - 128, 0, 255).
inline std::uint8_t addBiased(std::uint8_t a, std::uint8_t b) {
    return satAdd(satSub(a, satSub(128, b)), satSub(b, 128));
}

}  // namespace vk_detail
