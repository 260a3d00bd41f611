// Flat-field calibration for Python: a vkFlatField made from dark and flat
// frames (uint8 arrays, or uint16 arrays of a declared depth), immutable
// once made, so that runs in many threads need no lock.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <imgnorm/flat_field.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

// The frames of a sequence as views, named "<what> frame <i + 1>" in errors as
// the library names them.
template <class Pel>
std::vector<vkPelBuffer_const<Pel>> framesArg(const py::sequence& frames, const char* what) {
    std::vector<vkPelBuffer_const<Pel>> views;
    views.reserve(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        views.push_back(imageArg<Pel>(
            frames[i], (std::string(what) + " frame " + std::to_string(i + 1)).c_str()));
    return views;
}

// The first flat frame's dtype decides the pixel type (without flat frames
// the first dark frame's, so that the library's own error says that flat
// frames are missing).
std::unique_ptr<vkFlatField> make(const py::sequence& dark, const py::sequence& flat,
                                  std::optional<std::int32_t> depth) {
    const bool deep = flat.size() != 0 ? isDeep(flat[0]) : dark.size() != 0 && isDeep(dark[0]);
    const std::int32_t d = depthArg(depth, deep, 9);
    if (deep) {
        const auto darks = framesArg<std::uint16_t>(dark, "dark");
        const auto flats = framesArg<std::uint16_t>(flat, "flat");
        return releasedCall([&] { return std::make_unique<vkFlatField>(darks, flats, d); });
    }
    const auto darks = framesArg<std::uint8_t>(dark, "dark");
    const auto flats = framesArg<std::uint8_t>(flat, "flat");
    return releasedCall([&] { return std::make_unique<vkFlatField>(darks, flats); });
}

template <class Pel>
py::array calibrated(const vkFlatField& field, py::handle raw) {
    const auto view = imageArg<Pel>(raw, "raw");
    return toArray<Pel>(releasedCall([&] { return field.apply(view); }), true);
}

}  // namespace

void bindFlatField(py::module_& m) {
    py::class_<vkFlatField>(m, "_FlatField")
        .def(py::init(&make))
        .def("depth", &vkFlatField::depth)
        .def("shape", [](const vkFlatField& f) { return py::make_tuple(f.height(), f.width()); })
        .def("mean_signal", &vkFlatField::meanSignal)
        .def("unmeasured_pixels", &vkFlatField::unmeasuredPixels)
        .def("apply", [](const vkFlatField& f, py::handle raw) {
            return f.depth() == 8 ? calibrated<std::uint8_t>(f, raw)
                                  : calibrated<std::uint16_t>(f, raw);
        });
}

}  // namespace imgnorm_py
