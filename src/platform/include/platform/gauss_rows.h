// Gaussian sampling of a source whose rows are produced on demand, so that a
// caller can reduce an image it computes row by row (a difference of two
// images, say) without ever storing it at full size; and the weighted sums
// of planes smoothed together, for a caller that combines them before it
// divides.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

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

    // The integers the direct FIR sums rows in (modular, wide enough for the
    // true sums): 16 bits for 8-bit rows, 32 for 16-bit ones.
    using Sum = std::conditional_t<sizeof(T) == 1, std::uint16_t, std::uint32_t>;
    // For a source that makes its rows on the fly, the vertical taps of the
    // direct FIR straight from its inputs, without storing the row: for
    // k < count (1 or 2), sums[k][x] = (add[k] ? sums[k][x] : 0) +
    // weight[k] * row y's pixel x over the width. Returns false, having done
    // nothing, when the source has no such form; the caller then sums row().
    virtual bool addRow(std::int32_t /*y*/, int /*count*/, const Sum* /*weight*/,
                        const bool* /*add*/, Sum* const* /*sums*/) const {
        return false;
    }
    // For a source whose row y is, pixel by pixel, biasedDifference(a[x],
    // b[x], half, lo, hi) of two rows of pixels (a difference biased by half,
    // 128 for 8-bit rows, clamped to a band), those rows and levels, so that
    // the direct FIR makes the row in registers as it takes its taps; nextA
    // and nextB are rows to ask the memory for meanwhile (the next ones).
    // Returns false, having done nothing, when the source has no such form;
    // the caller then takes row().
    struct BiasedDifference {
        const T *a, *b, *nextA, *nextB;
        T half, lo, hi;  // lo <= half <= hi, hi - half == half - lo
        // The ORs of the values of a and of b read from the whole rows (16-bit
        // rows), starting at 0, handed back through differenceRowRead.
        std::uint32_t seen[2];
    };
    virtual bool biasedDifferenceRow(std::int32_t /*y*/, BiasedDifference& /*rows*/) const {
        return false;
    }
    // Called once the direct FIR has taken the taps of a 16-bit row it made
    // from rows, with rows.seen filled in.
    virtual void differenceRowRead(const BiasedDifference& /*rows*/) const {}

  protected:
    GaussRowSource() = default;
    GaussRowSource(const GaussRowSource&) = default;
    GaussRowSource& operator=(const GaussRowSource&) = default;
    ~GaussRowSource() = default;
};

// clamp(a - b + half, lo, hi): a pixel of a BiasedDifference source.
template <class T>
inline T biasedDifference(T a, T b, T half, T lo, T hi) {
    const std::int32_t d = std::int32_t{a} - std::int32_t{b} + half;
    return static_cast<T>(d < lo ? lo : d > hi ? hi : d);
}

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

// Gaussian sampling of sources with one window and one set of parameters
// a band of output rows at a time, on the calling thread, for a caller that
// interleaves the bands with other work: the plan and its weights are made
// once. The outputs are those of vfGaussSample<T, TOut> (for a source of
// rows: gaussSampleRows'), bit for bit, whatever the bands; a band reads
// only the source rows its outputs' kernels cover.
template <class T, class TOut>
class GaussBands {
  public:
    // shape: a source window and transforms.
    GaussBands(const vkPelBuffer_const<T>& shape, const vkGaussSampleParams& params);
    ~GaussBands();
    GaussBands(const GaussBands&) = delete;
    GaussBands& operator=(const GaussBands&) = delete;

    // A new buffer with the result's window and transforms, its pixels
    // undefined.
    vkPelBuffer<TOut> newResult() const;
    // The outputs in out's window (a view of a newResult() buffer or of one
    // with the same window) from the source's rows. Only where
    // gaussDirectFir holds.
    void sample(const GaussRowSource<T>& rows, const vkPelBuffer<TOut>& out) const;
    // The same from a source with the shape's window.
    void sample(const vkPelBuffer_const<T>& source, const vkPelBuffer<TOut>& out) const;

  private:
    struct Plan;
    vkPelBuffer_const<T> shape_;
    vkGaussSampleParams params_;
    std::unique_ptr<const Plan> plan_;
};

// Receives the rows of weighted sums that gaussSums makes.
class GaussSumSink {
  public:
    // Output row y: values[x] and squares[x] (null without squares) are the
    // weighted sums at pixel x of the row, and inverseX[x] * inverseY the
    // inverse of the kernel's weight inside the window there, so that a sum
    // times both is the weighted mean. Called for rows of several strips at
    // once, from the library's threads.
    virtual void row(std::int32_t y, const double* values, const double* squares,
                     const double* inverseX, double inverseY) const = 0;

  protected:
    GaussSumSink() = default;
    GaussSumSink(const GaussSumSink&) = default;
    GaussSumSink& operator=(const GaussSumSink&) = default;
    ~GaussSumSink() = default;
};

// Gaussian smoothing of the values (8- or 16-bit) and, optionally, of
// squares given as a high and a low plane of the same type (squares[0] and
// squares[1], the square being 2^highShift high + low), all with windows of
// one size, without sub-sampling, over the whole window (the kernel of
// kernelSize cut and renormalised at its edges, as vfGaussSample does with
// fullWindow): instead of output pixels, sink gets each row's weighted sums,
// the two parts of the squares added up before the horizontal pass so that
// it runs once for them. The column sums are exact integers (32, 64 or
// 128 bits, as the largest pixel times the kernel's weight needs); the
// sums are the exact integers vfGaussSample divides while they stay below
// 2^53 (8-bit values up to kernels of about 70 per axis), and beyond are
// rounded the same way on every machine and for every number of threads.
// Each strip of rows checks for cancellation (vkAttention::Cancelled)
// before it starts.
template <class T>
void gaussSums(const vkPelBuffer_const<T>& values, const vkPelBuffer_const<T>* squares,
               int highShift, const vkPair<std::int32_t>& kernelSize, const GaussSumSink& sink);

}  // namespace vk_detail
