// vkLocalGainNormalizer and vkDeepLocalGainNormalizer: parameters, training,
// run, equality and archive form, written once for both pixel types.
#include <cmath>
#include <utility>

#include "imgnorm/gain_normalizer.h"
#include "imgnorm/local_gain.h"
#include "imgnorm/local_model.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelfunc.h"

using vkImageNormalizerDefs::BadImage;
using vkImageNormalizerDefs::BadParams;
using vkImageNormalizerDefs::CanNotTrain;
using vkImageNormalizerDefs::NotTrained;

template <class Pel>
struct vkLocalGainNormalizerBase<Pel>::Trained {
    Source source;
    vkPelBuffer<std::uint8_t> binaryMask;  // unbound without a mask
    imgnorm_detail::ReferenceStats stats;  // on the reference's window within the mask's
};

namespace {

bool validGainRange(const vkPair<double>& r) {
    // Written so that NaNs fail.
    return r.x() > 0.0 && r.x() <= 1.0 && r.y() >= 1.0 && r.y() <= 16.0;
}

bool validFloor(double f) {
    return f > 0.0 && f <= 64.0;
}

std::int32_t depthOf(const vkImageNormalizer&) {
    return 8;
}
std::int32_t depthOf(const vkDeepImageNormalizer& source) {
    return source.depth();
}

}  // namespace

template <class Pel>
vkLocalGainNormalizerBase<Pel>::vkLocalGainNormalizerBase()
    : gainRange_(0.25, 4.0), deviationFloor_(1.0) {}
template <class Pel>
vkLocalGainNormalizerBase<Pel>::vkLocalGainNormalizerBase(const vkLocalGainNormalizerBase& other) =
    default;
template <class Pel>
vkLocalGainNormalizerBase<Pel>& vkLocalGainNormalizerBase<Pel>::operator=(
    const vkLocalGainNormalizerBase& other) = default;
template <class Pel>
vkLocalGainNormalizerBase<Pel>::~vkLocalGainNormalizerBase() = default;

template <class Pel>
void vkLocalGainNormalizerBase<Pel>::gainRange(const vkPair<double>& range) {
    if (!validGainRange(range)) throw BadParams("gainRange must be: 0 < x <= 1 <= y <= 16");
    gainRange_ = range;
}

template <class Pel>
void vkLocalGainNormalizerBase<Pel>::deviationFloor(double floor) {
    if (!validFloor(floor)) throw BadParams("deviationFloor must be: 0 < floor <= 64");
    deviationFloor_ = floor;
}

template <class Pel>
auto vkLocalGainNormalizerBase<Pel>::source() const -> const Source& {
    static const Source untrained;
    return trained_ ? trained_->source : untrained;
}

template <class Pel>
void vkLocalGainNormalizerBase<Pel>::train(const Source& source) {
    if (!source.referenceImage().isBound())
        throw CanNotTrain(
            "The source tool's referenceImage() must be bound to train a local gain correction.");
    const std::int32_t depth = depthOf(source);
    imgnorm_detail::checkDepth(source.referenceImage(), depth, "referenceImage()");
    auto trained = std::make_shared<Trained>();
    trained->source = source;
    vkPelBuffer<std::uint8_t> reduced;
    vkPelBuffer<std::uint16_t> weights;
    imgnorm_detail::trainMasks(vkImageNormalizerDefs::eIdentity, source.maskImage(),
                               source.neighborhoodSize(), vkPair<std::int32_t>(1, 1),
                               trained->binaryMask, reduced, weights);
    vkPelRect rect = source.referenceImage().window();
    if (trained->binaryMask.isBound()) rect &= trained->binaryMask.window();
    if (!rect.isNull())
        trained->stats = imgnorm_detail::referenceStats(
            source.referenceImage(),
            imgnorm_detail::statsGrid(rect, trained->binaryMask, source.neighborhoodSize(),
                                      source.granularity(), depth));
    trained_ = std::move(trained);
}

template <class Pel>
void vkLocalGainNormalizerBase<Pel>::untrain() {
    *this = vkLocalGainNormalizerBase();
}

