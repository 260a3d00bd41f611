// The local gain corrections for Python: a vkLocalGainNormalizer trained
// once, from a Normalizer, when it is made. Its parameters are fixed from
// then on, so that runs in many threads need no lock.
#include <memory>
#include <utility>

#include <imgnorm/archive.h>
#include <imgnorm/gain_normalizer.h>
#include <imgnorm/normalizer.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

using Correction = vkLocalGainNormalizer::Correction;

std::unique_ptr<vkLocalGainNormalizer> make(py::handle source, std::pair<double, double> range,
                                            double floor) {
    const vkImageNormalizer normalizer = normalizerOf(source);
    auto tool = std::make_unique<vkLocalGainNormalizer>();
    tool->gainRange({range.first, range.second});
    tool->deviationFloor(floor);
    releasedCall([&] { tool->train(normalizer); });
    return tool;
}

py::array run(const vkLocalGainNormalizer& tool, py::handle image, bool gainOnly) {
    const auto view = imageArg<std::uint8_t>(image, "image");
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        return tool.run(view, gainOnly ? Correction::gainOnly : Correction::gainAndOffset);
    });
    return toArray(result, true);
}

}  // namespace

void bindGain(py::module_& m) {
    py::class_<vkLocalGainNormalizer>(m, "_GainTool")
        .def(py::init(&make))
        .def("gain_range", [](const vkLocalGainNormalizer& t) { return pairTuple(t.gainRange()); })
        .def("deviation_floor", [](const vkLocalGainNormalizer& t) { return t.deviationFloor(); })
        .def("run", &run)
        .def("to_bytes", [](const vkLocalGainNormalizer& t) { return archiveBytes(t); })
        .def_static("from_bytes",
                    [](const py::bytes& data) {
                        auto t = std::make_unique<vkLocalGainNormalizer>();
                        loadBytes(data, *t);
                        return t;
                    })
        .def("__eq__",
             [](const vkLocalGainNormalizer& a, const vkLocalGainNormalizer& b) { return a == b; });
}

}  // namespace imgnorm_py
