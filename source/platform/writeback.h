#pragma once

#include <QtGlobal>

class QFileDevice;

// Hints to the system about a file being written. Each is only a request: a
// refusal (another system, a device without write-back) changes nothing but
// the time taken, and write errors still surface when the file is finished.
namespace Platform {

// Asks the system to start moving `length` bytes from offset `from` of
// `file` to the disk now, without waiting for it, so that the flush that
// precedes replacing a destination finds little left to do.
void startWriteBack(QFileDevice *file, qint64 from, qint64 length);

// Reserves room for `bytes` of `file` on its disk ahead of the writes. A
// file that will not fit in the free space is not reserved: the system
// would fill the disk for every other program before refusing, and the
// writes fail on their own when the space runs out.
void reserveSpace(QFileDevice *file, qint64 bytes);

} // namespace Platform
