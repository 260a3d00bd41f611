// Gaussian sampling of a source whose rows are produced on demand, so that a
// caller can reduce an image it computes row by row (a difference of two
// images, say) without ever storing it at full size.
#pragma once

#include <cstdint>

#include "imgnorm/gauss.h"
#include "imgnorm/pelbuffer.h"

namespace vk_detail {

// Supplies the rows of a source window of known size.
template <class T>
class GaussRowSource {
  public:
    // Row y of the window (0 <= y < height): width pixels, either written to
    // scratch (width pixels of the caller's) or the source's own, valid while
    // scratch is not reused. Strips of rows are asked for on several threads
    // at once, each with scratch of its own.
    virtual const T* row(std::int32_t y, T* scratch) const = 0;

  protected:
    GaussRowSource() = default;
    GaussRowSource(const GaussRowSource&) = default;
    GaussRowSource& operator=(const GaussRowSource&) = default;
    ~GaussRowSource() = default;
};

// True when vfGaussSample with these parameters on a window of this size
// computes only the kept rows and columns with a direct integer FIR (a
// sub-sampling with kernels of at most 16 taps per axis); otherwise it runs
// the running sums over every source pixel.
bool gaussDirectFir(const vkPelRect& window, const vkGaussSampleParams& params);

// Exactly vfGaussSample<T>(source, params) for a source with the window and
// transforms of shape whose pixels come from rows. Where the direct FIR does
// not apply, the rows are first gathered into a buffer. Strips of output
// rows run on the library's threads; each checks for cancellation
// (vkAttention::Cancelled) before it starts.
template <class T>
vkPelBuffer<T> gaussSampleRows(const GaussRowSource<T>& rows, const vkPelBuffer_const<T>& shape,
                               const vkGaussSampleParams& params);

}  // namespace vk_detail
