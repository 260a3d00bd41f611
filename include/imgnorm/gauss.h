// Gaussian sampling: smoothing with an almost-Gaussian integer kernel,
// optionally keeping only every f-th pixel per axis, scaled by a gain.
//
// Kernel. A kernel size k (0..65535 per axis) stands for a Gaussian of
// standard deviation sigma = sqrt(k^2 + 2) / 2, about a quarter of the
// neighbourhood that k was derived from; k = 0 means no smoothing on that
// axis. The kernel applied on an axis has integer weights; it is symmetric,
// smooth and unimodal, and its centre lies where the output pixel needs it
// (see sub-sampling): an odd number of taps, or an even number for an even
// sub-sampling factor. Below k = 8 it is the convolution of three boxes
// (uniform kernels) of integer widths that add up to s and differ by at most
// one (s - 2 taps, weights adding up to the product of the widths), with s
// of the parity the centre needs and the kernel's variance,
// sum(w^2 - 1) / 12, closest to 0.95 sigma^2 (on a tie the smaller s):
// k = 1 -> widths 2, 2, 2 with an even number of taps (weights 1 3 3 1),
// k = 3 -> 3, 3, 4. From k = 8 on it is a B(w) + b B(v): B(w) the
// convolution of three boxes of width w, the two centred on each other,
// w < v of the parity the centre needs, a and b integers from 1 to 16
// (3 v - 2 taps, weights adding up to a w^3 + b v^3). Up to k = 128 the
// four numbers come from a table made by searching every such kernel with a
// variance within 3% of sigma^2 for the one closest to the Gaussian (the
// smallest largest difference between their running sums, among those
// within 5% of it the smallest weights); above, w and v of the parity are
// the nearest to 1.6 sigma and 1.46 w, and a, b bring the variance closest
// to sigma^2 with a w^3 between 30% and 70% of the weights.
// Examples: k = 52 -> 12 B(41) + 5 B(59) (175 taps); k = 26 -> 15 B(21) +
// 4 B(31); k = 14 -> 7 B(9) + 6 B(15); k = 8 -> 11 B(7) + B(11).
// Distance from the Gaussian of that sigma (sampled at the same positions
// and normalised), before the output is rounded: on a 0/255 step edge the
// output differs from the Gaussian's by at most 0.55 gray levels for
// k >= 12, 0.8 for k = 8..11 with an odd number of taps (1.6 with an even
// number), 3.8 for k = 4..7 and 8.5 for k = 1..3; the largest difference
// between the normalised kernels is at most 1.7% of the Gaussian's peak for
// k >= 12 (2.9% for k = 8..11, 13.5% below). On gray photographs (k = 8..52,
// pixels whose kernels lie inside the image) rounded 8-bit results lie at
// most 2 gray levels from OpenCV's GaussianBlur with the same sigma and
// 0.29 on average per image and kernel size (0.10 over all of them).
// The 2-D kernel is the product of the two axes' kernels.
//
// Borders: only pixels inside the source window are used. Near the window's
// edges the kernel is cut to the pixels inside and renormalised (each result
// is the weighted mean of the pixels it covers), so a constant image stays
// exactly constant (times the gain, rounded).
//
// Sub-sampling by f per axis (f = 1: none): a window of width W gives
// n = ceil(W / f) output pixels; output pixel j stands for the block of
// source pixels [j f, (j + 1) f) and holds the smoothed value centred at the
// block's centre (j + 0.5) f (pixel-edge coordinates from the window's first
// pixel). For even f that centre lies between two pixels and the kernel has
// an even number of taps; for odd f it is the middle pixel of the block.
// With k = 0 and even f no smoothing takes place and the pixel just after the
// centre, j f + f / 2, is kept. When f does not divide W the last block sticks
// out of the window; its value comes from the pixels inside (from the
// window's last pixel on that axis if its kernel, shorter than f, covers
// none). A consumer that spreads the n outputs evenly over the W pixels puts
// output j at (j + 0.5) W / n instead of (j + 0.5) f: off by
// (j + 0.5) (n f - W) / n pixels, which grows across the window to less than
// n f - W <= f - 1 pixels (none when f divides W).
//
// Output window and transforms: without sub-sampling (f = (1, 1)) the output
// pixels keep the source's positions and the output carries the source's
// transforms. With sub-sampling the output window starts at position (0, 0)
// and its client-from-image transform is the source's composed with the map
// from output position (u, v) to source position (x0 + u fx + ox, y0 + v fy +
// oy), where (x0, y0) is the source window's first pixel and ox, oy are 0 but
// 0.5 on an axis with k = 0 and even f: every output pixel's centre maps to the
// centre of the kernel that produced it.
//
// Gain and rounding: each result is gain x weighted mean, truncated, or
// rounded half up with doRounding(true), and saturated at the output type's
// maximum. For gains that are powers of two from 2^-16 to 2^16 (the library
// uses 1 and 128) the result is exact: the weighted sums are kept in integers
// wide enough for every image, so results are bit-identical on every machine.
// Other gains (0 included) are applied in double precision to the exact
// integer sums; such a result can differ from the exactly rounded one only
// when gain x mean lies within 2^-32 of a rounding boundary.
//
// Cost: O(1) per source pixel whatever k (running sums), plus O(k) per row
// and column for the kernel's overhang. The sums are exact integers held in
// the narrowest form that fits: for 8-bit pixels doubles up to about k = 60
// per axis, then 64-bit integers (to about k = 95 at gain 128, 250 at gain
// 1), then 128-bit ones, each slower than the last.
// With sub-sampling and kernels of at most 16 taps per axis only the kept
// rows and columns are computed (a direct FIR, about taps / f operations per
// source pixel): a reduction by f with kernel size f - 1 reads each source
// pixel once. The results are the same either way.
#pragma once

