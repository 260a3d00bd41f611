// Names and counts of method sets.
#include "imgnorm/methods.h"

#include <bit>

namespace imgnorm_detail {

std::string methodName(vkImageNormalizerDefs::Method method) {
    using namespace vkImageNormalizerDefs;
    switch (static_cast<std::uint32_t>(method)) {
        case eIdentity: return "eIdentity";
        case eMatchHistogram: return "eMatchHistogram";
        case eMatchMeanAndStddev: return "eMatchMeanAndStddev";
        case eMatchHistogramTails: return "eMatchHistogramTails";
        case eLinearlyFitGrayValues: return "eLinearlyFitGrayValues";
        case eLocalCorrection: return "eLocalCorrection";
        case eLocalCorrectionEnhanced: return "eLocalCorrectionEnhanced";
        default: return "UnknownMethod";
    }
}

int methodCount(vkImageNormalizerDefs::Method method) {
    return std::popcount(static_cast<std::uint32_t>(method));
}

}  // namespace imgnorm_detail
