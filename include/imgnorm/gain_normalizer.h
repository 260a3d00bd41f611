// vkLocalGainNormalizer: local corrections of shading that multiplies (a
// vignette, an aging lamp, a contrast change), trained on the reference of a
// vkImageNormalizer.
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

#include "imgnorm/archive.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelbuffer.h"

class IMGNORM_API vkLocalGainNormalizer {
  public:
    enum class Correction : std::uint8_t { gainAndOffset = 0, gainOnly = 1 };

    // Untrained; gainRange (0.25, 4), deviationFloor 1.
    vkLocalGainNormalizer();
    vkLocalGainNormalizer(const vkLocalGainNormalizer& other);
    vkLocalGainNormalizer& operator=(const vkLocalGainNormalizer& other);
    ~vkLocalGainNormalizer();

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
    void train(const vkImageNormalizer& source);
    bool isTrained() const { return trained_ != nullptr; }
    // Back to a default-constructed tool.
    void untrain();
    // The normalizer the tool was trained from (a default one before
    // training).
    const vkImageNormalizer& source() const;

    // Corrects image on the window it shares with the reference and the mask
    // and returns a new image with the run-time image's transforms; unbound
    // when that window is empty. Throws vkImageNormalizerDefs::NotTrained
    // before training, BadImage for an unbound image and BadParams for a
    // correction that is not one of the enumerators.
    vkPelBuffer<std::uint8_t> run(const vkPelBuffer_const<std::uint8_t>& image,
                                  Correction correction) const;

    // Same parameters, same trained state and equal sources (by the
    // normalizer's operator==).
    bool operator==(const vkLocalGainNormalizer& other) const;

  private:
    friend IMGNORM_API vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool);

    // The source and what training derived from it; immutable once built,
    // shared by copies, and published in one step by train.
    struct Trained;

    vkPair<double> gainRange_;
    double deviationFloor_;
    std::shared_ptr<const Trained> trained_;  // null when untrained
};

// Stores or loads the tool: the source's vkImageNormalizer record, then a
// version byte (0), whether the tool is trained, gainRange and
// deviationFloor (docs/archive-format.md). Loading builds the whole new tool
// (retrained when the stored one was) before it replaces the target, so a
// failure leaves the target as it was: a version other than 0 throws
// vkArchive::UnknownVersion, a parameter outside the setters' ranges
// vkArchive::Corrupt, and the source's own load and the training throw as
// they do.
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkLocalGainNormalizer& tool);
