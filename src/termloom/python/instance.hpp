// Memory layout of every termloom object and its access guard.
#pragma once

#include <utility>

#include "python.hpp"

namespace termloom::py {

// Admits any number of shared accesses or one exclusive access. The
// interpreter lock already serialises calls; the guard catches re-entry, for
// instance from a signal handler that runs while an operation waits for tmux.
class AccessGuard {
   public:
    bool try_share() {
        if (count_ < 0) return false;
        ++count_;
        return true;
    }
    bool try_exclusive() {
        if (count_ != 0) return false;
        count_ = -1;
        return true;
    }
    void release_shared() { --count_; }
    void release_exclusive() { count_ = 0; }

   private:
    int count_ = 0;  // > 0 shared holders, -1 exclusive
};

struct InstanceHeader {
    PyObject_HEAD
    AccessGuard guard;
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
// Python RuntimeError set, when the guard refused it.
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
