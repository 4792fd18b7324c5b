#include "signals.h"

#include <csignal>

#ifdef QUORVIA_POSIX
#    include <signal.h>
#endif

namespace Platform {

void catchSignal(int signal, void (*handler)(int))
{
#ifdef QUORVIA_POSIX
    // Without SA_RESTART.
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
#else
    std::signal(signal, handler);
#endif
}

void ignoreFileSizeLimitSignal()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace Platform
