// Both tools: construction, copying and the validating setters, and the
// steps whose calls differ by pixel type.
#include "imgnorm/normalizer.h"

#include <string>

#include "imgnorm/deep_normalizer.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"

using vkImageNormalizerDefs::BadParams;

namespace imgnorm_detail {

namespace {

template <class T>
void assignImage(vkPelBuffer_const<T>& member, const vkPelBuffer_const<T>& image, bool copy) {
    if (!image.isBound())
        member.setUnbound();
    else if (copy)
        member = vfPelCopy(image);
    else
        member = image;
}

// The default variation range of a depth: +-(2^(depth-1) - 1).
vkPair<std::int32_t> defaultRange(std::int32_t depth) {
    const std::int32_t h = (std::int32_t{1} << (depth - 1)) - 1;
    return {-h, h};
}

}  // namespace

}  // namespace imgnorm_detail

template <class Pel>
vkImageNormalizerBase<Pel>::vkImageNormalizerBase(const vkPair<std::int32_t>& range,
                                                  std::int32_t depth)
    : depth_(depth) {
    tailFractions(vkPair<double>(0.0, 1.0));
    neighborhoodSize(vkPair<std::int32_t>(101, 101));
    granularity(vkPair<std::int32_t>(1, 1));
    intensityVariationRange(range);
}

template <class Pel>
vkImageNormalizerBase<Pel>::vkImageNormalizerBase(const vkImageNormalizerBase& other) = default;
template <class Pel>
vkImageNormalizerBase<Pel>& vkImageNormalizerBase<Pel>::operator=(
    const vkImageNormalizerBase& other) = default;
template <class Pel>
vkImageNormalizerBase<Pel>::vkImageNormalizerBase(vkImageNormalizerBase&& other) noexcept = default;
template <class Pel>
vkImageNormalizerBase<Pel>& vkImageNormalizerBase<Pel>::operator=(
    vkImageNormalizerBase&& other) noexcept = default;
template <class Pel>
vkImageNormalizerBase<Pel>::~vkImageNormalizerBase() = default;

