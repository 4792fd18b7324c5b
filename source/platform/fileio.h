#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

class QFile;
class QFileDevice;
class QIODevice;

// Opening sources, and reading and writing at a given offset of a file.
namespace Platform {

// Opens `fileName` for reading if it is a regular file. A FIFO or a device
// is refused without waiting for a writer or for the device to answer. Null
// on failure, with `*notRegular` set when the name is there but is not a
// regular file, and otherwise the system's reason in `*error`.
std::unique_ptr<QFile> openRegularFile(const QString &fileName, bool *notRegular, QString *error);

// A second file open for reading on what `file` reads, for a reader on
// another thread: where the system allows, a duplicate of its handle, which
// reaches the very file even when its name has been taken by another since;
// elsewhere the file opened again by its name. Null, with the reason, on
// failure.
std::unique_ptr<QFile> openAgainForReading(const QFileDevice *file, QString *error);

// True when `device` is an open file that readAt() reads without moving its
// position, so that readers of one open file, or of a duplicate from
// openAgainForReading() (which shares the position), never disturb one
// another. False for other devices, and for every file where the system
// cannot: those are read after a seek, each reader with a device of its own
// (which openAgainForReading() gives there).
bool readsInPlace(QIODevice *device);

// Reads up to `n` bytes at offset `at` of `file` in one request: fewer
// where the file ends or the system gave fewer (the caller asks again for
// the rest), 0 at the end, -1 with the reason on a read error. The file's
// position stays where it was when readsInPlace() is true.
qint64 readAt(QFileDevice *file, qint64 at, char *bytes, qint64 n, QString *error);

// Whether writeAt() can write `file`: false where the system has no writes
// at an offset that leave the position alone.
bool writesAt(QFileDevice *file);

// Writes the `n` bytes at offset `at` of `file` without moving its
// position, so that another writer can go on at the position from another
// thread. False, with the reason, on failure.
bool writeAt(QFileDevice *file, qint64 at, const char *bytes, qint64 n, QString *error);

} // namespace Platform
