// vkLocalGainNormalizer: parameters, training, run, equality and archive form.
#include <cmath>
#include <utility>

#include "imgnorm/gain_normalizer.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/local_gain.h"
#include "imgnorm/local_model.h"

using vkImageNormalizerDefs::BadImage;
using vkImageNormalizerDefs::BadParams;
using vkImageNormalizerDefs::CanNotTrain;
using vkImageNormalizerDefs::NotTrained;

struct vkLocalGainNormalizer::Trained {
    vkImageNormalizer source;
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

}  // namespace

vkLocalGainNormalizer::vkLocalGainNormalizer() : gainRange_(0.25, 4.0), deviationFloor_(1.0) {}
vkLocalGainNormalizer::vkLocalGainNormalizer(const vkLocalGainNormalizer& other) = default;
vkLocalGainNormalizer& vkLocalGainNormalizer::operator=(const vkLocalGainNormalizer& other) =
    default;
vkLocalGainNormalizer::~vkLocalGainNormalizer() = default;

void vkLocalGainNormalizer::gainRange(const vkPair<double>& range) {
    if (!validGainRange(range)) throw BadParams("gainRange must be: 0 < x <= 1 <= y <= 16");
    gainRange_ = range;
}

void vkLocalGainNormalizer::deviationFloor(double floor) {
    if (!validFloor(floor)) throw BadParams("deviationFloor must be: 0 < floor <= 64");
    deviationFloor_ = floor;
}

const vkImageNormalizer& vkLocalGainNormalizer::source() const {
    static const vkImageNormalizer untrained;
    return trained_ ? trained_->source : untrained;
}

void vkLocalGainNormalizer::train(const vkImageNormalizer& source) {
    if (!source.referenceImage().isBound())
        throw CanNotTrain(
            "The source tool's referenceImage() must be bound to train a local gain correction.");
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
                                      source.granularity()));
    trained_ = std::move(trained);
}

void vkLocalGainNormalizer::untrain() {
    *this = vkLocalGainNormalizer();
}

vkPelBuffer<std::uint8_t> vkLocalGainNormalizer::run(const vkPelBuffer_const<std::uint8_t>& image,
                                                     Correction correction) const {
    if (correction != Correction::gainAndOffset && correction != Correction::gainOnly)
        throw BadParams("Cannot specify an unknown local gain correction.");
    if (!trained_) throw NotTrained("This tool was not trained.");
    if (!image.isBound()) throw BadImage("Image must be bound.");
    const Trained& t = *trained_;
    vkPelRect rect = t.source.referenceImage().window() & image.window();
    if (t.binaryMask.isBound()) rect &= t.binaryMask.window();
    if (rect.isNull()) return vkPelBuffer<std::uint8_t>();
    vkPelBuffer_const<std::uint8_t> view(image);
    view.window(rect);

    // The trained statistics describe the trained window; a run-time image
    // that covers less of it needs them on its own working rectangle.
    imgnorm_detail::ReferenceStats local;
    const imgnorm_detail::ReferenceStats* stats = &t.stats;
    if (rect != t.stats.grid.rect) {
        local = imgnorm_detail::referenceStats(
            t.source.referenceImage(),
            imgnorm_detail::statsGrid(rect, t.binaryMask, t.source.neighborhoodSize(),
                                      t.source.granularity()));
        stats = &local;
    }
    const imgnorm_detail::GainModel model = correction == Correction::gainAndOffset
                                                ? imgnorm_detail::GainModel::gainAndOffset
                                                : imgnorm_detail::GainModel::gainOnly;
    vkPelBuffer<std::uint8_t> result = imgnorm_detail::runLocalGain(
        view, *stats, model,
        imgnorm_detail::GainLimits{gainRange_.x(), gainRange_.y(), deviationFloor_});
    if (t.source.keepMaskedPixels() && t.binaryMask.isBound())
        vf_MaskedPelCopy(view, t.binaryMask, result, true);
    result.copyXforms(view);
    return result;
}

bool vkLocalGainNormalizer::operator==(const vkLocalGainNormalizer& other) const {
    if (this == &other) return true;
    return gainRange_.x() == other.gainRange_.x() && gainRange_.y() == other.gainRange_.y() &&
           deviationFloor_ == other.deviationFloor_ && isTrained() == other.isTrained() &&
           source() == other.source();
}

vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool) {
    if (archive.isStoring()) {
        vkImageNormalizer source = tool.source();
        vkPair<double> range = tool.gainRange_;
        archive || source;
        archive << static_cast<unsigned char>(0) << tool.isTrained();
        archive || range;
        archive << tool.deviationFloor_;
        return archive;
    }
    // Everything is read into a new tool, which replaces the target only
    // once it is complete (and trained).
    vkImageNormalizer source;
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
    vkLocalGainNormalizer loaded;
    loaded.gainRange_ = range;
    loaded.deviationFloor_ = floor;
    if (trained) loaded.train(source);
    tool = std::move(loaded);
    return archive;
}
