// Method names, pair values and tool parameters of the command line.
#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace imgnorm_cli {

using vkImageNormalizerDefs::Method;

namespace {

struct MethodName {
    Method method;
    const char* cli;
    const char* enumerator;
};

constexpr MethodName kMethods[] = {
    {vkImageNormalizerDefs::eIdentity, "identity", "eIdentity"},
    {vkImageNormalizerDefs::eMatchHistogram, "histogram", "eMatchHistogram"},
    {vkImageNormalizerDefs::eMatchMeanAndStddev, "mean-stddev", "eMatchMeanAndStddev"},
    {vkImageNormalizerDefs::eMatchHistogramTails, "tails", "eMatchHistogramTails"},
    {vkImageNormalizerDefs::eLinearlyFitGrayValues, "linear-fit", "eLinearlyFitGrayValues"},
    {vkImageNormalizerDefs::eLocalCorrection, "local-mean", "eLocalCorrection"},
    {vkImageNormalizerDefs::eLocalCorrectionEnhanced, "local-median", "eLocalCorrectionEnhanced"},
};

struct ExtraName {
    RunMethod::Extra extra;
    const char* cli;
};

constexpr ExtraName kExtras[] = {
    {RunMethod::localGainOffset, "local-gain-offset"},
    {RunMethod::localGain, "local-gain"},
    {RunMethod::flatField, "flat-field"},
};

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Splits "X,Y" into its two trimmed halves.
bool splitPair(const std::string& text, std::string& a, std::string& b) {
    const auto comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return false;
    a = trim(text.substr(0, comma));
    b = trim(text.substr(comma + 1));
    return !a.empty() && !b.empty();
}

template <class T>
bool parseNumber(const std::string& s, T& v) {
    const char* end = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(s.data(), end, v);
    return ec == std::errc() && ptr == end;
}

UsageError badValue(const std::string& option, const std::string& text, const std::string& why) {
    return UsageError(option + " " + text + ": " + why);
}

std::string realText(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

Method parseMethod(const std::string& name) {
    const std::string n = trim(name);
    for (const MethodName& m : kMethods)
        if (n == m.cli || n == m.enumerator) return m.method;
    throw UsageError("unknown method '" + n + "' (" + methodNamesHelp() + ")");
}

RunMethod parseRunMethod(const std::string& name) {
    for (const ExtraName& e : kExtras)
        if (trim(name) == e.cli) return {vkImageNormalizerDefs::eIdentity, e.extra};
    try {
        return {parseMethod(name), RunMethod::none};
    } catch (const UsageError&) {
        throw UsageError("unknown method '" + trim(name) + "' (" + methodNamesHelp(true) + ")");
    }
}

Method parseMethodList(const std::string& list) {
    if (trim(list) == "all") return static_cast<Method>(vkImageNormalizerDefs::kKnownMethods);
    std::uint32_t methods = 0;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (trim(item).empty()) throw UsageError("empty method name in '" + list + "'");
        methods |= parseMethod(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return static_cast<Method>(methods);
}

std::string methodCliName(Method method) {
    for (const MethodName& m : kMethods)
        if (m.method == method) return m.cli;
    return "unknown";
}

std::string methodListText(std::uint32_t methods) {
    std::string text;
    for (const MethodName& m : kMethods) {
        if (m.method == 0 || (methods & m.method) == 0) continue;
        if (!text.empty()) text += ", ";
        text += m.cli;
    }
    return text.empty() ? "none" : text;
}

std::string methodNamesHelp(bool runMethods) {
    std::string text = "methods:";
    for (const MethodName& m : kMethods) text += std::string(" ") + m.cli;
    if (runMethods)
        for (const ExtraName& e : kExtras) text += std::string(" ") + e.cli;
    return text + ", or the enumerator names such as eMatchHistogram";
}

vkPair<std::int32_t> parseIntPair(const std::string& text, const std::string& option) {
    std::string a, b;
    std::int32_t x = 0, y = 0;
    if (!splitPair(text, a, b) || !parseNumber(a, x) || !parseNumber(b, y))
        throw badValue(option, text, "expected two integers as X,Y");
    return {x, y};
}

vkPair<double> parseRealPair(const std::string& text, const std::string& option) {
    std::string a, b;
    double x = 0, y = 0;
    if (!splitPair(text, a, b) || !parseNumber(a, x) || !parseNumber(b, y) || !std::isfinite(x) || !std::isfinite(y))
        throw badValue(option, text, "expected two numbers as LO,HI");
    return {x, y};
}

std::string pairText(const vkPair<std::int32_t>& p) { return std::to_string(p.x()) + "," + std::to_string(p.y()); }
std::string pairText(const vkPair<double>& p) { return realText(p.x()) + "," + realText(p.y()); }

namespace {

// Calls a setter; the tool's own check decides, and its message is kept.
template <class F>
void setChecked(const std::string& option, const std::string& text, F set) {
    try {
        set();
    } catch (const vkImageNormalizerDefs::BadParams& e) {
        throw badValue(option, text, e.what());
    }
}

}  // namespace

template <class Pel>
void applyParams(const ToolParams& params, vkImageNormalizerBase<Pel>& tool) {
    if (params.neighborhood)
        setChecked("--neighborhood", *params.neighborhood,
                   [&] { tool.neighborhoodSize(parseIntPair(*params.neighborhood, "--neighborhood")); });
    if (params.granularity)
        setChecked("--granularity", *params.granularity,
                   [&] { tool.granularity(parseIntPair(*params.granularity, "--granularity")); });
    if (params.tails)
        setChecked("--tails", *params.tails, [&] { tool.tailFractions(parseRealPair(*params.tails, "--tails")); });
    if (params.range)
        setChecked("--range", *params.range,
                   [&] { tool.intensityVariationRange(parseIntPair(*params.range, "--range")); });
    if (params.keepMasked) tool.keepMaskedPixels(*params.keepMasked);
}

template <class Pel>
void applyRunParams(const ToolParams& params, vkImageNormalizerBase<Pel>& tool) {
    // Check both values on a scratch copy first, so that a rejected range
    // leaves the tool as it was.
    vkImageNormalizer scratch;
    const vkPair<double> tails = params.tails ? parseRealPair(*params.tails, "--tails") : tool.tailFractions();
    const vkPair<std::int32_t> range =
        params.range ? parseIntPair(*params.range, "--range") : tool.intensityVariationRange();
    setChecked("--tails", params.tails.value_or(""), [&] { scratch.tailFractions(tails); });
    setChecked("--range", params.range.value_or(""), [&] { scratch.intensityVariationRange(range); });
    tool.set(tails, range, params.keepMasked.value_or(tool.keepMaskedPixels()));
}

template void applyParams(const ToolParams&, vkImageNormalizerBase<std::uint8_t>&);
template void applyParams(const ToolParams&, vkImageNormalizerBase<std::uint16_t>&);
template void applyRunParams(const ToolParams&, vkImageNormalizerBase<std::uint8_t>&);
template void applyRunParams(const ToolParams&, vkImageNormalizerBase<std::uint16_t>&);

}  // namespace imgnorm_cli
