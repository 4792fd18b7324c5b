#pragma once

namespace Platform {

// Calls `handler` with the signal's number when `signal` (SIGINT, SIGTERM)
// comes, instead of ending the program. Where the system allows, a system
// call that is waiting when it comes returns at once rather than starting
// again, so that the program notices the signal promptly.
void catchSignal(int signal, void (*handler)(int));

// Makes a write beyond the file-size limit fail like any other write
// instead of ending the program, which would leave its temporary file
// behind. Nothing to do where there is no such signal.
void ignoreFileSizeLimitSignal();

} // namespace Platform
