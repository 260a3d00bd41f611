// Thumbnails, heat maps, plots and the page frame of the HTML report.
#include "report_render.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "codecs.h"

namespace imgnorm_cli::report {

namespace {

using Rgb = std::array<std::uint8_t, 3>;
using Palette = std::array<std::uint8_t, 256 * 3>;

// Palette indices 254 and 255 draw the gray hatching of pixels without a
// value (outside the mask, no estimate).
constexpr std::uint8_t kHatchA = 254, kHatchB = 255;
// Difference maps use indices 0..253, correction maps 0..252 (126 is 0).
constexpr int kDifferenceTop = 253;
constexpr int kCorrectionMid = 126;

// Piecewise linear colour scale through evenly spaced stops, t in 0..1.
template <std::size_t N>
Rgb interpolate(const std::array<Rgb, N>& stops, double t) {
    t = std::clamp(t, 0.0, 1.0) * static_cast<double>(N - 1);
    const auto i = std::min(static_cast<std::size_t>(t), N - 2);
    const double f = t - static_cast<double>(i);
    Rgb out{};
    for (std::size_t c = 0; c < 3; ++c)
        out[c] = static_cast<std::uint8_t>(
            std::lround(stops[i][c] + f * (stops[i + 1][c] - stops[i][c])));
    return out;
}

// Dark purple through red to pale yellow: larger is brighter, also in gray.
Rgb inferno(double t) {
    static constexpr std::array<Rgb, 9> stops = {{{0, 0, 4},
                                                  {31, 12, 72},
                                                  {85, 15, 109},
                                                  {136, 34, 106},
                                                  {186, 54, 85},
                                                  {227, 89, 51},
                                                  {249, 140, 10},
                                                  {249, 201, 50},
                                                  {252, 255, 164}}};
    return interpolate(stops, t);
}

// Blue (negative) through white (0) to red (positive), t in 0..1.
Rgb diverging(double t) {
    static constexpr std::array<Rgb, 9> stops = {{{5, 48, 97},
                                                  {33, 102, 172},
                                                  {67, 147, 195},
                                                  {146, 197, 222},
                                                  {247, 247, 247},
                                                  {244, 165, 130},
                                                  {214, 96, 77},
                                                  {178, 24, 43},
                                                  {103, 0, 31}}};
    return interpolate(stops, t);
}

std::string hexColour(const Rgb& c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c[0], c[1], c[2]);
    return text;
}

void setEntry(Palette& p, std::size_t i, const Rgb& c) {
    std::copy(c.begin(), c.end(), p.begin() + 3 * i);
}

void setHatch(Palette& p) {
    setEntry(p, kHatchA, {205, 205, 205});
    setEntry(p, kHatchB, {170, 170, 170});
}

const Palette& differencePalette() {
    static const Palette p = [] {
        Palette q{};
        for (int i = 0; i <= kDifferenceTop; ++i)
            setEntry(q, static_cast<std::size_t>(i), inferno(i / double(kDifferenceTop)));
        setHatch(q);
        return q;
    }();
    return p;
}

const Palette& correctionPalette() {
    static const Palette p = [] {
        Palette q{};
        for (int i = 0; i <= 2 * kCorrectionMid; ++i)
            setEntry(q, static_cast<std::size_t>(i), diverging(i / double(2 * kCorrectionMid)));
        setHatch(q);
        return q;
    }();
    return p;
}

// Joint histogram: 0 (no pixel) is white, denser cells are darker.
const Palette& densityPalette() {
    static const Palette p = [] {
        Palette q{};
        setEntry(q, 0, {255, 255, 255});
        for (int i = 1; i < 256; ++i)
            setEntry(q, static_cast<std::size_t>(i), inferno(1.0 - 0.85 * i / 255.0));
        return q;
    }();
    return p;
}

// The palette index of a mean absolute difference: log2(1 + d) spread over
// 0..253, so that 1, 3, 7, ... 255 are evenly spaced and small residuals
// stay distinguishable next to large ones. Steps of half an octave keep
// the embedded maps small (noise at full precision hardly compresses).
std::uint8_t differenceIndex(double d) {
    const double halfOctaves = std::round(2.0 * std::log2(1.0 + d));
    return static_cast<std::uint8_t>(std::lround(kDifferenceTop * halfOctaves / 16.0));
}

std::string base64(std::string_view bytes) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto v = static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8 |
                       static_cast<std::uint8_t>(bytes[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const std::uint32_t v =
            static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << 16 |
            (two ? static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8 : 0u);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += two ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Pixels as palette indices, one row after another.
struct Indexed {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> pixels;
};

// A palette image, or a gray one without palette (which PNG filters, and so
// compresses much better). The palette holds only the entries used, so that
// it does not outweigh a small map.
Picture toPicture(Indexed image, const Palette* palette) {
    if (image.width == 0 || image.height == 0) return {};
    std::array<std::uint8_t, 256> slot{};
    std::vector<std::uint8_t> used;
    if (palette != nullptr) {
        std::array<bool, 256> seen{};
        for (const std::uint8_t v : image.pixels)
            seen[v] = true;
        for (std::size_t v = 0; v < 256; ++v)
            if (seen[v]) {
                slot[v] = static_cast<std::uint8_t>(used.size() / 3);
                used.insert(used.end(), palette->begin() + 3 * v, palette->begin() + 3 * v + 3);
            }
        for (std::uint8_t& v : image.pixels)
            v = slot[v];
    }
    const codec::EncodeSource source{image.pixels.data(),
                                     image.width,
                                     image.width,
                                     image.height,
                                     1,
                                     8,
                                     palette != nullptr ? used.data() : nullptr,
                                     static_cast<std::int32_t>(used.size() / 3)};
    return {"data:image/png;base64," + base64(codec::encodePngBytes(source, "(report image)")),
            image.width, image.height};
}

// Means of square blocks over the pixels a row includes, for shrinking a
// w x h window to at most kThumbSide a side.
class BlockMeans {
  public:
    BlockMeans(std::int32_t w, std::int32_t h)
        : k_(std::max<std::int32_t>(1, (std::max(w, h) + kThumbSide - 1) / kThumbSide)),
          width_((w + k_ - 1) / k_),
          height_((h + k_ - 1) / k_),
          sums_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)),
          counts_(sums_.size()) {}

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }

