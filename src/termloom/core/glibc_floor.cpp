// Wrappers that keep the static C++ runtime's references to glibc at 2.28.
//
// The link redirects the runtime's calls of these symbols to __wrap_NAME
// (-Wl,--wrap=NAME, see CMakeLists.txt). glibc 2.34 moved the pthread
// functions into libc under a new version; their first version is still
// there, so the wrappers call that one. The functions glibc added after
// 2.28 are looked up at run time, with a fallback where they are missing.
#include "glibc_floor.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

// The version every glibc symbol of the architecture started at.
#if defined(__x86_64__)
#define TERMLOOM_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__) || defined(__powerpc64__)
#define TERMLOOM_GLIBC_FIRST "GLIBC_2.17"
#endif

#if defined(TERMLOOM_GLIBC_FIRST) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
// Built on glibc 2.34+: name the first version of each function explicitly.
#define FIRST_VERSION_OF(name) \
    __asm__(".symver termloom_first_" #name ", " #name "@" TERMLOOM_GLIBC_FIRST)
#define CALL_FIRST(name) termloom_first_##name
#else
// An older glibc links its own first versions anyway.
#define FIRST_VERSION_OF(name)
#define CALL_FIRST(name) __real_##name
#endif

extern "C" {

int CALL_FIRST(pthread_key_create)(pthread_key_t*, void (*)(void*));
int CALL_FIRST(pthread_key_delete)(pthread_key_t);
void* CALL_FIRST(pthread_getspecific)(pthread_key_t);
int CALL_FIRST(pthread_setspecific)(pthread_key_t, const void*);
int CALL_FIRST(pthread_once)(pthread_once_t*, void (*)());
int CALL_FIRST(pthread_rwlock_rdlock)(pthread_rwlock_t*);
int CALL_FIRST(pthread_rwlock_wrlock)(pthread_rwlock_t*);
int CALL_FIRST(pthread_rwlock_unlock)(pthread_rwlock_t*);
void* CALL_FIRST(dlsym)(void*, const char*);
int CALL_FIRST(pthread_create)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int CALL_FIRST(pthread_detach)(pthread_t);
int CALL_FIRST(pthread_join)(pthread_t, void**);
FIRST_VERSION_OF(pthread_create);
FIRST_VERSION_OF(pthread_detach);
FIRST_VERSION_OF(pthread_join);
FIRST_VERSION_OF(pthread_key_create);
FIRST_VERSION_OF(pthread_key_delete);
FIRST_VERSION_OF(pthread_getspecific);
FIRST_VERSION_OF(pthread_setspecific);
FIRST_VERSION_OF(pthread_once);
FIRST_VERSION_OF(pthread_rwlock_rdlock);
FIRST_VERSION_OF(pthread_rwlock_wrlock);
FIRST_VERSION_OF(pthread_rwlock_unlock);
FIRST_VERSION_OF(dlsym);

// std::thread, for the thread that reads the panes' output streams.
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* argument) {
    return CALL_FIRST(pthread_create)(thread, attr, start, argument);
}
int __wrap_pthread_detach(pthread_t thread) { return CALL_FIRST(pthread_detach)(thread); }
int __wrap_pthread_join(pthread_t thread, void** result) {
    return CALL_FIRST(pthread_join)(thread, result);
}

int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return CALL_FIRST(pthread_key_create)(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return CALL_FIRST(pthread_key_delete)(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) {
    return CALL_FIRST(pthread_getspecific)(key);
}
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return CALL_FIRST(pthread_setspecific)(key, value);
}
int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return CALL_FIRST(pthread_once)(once, init);
}
int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    return CALL_FIRST(pthread_rwlock_rdlock)(lock);
}
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    return CALL_FIRST(pthread_rwlock_wrlock)(lock);
}
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) {
    return CALL_FIRST(pthread_rwlock_unlock)(lock);
}

// glibc 2.32 tells the runtime here that no second thread was ever started,
// so that it may skip atomic operations. Never claiming so is always safe.
char __wrap___libc_single_threaded = 0;

// glibc 2.30. The fallback waits on the condition's own (realtime) clock
// for the same span, as the C++ runtime itself does without this function;
// its callers check their clock again after a timeout.
int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const timespec* deadline) {
    using ClockWait = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
    static const auto clockwait =
        reinterpret_cast<ClockWait>(termloom::newer_glibc_function("pthread_cond_clockwait"));
    if (clockwait != nullptr) return clockwait(cond, mutex, clock, deadline);
    if (clock == CLOCK_REALTIME) return ::pthread_cond_timedwait(cond, mutex, deadline);
    timespec now{}, real{};
    ::clock_gettime(clock, &now);
    ::clock_gettime(CLOCK_REALTIME, &real);
    constexpr long second = 1'000'000'000;
    long long left = (deadline->tv_sec - now.tv_sec) * second + (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    long long until = real.tv_sec * second + real.tv_nsec + left;
    timespec real_deadline{static_cast<time_t>(until / second), static_cast<long>(until % second)};
    return ::pthread_cond_timedwait(cond, mutex, &real_deadline);
}

// glibc 2.36; only std::random_device asks for it (termloom never makes
// one). getentropy (2.25) draws from the same kernel source.
std::uint32_t __wrap_arc4random() {
    std::uint32_t value = 0;
    while (::getentropy(&value, sizeof value) != 0) {
        if (errno == EINTR) continue;
        // A kernel without getrandom: the device it reads from.
        int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        bool read_all = fd >= 0 && ::read(fd, &value, sizeof value) == sizeof value;
        if (fd >= 0) ::close(fd);
        if (!read_all) std::abort();  // arc4random has no way to fail
        break;
    }
    return value;
}

}  // extern "C"

namespace termloom {

void* newer_glibc_function(const char* name) { return CALL_FIRST(dlsym)(RTLD_DEFAULT, name); }

}  // namespace termloom
