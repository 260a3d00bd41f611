// Training of the mask data used by the local corrections.
#include "imgnorm/local_model.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/gauss.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"

namespace imgnorm_detail {

using vkImageNormalizerDefs::Method;

vkPair<std::int32_t> atLeastOne(const vkPair<std::int32_t>& s) { return {std::max(s.x(), 1), std::max(s.y(), 1)}; }

vkPair<std::int32_t> reducedNeighborhood(const vkPair<std::int32_t>& n, const vkPair<std::int32_t>& g) {
    if (g.x() < 1 || g.y() < 1) vstd_assert_(__LINE__);
    return {(n.x() / g.x()) | 1, (n.y() / g.y()) | 1};
}

namespace {

std::int32_t kernelSizeFor(std::int32_t n) {
    const double v = 0.25 * static_cast<double>(n);
    const double a = std::max(4.0 * v * v - 2.0, 0.0);
    // A ceiling that does not round up values that exceed an integer only by
    // floating-point noise.
    const double c = std::ceil(std::sqrt(a) * (1.0 - 1e-11));
    const std::int64_t k = (static_cast<std::int64_t>(c) + 1) & ~std::int64_t{1};
    return static_cast<std::int32_t>(std::min<std::int64_t>(k, INT32_MAX - 1));
}

// Restores a buffer's transforms on scope exit. It keeps both handles, so
// that restoring only copies them and cannot throw.
template <class Pel>
class XformRestorer {
  public:
    explicit XformRestorer(vkPelBuffer<Pel>& b) : buffer_(b) { kept_.copyXforms(b); }
    ~XformRestorer() { buffer_.copyXforms(kept_); }
    XformRestorer(const XformRestorer&) = delete;
    XformRestorer& operator=(const XformRestorer&) = delete;
    const vkXformHandle& kept() const { return kept_.imageFromClientXformBase(); }

  private:
    vkPelBuffer<Pel>& buffer_;
    vkPelBuffer<Pel> kept_;  // unbound; holds the transforms only
};

}  // namespace

vkPair<std::int32_t> gaussKernelSize(const vkPair<std::int32_t>& s) {
    const vkPair<std::int32_t> k(kernelSizeFor(s.x()), kernelSizeFor(s.y()));
    if ((k.x() & 1) != 0 || (k.y() & 1) != 0) vstd_assert_(__LINE__);
    return k;
}

vkGaussSampleParams localMeanParams(const vkPair<std::int32_t>& s, double gain) {
    vkGaussSampleParams params(vkPair<std::int32_t>(1, 1), gaussKernelSize(s), gain, true);
    params.doRounding(true);
    return params;
}

template <class Pel>
void gaussianLocalMean(vkPelBuffer<Pel>& source, const vkPair<std::int32_t>& s,
                       vkPelBuffer<std::uint16_t>& destination, double gain) {
    const vkGaussSampleParams params = localMeanParams(s, gain);
    {
        // The filter works in pixel positions; the source's own transform is
        // put back even when the filter throws.
        XformRestorer<Pel> restore(source);
        if (!restore.kept()->isIdentity()) source.imageFromClientXformBase(vfIdentityXformHandle());
        vfGaussSample<Pel, std::uint16_t>(source, destination, params);
    }
    destination.copyXforms(source);
}
template void gaussianLocalMean<std::uint8_t>(vkPelBuffer<std::uint8_t>&,
                                              const vkPair<std::int32_t>&,
                                              vkPelBuffer<std::uint16_t>&, double);
template void gaussianLocalMean<std::uint16_t>(vkPelBuffer<std::uint16_t>&,
                                               const vkPair<std::int32_t>&,
                                               vkPelBuffer<std::uint16_t>&, double);

void trainMasks(Method methods, const vkPelBuffer_const<std::uint8_t>& maskImage,
                const vkPair<std::int32_t>& neighborhoodIn, const vkPair<std::int32_t>& granularityIn,
                vkPelBuffer<std::uint8_t>& binaryMask, vkPelBuffer<std::uint8_t>& reducedMask,
                vkPelBuffer<std::uint16_t>& maskWeights) {
    const vkPair<std::int32_t> neighborhood = atLeastOne(neighborhoodIn), granularity = atLeastOne(granularityIn);
    std::vector<std::uint8_t> table(256, 255);
    table[0] = 0;
    vkAttention::check();

    if (maskImage.isBound())
        binaryMask = vfPelMap(maskImage, table);
    else
        binaryMask.setUnbound();
    vkAttention::check();

    if (binaryMask.isBound() && (granularity.x() > 1 || granularity.y() > 1)) {
        const vkPair<std::int32_t> kernel(granularity.x() - 1, granularity.y() - 1);
        reducedMask = vfGaussSample<std::uint8_t>(binaryMask, vkGaussSampleParams(granularity, kernel, 1.0, true));
        std::fill(table.begin(), table.begin() + 128, std::uint8_t{0});
        vfPelMap(reducedMask, table, reducedMask);
        vkAttention::check();
        const vkPelBuffer<std::uint8_t> before = vfPelCopy<std::uint8_t>(reducedMask);
        vfBinaryMorph3x3Diamond(before, true, reducedMask);
        vkAttention::check();
    } else {
        reducedMask.setUnbound();
    }

    if (binaryMask.isBound() && (methods & vkImageNormalizerDefs::eLocalCorrection) != 0) {
        vkPelBuffer<std::uint8_t> source = vfPelCopy<std::uint8_t>(reducedMask.isBound() ? reducedMask : binaryMask);
        maskWeights.setUnbound();
        gaussianLocalMean(source, reducedNeighborhood(neighborhood, granularity), maskWeights);
        vkAttention::check();
    } else {
        maskWeights.setUnbound();
    }
}

}  // namespace imgnorm_detail
