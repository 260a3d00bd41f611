// vkImageNormalizer: construction, copying, accessors and validating setters.
#include "imgnorm/normalizer.h"

#include <cmath>

#include "imgnorm/pelops.h"

using vkImageNormalizerDefs::BadParams;

vkImageNormalizer::vkImageNormalizer() {
    tailFractions(vkPair<double>(0.0, 1.0));
    neighborhoodSize(vkPair<std::int32_t>(101, 101));
    granularity(vkPair<std::int32_t>(1, 1));
    intensityVariationRange(vkPair<std::int32_t>(-127, 127));
}

vkImageNormalizer::vkImageNormalizer(const vkImageNormalizer& other) = default;
vkImageNormalizer& vkImageNormalizer::operator=(const vkImageNormalizer& other) {
    // Copied apart first, so that a failed copy leaves this tool as it was.
    if (this != &other) *this = vkImageNormalizer(other);
    return *this;
}
vkImageNormalizer::vkImageNormalizer(vkImageNormalizer&& other) noexcept = default;
vkImageNormalizer& vkImageNormalizer::operator=(vkImageNormalizer&& other) noexcept = default;
vkImageNormalizer::~vkImageNormalizer() = default;

void vkImageNormalizer::tailFractions(const vkPair<double>& f) {
    // Written so that a NaN in either element fails.
    if (!(f.x() >= 0.0 && f.x() <= f.y() && f.y() <= 1.0))
        throw BadParams("Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
    tailFractions_ = f;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::neighborhoodSize(const vkPair<std::int32_t>& size) {
    if (size.x() < 1 || size.y() < 1) throw BadParams("Both elements of neighborhoodSize must be >= 1");
    neighborhoodSize_ = size;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::granularity(const vkPair<std::int32_t>& step) {
    if (step.x() < 1 || step.y() < 1) throw BadParams("Both elements of granularity must be >= 1");
    granularity_ = step;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::intensityVariationRange(const vkPair<std::int32_t>& range) {
    if (range.x() > 0 || range.y() < 0) throw BadParams("intensityVariationRange must be: x <= 0 and y >= 0");
    intensityVariationRange_ = range;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::keepMaskedPixels(bool keep) {
    keepMaskedPixels_ = keep;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

namespace {

void assignImage(vkPelBuffer_const<std::uint8_t>& member, const vkPelBuffer_const<std::uint8_t>& image,
                 bool copy) {
    if (!image.isBound())
        member.setUnbound();
    else if (copy)
        member = vfPelCopy(image);
    else
        member = image;
}

}  // namespace

void vkImageNormalizer::referenceImage(const vkPelBuffer_const<std::uint8_t>& image, bool copy) {
    assignImage(referenceImage_, image, copy);
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::maskImage(const vkPelBuffer_const<std::uint8_t>& image, bool copy) {
    assignImage(maskImage_, image, copy);
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

void vkImageNormalizer::set(const vkPair<double>& fractions, const vkPair<std::int32_t>& range, bool keep) {
    const Method trained = trainedMethods_;
    tailFractions(fractions);
    intensityVariationRange(range);
    keepMaskedPixels_ = keep;
    trainedMethods_ = trained;
}

void vkImageNormalizer::untrain() { *this = vkImageNormalizer(); }
