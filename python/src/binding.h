// What the parts of the _imgnorm extension share: array conversions, the
// call wrapper that releases the GIL, and raising the package's exceptions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <imgnorm/archive.h>
#include <imgnorm/attention.h>
#include <imgnorm/normalizer.h>
#include <imgnorm/pelbuffer.h>

namespace imgnorm_py {

namespace py = pybind11;

// Array conversions ---------------------------------------------------------
// T is std::uint8_t or std::uint16_t.

// The object as a 2-D image array for the argument named what: TypeError
// unless it is a numpy array of dtype (or bool where allowBool), ValueError
// unless it has two dimensions, both non-zero and below 2^31.
py::array checkedImage(py::handle obj, const char* what, const py::dtype& dtype,
                       bool allowBool = false);

// A buffer over a checked array's pixels, window (0, 0, width, height). The
// pixels are viewed in place when each row is contiguous and rows lie a
// positive whole number of pixels apart (img[10:, 5:], img[::2]); other
// layouts (img[:, ::2], reversed or broadcast axes, unaligned data) are viewed
// in a compact copy. The buffer keeps the array alive.
template <class T>
vkPelBuffer_const<T> viewOf(const py::array& image);

// checkedImage for T's dtype then viewOf; None gives an unbound buffer where
// allowNone.
template <class T>
vkPelBuffer_const<T> imageArg(py::handle obj, const char* what, bool allowNone = false,
                              bool allowBool = false);

// A mask argument: None, or a uint8 or bool array.
inline vkPelBuffer_const<std::uint8_t> maskArg(py::handle obj, const char* what = "mask") {
    return imageArg<std::uint8_t>(obj, what, true, true);
}

// An array of the buffer's window sharing its pixels (no copy); the array
// keeps the pixels alive. An unbound buffer gives a (0, 0) array. writeable
// false makes the array read-only (for pixels the library keeps).
template <class T>
py::array toArray(const vkPelBuffer_const<T>& buffer, bool writeable);

// Whether the object is a uint16 array: a deep image, whose depth matters.
bool isDeep(py::handle obj);

// The bit depth of an image argument: 8 for uint8 arrays (ValueError for a
// depth other than None or 8), the given depth (default 16) for uint16
// arrays, ValueError outside lowest..16.
std::int32_t depthArg(std::optional<std::int32_t> depth, bool deep, std::int32_t lowest = 1);

// ValueError unless every pixel of the view lies within depth bits.
void requireDepth(const vkPelBuffer_const<std::uint16_t>& view, const char* what,
                  std::int32_t depth);

// Calls f(view, depth) with the image argument viewed as uint8 (depth 8) or
// uint16 (depth from depthArg, pixels checked against it); TypeError for
// any other dtype.
template <class F>
auto withImage(py::handle image, std::optional<std::int32_t> depth, F&& f) {
    if (isDeep(image)) {
        const std::int32_t d = depthArg(depth, true);
        const auto view = imageArg<std::uint16_t>(image, "image");
        requireDepth(view, "image", d);
        return f(view, d);
    }
    if (py::isinstance<py::array>(image) &&
        !py::reinterpret_borrow<py::array>(image).dtype().equal(py::dtype::of<std::uint8_t>()))
        throw py::type_error(
            "image must be a uint8 or uint16 array, got dtype " +
            py::str(py::reinterpret_borrow<py::array>(image).attr("dtype")).cast<std::string>());
    return f(imageArg<std::uint8_t>(image, "image"), depthArg(depth, false));
}

// (x, y) pairs as Python tuples.
template <class T>
py::tuple pairTuple(const vkPair<T>& p) {
    return py::make_tuple(p.x(), p.y());
}

// Calls ---------------------------------------------------------------------

// Runs a library call with the GIL released, so that other Python threads run
// meanwhile. On the main thread a SIGINT during the call also cancels it
// through vkAttention, so that Ctrl-C stops a long call: the SIGINT handler
// then runs as usual and its exception (KeyboardInterrupt by default)
// propagates; a cancellation that the handler does not turn into an
// exception raises imgnorm.Cancelled.
class InterruptibleCall {
  public:
    InterruptibleCall();
    ~InterruptibleCall();
    InterruptibleCall(const InterruptibleCall&) = delete;
    InterruptibleCall& operator=(const InterruptibleCall&) = delete;

    // With the GIL held, after the call threw vkAttention::Cancelled.
    [[noreturn]] void cancelled();

  private:
    bool watching_ = false;
    std::optional<vkAttention::Scope> scope_;
};

template <class F>
auto releasedCall(F&& f) -> decltype(f()) {
    InterruptibleCall call;
    try {
        py::gil_scoped_release nogil;
        return f();
    } catch (const vkAttention::Cancelled&) {
        call.cancelled();
    }
}

// Errors --------------------------------------------------------------------

// Raises the package's exception class name (defined in imgnorm._types) with
// the message.
[[noreturn]] void raise(const char* name, const std::string& message);

// Archives ------------------------------------------------------------------

// The archive bytes of an object (a copy: storing may not change it).
template <class T>
py::bytes archiveBytes(T object) {
    vkArchive archive;
    archive || object;
    const auto& bytes = archive.bytes();
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Loads the object from a loading archive that must hold exactly it.
template <class T>
void loadWhole(vkArchive& archive, T& object) {
    releasedCall([&] { archive || object; });
    if (archive.remaining() != 0) raise("ArchiveError", "unexpected bytes after the stored tool");
}

// The same from archive bytes.
template <class T>
void loadBytes(const py::bytes& data, T& object) {
    const std::string_view bytes(data);
    vkArchive archive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    loadWhole(archive, object);
}

// A copy of the normalizer inside an _imgnorm._Tool (N = vkImageNormalizer)
// or _DeepTool (vkDeepImageNormalizer), TypeError for anything else, taken
// under the tool's lock.
template <class N>
N normalizerOf(py::handle tool);

// Parts of the module.
void bindErrors(py::module_& m);
void bindCalls(py::module_& m);
void bindTool(py::module_& m);
void bindFunctions(py::module_& m);
void bindGain(py::module_& m);
void bindFlatField(py::module_& m);

}  // namespace imgnorm_py