#include <cstdint>

#include "imgnorm/exception.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

class vkGaussSampleParams {
  public:
    static constexpr std::int32_t kMaxKernelSize = 65535;
    static constexpr double kMaxGain = 65536.0;

    // subsample: step f per axis, each >= 1. kernelSize: k per axis, 0..65535.
    // gain: 0..65536. fullWindow: true covers the whole (sub-sampled) window,
    // cutting and renormalising the kernel at its edges; false produces only
    // the output pixels whose whole kernel lies inside the source window (a
    // sub-window of the true case's output, same values; possibly empty).
    // Anything else throws vkPelFunc::BadParams. Rounding starts off.
    vkGaussSampleParams(const vkPair<std::int32_t>& subsample,
                        const vkPair<std::int32_t>& kernelSize, double gain, bool fullWindow)
        : subsample_(subsample), kernelSize_(kernelSize), gain_(gain), fullWindow_(fullWindow) {
        if (subsample.x() < 1 || subsample.y() < 1)
            throw vkPelFunc::BadParams("Gaussian sampling: sub-sampling factors must be >= 1");
        if (kernelSize.x() < 0 || kernelSize.y() < 0 || kernelSize.x() > kMaxKernelSize ||
            kernelSize.y() > kMaxKernelSize)
            throw vkPelFunc::BadParams("Gaussian sampling: kernel sizes must lie in 0..65535");
        if (!(gain >= 0.0 && gain <= kMaxGain))
            throw vkPelFunc::BadParams("Gaussian sampling: the gain must lie in 0..65536");
    }

    const vkPair<std::int32_t>& subsample() const { return subsample_; }
    const vkPair<std::int32_t>& kernelSize() const { return kernelSize_; }
    double gain() const { return gain_; }
    bool fullWindow() const { return fullWindow_; }
    // Rounded (half up) instead of truncated results.
    bool doRounding() const { return doRounding_; }
    void doRounding(bool on) { doRounding_ = on; }

  private:
    vkPair<std::int32_t> subsample_;
    vkPair<std::int32_t> kernelSize_;
    double gain_;
    bool fullWindow_;
    bool doRounding_ = false;
};

// Smooths (and sub-samples) the source's window into a new buffer of the
// source's pixel type; window and transforms as in the file comment. Unbound
// source: vkPel::UnboundWindow. Instantiated for 8- and 16-bit pixels.
template <class TIn>
IMGNORM_API vkPelBuffer<TIn> vfGaussSample(const vkPelBuffer_const<TIn>& source,
                                           const vkGaussSampleParams& params);

// The same into result: unbound, it is allocated on the output window with
// the output's transforms; bound, only the pixels where its window overlaps
// the output window are written (its transforms are left alone). Result may
// share storage with the source. Unbound source: vkPel::UnboundWindow, before
// anything is written. Instantiated for 8-bit sources with 8- or 16-bit
// results and for 16-bit sources with 16-bit results. Other pixel types do
// not link.
template <class TIn, class TOut>
IMGNORM_API void vfGaussSample(const vkPelBuffer_const<TIn>& source, vkPelBuffer<TOut>& result,
                               const vkGaussSampleParams& params);
