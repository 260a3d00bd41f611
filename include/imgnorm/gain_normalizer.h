// vkLocalGainNormalizer: local corrections of shading that multiplies (a
// vignette, an aging lamp, a contrast change), trained on the reference of a
// vkImageNormalizer; vkDeepLocalGainNormalizer: the same on deep images,
// trained on the reference of a vkDeepImageNormalizer.
//
// Design. The tool does not repeat the normalizer's reference, mask and
// neighbourhood parameters: train takes a vkImageNormalizer as its source and
// keeps a copy of it (images are shared, not copied), whose referenceImage,
// maskImage, neighborhoodSize, granularity and keepMaskedPixels it uses, with
// the normalizer's own checks on them. Its archive record is the source's
// record followed by the tool's own items (docs/archive-format.md), so a file
// holding both tools stores the images once, and a reader that knows only
// the normalizer still reads the first part. vkImageNormalizer itself, its
// methods and its messages are unchanged.
//
// Deep images. As for the normalizers, both tools derive from one class
// template (vkLocalGainNormalizerBase<Pel>) that holds everything and is
// built for both pixel types over one set of kernels; the deep tool takes
// the depth of its source (9..16 bits). The description below is of 8-bit
// images; at depth d the levels are 0..2^d - 1 (results are clamped to
// them), the statistics keep the same share of the range in their fixed
// point, and deviationFloor() counts in 8-bit gray levels, scaled by
// 2^(d-8) (the same share of the range at every depth). train refuses a
// reference with a value above the depth and run such an image (BadImage).
//
// The corrections. Around every pixel, the Gaussian-weighted local mean m and
// local standard deviation s of the run-time image (over the pixels the mask
// includes) are compared with those of the reference at the same place:
//   gainAndOffset: out = (in - m_run) * g + m_ref, g = s_ref / s_run
//   gainOnly:      out = in * g,                   g = m_ref / m_run
// rounded half up and clamped to 0..255. The gain is limited to gainRange().
// Where a deviation (or, for gainOnly, a mean) is below deviationFloor() it
// counts as the floor: where both vanish the gain is 1, so a flat run-time
// area over a flat reference area gets the local mean's offset, and a flat
// run-time area over a textured one gets at most the upper gain limit.
//
// Neighbourhood and resolution follow the local corrections: the Gaussian
// has the kernel that vkImageNormalizer's eLocalCorrection uses for the
// neighbourhood. With a granularity above 1 (and a neighbourhood above 1)
// the image and the mask are first reduced by the granularity with the same
// Gaussian sampling as eLocalCorrection's difference, the statistics are
// taken on the reduced grid (s is then the deviation of the reduced image:
// detail finer than the granularity does not count), and gain and offset are
// resampled bilinearly to every pixel. The cost is O(1) per pixel whatever
// the neighbourhood.
//
// Masks: only included pixels enter the statistics (at reduced resolution
// each reduced pixel is weighted by the share of included pixels it covers).
// Every pixel of the result is corrected, excluded ones with the gain and
// offset of their neighbourhood; where a neighbourhood holds no included
// pixel the run-time pixel is kept. With the source's keepMaskedPixels the
// run-time pixels outside the mask are copied into the result unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "imgnorm/archive.h"
#include "imgnorm/deep_normalizer.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelbuffer.h"

enum class vkLocalGainCorrection : std::uint8_t { gainAndOffset = 0, gainOnly = 1 };

// What vkLocalGainNormalizer (Pel = std::uint8_t) and
// vkDeepLocalGainNormalizer (std::uint16_t) share; not used on its own.
template <class Pel>
class IMGNORM_API vkLocalGainNormalizerBase {
  public:
    using Correction = vkLocalGainCorrection;
    // The normalizer the tool trains on.
    using Source = std::conditional_t<std::is_same_v<Pel, std::uint8_t>, vkImageNormalizer,
                                      vkDeepImageNormalizer>;

