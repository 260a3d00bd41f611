// Pixel functions and image files on arrays: each converts its arguments,
// calls the library once without the GIL, and hands the result out as an
// array over the library's buffer.
#include <numeric>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <imgnorm/gauss.h>
#include <imgnorm/median.h>
#include <imgnorm/pelfunc.h>
#include <imgnorm/pelops.h>
#include <imgnorm/threads.h>

#include <pybind11/stl.h>

#include "binding.h"
#include "image_io.h"

namespace imgnorm_py {

namespace {

using IntPair = std::pair<std::int32_t, std::int32_t>;

using Depth = std::optional<std::int32_t>;

std::uint64_t total(const std::vector<std::uint32_t>& counts) {
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

// The 2^depth counts of the view's pixels under the mask.
template <class T>
std::vector<std::uint32_t> maskedHistogram(const vkPelBuffer_const<T>& view,
                                           const vkPelBuffer_const<std::uint8_t>& mask,
                                           std::int32_t depth) {
    std::vector<std::uint32_t> counts;
    if constexpr (sizeof(T) == 1)
        vf_MaskedPelHistogram(view, mask, counts);
    else
        vf_MaskedPelHistogram(view, mask, depth, counts);
    counts.resize(std::size_t{1} << depth);  // disjoint windows count nothing
    return counts;
}

py::array histogram(py::handle image, py::handle mask, Depth depth) {
    const auto maskView = maskArg(mask);
    const std::vector<std::uint32_t> counts =
        withImage(image, depth, [&](const auto& view, std::int32_t d) {
            return releasedCall([&] { return maskedHistogram(view, maskView, d); });
        });
    return py::array_t<std::uint32_t>(static_cast<py::ssize_t>(counts.size()), counts.data());
}

py::array threshold(py::handle image, std::optional<std::int32_t> level, py::handle mask) {
    const auto view = imageArg<std::uint8_t>(image, "image");
    const auto maskView = maskArg(mask);
    if (level && (*level < 0 || *level > 255))
        raise("BadParams", "level must lie in 0..255, got " + std::to_string(*level));
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        // Without a level, Otsu's level of the pixels that count.
        if (!level) level = vf_OtsuThreshold(maskedHistogram(view, maskView, 8));
        vkPelBuffer<std::uint8_t> out;
        vf_MaskedPelThreshold(view, maskView, static_cast<unsigned char>(*level), out);
        return out;
    });
    return toArray(result, true);
}

py::array matchHistograms(py::handle image, py::handle reference, py::handle mask,
                          py::handle referenceMask, Depth depth) {
    const auto maskView = maskArg(mask);
    const auto referenceMaskView = maskArg(referenceMask, "reference_mask");
    return withImage(image, depth, [&](const auto& view, std::int32_t d) {
        using T = typename std::decay_t<decltype(view)>::value_type;
        const auto referenceView = imageArg<T>(reference, "reference");
        if constexpr (sizeof(T) == 2) requireDepth(referenceView, "reference", d);
        return toArray(releasedCall([&] {
                           const auto counts = maskedHistogram(view, maskView, d);
                           const auto referenceCounts = maskedHistogram(referenceView, referenceMaskView, d);
                           if (total(counts) == 0 || total(referenceCounts) == 0)
                               throw vkPelFunc::BadParams(std::string("match_histograms: ") +
                                                          (total(counts) == 0 ? "mask" : "reference_mask") +
                                                          " leaves no pixel to count");
                           std::vector<T> map;
                           vf_MidpointHistogramMap(counts, referenceCounts, map);
                           return vfPelMap(view, map);
                       }),
                       true);
    });
}

py::array median(py::handle image, py::handle mask, IntPair size, std::optional<IntPair> range,
                 bool clip, Depth depth) {
    const auto maskView = maskArg(mask);
    return withImage(image, depth, [&](const auto& view, std::int32_t d) {
        const IntPair r = range.value_or(IntPair{0, (1 << d) - 1});
        const vkPelMedianParams params({size.first, size.second}, {r.first, r.second}, clip, d);
        vkPelBuffer<typename std::decay_t<decltype(view)>::value_type> result;
        releasedCall([&] {
            if (maskView.isBound())
                vfPelMedian(view, maskView, params, result);
            else
                vfPelMedian(view, params, result);
        });
        return toArray(result, true);
    });
}

py::array gaussianSample(py::handle image, IntPair kernel, IntPair subsample, double gain,
                         bool fullWindow, bool rounding) {
    vkGaussSampleParams params({subsample.first, subsample.second}, {kernel.first, kernel.second},
                               gain, fullWindow);
    params.doRounding(rounding);
    return withImage(image, std::nullopt, [&](const auto& view, std::int32_t) {
        return toArray(releasedCall([&] { return vfGaussSample(view, params); }), true);
    });
}

py::array clampedDifference(py::handle image, py::handle other,
                            std::optional<std::int32_t> maxDifference, Depth depth) {
    return withImage(image, depth, [&](auto view, std::int32_t d) {
        using T = typename decltype(view)::value_type;
        const auto otherView = imageArg<T>(other, "other");
        const std::int32_t largest = (1 << (d - 1)) - 1;
        const std::int32_t r = maxDifference.value_or(largest);
        if (r < 0 || r > largest)
            raise("BadParams", "max_difference must lie in 0.." + std::to_string(largest) +
                                   ", got " + std::to_string(r));
        return toArray(releasedCall([&] {
                           view.window(view.window() & otherView.window());
                           vkPelBuffer<T> diff = vfPelCopy(view);
                           if constexpr (sizeof(T) == 1)
                               vf_PelSubClamp(diff, otherView, static_cast<unsigned char>(r));
                           else
                               vf_PelSubClamp(diff, otherView, static_cast<std::uint16_t>(r), d);
                           return diff;
                       }),
                       true);
    });
}

// Image files, as the command-line tool reads and writes them.
py::array imread(const std::string& path) {
    const imgnorm_cli::GrayImage image =
        releasedCall([&] { return imgnorm_cli::readGrayImage(path); });
    return std::visit([](const auto& pels) { return toArray(pels, true); }, image.pels);
}

void imwrite(const std::string& path, py::handle image, Depth depth) {
    withImage(image, depth, [&](const auto& view, std::int32_t d) {
        releasedCall([&] {
            if constexpr (sizeof(typename std::decay_t<decltype(view)>::value_type) == 1)
                imgnorm_cli::writeImage(path, view);
            else
                imgnorm_cli::writeImage(path, view, depth ? d : 0);  // 0: no depth stated
        });
        return 0;
    });
}

}  // namespace

void bindFunctions(py::module_& m) {
    m.def("histogram", &histogram);
    m.def("threshold", &threshold);
    m.def("match_histograms", &matchHistograms);
    m.def("median", &median);
    m.def("gaussian_sample", &gaussianSample);
    m.def("clamped_difference", &clampedDifference);
    m.def("imread", &imread);
    m.def("set_num_threads", &vfSetNumThreads);
    m.def("get_num_threads", &vfNumThreads);
    m.def("imwrite", &imwrite);
}

}  // namespace imgnorm_py
