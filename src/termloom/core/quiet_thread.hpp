// A thread of this process with every signal blocked, so that none is
// delivered to it instead of to the host's own threads (which run the
// host's signal handlers). Throws std::system_error, as std::thread does,
// when it cannot be started.
#pragma once

#include <csignal>
#include <thread>
#include <utility>

namespace termloom {

template <class Body>
std::thread quiet_thread(Body&& body) {
    sigset_t all, old;
    ::sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &old);  // the new thread inherits the mask
    struct Restore {
        sigset_t mask;
        ~Restore() { ::sigprocmask(SIG_SETMASK, &mask, nullptr); }
    } restore{old};
    return std::thread(std::forward<Body>(body));
}

}  // namespace termloom
