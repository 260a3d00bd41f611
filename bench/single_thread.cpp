// Linked into every benchmark program but threads_bench: the library runs on
// the calling thread alone, so that the CPU time of that thread, which the
// programs report and compare, is all the time an operation takes. An
// explicit IMGNORM_NUM_THREADS still holds.
#include <cstdlib>

#include "imgnorm/threads.h"

namespace {

const bool kSingleThread = [] {
    if (std::getenv("IMGNORM_NUM_THREADS") == nullptr) vfSetNumThreads(1);
    return true;
}();

}  // namespace
