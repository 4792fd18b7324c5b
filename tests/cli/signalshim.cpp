// Preloaded into quorvia-convert by the tests: a real signal at a moment of putting a destination
// in place that no timing from outside can hit every time. QUORVIA_TEST_SIGNAL names the signal's
// number; QUORVIA_TEST_WHEN is "before", while the destination is flushed to the disk, or "after",
// once it has been linked or renamed under its name. The calls themselves are the system's.

#include <dlfcn.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

void raiseIf(const char *moment)
{
    const char *signal = std::getenv("QUORVIA_TEST_SIGNAL");
    const char *when = std::getenv("QUORVIA_TEST_WHEN");
    if (signal && when && std::strcmp(when, moment) == 0)
        std::raise(std::atoi(signal));
}

template<class Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto call = next<int (*)(int)>("fdatasync");
    raiseIf("before");
    return call(fd);
}

extern "C" int linkat(int fromDirectory, const char *from, int toDirectory, const char *to,
                      int flags)
{
    static const auto call = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    const int result = call(fromDirectory, from, toDirectory, to, flags);
    raiseIf("after");
    return result;
}

extern "C" int rename(const char *from, const char *to)
{
    static const auto call = next<int (*)(const char *, const char *)>("rename");
    const int result = call(from, to);
    raiseIf("after");
    return result;
}
