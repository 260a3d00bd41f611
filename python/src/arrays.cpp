// numpy arrays in and out of image buffers, without copying where the layout
// allows.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include <imgnorm/pelops.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

std::string dtypeName(const py::dtype& d) {
    return py::str(static_cast<py::handle>(d)).cast<std::string>();
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

py::array checkedImage(py::handle obj, const char* what, const py::dtype& dtype, bool allowBool) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(what) + " must be a numpy array, got " +
                             py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
    auto a = py::reinterpret_borrow<py::array>(obj);
    if (!a.dtype().equal(dtype) && !(allowBool && a.dtype().equal(py::dtype::of<bool>())))
        throw py::type_error(std::string(what) + " must be a " + dtypeName(dtype) +
                             (allowBool ? " or bool" : "") + " array, got dtype " +
                             dtypeName(a.dtype()));
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

template <class T>
vkPelBuffer_const<T> viewOf(const py::array& image) {
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
        return viewOf<T>(compact);
    }
    return vkPelBuffer_const<T>(static_cast<const T*>(image.data()), width, height,
                                static_cast<std::ptrdiff_t>(rowStep), keepAlive(image));
}

template <class T>
vkPelBuffer_const<T> imageArg(py::handle obj, const char* what, bool allowNone, bool allowBool) {
    if (allowNone && obj.is_none()) return {};
    return viewOf<T>(checkedImage(obj, what, py::dtype::of<T>(), allowBool));
}

template <class T>
py::array toArray(const vkPelBuffer_const<T>& buffer, bool writeable) {
    using Buffer = vkPelBuffer_const<T>;
    if (!buffer.isBound()) return py::array(py::dtype::of<T>(), {py::ssize_t{0}, py::ssize_t{0}});
    auto share = std::make_unique<Buffer>(buffer);
    const Buffer& b = *share;
    py::capsule owner(share.get(), [](void* p) { delete static_cast<Buffer*>(p); });
    share.release();
    const auto item = static_cast<py::ssize_t>(sizeof(T));
    py::array out(py::dtype::of<T>(), {py::ssize_t{b.height()}, py::ssize_t{b.width()}},
                  {static_cast<py::ssize_t>(b.rowUpdate()) * item, item}, b.pointToOffset(), owner);
    if (!writeable)
        py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return out;
}

bool isDeep(py::handle obj) {
    return py::isinstance<py::array>(obj) &&
           py::reinterpret_borrow<py::array>(obj).dtype().equal(py::dtype::of<std::uint16_t>());
}

std::int32_t depthArg(std::optional<std::int32_t> depth, bool deep, std::int32_t lowest) {
    if (!deep) {
        if (depth && *depth != 8)
            throw py::value_error("depth " + std::to_string(*depth) +
                                  " needs uint16 arrays; uint8 arrays have depth 8");
        return 8;
    }
    const std::int32_t d = depth.value_or(16);
    if (d < lowest || d > 16)
        throw py::value_error("depth must lie in " + std::to_string(lowest) +
                              "..16 for uint16 arrays, got " + std::to_string(d));
    return d;
}

void requireDepth(const vkPelBuffer_const<std::uint16_t>& view, const char* what,
                  std::int32_t depth) {
    if (depth >= 16 || !view.isBound()) return;
    const std::uint16_t top = releasedCall([&] { return vfPelMax(view); });
    if (top >> depth)
        throw py::value_error(std::string(what) + " holds the value " + std::to_string(top) +
                              ", above the largest of depth " + std::to_string(depth) + " (" +
                              std::to_string((1 << depth) - 1) + ")");
}

template vkPelBuffer_const<std::uint8_t> viewOf(const py::array&);
template vkPelBuffer_const<std::uint16_t> viewOf(const py::array&);
template vkPelBuffer_const<std::uint8_t> imageArg(py::handle, const char*, bool, bool);
template vkPelBuffer_const<std::uint16_t> imageArg(py::handle, const char*, bool, bool);
template py::array toArray(const vkPelBuffer_const<std::uint8_t>&, bool);
template py::array toArray(const vkPelBuffer_const<std::uint16_t>&, bool);

}  // namespace imgnorm_py
