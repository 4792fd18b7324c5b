#include "libraryname.h"

namespace Platform {

QStringList sharedLibraryFileNames(const char *name, int version)
{
    const QString base = QString::fromLatin1(name);
    const QString major = QString::number(version);
#if defined(QUORVIA_WINDOWS_LIBRARIES)
    return {QStringLiteral("lib%1-%2.dll").arg(base, major), base + QStringLiteral(".dll"),
            QStringLiteral("lib%1.dll").arg(base)};
#elif defined(QUORVIA_APPLE_LIBRARIES)
    return {QStringLiteral("lib%1.%2.dylib").arg(base, major)};
#else
    return {QStringLiteral("lib%1.so.%2").arg(base, major)};
#endif
}

} // namespace Platform
