#pragma once

#include <QStringList>

namespace Platform {

// The file names that the shared library `name` (without "lib" or a
// suffix) goes by on this system, the likeliest first, for the ABI of major
// version `version`: libname.so.1 on Linux and the other ELF systems,
// libname.1.dylib on macOS, and on Windows, where each distribution names
// its DLLs its own way, libname-1.dll, name.dll and libname.dll.
QStringList sharedLibraryFileNames(const char *name, int version);

} // namespace Platform
