// Internal helpers of the tool for method sets.
#pragma once

#include <cstdint>
#include <string>

#include "imgnorm/errors.h"

namespace imgnorm_detail {

// The enumerator's name for a single known method (or eIdentity), and
// "UnknownMethod" for any other value, combinations included.
std::string methodName(vkImageNormalizerDefs::Method method);

// Number of set bits.
int methodCount(vkImageNormalizerDefs::Method method);

// The diagnostics' text of a pair whose elements are already formatted:
// "( x , y )" when spaced, else "(x, y)".
std::string pairText(const std::string& x, const std::string& y, bool spaced);

}  // namespace imgnorm_detail
