// What the parts of the _imgnorm extension share: array conversions, the
// call wrapper that releases the GIL, and raising the package's exceptions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

#include <imgnorm/attention.h>
#include <imgnorm/normalizer.h>
#include <imgnorm/pelbuffer.h>

namespace imgnorm_py {

namespace py = pybind11;

// Array conversions ---------------------------------------------------------

// The object as a 2-D image array for the argument named what: TypeError
// unless it is a numpy array of uint8 (or bool where allowBool), ValueError
// unless it has two dimensions, both non-zero and below 2^31.
py::array checkedImage(py::handle obj, const char* what, bool allowBool = false);

// A buffer over a checked array's pixels, window (0, 0, width, height). The
// pixels are viewed in place when each row is contiguous and rows lie a
// positive whole number of pixels apart (img[10:, 5:], img[::2]); other
// layouts (img[:, ::2], reversed or broadcast axes, unaligned data) are viewed
// in a compact copy. The buffer keeps the array alive.
vkPelBuffer_const<std::uint8_t> viewOf(const py::array& image);

// checkedImage then viewOf; None gives an unbound buffer where allowNone.
vkPelBuffer_const<std::uint8_t> imageArg(py::handle obj, const char* what, bool allowNone = false,
                                         bool allowBool = false);

// An array of the buffer's window sharing its pixels (no copy); the array
// keeps the pixels alive. An unbound buffer gives a (0, 0) array. writeable
// false makes the array read-only (for pixels the library keeps).
py::array toArray(const vkPelBuffer_const<std::uint8_t>& buffer, bool writeable);

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

// A copy of the vkImageNormalizer inside an _imgnorm._Tool (TypeError for
// anything else), taken under the tool's lock.
vkImageNormalizer normalizerOf(py::handle tool);

// Parts of the module.
void bindErrors(py::module_& m);
void bindCalls(py::module_& m);
void bindTool(py::module_& m);
void bindFunctions(py::module_& m);
void bindGain(py::module_& m);

}  // namespace imgnorm_py
