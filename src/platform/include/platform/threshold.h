// Automatic binarisation threshold from a gray-level histogram.
#pragma once

#include <cstdint>
#include <vector>


// The outcome of an automatic threshold computation. A threshold t splits the
// levels into those below t and those at or above t.
class vkThresholdResult {
public:
    vkThresholdResult() = default;

    std::int32_t threshold() const { return threshold_; }
    void threshold(std::int32_t value) { threshold_ = value; }

private:
    std::int32_t threshold_ = 0;
};

// The threshold that minimises the within-group variance of the two classes
// (Otsu's criterion), over the bins first..last of the histogram (bin i
// counts the samples of level i); last -1 means the histogram's last bin, and
// bins beyond the histogram count as empty. The comparison is exact (integer
// arithmetic); among equal optima the smallest threshold wins, so a split
// between occupied levels a < b always gives a + 1. With a single occupied
// level the result is that level; with none it is first. Throws
// vkPelFunc::BadParams for first < 0, last < -1, 0 <= last < first, or a
// histogram of more than 65536 bins; result is written only on success.
void vfThresholdWGV(const std::vector<std::uint32_t>& histogram, vkThresholdResult& result,
                                std::int32_t first, std::int32_t last);
