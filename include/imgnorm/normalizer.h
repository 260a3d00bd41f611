// vkImageNormalizer: trains on a reference image (and an optional mask) and
// normalizes the gray levels of run-time images with one of seven methods;
// and the base it shares with the deep-image tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgnorm/archive.h"
#include "imgnorm/diag.h"
#include "imgnorm/errors.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/histostats.h"
#include "imgnorm/pelbuffer.h"

// The parameters, images, trained data and operations that vkImageNormalizer
// (Pel = std::uint8_t) and vkDeepImageNormalizer (std::uint16_t, see
// deep_normalizer.h) share: one code for both, built for the two pixel
// types. Not used on its own (its constructor is protected); the comments
// below describe the 8-bit tool, and deep_normalizer.h what differs on deep
// images.
template <class Pel>
class IMGNORM_API vkImageNormalizerBase {
  public:
    using Method = vkImageNormalizerDefs::Method;

    Method trainedMethods() const { return trainedMethods_; }
    vkPair<double> tailFractions() const { return tailFractions_; }
    vkPair<std::int32_t> neighborhoodSize() const { return neighborhoodSize_; }
    vkPair<std::int32_t> granularity() const { return granularity_; }
    vkPair<std::int32_t> intensityVariationRange() const { return intensityVariationRange_; }
    bool keepMaskedPixels() const { return keepMaskedPixels_; }
    const vkPelBuffer_const<Pel>& referenceImage() const { return referenceImage_; }
    const vkPelBuffer_const<std::uint8_t>& maskImage() const { return maskImage_; }

    // Setters. Each checks its value first and throws
    // vkImageNormalizerDefs::BadParams without changing anything when it is
    // out of range; an accepted value is stored and the tool becomes untrained.
    void tailFractions(const vkPair<double>& fractions);             // 0 <= x <= y <= 1
    void neighborhoodSize(const vkPair<std::int32_t>& size);         // x, y >= 1
    void granularity(const vkPair<std::int32_t>& step);              // x, y >= 1
    void intensityVariationRange(const vkPair<std::int32_t>& range);  // x <= 0 <= y
    void keepMaskedPixels(bool keep);
    // With copy true the tool keeps its own copy of the pixels; with copy
    // false it shares the caller's pixels and sees later changes to them. An
    // unbound image removes the reference (or the mask).
    void referenceImage(const vkPelBuffer_const<Pel>& image, bool copy);
    void maskImage(const vkPelBuffer_const<std::uint8_t>& image, bool copy);

    // Changes the three parameters that only run uses, keeping the training.
    void set(const vkPair<double>& tailFractions, const vkPair<std::int32_t>& intensityVariationRange,
             bool keepMaskedPixels);

    // Trains for the set of methods (an OR of Method values; 0 allowed).
    // Throws vkImageNormalizerDefs::CanNotTrain when it cannot, also, before
    // any work, when the reference's window (within the mask's, when there
    // is a mask) holds 2^32 pixels or more, which the 32-bit counts of its
    // histogram cannot hold. The trained
    // data is derived apart and replaces the previous training only once all
    // of it is ready, so a training that fails (CanNotTrain, a cancellation,
    // an allocation failure) leaves the tool exactly as it was, trained for
    // what it was trained for before. The one exception: when the masked
    // reference histogram is empty and methods holds a global method, the
    // new training is kept for the other methods and CanNotTrain is thrown.
    void train(Method methods, vkDiagObject* diag, std::uint32_t flags);

    // Normalizes image with one trained method and returns a new image.
    // success is false (with message) when a global gray map cannot be built.
    // With vkDiagDefs::eMethodDetails in flags, run also records what the
    // method estimated, one level deeper than its inputs:
    // - eLinearlyFitGrayValues: the image "Joint histogram" (256 x 256, row =
    //   reference value, column = run-time value, the number of pixels of
    //   each pair under the mask compressed logarithmically as the fit
    //   compresses its 33 x 33 histogram), the image "Line band" (33 x 33
    //   cells of 8 gray levels centred on multiples of 8, 255 for the cells
    //   whose pairs the fit used) and the text "Gray line" (lines
    //   "slope=", "intercept=", "tolerance=" (pairs farther than this from
    //   the line were trimmed) and "fitted=" (false when no line was found)).
    // - eLocalCorrection and eLocalCorrectionEnhanced: the image "Background
    //   estimate", 128 + the local estimate of run-time minus reference, on
    //   the grid the estimate works at (every granularity step), covering
    //   the result's window; the correction subtracts it. 0 marks pixels
    //   without an estimate (excluded by the mask, eLocalCorrection).
    //   (On deep images of depth d: 2^(d-1) in place of 128.)
    vkPelBuffer<Pel> run(const vkPelBuffer_const<Pel>& image, Method method, bool& success,
                         std::string& message, vkDiagObject* diag, std::uint32_t flags) const;

