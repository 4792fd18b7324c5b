#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>

// Scratch files of the fuzz entry points: one directory per process, reused
// for every input.
namespace fuzz {

inline const QTemporaryDir &scratch()
{
    static const QTemporaryDir dir;
    return dir;
}

inline bool writeFile(const QString &path, const char *data, std::size_t size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            f.write(data, qint64(size)) == qint64(size);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace fuzz
