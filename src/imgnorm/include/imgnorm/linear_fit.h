// The linear gray-value fit behind eLinearlyFitGrayValues.
//
// The run-time image is mapped through one straight gray-value line
// template ~ intercept + slope * runTime, found in two stages:
// 1. A robust coarse search: the pairs (template, run-time) of all pixels are
//    counted in a 33 x 33 joint histogram of gray bins ((g + 4) >> 3), the
//    counts are compressed logarithmically into an 8-bit image, and that
//    image is projected along the directions of fit angles 3..59. The
//    projection whose smoothed profile peaks highest gives the direction and
//    position of the histogram's dominant straight ridge.
// 2. A least-squares fit of template on run-time value over the pixels whose
//    histogram cell lies in a band three profile positions wide around that
//    ridge. Pixels that do not follow the common linear relation (defects,
//    occlusions) mostly fall outside the band; within it, the fit is trimmed
//    (pairs far from the line are dropped and the line refitted), and
//    saturated pairs (0 or 255 on either side, as clipping makes them) are
//    left out, so that neither pulls the line.
//
// Cost: one pass over the three images counts every (template, run-time)
// pair and the weighted histogram; the map is applied in a second pass over
// the run-time image. All else works on fixed-size tables (33 x 33 cells,
// 256 x 256 pairs, 57 profiles of 38 to 48 entries).
//
// Pairing: pixels are paired by pixel position. The template and a bound
// weight image are narrowed to the run-time window (all three windows are
// intersected), so every pair is the same scene point even when the caller
// passes a run-time image narrowed to part of a larger template. The result
// maps the whole run-time window (the gray map is global), with the run-time
// image's transforms.
//
// When no line can be fitted (no pair in the band, every weight 0, no
// overlap, or every fitted pair with one run-time value) the gray line stays
// (slope 0, intercept 0) and every output pixel is 0: an unmistakable result
// rather than an image that looks normalized but is not.
//
// Deep images (16-bit, values of depth d = 9..16): the pairs are counted on
// values reduced to 8 bits (shifted right by s = d - 8), so the joint
// histogram, the band, the saturated pairs (the lowest or highest 2^s levels
// on either side) and the trimmed fit are those of the 8-bit fit on the
// reduced values, and just as robust. The line is then refined on the full
// values: least squares of template on run-time value over the pixels whose
// reduced pair the trimmed fit kept (a second pass over the images, before
// the map's). The gray map has 2^d entries, rounded and clamped to
// 0..2^d - 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imgnorm/affine.h"
#include "imgnorm/diag.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

inline constexpr std::size_t kFitAngleCount = 63;
inline constexpr std::int32_t kGrayBins = 33;
// Fit angle entries that are projected (inclusive).
inline constexpr std::size_t kFirstProjectedAngle = 3;
inline constexpr std::size_t kLastProjectedAngle = 59;

// Fills angles with the 63 direction angles the fit projects along:
// atan(i / 33) for i = 1..32, then atan(33 / j) for j = 31..1 (no 45 degrees).
void buildFitAngles(std::vector<vkDegree>& angles);

// Maps the run-time image through the gray line fitted against the template
// and returns the mapped image (a new buffer on the run-time window). A
// non-null details receives the records "Joint histogram", "Line band" and
// "Gray line" that vkImageNormalizer::run documents.
// weightImage may be unbound (every pixel weighs 1); where bound, its value
// is the pixel's weight in the histogram and 0 also keeps the pixel out of
// the line fit. Throws vkImageNormalizerDefs::BadImage when the run-time or
// template image is unbound, vkAssertionFailure when angles does not hold
// 63 finite entries.
vkPelBuffer<std::uint8_t> runLinearFit(const vkPelBuffer_const<std::uint8_t>& runTimeImage,
                                       const vkPelBuffer_const<std::uint8_t>& templateImage,
                                       const vkPelBuffer_const<std::uint8_t>& weightImage,
                                       const std::vector<vkDegree>& angles,
                                       vkDiagObject* details = nullptr);
