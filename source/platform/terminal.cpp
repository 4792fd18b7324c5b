#include "terminal.h"

#ifdef QUORVIA_POSIX
#    include <unistd.h>
#endif

namespace Platform {

bool standardErrorIsTerminal()
{
#ifdef QUORVIA_POSIX
    return ::isatty(STDERR_FILENO);
#else
    return false;
#endif
}

} // namespace Platform
