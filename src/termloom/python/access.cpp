// Shared and exclusive access to an instance, across threads and forks.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <pthread.h>

#include "errors.hpp"
#include "instance.hpp"
#include "threads.hpp"

namespace termloom::py {
namespace {

// One lock for every guard: it is held only to read or change a count.
// Both live as long as the process (or are replaced in a forked child, see
// below), so a thread still running at exit never meets a destroyed one.
std::mutex* guards_mutex = new std::mutex();
std::condition_variable* access_released = new std::condition_variable();

// Counts stamped with an older generation belong to threads of a parent
// process; they are cleared on first use.
unsigned current_generation = 0;

struct Held {
    AccessGuard* guard;
    ScopedAccess::Mode mode;
};

// The guards this thread holds: a conflict with one of them can't be waited
// out, as this thread would be waiting for itself.
thread_local std::vector<Held> held_here;

bool held_by_this_thread(const AccessGuard& guard) {
    return std::any_of(held_here.begin(), held_here.end(),
                       [&](const Held& held) { return held.guard == &guard; });
}

// Under the mutex, before the counts are read.
AccessGuard& current(AccessGuard& guard) {
    if (guard.generation != current_generation) {
        guard = AccessGuard{};
        guard.generation = current_generation;
    }
    return guard;
}

// A thread that already shares the object passes waiting exclusive
// accesses: they wait for its access to end, and it would wait for them.
bool grantable(AccessGuard& guard, ScopedAccess::Mode mode) {
    current(guard);
    if (mode == ScopedAccess::Mode::Exclusive) return guard.count == 0;
    return guard.count >= 0 && (guard.exclusive_waiting == 0 || held_by_this_thread(guard));
}

void grant(AccessGuard& guard, ScopedAccess::Mode mode) {
    guard.count = mode == ScopedAccess::Mode::Shared ? guard.count + 1 : -1;
}

// Signals are looked at this often while waiting for another thread.
constexpr auto kCheckInterval = std::chrono::milliseconds(150);

// Waits, with the interpreter lock released, until the access is granted;
// false with the handler's exception pending when a signal handler raised.
bool wait_for_access(AccessGuard& guard, ScopedAccess::Mode mode) {
    const bool exclusive = mode == ScopedAccess::Mode::Exclusive;
    LockReleased released;
    std::unique_lock lock(*guards_mutex);
    if (exclusive) ++current(guard).exclusive_waiting;
    for (;;) {
        if (access_released->wait_for(lock, kCheckInterval,
                                      [&] { return grantable(guard, mode); })) {
            if (exclusive) --guard.exclusive_waiting;
            grant(guard, mode);
            lock.unlock();
            released.take_back();
            return true;
        }
        lock.unlock();
        if (released.signal_handler_raised()) {
            if (exclusive) {
                lock.lock();
                --current(guard).exclusive_waiting;
                lock.unlock();
                // Shared accesses that queued behind this one may go now.
                access_released->notify_all();
            }
            released.take_back();
            return false;
        }
        lock.lock();
    }
}

// fork() copies the mutex in whatever state another thread left it, and the
// waits of threads the child doesn't have. So the fork waits until no count
// is being changed, and the child starts with a fresh mutex and condition,
// and a new generation in which only the accesses of the forking thread
// (the child's only thread) are held.
void before_fork() { guards_mutex->lock(); }

void after_fork_in_parent() { guards_mutex->unlock(); }

void after_fork_in_child() {
    guards_mutex = new std::mutex();  // the copy stays locked, and is left alone
    access_released = new std::condition_variable();
    ++current_generation;
    for (const Held& held : held_here) current(*held.guard);
    for (const Held& held : held_here) grant(*held.guard, held.mode);
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

ScopedAccess::ScopedAccess(InstanceHeader* header, Mode mode) : header_(nullptr), mode_(mode) {
    if (!header->built) {
        raise_uninitialised(reinterpret_cast<PyObject*>(header));
        return;
    }
    AccessGuard& guard = header->guard;
    {
        std::lock_guard lock(*guards_mutex);
        if (grantable(guard, mode)) {
            grant(guard, mode);
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
    held_here.push_back(Held{&guard, mode});
}

ScopedAccess::~ScopedAccess() {
    if (!header_) return;
    AccessGuard& guard = header_->guard;
    {
        std::lock_guard lock(*guards_mutex);
        current(guard).count = mode_ == Mode::Shared ? guard.count - 1 : 0;
    }
    access_released->notify_all();
    auto mine = std::find_if(held_here.rbegin(), held_here.rend(),
                             [&](const Held& held) { return held.guard == &guard; });
    held_here.erase(std::next(mine).base());
}

}  // namespace termloom::py
