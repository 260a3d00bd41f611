// Operations of the tool that are not available yet; each fails loudly.
#include "imgnorm/normalizer.h"

using vkImageNormalizerDefs::NotImplemented;

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
