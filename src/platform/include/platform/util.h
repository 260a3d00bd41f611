// Small helpers: integer clamping, tolerant comparison and number formatting.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "imgnorm/export.h"
#include "imgnorm/geometry.h"

// value clamped to lo..hi.
template <class T>
constexpr T vfILimit(T value, T lo, T hi) {
    return value < lo ? lo : (value > hi ? hi : value);
}

// True when a and b differ by at most tolerance (per element for vectors).
inline bool vfRealEq(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }
inline bool vfRealEq(const vkVector<2>& a, const vkVector<2>& b, double tolerance) {
    return vfRealEq(a.x(), b.x(), tolerance) && vfRealEq(a.y(), b.y(), tolerance);
}

// Text forms: "true"/"false"; decimal integers; for doubles the shortest text
// that reads back as the same value ("0.5", "101", "1e-07").
IMGNORM_API std::string vfStr(bool value);
IMGNORM_API std::string vfStr(std::int32_t value);
IMGNORM_API std::string vfStr(std::uint32_t value);
IMGNORM_API std::string vfStr(std::int64_t value);
IMGNORM_API std::string vfStr(std::uint64_t value);
IMGNORM_API std::string vfStr(double value);
