// Library calls without the GIL, and Ctrl-C on the main thread turned into
// the library's cancellation.
#include <signal.h>

#include <atomic>

#include "binding.h"

namespace imgnorm_py {

namespace {

// The main thread's cancellation token: created once and never destroyed, so
// that a SIGINT arriving on any thread can always reach it.
vkAttention::Token* gToken = nullptr;
unsigned long gMainThread = 0;
struct sigaction gPrevious;

// Cancels the main thread's call, then hands the signal to the handler that
// was there before (Python's), which makes the interpreter run the Python
// handler on return. Only async-signal-safe work: an atomic store and a call.
extern "C" void onInterrupt(int signal, siginfo_t* info, void* context) {
    gToken->cancel();
    if ((gPrevious.sa_flags & SA_SIGINFO) != 0)
        gPrevious.sa_sigaction(signal, info, context);
    else
        gPrevious.sa_handler(signal);
}

bool isHandlerFunction(const struct sigaction& action) {
    if ((action.sa_flags & SA_SIGINFO) != 0) return action.sa_sigaction != nullptr;
    return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

}  // namespace

InterruptibleCall::InterruptibleCall() {
    if (PyThread_get_thread_ident() != gMainThread) return;
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0 || !isHandlerFunction(current)) return;
    gToken->reset();
    gPrevious = current;
    struct sigaction ours = current;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = onInterrupt;
    if (sigaction(SIGINT, &ours, nullptr) != 0) return;
    watching_ = true;
    scope_.emplace(*gToken);
}

InterruptibleCall::~InterruptibleCall() {
    if (!watching_) return;
    scope_.reset();
    sigaction(SIGINT, &gPrevious, nullptr);
}

void InterruptibleCall::cancelled() {
    if (watching_ && PyErr_CheckSignals() != 0) throw py::error_already_set();
    raise("Cancelled", "the call was cancelled");
}

void bindCalls(py::module_&) {
    gToken = new vkAttention::Token();
    gMainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

}  // namespace imgnorm_py
