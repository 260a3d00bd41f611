// Pixel functions and image files on arrays: each converts its arguments,
// calls the library once without the GIL, and hands the result out as an
// array over the library's buffer.
#include <numeric>
#include <optional>
#include <string>
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

std::uint64_t total(const std::vector<std::uint32_t>& counts) {
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

py::array histogram(py::handle image, py::handle mask) {
    const auto view = imageArg(image, "image");
    const auto maskView = imageArg(mask, "mask", true, true);
    std::vector<std::uint32_t> counts;
    releasedCall([&] { vf_MaskedPelHistogram(view, maskView, counts); });
    counts.resize(256);
    return py::array_t<std::uint32_t>(static_cast<py::ssize_t>(counts.size()), counts.data());
}

py::array threshold(py::handle image, std::optional<std::int32_t> level, py::handle mask) {
    const auto view = imageArg(image, "image");
    const auto maskView = imageArg(mask, "mask", true, true);
    if (level && (*level < 0 || *level > 255))
        raise("BadParams", "level must lie in 0..255, got " + std::to_string(*level));
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        if (!level) {
            // Otsu's level of the pixels that count.
            std::vector<std::uint32_t> counts;
            vf_MaskedPelHistogram(view, maskView, counts);
            level = counts.empty() ? 0 : vf_OtsuThreshold(counts);
        }
        vkPelBuffer<std::uint8_t> out;
        vf_MaskedPelThreshold(view, maskView, static_cast<unsigned char>(*level), out);
        return out;
    });
    return toArray(result, true);
}

py::array matchHistograms(py::handle image, py::handle reference, py::handle mask,
                          py::handle referenceMask) {
    const auto view = imageArg(image, "image");
    const auto maskView = imageArg(mask, "mask", true, true);
    const auto referenceView = imageArg(reference, "reference");
    const auto referenceMaskView = imageArg(referenceMask, "reference_mask", true, true);
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        std::vector<std::uint32_t> counts, referenceCounts;
        vf_MaskedPelHistogram(view, maskView, counts);
        vf_MaskedPelHistogram(referenceView, referenceMaskView, referenceCounts);
        if (total(counts) == 0 || total(referenceCounts) == 0)
            throw vkPelFunc::BadParams(std::string("match_histograms: ") +
                                       (total(counts) == 0 ? "mask" : "reference_mask") +
                                       " leaves no pixel to count");
        std::vector<std::uint8_t> map;
        vf_MidpointHistogramMap(counts, referenceCounts, map);
        return vfPelMap(view, map);
    });
    return toArray(result, true);
}

py::array median(py::handle image, py::handle mask, IntPair size, IntPair range, bool clip) {
    const auto view = imageArg(image, "image");
    const auto maskView = imageArg(mask, "mask", true, true);
    const vkPelMedianParams params({size.first, size.second}, {range.first, range.second}, clip);
    vkPelBuffer<std::uint8_t> result;
    releasedCall([&] {
        if (maskView.isBound())
            vfPelMedian(view, maskView, params, result);
        else
            vfPelMedian(view, params, result);
    });
    return toArray(result, true);
}

py::array gaussianSample(py::handle image, IntPair kernel, IntPair subsample, double gain,
                         bool fullWindow, bool rounding) {
    const auto view = imageArg(image, "image");
    vkGaussSampleParams params({subsample.first, subsample.second}, {kernel.first, kernel.second},
                               gain, fullWindow);
    params.doRounding(rounding);
    vkPelBuffer<std::uint8_t> result = releasedCall([&] { return vfGaussSample(view, params); });
    return toArray(result, true);
}

py::array clampedDifference(py::handle image, py::handle other, std::int32_t maxDifference) {
    auto view = imageArg(image, "image");
    const auto otherView = imageArg(other, "other");
    if (maxDifference < 0 || maxDifference > 127)
        raise("BadParams",
              "max_difference must lie in 0..127, got " + std::to_string(maxDifference));
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        view.window(view.window() & otherView.window());
        vkPelBuffer<std::uint8_t> d = vfPelCopy(view);
        vf_PelSubClamp(d, otherView, static_cast<unsigned char>(maxDifference));
        return d;
    });
    return toArray(result, true);
}

// Image files, as the command-line tool reads and writes them.
py::array imread(const std::string& path) {
    return toArray(releasedCall([&] { return imgnorm_cli::readImage(path); }), true);
}

void imwrite(const std::string& path, py::handle image) {
    const auto view = imageArg(image, "image");
    releasedCall([&] { imgnorm_cli::writeImage(path, view); });
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