template <class Pel>
vkPelBuffer<Pel> vkLocalGainNormalizerBase<Pel>::run(const vkPelBuffer_const<Pel>& image,
                                                     Correction correction) const {
    if (correction != Correction::gainAndOffset && correction != Correction::gainOnly)
        throw BadParams("Cannot specify an unknown local gain correction.");
    if (!trained_) throw NotTrained("This tool was not trained.");
    if (!image.isBound()) throw BadImage("Image must be bound.");
    const Trained& t = *trained_;
    const std::int32_t depth = depthOf(t.source);
    vkPelRect rect = t.source.referenceImage().window() & image.window();
    if (t.binaryMask.isBound()) rect &= t.binaryMask.window();
    if (rect.isNull()) return vkPelBuffer<Pel>();
    vkPelBuffer_const<Pel> view(image);
    view.window(rect);
    imgnorm_detail::checkDepth(view, depth, "Image");

    // The trained statistics describe the trained window; a run-time image
    // that covers less of it needs them on its own working rectangle.
    imgnorm_detail::ReferenceStats local;
    const imgnorm_detail::ReferenceStats* stats = &t.stats;
    if (rect != t.stats.grid.rect) {
        local = imgnorm_detail::referenceStats(
            t.source.referenceImage(),
            imgnorm_detail::statsGrid(rect, t.binaryMask, t.source.neighborhoodSize(),
                                      t.source.granularity(), depth));
        stats = &local;
    }
    const imgnorm_detail::GainModel model = correction == Correction::gainAndOffset
                                                ? imgnorm_detail::GainModel::gainAndOffset
                                                : imgnorm_detail::GainModel::gainOnly;
    // The floor counts in 8-bit gray levels: 2^(d-8) of a deep image's.
    const double floor = std::ldexp(deviationFloor_, depth - 8);
    vkPelBuffer<Pel> result = imgnorm_detail::runLocalGain(
        view, *stats, model, imgnorm_detail::GainLimits{gainRange_.x(), gainRange_.y(), floor});
    if (t.source.keepMaskedPixels() && t.binaryMask.isBound())
        vf_MaskedPelCopy(view, t.binaryMask, result, true);
    result.copyXforms(view);
    return result;
}

template <class Pel>
bool vkLocalGainNormalizerBase<Pel>::operator==(const vkLocalGainNormalizerBase& other) const {
    if (this == &other) return true;
    return gainRange_.x() == other.gainRange_.x() && gainRange_.y() == other.gainRange_.y() &&
           deviationFloor_ == other.deviationFloor_ && isTrained() == other.isTrained() &&
           source() == other.source();
}

template <class Pel>
void vkLocalGainNormalizerBase<Pel>::transfer(vkArchive& archive) {
    if (archive.isStoring()) {
        Source source = this->source();
        vkPair<double> range = gainRange_;
        archive || source;
        archive << static_cast<unsigned char>(0) << isTrained();
        archive || range;
        archive << deviationFloor_;
        return;
    }
    // Everything is read into a new tool, which replaces the target only
    // once it is complete (and trained).
    Source source;
    archive || source;
    unsigned char version = 0;
    archive >> version;
    if (version != 0) throw vkArchive::UnknownVersion(__FILE__, __LINE__);
    bool trained = false;
    vkPair<double> range;
    double floor = 0.0;
    archive >> trained;
    archive || range;
    archive >> floor;
    if (!validGainRange(range))
        throw vkArchive::Corrupt("local gain record: gain range outside 0 < x <= 1 <= y <= 16");
    if (!validFloor(floor))
        throw vkArchive::Corrupt("local gain record: deviation floor outside 0 < floor <= 64");
    vkLocalGainNormalizerBase loaded;
    loaded.gainRange_ = range;
    loaded.deviationFloor_ = floor;
    if (trained) loaded.train(source);
    *this = std::move(loaded);
}

template class vkLocalGainNormalizerBase<std::uint8_t>;
template class vkLocalGainNormalizerBase<std::uint16_t>;

vkLocalGainNormalizer::vkLocalGainNormalizer() = default;
vkLocalGainNormalizer::vkLocalGainNormalizer(const vkLocalGainNormalizer& other) = default;
vkLocalGainNormalizer& vkLocalGainNormalizer::operator=(const vkLocalGainNormalizer& other) =
    default;
vkLocalGainNormalizer::~vkLocalGainNormalizer() = default;

vkDeepLocalGainNormalizer::vkDeepLocalGainNormalizer() = default;
vkDeepLocalGainNormalizer::vkDeepLocalGainNormalizer(const vkDeepLocalGainNormalizer& other) =
    default;
vkDeepLocalGainNormalizer& vkDeepLocalGainNormalizer::operator=(
    const vkDeepLocalGainNormalizer& other) = default;
vkDeepLocalGainNormalizer::~vkDeepLocalGainNormalizer() = default;

vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool) {
    tool.transfer(archive);
    return archive;
}

vkArchive& operator||(vkArchive& archive, vkDeepLocalGainNormalizer& tool) {
    tool.transfer(archive);
    return archive;
}
