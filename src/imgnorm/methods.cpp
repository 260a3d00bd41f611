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

// (Built by appending: GCC 12 warns falsely on literal + temporary string
// concatenations.)
std::string pairText(const std::string& x, const std::string& y, bool spaced) {
    std::string s(spaced ? "( " : "(");
    return s.append(x).append(spaced ? " , " : ", ").append(y).append(spaced ? " )" : ")");
}

}  // namespace imgnorm_detail
