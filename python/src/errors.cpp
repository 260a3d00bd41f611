// The library's exceptions as the package's exception classes (defined in
// imgnorm._types), and a test hook that throws each library kind.
#include <exception>
#include <string>
#include <type_traits>

#include <imgnorm/archive.h>
#include <imgnorm/attention.h>
#include <imgnorm/errors.h>
#include <imgnorm/exception.h>

#include "binding.h"
#include "image_io.h"

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

// One C++ exception type, the name the test hook knows it by, and the
// package class it becomes.
struct Kind {
    const char* name;
    const char* pythonClass;
    // Sets the Python error when the exception is of this type.
    bool (*translated)(const std::exception_ptr& error, const char* pythonClass);
    void (*thrown)(const std::string& message);
};

template <class E>
constexpr Kind kind(const char* name, const char* pythonClass) {
    return {name, pythonClass,
            [](const std::exception_ptr& error, const char* cls) {
                try {
                    std::rethrow_exception(error);
                } catch (const E& e) {
                    setError(cls, e.what());
                    return true;
                } catch (...) {
                    return false;
                }
            },
            [](const std::string& message) {
                if constexpr (std::is_constructible_v<E, const std::string&>)
                    throw E(message);
                else
                    throw E("file", message);  // a path and a reason
            }};
}

// Derived types before their bases: the first match wins.
const Kind kKinds[] = {
    kind<vkImageNormalizerDefs::BadImage>("BadImage", "BadImage"),
    kind<vkImageNormalizerDefs::BadParams>("BadParams", "BadParams"),
    kind<vkImageNormalizerDefs::NotTrained>("NotTrained", "NotTrained"),
    kind<vkImageNormalizerDefs::CanNotTrain>("CanNotTrain", "CanNotTrain"),
    kind<vkImageNormalizerDefs::CanNotRun>("CanNotRun", "CanNotRun"),
    kind<vkImageNormalizerDefs::NotImplemented>("NotImplemented", "MethodNotImplemented"),
    kind<vkPelFunc::BadParams>("vkPelFunc::BadParams", "BadParams"),
    kind<vkPel::BadWindow>("vkPel::BadWindow", "BadWindow"),
    kind<vkPel::UnboundWindow>("vkPel::UnboundWindow", "BadWindow"),
    kind<vkArchive::UnknownVersion>("vkArchive::UnknownVersion", "UnknownVersion"),
    kind<vkArchive::Corrupt>("vkArchive::Corrupt", "ArchiveError"),
    kind<vkArchive::UnknownClass>("vkArchive::UnknownClass", "ArchiveError"),
    kind<vkArchive::FileError>("vkArchive::FileError", "FileError"),
    kind<vkAttention::Cancelled>("vkAttention::Cancelled", "Cancelled"),
    kind<vkAssertionFailure>("vkAssertionFailure", "InternalError"),
    kind<vkBadPointer>("vkBadPointer", "InternalError"),
    kind<vkExceptionWithString>("vkExceptionWithString", "Error"),
    // Image files, as the command-line tool reads and writes them.
    kind<imgnorm_cli::FileError>("imgnorm_cli::FileError", "FileError"),
};

void translate(std::exception_ptr error) {
    for (const Kind& k : kKinds)
        if (k.translated(error, k.pythonClass)) return;
    // Not ours: the next translator (pybind11's own) takes it.
    std::rethrow_exception(error);
}

// Throws the exception named kind, for the tests of the mapping.
void throwForTest(const std::string& name, const std::string& message) {
    for (const Kind& k : kKinds)
        if (name == k.name) k.thrown(message);
    throw py::value_error("unknown kind " + name);
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
