// The linear gray-value fit (not available yet: fails loudly).
#include "linear_fit.h"

#include "imgnorm/errors.h"

namespace imgnorm_detail {

void buildFitAngles(std::vector<vkDegree>& angles) { angles.assign(63, vkDegree(0.0)); }

vkPelBuffer<std::uint8_t> runLinearFit(const vkPelBuffer_const<std::uint8_t>&, const vkPelBuffer_const<std::uint8_t>&,
                                       const vkPelBuffer_const<std::uint8_t>&, const std::vector<vkDegree>&) {
    throw vkImageNormalizerDefs::NotImplemented("the linear gray-value fit is not implemented yet");
}

}  // namespace imgnorm_detail
