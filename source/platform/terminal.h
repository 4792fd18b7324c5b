#pragma once

namespace Platform {

// True when the program's standard error is a terminal, where a progress
// bar that redraws itself can be shown. False where that cannot be told.
bool standardErrorIsTerminal();

} // namespace Platform
