// vkDeepImageNormalizer: the normalizer for deep images, 16-bit pixels whose
// values have a declared significant bit depth of 9 to 16 bits (a 12-bit
// camera's pixels lie in 0..4095, a 16-bit line's in 0..65535).
//
// Why a class of its own beside vkImageNormalizer, both derived from one
// class template (vkImageNormalizerBase<Pel>), and not a bare class template
// or a set of overloads: a deep tool has one more parameter, the depth, which
// decides its default variation range, the size of its tables (2^depth
// levels) and which images it accepts; the depth belongs to the object, not
// to its type (a 10- and a 12-bit camera share a pixel type). Two named
// classes keep vkImageNormalizer's name, interface and archive record exactly
// as they were (code that declares `class vkImageNormalizer;` still
// compiles), and let a program hold 8-bit and deep tools side by side. The
// base holds the setters, training, run and equality, written once and built
// for both pixel types, and every filter and gray map underneath is a
// template over the pixel type: there is no second copy of any algorithm.
//
// What each method means at depth d (levels 0..2^d - 1):
// - the global maps work on histograms of 2^d bins and map through tables of
//   2^d entries; the tails' percentages and the mean and standard deviation
//   are those of these histograms; eMatchHistogram maps each level to the
//   reference level at the middle of the level's share of the cumulative
//   histogram (the 8-bit tool takes the end of the share, as specified for
//   it): on 2^d levels, most of them sparsely occupied, the middle brings
//   the result's histogram markedly closer to the reference's (see
//   BENCHMARKS.md);
// - the linear fit counts its robust joint histogram on values reduced to 8
//   bits, then refines the fitted line by least squares on the full values;
// - the local corrections bias the difference by 2^(d-1) and clamp it to
//   the variation range, whose default is +-(2^(d-1) - 1) and which is given
//   in the image's own levels; the local mean and median work on that deep
//   difference.
// Masks stay 8-bit images (0 excludes a pixel, any other value includes it).
// Results lie in 0..2^d - 1.
//
// An image or reference with a value above 2^d - 1 is refused with
// vkImageNormalizerDefs::BadImage: by train for the reference (the tool
// stays as it was), by run for the run-time image (and for the reference,
// which a tool that shares the caller's pixels may see change).
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
#include "imgnorm/normalizer.h"
#include "imgnorm/pelbuffer.h"

class IMGNORM_API vkDeepImageNormalizer : public vkImageNormalizerBase<std::uint16_t> {
  public:
    // An untrained tool for values of depth bits (9..16, else
    // vkImageNormalizerDefs::BadParams). The other defaults are those of
    // vkImageNormalizer, except intensityVariationRange:
    // (-(2^(depth-1) - 1), 2^(depth-1) - 1).
    explicit vkDeepImageNormalizer(std::int32_t depth = 16);
    // Copies as vkImageNormalizer's.
    vkDeepImageNormalizer(const vkDeepImageNormalizer& other);
    vkDeepImageNormalizer& operator=(const vkDeepImageNormalizer& other);
    vkDeepImageNormalizer(vkDeepImageNormalizer&& other) noexcept;
    vkDeepImageNormalizer& operator=(vkDeepImageNormalizer&& other) noexcept;
    ~vkDeepImageNormalizer();

    std::int32_t depth() const { return depth_; }
    // Declares another depth (9..16, else BadParams and nothing changes): the
    // variation range becomes that depth's default and the tool untrained.
    void depth(std::int32_t bits);
    // Returns every member but the depth to its default.
    void untrain();

  private:
    friend IMGNORM_API vkArchive& operator||(vkArchive& archive, vkDeepImageNormalizer& tool);
};

// Stores or loads a deep tool (layout: docs/archive-format.md, "Deep tool
// record"). The record starts with the version byte 1, which an 8-bit
// tool's loader refuses (vkArchive::UnknownVersion), as this loader refuses
// the 8-bit record's 0; then the depth, then the items of the 8-bit record
// with a 16-bit reference image. Storing and loading otherwise behave as
// for vkImageNormalizer; a stored depth outside 9..16 is vkArchive::Corrupt,
// and a loaded reference with values above the depth fails the final
// training (BadImage), leaving a reset tool that refuses every method.
IMGNORM_API vkArchive& operator||(vkArchive& archive, vkDeepImageNormalizer& tool);
