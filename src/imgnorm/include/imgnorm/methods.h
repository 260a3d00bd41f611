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

}  // namespace imgnorm_detail
