#pragma once

#include "wave/frame.h"
#include "wave/waveheader.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstring>
#include <vector>

// Small helpers shared by the WAVE file tests: build files byte by byte and
// run the independent tools that check them.
namespace wavetest {

inline QByteArray le16(quint16 v)
{
    char b[2];
    writeLe16(b, v);
    return QByteArray(b, 2);
}

inline QByteArray le32(quint32 v)
{
    char b[4];
    writeLe32(b, v);
    return QByteArray(b, 4);
}

inline QByteArray le64(double v)
{
    quint64 u;
    std::memcpy(&u, &v, 8);
    return le32(quint32(u)) + le32(quint32(u >> 32));
}

// A canonical 44-byte header with the given fields.
inline QByteArray canonicalHeader(quint16 bits, quint16 channels, quint32 rate, quint32 dataSize,
                                  quint16 format = 1)
{
    const quint16 align = quint16(channels * (bits / 8));
    return "RIFF" + le32(dataSize + 36) + "WAVEfmt " + le32(16) + le16(format) + le16(channels) +
            le32(rate) + le32(rate * align) + le16(align) + le16(bits) + "data" + le32(dataSize);
}

inline QByteArray brinmoorBytes(const std::vector<Frame> &frames, quint32 rate = 39062)
{
    QByteArray data;
    for (const Frame &f : frames)
        data += le64(f.left) + le64(f.right);
    QByteArray h = canonicalHeader(32, 2, rate, quint32(frames.size() * 8));
    h.replace(4, 4, le32(quint32(frames.size() * 8 + 40)));
    return h + data;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs a tool to completion; its standard output, or a null array when it
// could not run or failed.
inline QByteArray runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    QByteArray out = p.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

inline std::vector<qint32> int32Samples(const QByteArray &bytes)
{
    std::vector<qint32> v(size_t(bytes.size() / 4));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = qint32(readLe32(bytes.constData() + 4 * i));
    return v;
}

inline quint64 bitsOf(double x)
{
    quint64 u;
    std::memcpy(&u, &x, 8);
    return u;
}

} // namespace wavetest

// Compares doubles bit for bit (QCOMPARE on doubles is fuzzy), printing both.
#define COMPARE_EXACT(actual, expected) \
    QVERIFY2(wavetest::bitsOf(actual) == wavetest::bitsOf(expected), \
             qPrintable(QStringLiteral("%1 != %2") \
                                .arg(double(actual), 0, 'g', 17) \
                                .arg(double(expected), 0, 'g', 17)))
