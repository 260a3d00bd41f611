// Small helpers: tolerant comparison and number formatting.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "imgnorm/geometry.h"

// True when a and b differ by at most tolerance (per element for vectors).
inline bool vfRealEq(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }
inline bool vfRealEq(const vkVector<2>& a, const vkVector<2>& b, double tolerance) {
    return vfRealEq(a.x(), b.x(), tolerance) && vfRealEq(a.y(), b.y(), tolerance);
}

// Text forms: "true"/"false"; decimal integers; for doubles the shortest text
// that reads back as the same value ("0.5", "101", "1e-07").
std::string vfStr(bool value);
std::string vfStr(std::int32_t value);
std::string vfStr(double value);