// The same for deep images of the given depth (9..16). A run-time or
// template value above 2^depth - 1 is refused with BadImage (named "Image"
// or "referenceImage()", as the tool calls them) by the pass that counts the
// pairs, before anything else uses it; details records the reduced pairs and
// band with the refined line.
vkPelBuffer<std::uint16_t> runLinearFit(const vkPelBuffer_const<std::uint16_t>& runTimeImage,
                                        const vkPelBuffer_const<std::uint16_t>& templateImage,
                                        const vkPelBuffer_const<std::uint8_t>& weightImage,
                                        const std::vector<vkDegree>& angles, std::int32_t depth,
                                        vkDiagObject* details = nullptr);

// The steps of runLinearFit, in order; exposed for the tests.

// Gray bin of each gray value: (g + 4) >> 3, 0..32.
const std::array<std::uint8_t, 256>& grayBins();

// The run-time, template and weight views narrowed to their common window
// (by pixel position); weight stays unbound when it was. All three windows
// have equal size; an empty overlap leaves them empty.
template <class Pel>
struct PairedImagesOf {
    vkPelBuffer_const<Pel> runTime;
    vkPelBuffer_const<Pel> templ;
    vkPelBuffer_const<std::uint8_t> weight;
};
using PairedImages = PairedImagesOf<std::uint8_t>;
template <class Pel>
PairedImagesOf<Pel> pairImages(const vkPelBuffer_const<Pel>& runTimeImage,
                               const vkPelBuffer_const<Pel>& templateImage,
                               const vkPelBuffer_const<std::uint8_t>& weightImage);

// What one pass over the paired images gathers, on values shifted right by
// shift (0 for 8-bit images, depth - 8 for deep ones).
struct PairCounts {
    // pairs[t * 256 + r]: the number of pixels with template value t,
    // run-time value r and a nonzero weight (every pixel without weights).
    std::vector<std::uint32_t> pairs;
    // 33 x 33 joint histogram: row bin(template), column bin(run-time), each
    // pixel adding its weight (1 without weight image).
    vkPelBuffer<std::uint32_t> histogram;
};
// seen gathers the values read (deep images only).
template <class Pel>
PairCounts countPairs(const PairedImagesOf<Pel>& images, int shift = 0,
                      const SeenValues& seen = SeenValues());

// The counts compressed to 8 bits: unchanged when the largest count M is
// below 256, else count c > 0 becomes trunc(255 * ln(c) / ln(M) + 0.5) and
// 0 stays 0.
vkPelBuffer<std::uint8_t> compressHistogram(const vkPelBuffer_const<std::uint32_t>& counts);

// How the histogram image is sampled for the projection along angle: the
// bounding box of the 33 x 33 image in a frame turned by angle + 90 degrees,
// its first side across lines of direction angle and its second side along
// them, with trunc(extent + 0.5) + 1 samples across and
// trunc(extent - 0.5) - 1 along (bilinear). vkAssertionFailure for a
// non-finite angle.
vkAffineSamplingParams projectionSampling(vkDegree angle);

// One profile per fit angle entry 3..59 (profile k for entry k + 3): the
// histogram image summed along lines of that direction, sampled across it
// over the histogram's rotated bounding box (see vfProjectImage).
std::vector<vkPelBuffer<std::uint32_t>> projectAtAngles(const vkPelBuffer_const<std::uint8_t>& histogram,
                                                        const std::vector<vkDegree>& angles);

// out[i] = v[i - r] + ... + v[i + r], mirrored at the ends without repeating
// the end sample; 32-bit unsigned running sums. Needs v.size() >= 2r + 1
// (vkAssertionFailure otherwise).
std::vector<std::uint32_t> boxSum(const std::vector<std::uint32_t>& v, std::int32_t r);

// The profile whose box-summed (r = 1) peak is highest; ties keep the
// earlier profile, and within a profile the first maximal position.
struct StrongestProjection {
    std::size_t index = 0;
    std::int32_t peakPosition = 0;
    std::uint32_t peakValue = 0;
};
StrongestProjection findStrongestProjection(const std::vector<vkPelBuffer<std::uint32_t>>& profiles);