    // Adds row y of values where include (null: everywhere) is not 0.
    template <class T>
    void addRow(std::int32_t y, const T* values, const std::uint8_t* include, std::int32_t w) {
        const std::size_t base =
            static_cast<std::size_t>(y / k_) * static_cast<std::size_t>(width_);
        for (std::int32_t x = 0; x < w; ++x) {
            if (include != nullptr && include[x] == 0) continue;
            const std::size_t i = base + static_cast<std::size_t>(x / k_);
            sums_[i] += values[x];
            ++counts_[i];
        }
    }

    bool has(std::size_t i) const { return counts_[i] != 0; }
    double mean(std::size_t i) const {
        return static_cast<double>(sums_[i]) / static_cast<double>(counts_[i]);
    }
    std::size_t size() const { return sums_.size(); }

    // Palette indices: index(mean) where a block has pixels, hatching where not.
    template <class F>
    Indexed indexed(F index) const {
        Indexed out{width_, height_, std::vector<std::uint8_t>(sums_.size())};
        for (std::int32_t y = 0; y < height_; ++y)
            for (std::int32_t x = 0; x < width_; ++x) {
                const std::size_t i =
                    static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                    static_cast<std::size_t>(x);
                out.pixels[i] = has(i) ? index(mean(i)) : (((x + y) >> 1) & 1 ? kHatchA : kHatchB);
            }
        return out;
    }

  private:
    std::int32_t k_, width_, height_;
    std::vector<std::int64_t> sums_;
    std::vector<std::uint32_t> counts_;
};

std::string number(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string hrefOf(const std::string& relativePath) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : relativePath) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~' ||
                           c == '/';
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

Picture grayThumbnail(const vkPelBuffer_const<std::uint8_t>& image) {
    if (!image.isBound()) return {};
    BlockMeans blocks(image.width(), image.height());
    const std::uint8_t* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
        blocks.addRow(y, row, nullptr, image.width());
    return toPicture(blocks.indexed([](double m) {
        return static_cast<std::uint8_t>(std::lround(std::round(m * 63.0 / 255.0) * 255.0 / 63.0));
    }),
                     nullptr);
}

