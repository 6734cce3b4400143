#include "threads.hpp"

namespace termloom::py {
namespace {

// The innermost release on this thread, for the interrupt check.
thread_local LockReleased* current_release = nullptr;

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

void LockReleased::take_back() {
    current_release = outer_;
    PyEval_RestoreThread(std::exchange(state_, nullptr));
}

bool LockReleased::signal_handler_raised() {
    PyEval_RestoreThread(std::exchange(state_, nullptr));
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
}

bool python_wants_to_stop() {
    if (current_release) return current_release->signal_handler_raised();
    return PyErr_CheckSignals() != 0;
}

}  // namespace termloom::py
