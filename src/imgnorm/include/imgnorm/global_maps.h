// The three global gray maps: each builds a 256-entry table from the
// reference's and the run-time image's histograms (or their statistics). A
// mapping that cannot be built leaves the table empty and sets message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgnorm/geometry.h"
#include "imgnorm/histostats.h"

namespace imgnorm_detail {

// table[i] is the smallest reference level whose cumulative reference count
// reaches the cumulative run-time count up to level i (raw counts, not
// fractions); levels below the first occupied run-time level map to 0.
void matchHistogram(const std::vector<std::uint32_t>& referenceHistogram,
                    const std::vector<std::uint32_t>& runHistogram, std::vector<std::uint8_t>& table,
                    std::string& message);

// The linear stretch that gives the run-time histogram the reference's mean
// and standard deviation; results are truncated, then clamped to 0..255.
void matchMeanAndStddev(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                        std::vector<std::uint8_t>& table, std::string& message);

// The linear stretch that maps the run-time levels at two cumulative
// percentages onto the reference's levels at the same percentages; equal
// percentages give the identity.
void matchHistogramTails(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                         const vkPair<std::int32_t>& tailPercents, std::vector<std::uint8_t>& table,
                         std::string& message);

// The whole percentages of a pair of tail fractions, rounded to the nearest
// integer with halves away from zero.
vkPair<std::int32_t> tailPercents(const vkPair<double>& tailFractions);

}  // namespace imgnorm_detail
