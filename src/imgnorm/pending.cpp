// Operations of the tool that are not available yet; each fails loudly.
#include "imgnorm/normalizer.h"

using vkImageNormalizerDefs::NotImplemented;

void vkImageNormalizer::train(Method, vkDiagObject*, std::uint32_t) {
    throw NotImplemented("vkImageNormalizer::train is not implemented yet");
}

vkPelBuffer<std::uint8_t> vkImageNormalizer::run(const vkPelBuffer_const<std::uint8_t>&, Method, bool& success,
                                                 std::string& message, vkDiagObject*, std::uint32_t) const {
    success = false;
    message.clear();
    throw NotImplemented("vkImageNormalizer::run is not implemented yet");
}

bool vkImageNormalizer::operator==(const vkImageNormalizer&) const {
    throw NotImplemented("vkImageNormalizer::operator== is not implemented yet");
}

vkArchive& operator||(vkArchive&, vkImageNormalizer&) {
    throw NotImplemented("archiving a vkImageNormalizer is not implemented yet");
}

vkArchive& operator||(vkArchive&, vkPair<double>&) {
    throw NotImplemented("archiving a pair is not implemented yet");
}

vkArchive& operator||(vkArchive&, vkPair<std::int32_t>&) {
    throw NotImplemented("archiving a pair is not implemented yet");
}
