// numpy arrays in and out of image buffers, without copying where the layout
// allows.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "binding.h"

namespace imgnorm_py {

namespace {

std::string dtypeName(const py::array& a) {
    return py::str(a.dtype()).cast<std::string>();
}

// A share in the array, released under the GIL whichever thread drops the
// last buffer.
std::shared_ptr<const void> keepAlive(const py::array& a) {
    auto* held = new py::object(a);
    return std::shared_ptr<const void>(held, [](const void* p) {
        py::gil_scoped_acquire gil;
        delete static_cast<const py::object*>(p);
    });
}

}  // namespace

py::array checkedImage(py::handle obj, const char* what, bool allowBool) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(what) + " must be a numpy array, got " +
                             py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
    auto a = py::reinterpret_borrow<py::array>(obj);
    const bool u8 = a.dtype().equal(py::dtype::of<std::uint8_t>());
    if (!u8 && !(allowBool && a.dtype().equal(py::dtype::of<bool>())))
        throw py::type_error(std::string(what) + " must be a uint8" +
                             (allowBool ? " or bool" : "") + " array, got dtype " + dtypeName(a));
    if (a.ndim() != 2)
        throw py::value_error(std::string(what) + " must be a 2-D array (height, width), got " +
                              std::to_string(a.ndim()) + " dimensions");
    if (a.shape(0) == 0 || a.shape(1) == 0)
        throw py::value_error(std::string(what) + " must not be empty");
    constexpr auto kMaxSide = std::numeric_limits<std::int32_t>::max();
    if (a.shape(0) > kMaxSide || a.shape(1) > kMaxSide)
        throw py::value_error(std::string(what) + " is too large: a side beyond 2^31 - 1 pixels");
    return a;
}

vkPelBuffer_const<std::uint8_t> viewOf(const py::array& image) {
    const auto height = static_cast<std::int32_t>(image.shape(0));
    const auto width = static_cast<std::int32_t>(image.shape(1));
    const py::ssize_t item = image.itemsize();
    // A single row may carry any row stride; its own width is as good.
    const py::ssize_t rowStep = height == 1 ? width * item : image.strides(0);
    const bool inPlace =
        image.strides(1) == item && rowStep >= width * item && rowStep % item == 0 &&
        reinterpret_cast<std::uintptr_t>(image.data()) % static_cast<std::uintptr_t>(item) == 0;
    if (!inPlace) {
        auto compact = py::reinterpret_steal<py::array>(
            py::module_::import("numpy").attr("ascontiguousarray")(image).release());
        return viewOf(compact);
    }
    return vkPelBuffer_const<std::uint8_t>(static_cast<const std::uint8_t*>(image.data()), width,
                                           height, static_cast<std::ptrdiff_t>(rowStep),
                                           keepAlive(image));
}

vkPelBuffer_const<std::uint8_t> imageArg(py::handle obj, const char* what, bool allowNone,
                                         bool allowBool) {
    if (allowNone && obj.is_none()) return {};
    return viewOf(checkedImage(obj, what, allowBool));
}

py::array toArray(const vkPelBuffer_const<std::uint8_t>& buffer, bool writeable) {
    using Buffer = vkPelBuffer_const<std::uint8_t>;
    if (!buffer.isBound())
        return py::array(py::dtype::of<std::uint8_t>(), {py::ssize_t{0}, py::ssize_t{0}});
    auto share = std::make_unique<Buffer>(buffer);
    const Buffer& b = *share;
    py::capsule owner(share.get(), [](void* p) { delete static_cast<Buffer*>(p); });
    share.release();
    const auto item = static_cast<py::ssize_t>(sizeof(std::uint8_t));
    py::array out(py::dtype::of<std::uint8_t>(), {py::ssize_t{b.height()}, py::ssize_t{b.width()}},
                  {static_cast<py::ssize_t>(b.rowUpdate()) * item, item}, b.pointToOffset(), owner);
    if (!writeable)
        py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return out;
}

}  // namespace imgnorm_py
