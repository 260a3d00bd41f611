// vkFlatField: flat-field calibration of a camera's raw images from dark
// frames (the sensor's offset and fixed pattern, taken with the lens
// covered) and flat frames (a uniformly lit target: vignette and
// pixel-to-pixel gain).
//
//   out = (raw - dark) * mean(flat - dark) / (flat - dark)
//
// where dark and flat are the pixel-wise averages of the frames given, and
// the mean is taken over the pixels where flat - dark is positive. The
// arithmetic is single-precision floating point; each result is rounded half
// up and clamped to 0..255. Where flat - dark is 0 or negative (a dead or hot
// pixel) the pixel's gain cannot be measured: it gets gain 1, out =
// clamp(raw - dark, 0, 255). The gain is not limited otherwise, so a pixel
// that the flat frames hardly lift above the dark frames is amplified
// accordingly.
//
// Deep images: a calibration made from 16-bit frames of a declared depth d
// (9..16 bits) calibrates 16-bit images of that depth, the results clamped
// to 0..2^d - 1; a frame or image with a value above the depth is refused
// (BadImage), and so is an image of the other pixel type than the frames'.
//
// Frames and images are matched pixel by pixel from the first pixel of their
// windows: their sizes must agree, their positions are not compared. The
// calibration composes with the normalizers: calibrate the raw image first,
// then normalize the result.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imgnorm/export.h"
#include "imgnorm/pelbuffer.h"

class IMGNORM_API vkFlatField {
  public:
    using Frames = std::vector<vkPelBuffer_const<std::uint8_t>>;
    using DeepFrames = std::vector<vkPelBuffer_const<std::uint16_t>>;

    // Not calibrated.
    vkFlatField();
    // Averages the dark frames (none: a dark level of 0 everywhere) and the
    // flat frames (at least one). Throws vkImageNormalizerDefs::BadParams
    // without flat frames, BadImage for an unbound frame or one whose size
    // differs from the first flat frame's, and CanNotTrain when no pixel of
    // the flat average lies above the dark average.
    vkFlatField(const Frames& darkFrames, const Frames& flatFrames);
    // The same from 16-bit frames of depth bits (9..16, else BadParams).
    vkFlatField(const DeepFrames& darkFrames, const DeepFrames& flatFrames, std::int32_t depth);
    vkFlatField(const vkFlatField& other);
    vkFlatField& operator=(const vkFlatField& other);
    ~vkFlatField();

    bool isCalibrated() const { return data_ != nullptr; }
    // The frames' depth: 8, or 9..16 for 16-bit frames (0 when not
    // calibrated).
    std::int32_t depth() const;
    // The frames' size (0 when not calibrated).
    std::int32_t width() const;
    std::int32_t height() const;
    // mean(flat - dark) over the pixels where it is positive, and the number
    // of pixels where it is not (0 when not calibrated).
    double meanSignal() const;
    std::int64_t unmeasuredPixels() const;

    // The calibrated image: a new buffer on raw's window with raw's
    // transforms. Throws vkImageNormalizerDefs::NotTrained when not
    // calibrated, BadImage when raw is unbound or its size differs from the
    // frames'.
    vkPelBuffer<std::uint8_t> apply(const vkPelBuffer_const<std::uint8_t>& raw) const;
    vkPelBuffer<std::uint16_t> apply(const vkPelBuffer_const<std::uint16_t>& raw) const;

  private:
    template <class Pel>
    void calibrate(const std::vector<vkPelBuffer_const<Pel>>& darkFrames,
                   const std::vector<vkPelBuffer_const<Pel>>& flatFrames, std::int32_t depth);
    template <class Pel>
    vkPelBuffer<Pel> correct(const vkPelBuffer_const<Pel>& raw) const;

    struct Data;
    std::shared_ptr<const Data> data_;  // immutable; shared by copies
};
