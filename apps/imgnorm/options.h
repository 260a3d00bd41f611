// What the command line says about methods and tool parameters, and how it
// is applied to a vkImageNormalizer.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <imgnorm/normalizer.h>

namespace imgnorm_cli {

// A value on the command line that cannot be used. main reports it as a
// usage error (exit status 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One method by its command-line name (identity, histogram, mean-stddev,
// tails, linear-fit, local-mean, local-median) or its enumerator name
// (eMatchHistogram, ...). Throws UsageError for any other text.
vkImageNormalizerDefs::Method parseMethod(const std::string& name);
// A comma-separated list of methods, or "all" for the six trainable ones.
vkImageNormalizerDefs::Method parseMethodList(const std::string& list);
// The command-line name of one method ("histogram"); "unknown" otherwise.
std::string methodCliName(vkImageNormalizerDefs::Method method);
// What a run does: one of the normalizer's methods, or one of the corrections
// beside it: local-gain-offset and local-gain (vkLocalGainNormalizer, trained
// on the normalizer's reference, mask, neighbourhood and granularity) and
// flat-field (vkFlatField alone, from --dark and --flat frames).
struct RunMethod {
    enum Extra { none, localGainOffset, localGain, flatField };
    vkImageNormalizerDefs::Method method = vkImageNormalizerDefs::eIdentity;
    Extra extra = none;
    // Whether the run needs a trained normalizer (flat-field and identity do not).
    bool needsTool() const { return extra != flatField && (extra != none || method != vkImageNormalizerDefs::eIdentity); }
};
// A method name of parseMethod or local-gain-offset, local-gain, flat-field.
RunMethod parseRunMethod(const std::string& name);
// The command-line names of a set of methods, comma-separated; "none" when
// empty.
std::string methodListText(std::uint32_t methods);
// The help text listing the method names; with the corrections beside the
// normalizer's methods when runMethods.
std::string methodNamesHelp(bool runMethods = false);

// "X,Y" with two integers or two numbers. Throws UsageError naming option.
vkPair<std::int32_t> parseIntPair(const std::string& text, const std::string& option);
vkPair<double> parseRealPair(const std::string& text, const std::string& option);
std::string pairText(const vkPair<std::int32_t>& p);
std::string pairText(const vkPair<double>& p);

// Tool parameters given on the command line; those not given keep the
// tool's value.
struct ToolParams {
    std::optional<std::string> neighborhood;  // "X,Y"
    std::optional<std::string> granularity;   // "X,Y"
    std::optional<std::string> tails;         // "LO,HI"
    std::optional<std::string> range;         // "LO,HI"
    std::optional<bool> keepMasked;

    // Whether a parameter that training depends on is given.
    bool changesTraining() const { return neighborhood.has_value() || granularity.has_value(); }
};

// Applies the parameters through the tool's setters (which untrain it).
// A value the tool rejects is a UsageError naming the option. For 8-bit and
// deep tools.
template <class Pel>
void applyParams(const ToolParams& params, vkImageNormalizerBase<Pel>& tool);
// Applies only tails, range and keep-masked, keeping the training.
template <class Pel>
void applyRunParams(const ToolParams& params, vkImageNormalizerBase<Pel>& tool);

}  // namespace imgnorm_cli
