#include "threads.hpp"

namespace termloom::py {
namespace {

// The innermost release on this thread, for the interrupt check.
thread_local LockReleased* current_release = nullptr;

// A thread stopped at shutdown leaves these frames by pthread_exit's forced
// unwinding, which AddressSanitizer does not follow: the stack guards of an
// instrumented frame would stay behind and be misread as an overflow by the
// next call made on that stack. So the frames that take the lock back carry
// no guards.
#define TAKES_LOCK_BACK __attribute__((no_sanitize("address")))

}  // namespace

LockReleased::LockReleased() : state_(PyEval_SaveThread()), outer_(current_release) {
    current_release = this;
}

LockReleased::~LockReleased() {
    current_release = outer_;
    // An exception left the scope with the lock released; take it back for
    // the code that handles it.
    if (state_) PyEval_RestoreThread(std::exchange(state_, nullptr));
}

TAKES_LOCK_BACK void LockReleased::take_back() {
    current_release = outer_;
    PyEval_RestoreThread(std::exchange(state_, nullptr));
}

TAKES_LOCK_BACK bool LockReleased::signal_handler_raised() {
    PyEval_RestoreThread(std::exchange(state_, nullptr));
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
}

TAKES_LOCK_BACK void LockReleased::holding_lock(void (*body)(void*), void* context) {
    PyEval_RestoreThread(std::exchange(state_, nullptr));
    body(context);
    state_ = PyEval_SaveThread();
}

TAKES_LOCK_BACK void with_interpreter_lock(void (*body)(void*), void* context) {
    if (current_release) {
        current_release->holding_lock(body, context);
    } else {
        body(context);
    }
}

TAKES_LOCK_BACK bool python_wants_to_stop() {
    if (current_release) return current_release->signal_handler_raised();
    return PyErr_CheckSignals() != 0;
}

}  // namespace termloom::py
