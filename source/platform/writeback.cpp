#include "writeback.h"

#include <QFileDevice>

#ifdef QUORVIA_LINUX_WRITEBACK
#    include <fcntl.h>
#    include <sys/statvfs.h>
#endif

namespace Platform {

#ifdef QUORVIA_LINUX_WRITEBACK

void startWriteBack(QFileDevice *file, qint64 from, qint64 length)
{
    const int fd = file->handle();
    if (fd >= 0)
        ::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
}

void reserveSpace(QFileDevice *file, qint64 bytes)
{
    constexpr qint64 keepFree = 64 << 20;
    struct statvfs space;
    if (bytes > 0 && file->handle() >= 0 && ::fstatvfs(file->handle(), &space) == 0 &&
        quint64(bytes) + keepFree <= quint64(space.f_bavail) * space.f_frsize)
        ::fallocate(file->handle(), FALLOC_FL_KEEP_SIZE, 0, bytes);
}

#else

void startWriteBack(QFileDevice *, qint64, qint64) { }

void reserveSpace(QFileDevice *, qint64) { }

#endif

} // namespace Platform
