#pragma once

#include <QString>

class QLibrary;

namespace Platform {

// Loads into `library` the shared library `name` (without "lib" or a
// suffix) whose ABI has the major version `version`, under this system's
// file name for it: libname.so.1 on Linux and the other ELF systems,
// libname.1.dylib on macOS; on Windows, where each distribution names its
// DLLs its own way, libname-1.dll, name.dll or libname.dll. False, with the
// reason, when it cannot be loaded.
bool loadSharedLibrary(QLibrary &library, const char *name, int version, QString *error);

} // namespace Platform