    // Same state: true for the same object; otherwise trained methods, tail
    // fractions (exactly), the three integer pairs, keepMaskedPixels, then
    // mask and reference by vf_PelBufferEqual(a, b, 0.0). Trained data is
    // not compared.
    bool operator==(const vkImageNormalizerBase& other) const;

  protected:
    vkImageNormalizerBase(const vkPair<std::int32_t>& intensityVariationRange, std::int32_t depth);
    vkImageNormalizerBase(const vkImageNormalizerBase& other);
    vkImageNormalizerBase& operator=(const vkImageNormalizerBase& other);
    vkImageNormalizerBase(vkImageNormalizerBase&& other) noexcept;
    vkImageNormalizerBase& operator=(vkImageNormalizerBase&& other) noexcept;
    ~vkImageNormalizerBase();

    // vkPelFunc::BadParams unless both images can be archived.
    void requireArchivable() const;
    // The record's items after its version byte (and a deep tool's depth);
    // loading reads them straight into a tool the caller has reset, then
    // trains it for the stored methods.
    void storeItems(vkArchive& archive) const;
    void loadItems(vkArchive& archive);

    // The significant bits of the images: 8, or a deep tool's depth.
    std::int32_t depth_;
    Method trainedMethods_ = vkImageNormalizerDefs::eIdentity;
    vkPair<double> tailFractions_;
    vkPair<std::int32_t> neighborhoodSize_;
    vkPair<std::int32_t> granularity_;
    vkPair<std::int32_t> intensityVariationRange_;
    bool keepMaskedPixels_ = false;
    vkPelBuffer_const<std::uint8_t> maskImage_;
    vkPelBuffer_const<Pel> referenceImage_;
    // Trained data, derived from the members above by train and replaced
    // together when a training succeeds.
    vkPelBuffer<std::uint8_t> binaryMask_;
    vkPelBuffer<std::uint8_t> reducedMask_;
    vkPelBuffer<std::uint16_t> maskWeights_;
    std::vector<std::uint32_t> referenceHistogram_;
    vkHistoStats referenceStats_;
    std::vector<vkDegree> fitAngles_;
};

extern template class vkImageNormalizerBase<std::uint8_t>;
extern template class vkImageNormalizerBase<std::uint16_t>;

// The tool for 8-bit images.
class IMGNORM_API vkImageNormalizer : public vkImageNormalizerBase<std::uint8_t> {
  public:
    // Defaults: untrained, tailFractions (0, 1), neighborhoodSize (101, 101),
    // granularity (1, 1), intensityVariationRange (-127, 127),
    // keepMaskedPixels false, no reference and no mask.
    vkImageNormalizer();
    // Copies share the tool's pixel buffers, as buffer copies do. A copy
    // assignment that fails (an allocation) leaves the target as it was.
    vkImageNormalizer(const vkImageNormalizer& other);
    vkImageNormalizer& operator=(const vkImageNormalizer& other);
    vkImageNormalizer(vkImageNormalizer&& other) noexcept;
    vkImageNormalizer& operator=(vkImageNormalizer&& other) noexcept;
    ~vkImageNormalizer();

    // Returns every member, parameters and images included, to its default.
    void untrain();

  private:
    friend IMGNORM_API vkArchive& operator||(vkArchive& archive, vkImageNormalizer& tool);
};

// Stores or loads a tool (layout: docs/archive-format.md).
// Storing reads the tool only; an image that cannot be archived (see
// vfPelArchivable) throws vkPelFunc::BadParams before anything is written.
// Loading: a record version other than 0 throws vkArchive::UnknownVersion
// (this source file and line) and leaves the tool unchanged; otherwise the
// tool is reset, the items are written straight into it without the setters'
// checks, and the load ends with train(stored methods, nullptr, 0). Until
// that training succeeds the tool claims no trained method, so whatever
// fails part-way (vkArchive::Corrupt or UnknownVersion from the items,
// CanNotTrain or a pixel function's exception from the training) leaves a
// reset, partly loaded tool that refuses every method but eIdentity; only
// training's empty-histogram failure leaves the non-global methods trained.
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkImageNormalizer& tool);

// The archive form of a pair: a version byte (0), then x and y. A stored
// version other than 0 throws vkArchive::UnknownVersion with no source
// position; a failed load leaves the pair unchanged.
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkPair<double>& pair);
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkPair<std::int32_t>& pair);
