// The _imgnorm extension module: the private layer under the imgnorm package.
#include "binding.h"

PYBIND11_MODULE(_imgnorm, m) {
    m.doc() =
        "The library's tool and pixel functions on numpy arrays (private: use the imgnorm "
        "package).";
    imgnorm_py::bindErrors(m);
    imgnorm_py::bindCalls(m);
    imgnorm_py::bindTool(m);
    imgnorm_py::bindFunctions(m);
    imgnorm_py::bindGain(m);
    imgnorm_py::bindFlatField(m);
}
