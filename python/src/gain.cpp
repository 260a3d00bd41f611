// The local gain corrections for Python: a vkLocalGainNormalizer (uint8
// arrays) or vkDeepLocalGainNormalizer (uint16 arrays of the source's
// depth) trained once, from a Normalizer, when it is made. Its parameters
// are fixed from then on, so that runs in many threads need no lock.
#include <memory>
#include <utility>

#include <imgnorm/archive.h>
#include <imgnorm/gain_normalizer.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

template <class G>
std::unique_ptr<G> make(py::handle source, std::pair<double, double> range, double floor) {
    const typename G::Source normalizer = normalizerOf<typename G::Source>(source);
    auto tool = std::make_unique<G>();
    tool->gainRange({range.first, range.second});
    tool->deviationFloor(floor);
    releasedCall([&] { tool->train(normalizer); });
    return tool;
}

template <class G>
py::array run(const G& tool, py::handle image, bool gainOnly) {
    using Pel = typename std::decay_t<decltype(tool.source().referenceImage())>::value_type;
    const auto view = imageArg<Pel>(image, "image");
    vkPelBuffer<Pel> result = releasedCall([&] {
        return tool.run(view, gainOnly ? vkLocalGainCorrection::gainOnly
                                       : vkLocalGainCorrection::gainAndOffset);
    });
    return toArray(result, true);
}

template <class G>
py::class_<G> bindGainClass(py::module_& m, const char* name) {
    return py::class_<G>(m, name)
        .def(py::init(&make<G>))
        .def("gain_range", [](const G& t) { return pairTuple(t.gainRange()); })
        .def("deviation_floor", [](const G& t) { return t.deviationFloor(); })
        .def("run", &run<G>)
        .def("to_bytes", [](const G& t) { return archiveBytes(t); })
        .def_static("from_bytes",
                    [](const py::bytes& data) {
                        auto t = std::make_unique<G>();
                        loadBytes(data, *t);
                        return t;
                    })
        .def("__eq__", [](const G& a, const G& b) { return a == b; });
}

}  // namespace

void bindGain(py::module_& m) {
    bindGainClass<vkLocalGainNormalizer>(m, "_GainTool");
    bindGainClass<vkDeepLocalGainNormalizer>(m, "_DeepGainTool")
        .def("source_depth", [](const vkDeepLocalGainNormalizer& t) { return t.source().depth(); });
}

}  // namespace imgnorm_py
