// The library's exceptions as the package's exception classes (defined in
// imgnorm._types), and a test hook that throws each library kind.
#include <string>

#include <imgnorm/archive.h>
#include <imgnorm/attention.h>
#include <imgnorm/errors.h>
#include <imgnorm/exception.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

py::handle errorClass(const char* name) {
    // The classes live as long as the interpreter: borrowed from a module
    // that is never unloaded.
    static py::handle types = py::module_::import("imgnorm._types").release();
    return types.attr(name);
}

void setError(const char* name, const char* message) {
    PyErr_SetString(errorClass(name).ptr(), message);
}

void translate(std::exception_ptr error) {
    using namespace vkImageNormalizerDefs;
    try {
        std::rethrow_exception(error);
    } catch (const BadImage& e) {
        setError("BadImage", e.what());
    } catch (const BadParams& e) {
        setError("BadParams", e.what());
    } catch (const NotTrained& e) {
        setError("NotTrained", e.what());
    } catch (const CanNotTrain& e) {
        setError("CanNotTrain", e.what());
    } catch (const CanNotRun& e) {
        setError("CanNotRun", e.what());
    } catch (const NotImplemented& e) {
        setError("MethodNotImplemented", e.what());
    } catch (const vkPelFunc::BadParams& e) {
        setError("BadParams", e.what());
    } catch (const vkPel::BadWindow& e) {
        setError("BadWindow", e.what());
    } catch (const vkPel::UnboundWindow& e) {
        setError("BadWindow", e.what());
    } catch (const vkArchive::UnknownVersion& e) {
        setError("UnknownVersion", e.what());
    } catch (const vkArchive::Corrupt& e) {
        setError("ArchiveError", e.what());
    } catch (const vkArchive::UnknownClass& e) {
        setError("ArchiveError", e.what());
    } catch (const vkArchive::FileError& e) {
        setError("FileError", e.what());
    } catch (const vkAttention::Cancelled& e) {
        setError("Cancelled", e.what());
    } catch (const vkAssertionFailure& e) {
        setError("InternalError", e.what());
    } catch (const vkBadPointer& e) {
        setError("InternalError", e.what());
    } catch (const vkException& e) {
        setError("Error", e.what());
    }
}

// Throws the library exception named kind, for the tests of the mapping.
void throwForTest(const std::string& kind, const std::string& message) {
    using namespace vkImageNormalizerDefs;
    if (kind == "BadImage") throw BadImage(message);
    if (kind == "BadParams") throw BadParams(message);
    if (kind == "NotTrained") throw NotTrained(message);
    if (kind == "CanNotTrain") throw CanNotTrain(message);
    if (kind == "CanNotRun") throw CanNotRun(message);
    if (kind == "NotImplemented") throw NotImplemented(message);
    if (kind == "vkPelFunc::BadParams") throw vkPelFunc::BadParams(message);
    if (kind == "vkPel::BadWindow") throw vkPel::BadWindow(message);
    if (kind == "vkPel::UnboundWindow") throw vkPel::UnboundWindow(message);
    if (kind == "vkArchive::UnknownVersion") throw vkArchive::UnknownVersion(message);
    if (kind == "vkArchive::Corrupt") throw vkArchive::Corrupt(message);
    if (kind == "vkArchive::UnknownClass") throw vkArchive::UnknownClass(message);
    if (kind == "vkArchive::FileError") throw vkArchive::FileError(message);
    if (kind == "vkAttention::Cancelled") throw vkAttention::Cancelled(message);
    if (kind == "vkAssertionFailure") throw vkAssertionFailure(message);
    if (kind == "vkBadPointer") throw vkBadPointer(message);
    throw py::value_error("unknown kind " + kind);
}

}  // namespace

void raise(const char* name, const std::string& message) {
    setError(name, message.c_str());
    throw py::error_already_set();
}

void bindErrors(py::module_& m) {
    py::register_exception_translator(translate);
    m.def("_throw_for_test", &throwForTest);
}

}  // namespace imgnorm_py
