#include "fileio.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#ifdef QUORVIA_POSIX
#    include <cerrno>
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace Platform {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

} // namespace

#ifdef QUORVIA_POSIX

std::unique_ptr<QFile> openRegularFile(const QString &fileName, bool *notRegular, QString *error)
{
    *notRegular = false;
    // Opening a FIFO for reading waits for a writer, and a device may never
    // answer: open without waiting, then take nothing but a regular file.
    const int fd = ::open(QFile::encodeName(fileName).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = qt_error_string(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *notRegular = true;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto file = std::make_unique<QFile>(fileName);
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file->errorString();
        return nullptr;
    }
    return file;
}

std::unique_ptr<QFile> openAgainForReading(const QFileDevice *file, QString *error)
{
    auto copy = std::make_unique<QFile>();
    const int fd = ::fcntl(file->handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *error = qt_error_string(errno);
        return nullptr;
    }
    if (!copy->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        *error = copy->errorString();
        ::close(fd);
        return nullptr;
    }
    return copy;
}

bool readsInPlace(QIODevice *device)
{
    const auto *file = qobject_cast<QFileDevice *>(device);
    return file && file->handle() >= 0;
}

qint64 readAt(QFileDevice *file, qint64 at, char *bytes, qint64 n, QString *error)
{
    ssize_t got;
    do
        got = ::pread(file->handle(), bytes, size_t(n), off_t(at));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        *error = qt_error_string(errno);
    return got;
}

bool writesAt(QFileDevice *file)
{
    return file->handle() >= 0;
}

bool writeAt(QFileDevice *file, qint64 at, const char *bytes, qint64 n, QString *error)
{
    for (qint64 done = 0; done < n;) {
        const ssize_t put = ::pwrite(file->handle(), bytes + done, size_t(n - done), at + done);
        if (put <= 0) {
            *error = put < 0 ? qt_error_string(errno) : tr("write failed");
            return false;
        }
        done += put;
    }
    return true;
}

#else

std::unique_ptr<QFile> openRegularFile(const QString &fileName, bool *notRegular, QString *error)
{
    *notRegular = QFileInfo::exists(fileName) && !QFileInfo(fileName).isFile();
    if (*notRegular)
        return nullptr;
    auto file = std::make_unique<QFile>(fileName);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = file->errorString();
        return nullptr;
    }
    return file;
}

std::unique_ptr<QFile> openAgainForReading(const QFileDevice *file, QString *error)
{
    auto copy = std::make_unique<QFile>(file->fileName());
    if (!copy->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = copy->errorString();
        return nullptr;
    }
    return copy;
}

bool readsInPlace(QIODevice *)
{
    return false;
}

// Not called, since readsInPlace() is false.
qint64 readAt(QFileDevice *, qint64, char *, qint64, QString *error)
{
    *error = tr("read failed");
    return -1;
}

bool writesAt(QFileDevice *)
{
    return false;
}

bool writeAt(QFileDevice *, qint64, const char *, qint64, QString *error)
{
    *error = tr("write failed");
    return false;
}

#endif

} // namespace Platform
