// Statistics of a gray-level histogram.
#pragma once

#include <cstdint>
#include <vector>

#include "imgnorm/export.h"

// Sample count, mean and population standard deviation (the root of the mean
// squared deviation from the mean, dividing by the count) of a histogram
// whose bin i counts samples of value i. An empty histogram, or one of all
// zero counts, has no samples; its mean and deviation are 0.
class IMGNORM_API vkHistoStats {
public:
    vkHistoStats() = default;
    explicit vkHistoStats(std::vector<std::uint32_t> histogram);

    const std::vector<std::uint32_t>& histogram() const { return histogram_; }
    std::uint64_t nSamp() const { return n_; }
    double mean() const { return mean_; }
    double sDev() const { return sdev_; }
    double variance() const { return variance_; }

    // The lowest value at which the cumulative count reaches percent % of
    // the samples, and at least one sample: 0 % gives the smallest occupied
    // value, 100 % the largest. It never decreases as percent grows. Percent
    // is clamped to 0..100; a histogram without samples gives 0.
    std::int32_t inverseCum(std::int32_t percent) const;

private:
    std::vector<std::uint32_t> histogram_;
    std::uint64_t n_ = 0;
    double mean_ = 0.0;
    double variance_ = 0.0;
    double sdev_ = 0.0;
};