// 33 x 33 band: 255 for cells (x, y) whose profile position u (the x of the
// profile's image-from-client transform applied to the point (x, y))
// satisfies peak - 1 <= u < peak + 2, else 0.
vkPelBuffer<std::uint8_t> makeLineBand(const vkPelBuffer_const<std::uint32_t>& profile, std::int32_t peakPosition);

// Fits template value t on run-time value r over the counted pairs whose
// histogram cell (row bin(t), column bin(r)) is nonzero in band:
// - pairs with 0 or 255 on either side are saturated and left out, unless
//   the others do not determine a line;
// - least squares of t on r, then trimmed least squares: pairs farther than
//   max(1, 2.5 standard deviations) from the line are dropped and the line
//   refitted until the kept set settles (at most 10 rounds).
// On success line = (slope, intercept), *tolerance (when given) the last
// trimming distance, and true; when no line meets x = 0 (no pair, or all
// pairs with one run-time value) line and *tolerance are left as they are
// and false. A non-null kept receives, for every pair t * 256 + r, 1 when
// the final line was fitted to it and 0 otherwise.
bool fitGrayLine(const std::vector<std::uint32_t>& pairs,
                 const vkPelBuffer_const<std::uint8_t>& band, vkPair<double>& line,
                 double* tolerance = nullptr, std::vector<std::uint8_t>* kept = nullptr);

// How the refinement reads the kept pairs: Fastest tests each reduced pair
// against its run-time value's run of kept template values with AVX-512 when
// the processor has it (BW and VBMI) and the kept pairs form such runs, and
// looks it up in kept otherwise; Portable always looks it up. Both give the
// same line.
enum class RefinePath { Fastest, Portable };

// Least squares of template on run-time value over the pixels of nonzero
// weight whose pair of values shifted right by shift is kept, computed
// exactly from integer sums; false (line unchanged) when they hold fewer
// than two run-time values. pairs are the counts of the same images'
// reduced pairs (countPairs), which tell which pairs no pixel has.
bool refineGrayLine(const PairedImagesOf<std::uint16_t>& images,
                    const std::vector<std::uint8_t>& kept, const std::vector<std::uint32_t>& pairs,
                    int shift, vkPair<double>& line, RefinePath path = RefinePath::Fastest);

// For each reduced run-time value r, the reduced template values lo[r] ..
// hi[r] whose pairs are kept (lo > hi: none).
struct KeptRuns {
    std::array<std::uint8_t, 256> lo, hi;
};
// The integer sums of a refinement over its kept pixels, with run-time value
// r = 256 rh + rl and template value t = 256 th + tl split into bytes so that
// every product fits 32-bit vector lanes: sum r^2 = 2^16 RhRh + 2^9 RhRl +
// RlRl, sum r t = 2^16 RhTh + 2^8 Cross + RlTl (Cross = sum rh tl + rl th).
enum KeptSum : std::size_t { kCount, kR, kT, kRhRh, kRhRl, kRlRl, kRhTh, kCross, kRlTl, kKeptSums };
// Whether this processor runs addKeptRowAvx512.
bool keptRowAvx512Available();
// Adds to sums the pixels x < w of one row whose values shifted right by
// shift form a pair within runs and whose weight wt[x] is nonzero (every
// pixel when wt is null). Only for processors keptRowAvx512Available
// accepts (linear_fit_avx512.cpp).
void addKeptRowAvx512(const std::uint16_t* rt, const std::uint16_t* tp, const std::uint8_t* wt,
                      std::int32_t w, const KeptRuns& runs, int shift, std::uint64_t* sums);

// The map of the gray line (x = slope, y = intercept) with one entry per
// level, 256 (8-bit) or 2^depth (16-bit): the value starts at the intercept
// and grows by the slope per gray level (accumulated, not recomputed); each
// entry is rounded half away from zero and clamped to the levels (NaN maps
// to 0).
template <class T = std::uint8_t>
std::vector<T> grayMap(const vkPair<double>& line, std::int32_t depth = 8);

// The run-time image mapped through grayMap(line).
vkPelBuffer<std::uint8_t> applyGrayLine(const vkPelBuffer_const<std::uint8_t>& runTimeImage,
                                        const vkPair<double>& line);

}  // namespace imgnorm_detail
