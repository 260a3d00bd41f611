// Histogram statistics, computed exactly in integers where the sums allow.
#include "imgnorm/histostats.h"

#include <cmath>

namespace {
__extension__ typedef unsigned __int128 u128;
}  // namespace

vkHistoStats::vkHistoStats(std::vector<std::uint32_t> histogram) : histogram_(std::move(histogram)) {
    // The sum of values fits 64 bits for 32-bit counts; the sum of squares
    // and the variance numerator n * s2 - s1^2 are formed in 128 bits, so the
    // variance of a single-level histogram is exactly 0.
    std::uint64_t s1 = 0;
    u128 s2w = 0;
    for (std::size_t i = 0; i < histogram_.size(); ++i) {
        const std::uint64_t c = histogram_[i];
        n_ += c;
        s1 += c * i;
        s2w += static_cast<u128>(c) * i * i;
    }
    if (n_ == 0) return;
    mean_ = static_cast<double>(s1) / static_cast<double>(n_);
    const u128 num = static_cast<u128>(n_) * s2w -
                                  static_cast<u128>(s1) * s1;  // >= 0
    variance_ = static_cast<double>(num) / (static_cast<double>(n_) * static_cast<double>(n_));
    sdev_ = std::sqrt(variance_);
}

std::int32_t vkHistoStats::inverseCum(std::int32_t percent) const {
    if (n_ == 0) return 0;
    const std::uint64_t p = static_cast<std::uint64_t>(percent < 0 ? 0 : (percent > 100 ? 100 : percent));
    // Smallest count that is at least p % of the samples, and at least 1.
    std::uint64_t target = (p * n_ + 99) / 100;
    if (target == 0) target = 1;
    std::uint64_t cum = 0;
    for (std::size_t i = 0; i < histogram_.size(); ++i) {
        cum += histogram_[i];
        if (cum >= target) return static_cast<std::int32_t>(i);
    }
    return static_cast<std::int32_t>(histogram_.size()) - 1;
}