Picture differenceMap(const vkPelBuffer_const<std::uint8_t>& a,
                      const vkPelBuffer_const<std::uint8_t>& b,
                      const vkPelBuffer_const<std::uint8_t>& mask) {
    vkPelRect common = a.window() & b.window();
    if (mask.isBound()) common &= mask.window();
    if (common.isNull()) return {};
    vkPelBuffer_const<std::uint8_t> va(a), vb(b), vm(mask);
    va.window(common);
    vb.window(common);
    if (vm.isBound()) vm.window(common);
    BlockMeans blocks(common.width(), common.height());
    std::vector<std::int32_t> diff(static_cast<std::size_t>(common.width()));
    for (std::int32_t y = 0; y < common.height(); ++y) {
        const std::uint8_t* pa = va.pointToOffset() + y * va.rowUpdate();
        const std::uint8_t* pb = vb.pointToOffset() + y * vb.rowUpdate();
        for (std::int32_t x = 0; x < common.width(); ++x)
            diff[static_cast<std::size_t>(x)] = std::abs(pa[x] - pb[x]);
        blocks.addRow(y, diff.data(),
                      vm.isBound() ? vm.pointToOffset() + y * vm.rowUpdate() : nullptr,
                      common.width());
    }
    return toPicture(blocks.indexed(differenceIndex), &differencePalette());
}

Picture correctionMap(const vkPelBuffer_const<std::uint8_t>& estimate, std::int32_t& limit) {
    limit = 1;
    if (!estimate.isBound()) return {};
    BlockMeans blocks(estimate.width(), estimate.height());
    std::vector<std::int32_t> correction(static_cast<std::size_t>(estimate.width()));
    const std::uint8_t* row = estimate.pointToOffset();
    for (std::int32_t y = 0; y < estimate.height(); ++y, row += estimate.rowUpdate()) {
        for (std::int32_t x = 0; x < estimate.width(); ++x)
            correction[static_cast<std::size_t>(x)] = 128 - row[x];
        blocks.addRow(y, correction.data(), row, estimate.width());
    }
    double largest = 1.0;
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (blocks.has(i)) largest = std::max(largest, std::fabs(blocks.mean(i)));
    limit = static_cast<std::int32_t>(std::ceil(largest));
    const double scale = kCorrectionMid / static_cast<double>(limit);
    return toPicture(blocks.indexed([&](double c) {
        return static_cast<std::uint8_t>(std::lround(kCorrectionMid + c * scale));
    }),
                     &correctionPalette());
}

GrayLine parseGrayLine(const std::string& text) {
    GrayLine line;
    bool slope = false, intercept = false;
    std::istringstream in(text);
    for (std::string entry; std::getline(in, entry);) {
        const auto eq = entry.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = entry.substr(0, eq), value = entry.substr(eq + 1);
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        const bool isNumber = end != value.c_str() && *end == '\0' && std::isfinite(v);
        if (key == "slope" && isNumber) {
            line.slope = v;
            slope = true;
        } else if (key == "intercept" && isNumber) {
            line.intercept = v;
            intercept = true;
        } else if (key == "tolerance" && isNumber) {
            line.tolerance = v;
        } else if (key == "fitted") {
            line.fitted = value == "true";
        }
    }
    line.fitted = line.fitted && slope && intercept;
    return line;
}

