#include "sharedlibrary.h"

#include <QLibrary>

namespace Platform {

bool loadSharedLibrary(QLibrary &library, const char *name, int version, QString *error)
{
    const QString base = QString::fromLatin1(name);
#ifdef QUORVIA_WINDOWS_LIBRARIES
    const QString major = QString::number(version);
    for (const QString &fileName :
         {QStringLiteral("lib%1-%2.dll").arg(base, major), base + QStringLiteral(".dll"),
          QStringLiteral("lib%1.dll").arg(base)}) {
        library.setFileName(fileName);
        if (library.load())
            return true;
        if (error->isEmpty())
            *error = library.errorString();
    }
    return false;
#else
    // The toolkit forms the name from these (and looks for it first):
    // lib + name + .so.version, or lib + name + .version.dylib.
    library.setFileNameAndVersion(base, version);
    if (library.load())
        return true;
    *error = library.errorString();
    return false;
#endif
}

} // namespace Platform
