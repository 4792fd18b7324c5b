#include "fileidentity.h"

#include <QFile>
#include <QString>

#ifdef QUORVIA_POSIX
#    include <sys/stat.h>
#endif

namespace Platform {

bool oneFileOnDisk(const QString &a, const QString &b)
{
#ifdef QUORVIA_POSIX
    struct stat statA;
    struct stat statB;
    if (::stat(QFile::encodeName(a).constData(), &statA) != 0 ||
        ::stat(QFile::encodeName(b).constData(), &statB) != 0)
        return false;
    return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
#else
    Q_UNUSED(a);
    Q_UNUSED(b);
    return false;
#endif
}

} // namespace Platform
