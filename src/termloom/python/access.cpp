// Shared and exclusive access to an instance, across threads.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "errors.hpp"
#include "instance.hpp"
#include "threads.hpp"

namespace termloom::py {
namespace {

// One lock for every guard: it is held only to read or change a count.
std::mutex& guards_mutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::condition_variable& access_released() {
    static auto* released = new std::condition_variable();
    return *released;
}

// The guards this thread holds: a conflict with one of them can't be waited
// out, as this thread would be waiting for itself.
thread_local std::vector<const AccessGuard*> held_here;

bool held_by_this_thread(const AccessGuard& guard) {
    return std::find(held_here.begin(), held_here.end(), &guard) != held_here.end();
}

bool grantable(const AccessGuard& guard, ScopedAccess::Mode mode) {
    return mode == ScopedAccess::Mode::Shared ? guard.count >= 0 : guard.count == 0;
}

// Signals are looked at this often while waiting for another thread.
constexpr auto kCheckInterval = std::chrono::milliseconds(150);

// Waits, with the interpreter lock released, until the access is granted;
// false with the handler's exception pending when a signal handler raised.
bool wait_for_access(AccessGuard& guard, ScopedAccess::Mode mode) {
    LockReleased released;
    std::unique_lock lock(guards_mutex());
    for (;;) {
        if (access_released().wait_for(lock, kCheckInterval,
                                       [&] { return grantable(guard, mode); })) {
            guard.count = mode == ScopedAccess::Mode::Shared ? guard.count + 1 : -1;
            lock.unlock();
            released.take_back();
            return true;
        }
        lock.unlock();
        if (released.signal_handler_raised()) {
            released.take_back();
            return false;
        }
        lock.lock();
    }
}

}  // namespace

ScopedAccess::ScopedAccess(InstanceHeader* header, Mode mode) : header_(nullptr), mode_(mode) {
    if (!header->built) {
        raise_uninitialised(reinterpret_cast<PyObject*>(header));
        return;
    }
    AccessGuard& guard = header->guard;
    {
        std::lock_guard lock(guards_mutex());
        if (grantable(guard, mode)) {
            guard.count = mode == Mode::Shared ? guard.count + 1 : -1;
            header_ = header;
        } else if (held_by_this_thread(guard)) {
            PyErr_SetString(PyExc_RuntimeError,
                            mode == Mode::Shared ? "Already mutably borrowed" : "Already borrowed");
            return;
        }
    }
    if (!header_) {
        if (!wait_for_access(guard, mode)) return;
        header_ = header;
    }
    held_here.push_back(&guard);
}

ScopedAccess::~ScopedAccess() {
    if (!header_) return;
    {
        std::lock_guard lock(guards_mutex());
        AccessGuard& guard = header_->guard;
        guard.count = mode_ == Mode::Shared ? guard.count - 1 : 0;
    }
    access_released().notify_all();
    auto mine = std::find(held_here.rbegin(), held_here.rend(), &header_->guard);
    held_here.erase(std::next(mine).base());
}

}  // namespace termloom::py
