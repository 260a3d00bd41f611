// The three global gray maps: each builds a table with one entry per gray
// level (256 for 8-bit images, 2^depth for deep ones: the size of the
// run-time histogram) from the reference's and the run-time image's
// histograms (or their statistics); entries lie in 0..size - 1. A mapping
// that cannot be built leaves the table empty and sets message. Instantiated
// for 8- and 16-bit tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgnorm/geometry.h"
#include "imgnorm/histostats.h"

namespace imgnorm_detail {

// 8-bit tables: table[i] is the smallest reference level whose cumulative
// reference count reaches the cumulative run-time count up to level i (raw
// counts, not fractions); levels below the first occupied run-time level map
// to 0. Deep (16-bit) tables: level i, whose pixels hold the share (C(i-1),
// C(i)] of the run-time count, goes to the smallest occupied reference level
// whose cumulative share reaches the middle of that share
// (vf_MidpointHistogramMap): the result's histogram then lies closer to the
// reference's (1-Wasserstein distance) than with the end of the share.
template <class T>
void matchHistogram(const std::vector<std::uint32_t>& referenceHistogram,
                    const std::vector<std::uint32_t>& runHistogram, std::vector<T>& table,
                    std::string& message);

// The linear stretch that gives the run-time histogram the reference's mean
// and standard deviation; results are truncated, then clamped to the levels.
template <class T>
void matchMeanAndStddev(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                        std::vector<T>& table, std::string& message);

// The linear stretch that maps the run-time levels at two cumulative
// percentages onto the reference's levels at the same percentages; equal
// percentages give the identity.
template <class T>
void matchHistogramTails(const vkHistoStats& referenceStats, const vkHistoStats& runStats,
                         const vkPair<std::int32_t>& tailPercents, std::vector<T>& table,
                         std::string& message);

// The whole percentages of a pair of tail fractions, rounded to the nearest
// integer with halves away from zero.
vkPair<std::int32_t> tailPercents(const vkPair<double>& tailFractions);

}  // namespace imgnorm_detail