std::string sharedSvgDefinitions() {
    std::string out =
        "<svg class=\"defs\" width=\"0\" height=\"0\" aria-hidden=\"true\"><defs>"
        "<clipPath id=\"plot256\"><rect width=\"256\" height=\"256\"/></clipPath>"
        "<pattern id=\"hatch\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
        "<rect width=\"4\" height=\"4\" fill=\"#cdcdcd\"/><path d=\"M0 4L4 0\" stroke=\"#aaa\" "
        "stroke-width=\"2\"/></pattern>"
        "<linearGradient id=\"diff-gradient\">";
    for (int k = 0; k <= 16; ++k)
        out += "<stop offset=\"" + number(k / 16.0, 4) + "\" stop-color=\"" +
               hexColour(inferno(static_cast<double>(std::lround(kDifferenceTop * k / 16.0)) /
                                 kDifferenceTop)) +
               "\"/>";
    out += "</linearGradient><linearGradient id=\"corr-gradient\">";
    for (int k = 0; k <= 8; ++k)
        out += "<stop offset=\"" + number(k / 8.0, 3) + "\" stop-color=\"" +
               hexColour(diverging(k / 8.0)) + "\"/>";
    out += "</linearGradient></defs>";
    // The difference scale: evenly spaced in log2(1 + d).
    out +=
        "<symbol id=\"diff-scale\" viewBox=\"0 0 320 36\">"
        "<rect x=\"8\" y=\"13\" width=\"240\" height=\"10\" fill=\"url(#diff-gradient)\"/>";
    for (int k = 0; k <= 8; ++k) {
        const int x = 8 + 30 * k;
        out += "<path d=\"M" + std::to_string(x) + " 22v3\" stroke=\"#333\"/><text x=\"" +
               std::to_string(x) + "\" y=\"34\" text-anchor=\"middle\">" +
               std::to_string((1 << k) - 1) + "</text>";
    }
    out +=
        "<text x=\"0\" y=\"9\">|difference to the reference| (gray levels)</text>"
        "<rect x=\"262\" y=\"13\" width=\"10\" height=\"10\" fill=\"url(#hatch)\"/>"
        "<text x=\"276\" y=\"22\">outside</text><text x=\"276\" y=\"32\">the "
        "mask</text></symbol></svg>";
    return out;
}

std::string differenceLegend() {
    return "<svg class=\"legend\" width=\"320\" height=\"36\" role=\"img\" aria-label=\"difference "
           "scale\">"
           "<use href=\"#diff-scale\"/></svg>";
}

std::string correctionLegend(std::int32_t limit) {
    const std::string l = std::to_string(limit);
    return "<svg class=\"legend\" width=\"200\" height=\"34\" viewBox=\"0 0 200 34\" role=\"img\" "
           "aria-label=\"correction scale\"><text x=\"4\" y=\"9\">correction added (gray "
           "levels)</text>"
           "<rect x=\"14\" y=\"12\" width=\"160\" height=\"10\" fill=\"url(#corr-gradient)\"/>"
           "<text x=\"14\" y=\"33\" text-anchor=\"middle\">-" +
           l +
           "</text><text x=\"94\" y=\"33\" "
           "text-anchor=\"middle\">0</text><text x=\"174\" y=\"33\" text-anchor=\"middle\">+" +
           l + "</text></svg>";
}

std::string histogramPath(const std::vector<std::uint32_t>& counts, std::uint32_t top,
                          const std::string& id) {
    std::string d;
    int previous = 0;
    for (std::size_t b = 0; b < 256; ++b) {
        const double c = b < counts.size() && top != 0 ? counts[b] / static_cast<double>(top) : 0.0;
        const int y = 100 - static_cast<int>(std::lround(100.0 * std::min(c, 1.0)));
        d += b == 0 ? "M.5 " + std::to_string(y) : "l1 " + std::to_string(y - previous);
        previous = y;
    }
    return "<path id=\"" + escapeHtml(id) + "\" d=\"" + d + "\"/>";
}

std::string histogramPlot(const std::string& referenceId, const std::string& runTimeId,
                          const std::vector<std::uint32_t>& result, std::uint32_t top) {
    std::string out =
        "<svg class=\"hist\" width=\"256\" height=\"124\" viewBox=\"0 -2 256 124\" role=\"img\" "
        "aria-label=\"histograms under the mask\"><rect width=\"256\" height=\"100\" "
        "class=\"frame\"/>"
        "<use href=\"#" +
        escapeHtml(referenceId) + "\" class=\"h-ref\"/><use href=\"#" + escapeHtml(runTimeId) +
        "\" class=\"h-run\"/>";
    if (!result.empty()) {
        std::string path = histogramPath(result, top, "");
        path.replace(0, path.find(" d="), "<path class=\"h-res\"");
        out += path;
    }
    out +=
        "<text x=\"0\" y=\"111\">0</text><text x=\"256\" y=\"111\" text-anchor=\"end\">255</text>"
        "<text x=\"30\" y=\"120\" class=\"h-ref\">reference</text><text x=\"100\" y=\"120\" "
        "class=\"h-run\">run-time</text>";
    if (!result.empty()) out += "<text x=\"165\" y=\"120\" class=\"h-res\">result</text>";
    return out + "</svg>";
}

