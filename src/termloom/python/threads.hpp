// Running C++ work with the interpreter lock released.
//
// Operations spend nearly all their time waiting for tmux; other Python
// threads run meanwhile. The runner's interrupt check takes the lock back
// briefly to run signal handlers on the thread that released it.
//
// Taking the lock back can end the calling thread: while the interpreter
// shuts down, a daemon thread that asks for the lock is stopped with
// pthread_exit, which unwinds the C++ frames. So the lock is taken back
// outside destructors, and a release whose lock is being taken back is not
// taken back a second time while that unwinding runs.
#pragma once

#include <utility>

#include "python.hpp"

namespace termloom::py {

// Releases the interpreter lock until take_back(), or until destroyed when
// an exception leaves the scope first. Nothing inside may touch Python.
class LockReleased {
   public:
    LockReleased();
    ~LockReleased();
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    void take_back();

    // Takes the lock back, runs Python's signal handlers and releases it
    // again; true when a handler raised (its exception stays pending).
    bool signal_handler_raised();

    // Takes the lock back, runs `body(context)` and releases it again.
    void holding_lock(void (*body)(void*), void* context);

   private:
    PyThreadState* state_;  // null while the lock is held, or being taken back
    LockReleased* outer_;
};

template <class Body>
auto without_interpreter_lock(Body&& body) {
    LockReleased released;
    auto result = std::forward<Body>(body)();
    released.take_back();
    return result;
}

// Runs `body` holding the interpreter lock: taken back for the call when
// this thread released it. For Python code called from inside a wait.
void with_interpreter_lock(void (*body)(void*), void* context);

template <class Body>
void with_interpreter_lock(Body& body) {
    with_interpreter_lock([](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

// The runner's interrupt check: runs Python's signal handlers, taking the
// interpreter lock back first if this thread released it.
bool python_wants_to_stop();

}  // namespace termloom::py
