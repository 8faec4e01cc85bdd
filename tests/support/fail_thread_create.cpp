// Preloaded into a program under test: makes its Nth thread creation fail with EAGAIN,
// N taken from TESMAR_TEST_FAIL_THREAD, as a system out of threads would.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {
std::atomic<int> created{0};
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const create_fn real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    const char *fail_at = std::getenv("TESMAR_TEST_FAIL_THREAD");
    if (fail_at != nullptr && ++created == std::atoi(fail_at))
        return EAGAIN;
    return real(thread, attr, start, arg);
}
