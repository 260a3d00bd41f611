// The pieces of the HTML report that are drawn from pixels and numbers:
// thumbnails and heat maps as embedded PNG, plots as inline SVG, and the
// page around them. Nothing here runs a normalization method; it draws the
// images and records the tool produced.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <imgnorm/pelbuffer.h>

namespace imgnorm_cli::report {

// Thumbnails are at most this many pixels on their longer side (a window
// is shrunk by a whole factor: 320 x 240 becomes 107 x 80).
inline constexpr std::int32_t kThumbSide = 128;

// Text for HTML content and attribute values.
std::string escapeHtml(std::string_view text);
// A relative file path as an href: each segment percent-encoded.
std::string hrefOf(const std::string& relativePath);

// An image embedded in the page: a PNG data URI and its size in pixels.
struct Picture {
    std::string uri;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The window shrunk by the mean of square blocks to at most kThumbSide a
// side (an image that small already is kept as it is), in 64 gray levels.
Picture grayThumbnail(const vkPelBuffer_const<std::uint8_t>& image);

// |a - b| over the window common to a, b and the mask, shrunk like a
// thumbnail (the mean of each block's pixels under the mask) and coloured
// on the report's one difference scale, in steps of half an octave
// (1 + d = 1, 1.4, 2, 2.8, 4, ...); blocks without a pixel under the mask are hatched gray. An
// unbound mask includes every pixel.
Picture differenceMap(const vkPelBuffer_const<std::uint8_t>& a,
                      const vkPelBuffer_const<std::uint8_t>& b,
                      const vkPelBuffer_const<std::uint8_t>& mask);

// The correction a local method adds to the run-time image, 128 - estimate,
// shrunk like a thumbnail and coloured on a scale from -limit (blue) through
// 0 (white) to +limit (red), limit being the largest correction (at least
// 1). Estimate pixels of 0 (no estimate) are hatched.
Picture correctionMap(const vkPelBuffer_const<std::uint8_t>& estimate, std::int32_t& limit);

// The fitted gray line: reference = intercept + slope * run-time.
struct GrayLine {
    double slope = 0.0;
    double intercept = 0.0;
    double tolerance = 0.0;
    bool fitted = false;
};
// Reads the "Gray line" record's text; fitted stays false when it cannot.
GrayLine parseGrayLine(const std::string& text);

// SVG symbols and gradients that the plots refer to, once per page.
std::string sharedSvgDefinitions();
// The legend of the difference scale (a reference to the shared symbol).
std::string differenceLegend();
// The legend of a correction map's scale.
std::string correctionLegend(std::int32_t limit);

// A histogram as an SVG path over 256 bins, scaled so that `top` counts
// reach the plot's top; id names it for histogramPlot.
std::string histogramPath(const std::vector<std::uint32_t>& counts, std::uint32_t top,
                          const std::string& id);
// Overlaid histograms of reference, run-time image and result: the first
// two are paths made by histogramPath (referred to by id), the result's is
// drawn here (empty counts: no result).
std::string histogramPlot(const std::string& referenceId, const std::string& runTimeId,
                          const std::vector<std::uint32_t>& result, std::uint32_t top);

// The linear fit's joint histogram (log density, run-time along x,
// reference up y) with the cells of the band it fitted in, the line and
// the trimming distance on both sides.
std::string jointHistogramPlot(const vkPelBuffer_const<std::uint8_t>& joint,
                               const vkPelBuffer_const<std::uint8_t>& band, const GrayLine& line);

// The page from its start to the opening of the body, and from the end of
// the body to its end (the script that sorts the tables).
std::string pageStart(const std::string& title);
std::string pageEnd();

}  // namespace imgnorm_cli::report
