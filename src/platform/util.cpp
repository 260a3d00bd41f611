// Number formatting for diagnostics texts.
#include "platform/util.h"

#include <charconv>

std::string vfStr(bool value) { return value ? "true" : "false"; }
std::string vfStr(std::int32_t value) { return std::to_string(value); }

std::string vfStr(double value) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}
