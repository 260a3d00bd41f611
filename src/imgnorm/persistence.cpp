// Equality of two tools, and the archive form of a tool and of its
// parameter pairs.
#include "imgnorm/normalizer.h"
#include "imgnorm/pelfunc.h"
#include "platform/pelarchive.h"

namespace {

template <class T>
vkArchive& passPair(vkArchive& archive, vkPair<T>& pair) {
    if (archive.isStoring())
        return archive << static_cast<unsigned char>(0) << pair.x() << pair.y();
    unsigned char version = 0;
    archive >> version;
    if (version != 0) throw vkArchive::UnknownVersion();
    T x{}, y{};
    archive >> x >> y;
    pair = vkPair<T>(x, y);  // replaced only once both elements are read
    return archive;
}

}  // namespace

vkArchive& operator||(vkArchive& archive, vkPair<double>& pair) {
    return passPair(archive, pair);
}
vkArchive& operator||(vkArchive& archive, vkPair<std::int32_t>& pair) {
    return passPair(archive, pair);
}

bool vkImageNormalizer::operator==(const vkImageNormalizer& other) const {
    if (this == &other) return true;
    return trainedMethods_ == other.trainedMethods_ &&
           tailFractions_.x() == other.tailFractions_.x() &&
           tailFractions_.y() == other.tailFractions_.y() &&
           neighborhoodSize_ == other.neighborhoodSize_ && granularity_ == other.granularity_ &&
           intensityVariationRange_ == other.intensityVariationRange_ &&
           keepMaskedPixels_ == other.keepMaskedPixels_ &&
           vf_PelBufferEqual(maskImage_, other.maskImage_, 0.0) &&
           vf_PelBufferEqual(referenceImage_, other.referenceImage_, 0.0);
}

vkArchive& operator||(vkArchive& archive, vkImageNormalizer& tool) {
    if (archive.isStoring()) {
        // Both images are checked before anything is written, so a tool that
        // cannot be stored leaves the archive as it was.
        if (!vfPelArchivable(tool.maskImage_) || !vfPelArchivable(tool.referenceImage_))
            throw vkPelFunc::BadParams(
                "the tool's mask or reference image cannot be archived: its client-from-image "
                "transform is not "
                "finite, not invertible or beyond 1e12, or its window is empty and longer than "
                "65536 pixels");
        vkPair<double> tails = tool.tailFractions_;
        vkPair<std::int32_t> neighborhood = tool.neighborhoodSize_, granularity = tool.granularity_,
                             range = tool.intensityVariationRange_;
        vkPelBuffer_const<std::uint8_t> mask = tool.maskImage_, reference = tool.referenceImage_;
        archive << static_cast<unsigned char>(0)
                << static_cast<std::uint32_t>(tool.trainedMethods_);
        archive || tails || neighborhood || granularity || range;
        archive << tool.keepMaskedPixels_;
        archive || mask || reference;
        return archive;
    }

    unsigned char version = 0;
    archive >> version;
    if (version != 0) throw vkArchive::UnknownVersion(__FILE__, __LINE__);

    // From here on the tool holds its defaults plus whatever items were read,
    // and claims no trained method until the final training succeeds: a load
    // that fails part-way leaves a tool that refuses to run.
    tool.untrain();
    std::uint32_t methods = 0;
    archive >> methods;
    archive || tool.tailFractions_ || tool.neighborhoodSize_ || tool.granularity_ ||
        tool.intensityVariationRange_;
    archive || tool.keepMaskedPixels_;
    archive || tool.maskImage_ || tool.referenceImage_;
    // Loaded values bypass the setters' checks; training rebuilds every
    // trained member and sets trainedMethods.
    tool.train(static_cast<vkImageNormalizerDefs::Method>(methods), nullptr, 0);
    return archive;
}