    // The lowest and highest gain applied: 0 < x <= 1 <= y <= 16, else
    // vkImageNormalizerDefs::BadParams and nothing changes. Keeps the training.
    vkPair<double> gainRange() const { return gainRange_; }
    void gainRange(const vkPair<double>& range);
    // The deviation (or mean) below which a local statistic counts as
    // vanished, in gray levels: 0 < floor <= 64, else BadParams. Keeps the
    // training.
    double deviationFloor() const { return deviationFloor_; }
    void deviationFloor(double floor);

    // Trains on the source's reference image, mask, neighbourhood and
    // granularity: the reference's local statistics are computed once here.
    // The source need not be trained itself. An unbound reference throws
    // vkImageNormalizerDefs::CanNotTrain; any failure leaves this tool as it
    // was.
    void train(const Source& source);
    bool isTrained() const { return trained_ != nullptr; }
    // Back to a default-constructed tool.
    void untrain();
    // The normalizer the tool was trained from (a default one before
    // training).
    const Source& source() const;

    // Corrects image on the window it shares with the reference and the mask
    // and returns a new image with the run-time image's transforms; unbound
    // when that window is empty. Throws vkImageNormalizerDefs::NotTrained
    // before training, BadImage for an unbound image and BadParams for a
    // correction that is not one of the enumerators.
    vkPelBuffer<Pel> run(const vkPelBuffer_const<Pel>& image, Correction correction) const;

    // Same parameters, same trained state and equal sources (by the
    // normalizer's operator==).
    bool operator==(const vkLocalGainNormalizerBase& other) const;

  protected:
    // Untrained; gainRange (0.25, 4), deviationFloor 1.
    vkLocalGainNormalizerBase();
    vkLocalGainNormalizerBase(const vkLocalGainNormalizerBase& other);
    vkLocalGainNormalizerBase& operator=(const vkLocalGainNormalizerBase& other);
    ~vkLocalGainNormalizerBase();

    // Stores the tool, or loads it in full before it replaces this one (see
    // operator|| below).
    void transfer(vkArchive& archive);

  private:
    // The source and what training derived from it; immutable once built,
    // shared by copies, and published in one step by train.
    struct Trained;

    vkPair<double> gainRange_;
    double deviationFloor_;
    std::shared_ptr<const Trained> trained_;  // null when untrained
};

extern template class vkLocalGainNormalizerBase<std::uint8_t>;
extern template class vkLocalGainNormalizerBase<std::uint16_t>;

class IMGNORM_API vkLocalGainNormalizer : public vkLocalGainNormalizerBase<std::uint8_t> {
  public:
    vkLocalGainNormalizer();
    vkLocalGainNormalizer(const vkLocalGainNormalizer& other);
    vkLocalGainNormalizer& operator=(const vkLocalGainNormalizer& other);
    ~vkLocalGainNormalizer();

  private:
    friend IMGNORM_API vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool);
};

class IMGNORM_API vkDeepLocalGainNormalizer : public vkLocalGainNormalizerBase<std::uint16_t> {
  public:
    vkDeepLocalGainNormalizer();
    vkDeepLocalGainNormalizer(const vkDeepLocalGainNormalizer& other);
    vkDeepLocalGainNormalizer& operator=(const vkDeepLocalGainNormalizer& other);
    ~vkDeepLocalGainNormalizer();

  private:
    friend IMGNORM_API vkArchive& operator||(vkArchive& archive, vkDeepLocalGainNormalizer& tool);
};

// Stores or loads the tool: the source's vkImageNormalizer record, then a
// version byte (0), whether the tool is trained, gainRange and
// deviationFloor (docs/archive-format.md). Loading builds the whole new tool
// (retrained when the stored one was) before it replaces the target, so a
// failure leaves the target as it was: a version other than 0 throws
// vkArchive::UnknownVersion, a parameter outside the setters' ranges
// vkArchive::Corrupt, and the source's own load and the training throw as
// they do. The deep tool's record is the same after its source's deep tool
// record (docs/archive-format.md), so neither loader reads the other's.
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool);
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkDeepLocalGainNormalizer& tool);
