// Median filter: parameter checks, windows, and a sliding two-level
// histogram kernel (one histogram per image column, after Perreault and
// Hebert) whose cost per pixel does not grow with the kernel size.
#include "imgnorm/median.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/pelops.h"
#include "platform/median_bins.h"
#include "platform/median_bins_sse2.h"
#include "platform/median_kernel.h"
#include "platform/parallel.h"
#include "platform/rows.h"

vkPelMedianParams::vkPelMedianParams(const vkPair<std::int32_t>& kernelSize,
                                     const vkPair<std::int32_t>& valueRange, bool clipToWindow)
    : kernelSize_(kernelSize), valueRange_(valueRange), clipToWindow_(clipToWindow) {
    const std::int32_t kx = kernelSize.x(), ky = kernelSize.y();
    if (kx < 1 || ky < 1 || kx % 2 == 0 || ky % 2 == 0)
        throw vkPelFunc::BadParams("median kernel sizes must be odd and positive");
    if (std::int64_t{kx} * ky > kMaxKernelPixels)
        throw vkPelFunc::BadParams("median kernel holds more than 32767 pixels");
    const std::int32_t lo = valueRange.x(), hi = valueRange.y();
    if (lo < 0 || hi > 255 || lo > hi)
        throw vkPelFunc::BadParams("median value range must satisfy 0 <= lo <= hi <= 255");
}

namespace vk_detail {
namespace {

// Counts of one image column's pixels in the rows of the current
// neighbourhood: 16 coarse bins (value / 16) followed by 256 fine bins. No
// count exceeds the kernel's pixel count, so 16 bits never overflow.
struct alignas(32) ColumnHist {
    std::uint16_t bins[16 + 256];
};
constexpr int kCoarse = 0;  // offset of the coarse bins
constexpr int fineGroup(int k) {
    return 16 + 16 * k;
}  // offset of fine bins 16k .. 16k + 15

// Sum of column histograms that fits in this many bytes is kept per stripe.
constexpr std::size_t kStripeBytes = 512 * 1024;

// The weight a pixel adds to its column: its mask bit times w.
template <bool Masked>
inline std::uint16_t weightOf(const std::uint8_t* mask, std::int32_t c, std::uint16_t w) {
    if constexpr (Masked)
        return static_cast<std::uint16_t>(w * (mask[c] != 0));
    else
        return w;
}

template <bool Masked>
void insertRow(ColumnHist* h, const std::uint8_t* pels, const std::uint8_t* mask, std::int32_t n,
               std::uint16_t w) {
    for (std::int32_t c = 0; c < n; ++c) {
        const unsigned v = pels[c];
        const std::uint16_t m = weightOf<Masked>(mask, c, w);
        h[c].bins[16 + v] = static_cast<std::uint16_t>(h[c].bins[16 + v] + m);
        h[c].bins[v >> 4] = static_cast<std::uint16_t>(h[c].bins[v >> 4] + m);
    }
}

template <bool Masked>
void removeRow(ColumnHist* h, const std::uint8_t* pels, const std::uint8_t* mask, std::int32_t n) {
    for (std::int32_t c = 0; c < n; ++c) {
        const unsigned v = pels[c];
        const std::uint16_t m = weightOf<Masked>(mask, c, 1);
        h[c].bins[16 + v] = static_cast<std::uint16_t>(h[c].bins[16 + v] - m);
        h[c].bins[v >> 4] = static_cast<std::uint16_t>(h[c].bins[v >> 4] - m);
    }
}

template <bool Masked>
void replaceRow(ColumnHist* h, const std::uint8_t* outPels, const std::uint8_t* outMask,
                const std::uint8_t* inPels, const std::uint8_t* inMask, std::int32_t n) {
    for (std::int32_t c = 0; c < n; ++c) {
        const unsigned vo = outPels[c], vi = inPels[c];
        const std::uint16_t mo = weightOf<Masked>(outMask, c, 1);
        const std::uint16_t mi = weightOf<Masked>(inMask, c, 1);
        h[c].bins[16 + vo] = static_cast<std::uint16_t>(h[c].bins[16 + vo] - mo);
        h[c].bins[vo >> 4] = static_cast<std::uint16_t>(h[c].bins[vo >> 4] - mo);
        h[c].bins[16 + vi] = static_cast<std::uint16_t>(h[c].bins[16 + vi] + mi);
        h[c].bins[vi >> 4] = static_cast<std::uint16_t>(h[c].bins[vi >> 4] + mi);
    }
}

// The column histograms of one row of results. Result i's neighbourhood
// spans table entries i .. i + 2 * rx; entries realLo .. realHi - 1 are
// columns inside the window, those before and after stand for columns
// beyond its edges (empty when clipping, copies of the edge column when
// repeating).
struct RowColumns {
    const ColumnHist* const* col;
    std::int32_t realLo, realHi;
    bool repeat;
};

// Sum of the group at `offset` over table entries a .. b - 1. Columns beyond
// the edges are counted without walking them, so a kernel much wider than
// the window costs no more than the window's width.
template <class Bins>
typename Bins::Group columnSum(const RowColumns& rc, std::int32_t a, std::int32_t b, int offset) {
    typename Bins::Group acc = Bins::zero();
    const std::int32_t lo = std::max(a, rc.realLo), hi = std::min(b, rc.realHi);
    for (std::int32_t j = lo; j < hi; ++j)
        acc = Bins::add(acc, Bins::load(rc.col[j]->bins + offset));
    if (rc.repeat) {
        if (a < rc.realLo)
            acc = Bins::addTimes(acc, Bins::load(rc.col[rc.realLo]->bins + offset), rc.realLo - a);
        if (b > rc.realHi)
            acc = Bins::addTimes(acc, Bins::load(rc.col[rc.realHi - 1]->bins + offset),
                                 b - rc.realHi);
    }
    return acc;
}

// One row of results. The kernel's coarse histogram slides every step. A
// group of 16 fine bins is brought up to date only when the search enters
// it; each group remembers the step it was last current at. The group in
// use is kept in registers while the median stays in it.
template <class Bins, bool Masked>
void sweepRow(const RowColumns& rc, std::int32_t n, std::int32_t rx, std::uint8_t lo,
              std::uint8_t hi, std::uint8_t empty, std::uint8_t* out) {
    using Group = typename Bins::Group;
    const ColumnHist* const* col = rc.col;
    const std::int32_t span = 2 * rx + 1;
    alignas(32) std::uint16_t fine[256];
    std::int32_t current[16];
    for (std::int32_t& c : current)
        c = -span - 1;  // stale: rebuilt on first use

    Group coarse = columnSum<Bins>(rc, 0, span, kCoarse);
    int held = -1;  // the group kept in f instead of in fine[]
    Group f = Bins::zero();
    for (std::int32_t i = 0; i < n; ++i) {
        if (i > 0)
            coarse = Bins::slide(coarse, Bins::load(col[i + 2 * rx]->bins),
                                 Bins::load(col[i - 1]->bins));
        const auto coarseSums = Bins::sums(coarse);
        const std::uint32_t total = Bins::total(coarseSums);
        if (Masked && total == 0) {
            out[i] = empty;
            continue;
        }
        const std::uint32_t rank = (total - 1) / 2;
        const int k = Bins::firstAbove(coarseSums, rank);
        const std::uint32_t below = Bins::before(coarseSums, k);

        const int offset = fineGroup(k);
        if (k != held) {
            if (held >= 0) Bins::store(fine + 16 * held, f);
            held = k;
            if (i - current[k] > rx) {
                // Rebuilding costs at most span additions, sliding 2 * age.
                f = columnSum<Bins>(rc, i, i + span, offset);
                current[k] = i;
            } else {
                f = Bins::load(fine + 16 * k);
            }
        }
        for (std::int32_t s = current[k] + 1; s <= i; ++s)
            f = Bins::slide(f, Bins::load(col[s + 2 * rx]->bins + offset),
                            Bins::load(col[s - 1]->bins + offset));
        current[k] = i;

        const int v = 16 * k + Bins::firstAbove(Bins::sums(f), rank - below);
        out[i] = static_cast<std::uint8_t>(std::clamp<int>(v, lo, hi));
    }
}

template <class Bins, bool Masked>
class StripeFilter {
  public:
    StripeFilter(const MedianJob& job, std::int32_t stripeWidth)
        : job_(job),
          hist_(static_cast<std::size_t>(std::min(stripeWidth + 2 * job.radiusX, job.width))),
          col_(static_cast<std::size_t>(stripeWidth + 2 * job.radiusX)),
          empty_(std::clamp<std::uint8_t>(128, job.lo, job.hi)) {}

    // Results for columns sx0 .. sx1 - 1 of the source window.
    void run(std::int32_t sx0, std::int32_t sx1) {
        const std::int32_t rx = job_.radiusX, w = job_.width;
        const std::int32_t cx0 = std::max(0, sx0 - rx), cx1 = std::min(w, sx1 + rx);
        const std::int32_t ncols = cx1 - cx0;
        ColumnHist* h = hist_.data();
        std::memset(static_cast<void*>(h), 0, static_cast<std::size_t>(ncols) * sizeof(ColumnHist));

        // Neighbourhood columns outside the window are empty when clipping,
        // the edge column when repeating.
        const std::int32_t span = (sx1 - sx0) + 2 * rx;
        for (std::int32_t i = 0; i < span; ++i) {
            const std::int32_t j = sx0 - rx + i;
            if (j >= 0 && j < w)
                col_[static_cast<std::size_t>(i)] = h + (j - cx0);
            else
                col_[static_cast<std::size_t>(i)] =
                    job_.clip ? &zero_ : h + (std::clamp(j, 0, w - 1) - cx0);
        }

        const std::int32_t ry = job_.radiusY, hgt = job_.height;
        const std::int32_t y0 = job_.outY, y1 = job_.outY + job_.outHeight;
        // Rows of the first result row's neighbourhood; when repeating, the
        // edge rows stand in for the rows beyond them.
        const std::int32_t r0 = std::max(0, y0 - ry), r1 = std::min(hgt - 1, y0 + ry);
        for (std::int32_t r = r0; r <= r1; ++r) {
            std::int32_t weight = 1;
            if (!job_.clip && r == 0) weight += r0 - (y0 - ry);
            if (!job_.clip && r == hgt - 1) weight += (y0 + ry) - r1;
            insertRow<Masked>(h, pels(r, cx0), maskRow(r, cx0), ncols,
                              static_cast<std::uint16_t>(weight));
        }

        const RowColumns rc{col_.data(), std::max(0, rx - sx0), std::min(span, w - sx0 + rx),
                            !job_.clip};
        std::uint8_t* out = job_.result + (sx0 - job_.outX);
        for (std::int32_t y = y0; y < y1; ++y, out += job_.resultStride) {
            if (y > y0) step(y, cx0, ncols);
            if (((y - y0) & 63) == 63) vkAttention::check();
            sweepRow<Bins, Masked>(rc, sx1 - sx0, rx, job_.lo, job_.hi, empty_, out);
        }
    }

  private:
    const std::uint8_t* pels(std::int32_t r, std::int32_t c) const {
        return job_.image + r * job_.imageStride + c;
    }
    const std::uint8_t* maskRow(std::int32_t r, std::int32_t c) const {
        return Masked ? job_.mask + r * job_.maskStride + c : nullptr;
    }

    // Moves the column histograms from the rows of result row y - 1 to those
    // of row y: one row leaves at the top, one enters at the bottom.
    void step(std::int32_t y, std::int32_t cx0, std::int32_t ncols) {
        ColumnHist* h = hist_.data();
        std::int32_t rOut = y - job_.radiusY - 1, rIn = y + job_.radiusY;
        if (job_.clip) {
            const bool leaves = rOut >= 0, enters = rIn < job_.height;
            if (leaves && enters)
                replaceRow<Masked>(h, pels(rOut, cx0), maskRow(rOut, cx0), pels(rIn, cx0),
                                   maskRow(rIn, cx0), ncols);
            else if (leaves)
                removeRow<Masked>(h, pels(rOut, cx0), maskRow(rOut, cx0), ncols);
            else if (enters)
                insertRow<Masked>(h, pels(rIn, cx0), maskRow(rIn, cx0), ncols, 1);
        } else {
            rOut = std::clamp(rOut, 0, job_.height - 1);
            rIn = std::clamp(rIn, 0, job_.height - 1);
            if (rOut != rIn)
                replaceRow<Masked>(h, pels(rOut, cx0), maskRow(rOut, cx0), pels(rIn, cx0),
                                   maskRow(rIn, cx0), ncols);
        }
    }

