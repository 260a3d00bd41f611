// Equality of two tools, and the archive form of both tools and of their
// parameter pairs.
#include "imgnorm/deep_normalizer.h"
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

template <class Pel>
bool vkImageNormalizerBase<Pel>::operator==(const vkImageNormalizerBase& other) const {
    if (this == &other) return true;
    return depth_ == other.depth_ && trainedMethods_ == other.trainedMethods_ &&
           tailFractions_.x() == other.tailFractions_.x() &&
           tailFractions_.y() == other.tailFractions_.y() &&
           neighborhoodSize_ == other.neighborhoodSize_ && granularity_ == other.granularity_ &&
           intensityVariationRange_ == other.intensityVariationRange_ &&
           keepMaskedPixels_ == other.keepMaskedPixels_ &&
           vf_PelBufferEqual(maskImage_, other.maskImage_, 0.0) &&
           vf_PelBufferEqual(referenceImage_, other.referenceImage_, 0.0);
}

template <class Pel>
void vkImageNormalizerBase<Pel>::requireArchivable() const {
    if (!vfPelArchivable(maskImage_) || !vfPelArchivable(referenceImage_))
        throw vkPelFunc::BadParams(
            "the tool's mask or reference image cannot be archived: its client-from-image "
            "transform is not "
            "finite, not invertible or beyond 1e12, or its window is empty and longer than "
            "65536 pixels");
}

template <class Pel>
void vkImageNormalizerBase<Pel>::storeItems(vkArchive& archive) const {
    vkPair<double> tails = tailFractions_;
    vkPair<std::int32_t> neighborhood = neighborhoodSize_, granularity = granularity_,
                         range = intensityVariationRange_;
    vkPelBuffer_const<std::uint8_t> mask = maskImage_;
    vkPelBuffer_const<Pel> reference = referenceImage_;
    archive << static_cast<std::uint32_t>(trainedMethods_);
    archive || tails || neighborhood || granularity || range;
    archive << keepMaskedPixels_;
    archive || mask || reference;
}

template <class Pel>
void vkImageNormalizerBase<Pel>::loadItems(vkArchive& archive) {
    std::uint32_t methods = 0;
    archive >> methods;
    archive || tailFractions_ || neighborhoodSize_ || granularity_ || intensityVariationRange_;
    archive || keepMaskedPixels_;
    archive || maskImage_ || referenceImage_;
    // Loaded values bypass the setters' checks; training rebuilds every
    // trained member and sets trainedMethods.
    train(static_cast<vkImageNormalizerDefs::Method>(methods), nullptr, 0);
}

template bool vkImageNormalizerBase<std::uint8_t>::operator==(const vkImageNormalizerBase&) const;
template bool vkImageNormalizerBase<std::uint16_t>::operator==(const vkImageNormalizerBase&) const;
template void vkImageNormalizerBase<std::uint8_t>::requireArchivable() const;
template void vkImageNormalizerBase<std::uint16_t>::requireArchivable() const;
template void vkImageNormalizerBase<std::uint8_t>::storeItems(vkArchive&) const;
template void vkImageNormalizerBase<std::uint16_t>::storeItems(vkArchive&) const;
template void vkImageNormalizerBase<std::uint8_t>::loadItems(vkArchive&);
template void vkImageNormalizerBase<std::uint16_t>::loadItems(vkArchive&);

vkArchive& operator||(vkArchive& archive, vkImageNormalizer& tool) {
    if (archive.isStoring()) {
        // Both images are checked before anything is written, so a tool that
        // cannot be stored leaves the archive as it was.
        tool.requireArchivable();
        archive << static_cast<unsigned char>(0);
        tool.storeItems(archive);
        return archive;
    }

    unsigned char version = 0;
    archive >> version;
    if (version != 0) throw vkArchive::UnknownVersion(__FILE__, __LINE__);
    // From here on the tool holds its defaults plus whatever items were read,
    // and claims no trained method until the final training succeeds: a load
    // that fails part-way leaves a tool that refuses to run.
    tool.untrain();
    tool.loadItems(archive);
    return archive;
}

// The deep record: version byte 1 (never the 8-bit record's 0, so that each
// loader refuses the other's record), the depth, then the 8-bit record's
// items with a 16-bit reference.
vkArchive& operator||(vkArchive& archive, vkDeepImageNormalizer& tool) {
    constexpr unsigned char kDeepRecordVersion = 1;
    if (archive.isStoring()) {
        tool.requireArchivable();
        archive << kDeepRecordVersion << static_cast<unsigned char>(tool.depth_);
        tool.storeItems(archive);
        return archive;
    }

    unsigned char version = 0;
    archive >> version;
    if (version != kDeepRecordVersion) throw vkArchive::UnknownVersion(__FILE__, __LINE__);
    unsigned char depth = 0;
    archive >> depth;
    if (depth < 9 || depth > 16)
        throw vkArchive::Corrupt("the deep tool record's depth is not 9..16 bits");
    tool = vkDeepImageNormalizer(depth);
    tool.loadItems(archive);
    return archive;
}