std::string jointHistogramPlot(const vkPelBuffer_const<std::uint8_t>& joint,
                               const vkPelBuffer_const<std::uint8_t>& band, const GrayLine& line) {
    if (joint.width() != 256 || joint.height() != 256) return "";
    // Reference 0 at the bottom: the rows go in reverse.
    Indexed density{256, 256, std::vector<std::uint8_t>(256 * 256)};
    for (std::int32_t t = 0; t < 256; ++t)
        std::copy_n(joint.pointToOffset() + t * joint.rowUpdate(), 256,
                    density.pixels.begin() + (255 - t) * 256);
    std::string out =
        "<svg class=\"joint\" width=\"290\" height=\"290\" viewBox=\"-28 -6 290 290\" role=\"img\" "
        "aria-label=\"joint histogram with the fitted line\"><rect width=\"256\" height=\"256\" "
        "class=\"frame\"/><image width=\"256\" height=\"256\" class=\"pixelated\" href=\"" +
        toPicture(density, &densityPalette()).uri + "\"/>";
    // Cell (column c, row r) holds run-time values 8c - 4 .. 8c + 3 and
    // reference values 8r - 4 .. 8r + 3; runs of band cells become one rect.
    if (band.width() > 0 && band.height() > 0) {
        std::string d;
        for (std::int32_t r = 0; r < band.height(); ++r) {
            const std::uint8_t* row = band.pointToOffset() + r * band.rowUpdate();
            for (std::int32_t c = 0; c < band.width();) {
                if (row[c] == 0) {
                    ++c;
                    continue;
                }
                std::int32_t end = c;
                while (end < band.width() && row[end] != 0)
                    ++end;
                const std::int32_t x0 = std::max(0, 8 * c - 4), x1 = std::min(256, 8 * end - 4);
                const std::int32_t t0 = std::max(0, 8 * r - 4), t1 = std::min(256, 8 * r + 4);
                if (x1 > x0 && t1 > t0)
                    d.append("M")
                        .append(std::to_string(x0))
                        .append(" ")
                        .append(std::to_string(256 - t1))
                        .append("h")
                        .append(std::to_string(x1 - x0))
                        .append("v")
                        .append(std::to_string(t1 - t0))
                        .append("h-")
                        .append(std::to_string(x1 - x0))
                        .append("z");
                c = end;
            }
        }
        if (!d.empty()) out += "<path class=\"band\" d=\"" + d + "\"/>";
    }
    if (line.fitted) {
        // Value v sits at the centre of its pixel: x = v + 0.5, y = 255.5 - v.
        const auto segment = [&](double offset, const char* cls) {
            const double y0 = 255.5 - (line.intercept + offset + line.slope * -0.5);
            const double y1 = 255.5 - (line.intercept + offset + line.slope * 255.5);
            return "<line x1=\"0\" y1=\"" + number(y0, 2) + "\" x2=\"256\" y2=\"" + number(y1, 2) +
                   "\" class=\"" + cls + "\"/>";
        };
        out += "<g clip-path=\"url(#plot256)\">" + segment(0.0, "fit");
        if (line.tolerance > 0)
            out += segment(line.tolerance, "tol") + segment(-line.tolerance, "tol");
        out += "</g>";
    }
    out +=
        "<text x=\"0\" y=\"266\">0</text><text x=\"256\" y=\"266\" text-anchor=\"end\">255</text>"
        "<text x=\"128\" y=\"278\" text-anchor=\"middle\">run-time value</text><text x=\"-4\" "
        "y=\"256\" "
        "text-anchor=\"end\">0</text><text x=\"-4\" y=\"8\" text-anchor=\"end\">255</text>"
        "<text transform=\"translate(-12 128) rotate(-90)\" text-anchor=\"middle\">reference "
        "value</text></svg>";
    return out;
}