    const MedianJob& job_;
    std::vector<ColumnHist> hist_;
    std::vector<const ColumnHist*> col_;
    ColumnHist zero_{};
    std::uint8_t empty_;
};

template <class Bins, bool Masked>
void runStripes(const MedianJob& job, std::int32_t stripeWidth) {
    StripeFilter<Bins, Masked> filter(job, stripeWidth);
    const std::int32_t end = job.outX + job.outWidth;
    for (std::int32_t sx0 = job.outX; sx0 < end; sx0 += stripeWidth) {
        filter.run(sx0, std::min(sx0 + stripeWidth, end));
        vkAttention::check();
    }
}

}  // namespace

void medianFilter(const MedianJob& job, std::int32_t stripeWidth, MedianPath path) {
    if (job.outWidth <= 0 || job.outHeight <= 0) return;
    if (stripeWidth <= 0) {
        // Column histograms of a stripe and its margins should stay in L2;
        // the margins are recomputed by both neighbouring stripes, so a
        // stripe is never narrower than the kernel.
        const std::int32_t budget = static_cast<std::int32_t>(kStripeBytes / sizeof(ColumnHist));
        const std::int32_t widest = std::max(budget - 2 * job.radiusX, 2 * job.radiusX + 1);
        const std::int32_t count = (job.outWidth + widest - 1) / widest;
        stripeWidth = (job.outWidth + count - 1) / count;
    }
    stripeWidth = std::min(stripeWidth, job.outWidth);
#if defined(IMGNORM_HAVE_SSE2_BINS)
    if (path == MedianPath::Fastest) {
        if (job.mask != nullptr)
            runStripes<Sse2Bins, true>(job, stripeWidth);
        else
            runStripes<Sse2Bins, false>(job, stripeWidth);
        return;
    }
#endif
    if (job.mask != nullptr)
        runStripes<PortableBins, true>(job, stripeWidth);
    else
        runStripes<PortableBins, false>(job, stripeWidth);
}

}  // namespace vk_detail

namespace {

using Buffer = vkPelBuffer<std::uint8_t>;
using ConstBuffer = vkPelBuffer_const<std::uint8_t>;

// A strip of rows is at least this many kernel heights tall.
constexpr std::int32_t kMedianStripKernels = 4;

// The neighbourhoods lie in (or are extended from) the source rectangle.
void filterInto(const ConstBuffer& image, const ConstBuffer* mask, const vkPelRect& source,
                const vkPelMedianParams& params, Buffer& result) {
    vkPelRect target = source;
    if (result.isBound()) target &= result.window();

    // Results go to new storage first: the kernel reads source rows on both
    // sides of the row it writes, so it must not write into storage it may
    // read, and a cancelled call must leave the caller's buffers untouched.
    Buffer fresh(target);
    fresh.copyXforms(image);
    if (!target.isNull()) {
        vk_detail::MedianJob job;
        const ConstBuffer src = vk_detail::narrowed(image, source);
        job.image = src.pointToOffset();
        job.imageStride = src.rowUpdate();
        if (mask != nullptr) {
            const ConstBuffer m = vk_detail::narrowed(*mask, source);
            job.mask = m.pointToOffset();
            job.maskStride = m.rowUpdate();
        }
        job.width = source.width();
        job.height = source.height();
        job.radiusX = params.kernelSize().x() / 2;
        job.radiusY = params.kernelSize().y() / 2;
        job.clip = params.clipToWindow();
        job.lo = static_cast<std::uint8_t>(params.valueRange().x());
        job.hi = static_cast<std::uint8_t>(params.valueRange().y());
        job.outX = target.ul().x() - source.ul().x();
        job.outY = target.ul().y() - source.ul().y();
        job.outWidth = target.width();
        job.outHeight = target.height();
        job.result = fresh.pointToOffset();
        job.resultStride = fresh.rowUpdate();
        // Strips of rows on the library's threads. Each strip fills its
        // column histograms anew from the kernel's height of rows, so strips
        // are several kernel heights tall.
        const std::int32_t kernelRows = params.kernelSize().y();
        const std::int32_t rows =
            vk_detail::stripRows(job.outHeight, job.outWidth, kMedianStripKernels * kernelRows);
        vk_detail::parallelRows(job.outHeight, rows, [&](std::int32_t y0, std::int32_t y1) {
            vk_detail::MedianJob strip = job;
            strip.outY = job.outY + y0;
            strip.outHeight = y1 - y0;
            strip.result = job.result + y0 * job.resultStride;
            vk_detail::medianFilter(strip);
        });
    }
    if (!result.isBound())
        result = fresh;
    else if (!target.isNull())
        vfPelCopy<std::uint8_t>(fresh, result);
}

}  // namespace

void vfPelMedian(const ConstBuffer& image, const vkPelMedianParams& params, Buffer& result) {
    vk_detail::requireBound(image);
    filterInto(image, nullptr, image.window(), params, result);
}

void vfPelMedian(const ConstBuffer& image, const ConstBuffer& mask, const vkPelMedianParams& params,
                 Buffer& result) {
    vk_detail::requireBound(image);
    vk_detail::requireBound(mask);
    filterInto(image, &mask, image.window() & mask.window(), params, result);
}
