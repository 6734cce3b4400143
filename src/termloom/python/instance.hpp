// Memory layout of every termloom object and the access that calls take.
#pragma once

#include <utility>

#include "python.hpp"

namespace termloom::py {

// Admits any number of shared accesses or one exclusive access. Calls run
// tmux with the interpreter lock released, so another thread may reach the
// same object meanwhile: it waits until the conflicting access ends. A
// waiting exclusive access goes first: new shared accesses wait behind it,
// so readers in a loop can't keep a rename out. On the thread that holds
// the access (a signal handler that runs while a call waits for tmux) a
// conflicting access fails instead, as it could never be granted.
// The state is guarded by one process-wide mutex (see access.cpp).
struct AccessGuard {
    int count = 0;             // > 0 shared holders, -1 exclusive
    int exclusive_waiting = 0;
    // The counts are those of this fork generation of the process; in a
    // forked child, the accesses of the parent's other threads are gone.
    unsigned generation = 0;
};

struct InstanceHeader {
    PyObject_HEAD
    AccessGuard guard;
    // Set once the value behind the object is constructed. An object made by
    // a replaced __new__ (object.__new__) has zeroed memory and no value.
    bool built;
};

template <class T>
struct Instance : InstanceHeader {
    T value;
};

template <class T>
T& value_of(InstanceHeader* header) {
    return static_cast<Instance<T>*>(header)->value;
}

inline InstanceHeader* header_of(PyObject* object) {
    return reinterpret_cast<InstanceHeader*>(object);
}

// Access to an instance for the length of a scope. `held()` is false, with a
// Python exception set, when the object has no value, when the access
// conflicts with one this thread holds, or when a signal handler raised while
// waiting for another thread's access to end.
class ScopedAccess {
   public:
    enum class Mode { Shared, Exclusive };

    ScopedAccess(InstanceHeader* header, Mode mode);
    ~ScopedAccess();
    ScopedAccess(const ScopedAccess&) = delete;
    ScopedAccess& operator=(const ScopedAccess&) = delete;
    bool held() const { return header_ != nullptr; }

   private:
    InstanceHeader* header_;
    Mode mode_;
};

}  // namespace termloom::py