std::string pageStart(const std::string& title) {
    return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'; base-uri 'none'; form-action 'none'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)" + escapeHtml(title) +
           R"(</title>
<style>
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 24px 48px;color:#222;background:#fff}
h1{font-size:22px;margin:18px 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:16px;margin:22px 0 6px}h4{font-size:14px;margin:0 0 4px}
table{border-collapse:collapse}th,td{padding:2px 8px;border-bottom:1px solid #e4e4e4;text-align:right;vertical-align:top}
th{background:#f3f3f3}.l{text-align:left}table.sortable th{cursor:pointer;user-select:none}
th[aria-sort=descending]::after{content:" \25BC"}th[aria-sort=ascending]::after{content:" \25B2"}
pre{background:#f6f6f6;padding:6px 8px;white-space:pre-wrap;word-break:break-all}
.ok{color:#176117}.fail{color:#b00020}.muted{color:#666}
section.image{content-visibility:auto;contain-intrinsic-size:auto 1200px}
.method{display:flex;flex-wrap:wrap;gap:10px 14px;align-items:flex-start;margin:10px 0;padding:8px;background:#fafafa;border:1px solid #eee}
.method .facts{width:320px}
figure{margin:0}figcaption{font-size:12px;color:#555;max-width:260px}
.thumb,.bg{display:block}.bg{background-size:100% 100%}.heat{image-rendering:pixelated}
svg{overflow:visible}svg text{font-size:10px;fill:#333}svg.defs{position:absolute}
.frame{fill:#fff;stroke:#bbb}.pixelated{image-rendering:pixelated}
.hist path,.hist use{fill:none;stroke-width:1.2}
.h-ref{stroke:#1b9e77}.h-run{stroke:#d95f02}.h-res{stroke:#7570b3}
text.h-ref{fill:#1b9e77;stroke:none}text.h-run{fill:#d95f02;stroke:none}text.h-res{fill:#7570b3;stroke:none}
.band{fill:#1f77b4;fill-opacity:.16;stroke:#1f77b4;stroke-opacity:.45;stroke-width:.5}
.fit{stroke:#d62728;stroke-width:1.5}.tol{stroke:#d62728;stroke-width:1;stroke-dasharray:4 3}
</style>
</head>
<body>
)";
}

std::string pageEnd() {
    return R"(<script>
(function () {
  'use strict';
  // Sortable tables: a click on a column heading sorts by that column,
  // largest first, then smallest first; rows without a value stay last.
  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    var heads = table.tHead.rows[0].cells, body = table.tBodies[0];
    Array.prototype.forEach.call(heads, function (th, col) {
      th.tabIndex = 0;
      var sort = function () {
        var down = th.getAttribute('aria-sort') !== 'descending';
        Array.prototype.forEach.call(heads, function (h) { h.removeAttribute('aria-sort'); });
        th.setAttribute('aria-sort', down ? 'descending' : 'ascending');
        var key = function (row) {
          var c = row.cells[col];
          return c.hasAttribute('data-v') ? c.getAttribute('data-v') : c.textContent;
        };
        var rows = Array.prototype.slice.call(body.rows);
        rows.sort(function (a, b) {
          var x = key(a), y = key(b);
          if (x === '' || y === '') return (x === '') - (y === '');
          var nx = parseFloat(x), ny = parseFloat(y);
          var c = !isNaN(nx) && !isNaN(ny) ? nx - ny : x.localeCompare(y);
          return down ? -c : c;
        });
        rows.forEach(function (r) { body.appendChild(r); });
      };
      th.addEventListener('click', sort);
      th.addEventListener('keydown', function (e) { if (e.key === 'Enter') sort(); });
    });
    table.setAttribute('data-sortable', 'ready');
  });

  // Sections kept as text (past the first images) become part of the page
  // when they come near the view, or when a link leads into them.
  function render(section) {
    var later = section && section.querySelector('script.later');
    if (!later) return;
    var t = document.createElement('template');
    t.innerHTML = later.textContent;
    later.replaceWith(t.content);
    section.style.minHeight = '';
  }
  function follow() {
    var id = decodeURIComponent(location.hash.slice(1));
    if (!id) return;
    render(document.getElementById(id.split('-')[0]));
    var target = document.getElementById(id);
    if (target) target.scrollIntoView();
  }
  var lazy = document.querySelectorAll('section.lazy');
  if ('IntersectionObserver' in window) {
    var near = new IntersectionObserver(function (entries) {
      entries.forEach(function (e) {
        if (e.isIntersecting) { render(e.target); near.unobserve(e.target); }
      });
    }, {rootMargin: '1500px 0px'});
    Array.prototype.forEach.call(lazy, function (s) { near.observe(s); });
  } else {
    Array.prototype.forEach.call(lazy, render);
  }
  window.addEventListener('hashchange', follow);
  follow();
})();
</script>
</body>
</html>
)";
}

}  // namespace imgnorm_cli::report
