#pragma once

class QString;

namespace Platform {

// True when the names `a` and `b`, both there, are one file on the disk:
// one device and one inode, as hard links are. False where the system
// cannot tell; names whose canonical paths agree are one file everywhere.
bool oneFileOnDisk(const QString &a, const QString &b);

} // namespace Platform
