// The local corrections (not available yet: fail loudly).
#include "local_correction.h"

namespace imgnorm_detail {

void runLocalCorrection(const vkPelBuffer_const<std::uint8_t>&, const vkPelBuffer_const<std::uint8_t>&,
                        const vkPelBuffer_const<std::uint8_t>&, const vkPelBuffer_const<std::uint8_t>&,
                        const vkPelBuffer_const<std::uint16_t>&, vkImageNormalizerDefs::Method,
                        const vkPair<std::int32_t>&, const vkPair<std::int32_t>&, const vkPair<std::int32_t>&,
                        vkPelBuffer<std::uint8_t>&) {
    throw vkImageNormalizerDefs::NotImplemented("the local corrections are not implemented yet");
}

}  // namespace imgnorm_detail