template <class Pel>
void vkImageNormalizerBase<Pel>::tailFractions(const vkPair<double>& f) {
    // Written so that a NaN in either element fails.
    if (!(f.x() >= 0.0 && f.x() <= f.y() && f.y() <= 1.0))
        throw BadParams("Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
    tailFractions_ = f;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::neighborhoodSize(const vkPair<std::int32_t>& size) {
    if (size.x() < 1 || size.y() < 1) throw BadParams("Both elements of neighborhoodSize must be >= 1");
    neighborhoodSize_ = size;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::granularity(const vkPair<std::int32_t>& step) {
    if (step.x() < 1 || step.y() < 1) throw BadParams("Both elements of granularity must be >= 1");
    granularity_ = step;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::intensityVariationRange(const vkPair<std::int32_t>& range) {
    if (range.x() > 0 || range.y() < 0) throw BadParams("intensityVariationRange must be: x <= 0 and y >= 0");
    intensityVariationRange_ = range;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::keepMaskedPixels(bool keep) {
    keepMaskedPixels_ = keep;
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::referenceImage(const vkPelBuffer_const<Pel>& image, bool copy) {
    imgnorm_detail::assignImage(referenceImage_, image, copy);
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::maskImage(const vkPelBuffer_const<std::uint8_t>& image,
                                           bool copy) {
    imgnorm_detail::assignImage(maskImage_, image, copy);
    trainedMethods_ = vkImageNormalizerDefs::eIdentity;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::set(const vkPair<double>& fractions,
                                     const vkPair<std::int32_t>& range, bool keep) {
    const Method trained = trainedMethods_;
    tailFractions(fractions);
    intensityVariationRange(range);
    keepMaskedPixels_ = keep;
    trainedMethods_ = trained;
}

template class vkImageNormalizerBase<std::uint8_t>;
template class vkImageNormalizerBase<std::uint16_t>;

vkImageNormalizer::vkImageNormalizer()
    : vkImageNormalizerBase(imgnorm_detail::defaultRange(8), 8) {}
vkImageNormalizer::vkImageNormalizer(const vkImageNormalizer& other) = default;
vkImageNormalizer& vkImageNormalizer::operator=(const vkImageNormalizer& other) {
    // Copied apart first, so that a failed copy leaves this tool as it was.
    if (this != &other) *this = vkImageNormalizer(other);
    return *this;
}
vkImageNormalizer::vkImageNormalizer(vkImageNormalizer&& other) noexcept = default;
vkImageNormalizer& vkImageNormalizer::operator=(vkImageNormalizer&& other) noexcept = default;
vkImageNormalizer::~vkImageNormalizer() = default;
void vkImageNormalizer::untrain() {
    *this = vkImageNormalizer();
}

vkDeepImageNormalizer::vkDeepImageNormalizer(std::int32_t bits)
    : vkImageNormalizerBase(imgnorm_detail::defaultRange(16), 16) {
    depth(bits);
}
vkDeepImageNormalizer::vkDeepImageNormalizer(const vkDeepImageNormalizer& other) = default;
vkDeepImageNormalizer& vkDeepImageNormalizer::operator=(const vkDeepImageNormalizer& other) {
    if (this != &other) *this = vkDeepImageNormalizer(other);
    return *this;
}
vkDeepImageNormalizer::vkDeepImageNormalizer(vkDeepImageNormalizer&& other) noexcept = default;
vkDeepImageNormalizer& vkDeepImageNormalizer::operator=(vkDeepImageNormalizer&& other) noexcept =
    default;
vkDeepImageNormalizer::~vkDeepImageNormalizer() = default;

void vkDeepImageNormalizer::depth(std::int32_t bits) {
    if (bits < 9 || bits > 16) throw BadParams("The depth of a deep image must be 9..16 bits");
    depth_ = bits;
    intensityVariationRange(imgnorm_detail::defaultRange(bits));
}
void vkDeepImageNormalizer::untrain() {
    *this = vkDeepImageNormalizer(depth_);
}

namespace imgnorm_detail {

namespace {

// Throws BadImage when bits, the OR or the largest of an image's values,
// lies above 2^depth - 1.
void refuseBits(std::uint32_t bits, std::int32_t depth, const char* what) {
    const std::uint32_t top = (std::uint32_t{1} << depth) - 1;
    if (bits > top)
        throw vkImageNormalizerDefs::BadImage(std::string(what) + " holds a value above " +
                                              std::to_string(top) + ", the largest of the tool's " +
                                              std::to_string(depth) + "-bit depth.");
}

}  // namespace

void checkDepth(const vkPelBuffer_const<std::uint8_t>&, std::int32_t, const char*) {}
void checkDepth(const vkPelBuffer_const<std::uint16_t>& image, std::int32_t depth,
                const char* what) {
    if (image.isBound()) refuseBits(vfPelMax(image), depth, what);
}

void refuseAboveDepth(const SeenValues& seen, std::int32_t depth) {
    if (depth == 8) return;
    refuseBits(seen.image.load(std::memory_order_relaxed), depth, "Image");
    refuseBits(seen.reference.load(std::memory_order_relaxed), depth, "referenceImage()");
}

void checkDepthOutside(const vkPelBuffer_const<std::uint8_t>&, const vkPelRect&, std::int32_t,
                       const char*) {}
void checkDepthOutside(const vkPelBuffer_const<std::uint16_t>& image, const vkPelRect& rect,
                       std::int32_t depth, const char* what) {
    if (!image.isBound()) return;
    const vkPelRect w = image.window(), in = w & rect;
    if (in.isNull()) {
        checkDepth(image, depth, what);
        return;
    }
    // The bands above and below rect, then the pieces left and right of it.
    const vkPelRect parts[] = {
        vkPelRect(w.ul().x(), w.ul().y(), w.width(), in.ul().y() - w.ul().y()),
        vkPelRect(w.ul().x(), in.ul().y() + in.height(), w.width(),
                  w.ul().y() + w.height() - in.ul().y() - in.height()),
        vkPelRect(w.ul().x(), in.ul().y(), in.ul().x() - w.ul().x(), in.height()),
        vkPelRect(in.ul().x() + in.width(), in.ul().y(),
                  w.ul().x() + w.width() - in.ul().x() - in.width(), in.height())};
    for (const vkPelRect& r : parts) {
        if (r.width() <= 0 || r.height() <= 0) continue;
        vkPelBuffer_const<std::uint16_t> piece(image);
        piece.window(r);
        checkDepth(piece, depth, what);
    }
}

void maskedHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                     const vkPelBuffer_const<std::uint8_t>& mask, std::int32_t,
                     std::vector<std::uint32_t>& histogram) {
    vf_MaskedPelHistogram(image, mask, histogram);
}
void maskedHistogram(const vkPelBuffer_const<std::uint16_t>& image,
                     const vkPelBuffer_const<std::uint8_t>& mask, std::int32_t depth,
                     std::vector<std::uint32_t>& histogram) {
    vf_MaskedPelHistogram(image, mask, depth, histogram);
}

void addImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint8_t>& image, std::int32_t,
              const std::string& name) {
    vf_AddImage(diag, image, name, false);
}
void addImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint16_t>& image, std::int32_t depth,
              const std::string& name) {
    vf_AddImage(diag, image, depth, name, false);
}

vkPelBuffer<std::uint8_t> linearFit(const vkPelBuffer_const<std::uint8_t>& image,
                                    const vkPelBuffer_const<std::uint8_t>& reference,
                                    const vkPelBuffer_const<std::uint8_t>& weights,
                                    const std::vector<vkDegree>& angles, std::int32_t,
                                    vkDiagObject* details) {
    return runLinearFit(image, reference, weights, angles, details);
}
vkPelBuffer<std::uint16_t> linearFit(const vkPelBuffer_const<std::uint16_t>& image,
                                     const vkPelBuffer_const<std::uint16_t>& reference,
                                     const vkPelBuffer_const<std::uint8_t>& weights,
                                     const std::vector<vkDegree>& angles, std::int32_t depth,
                                     vkDiagObject* details) {
    return runLinearFit(image, reference, weights, angles, depth, details);
}

}  // namespace imgnorm_detail
