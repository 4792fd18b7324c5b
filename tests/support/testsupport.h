#pragma once

// What the tests of several areas share: WAVE headers and the Brinmoor-WAVE
// layout built byte by byte (independently of the code under test), files,
// and the independent tools sox, soxi and ffmpeg as child processes.

#include "wave/frame.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <vector>

namespace support {

// A table test's rows: one struct each, whose `name` tags the row; the test
// takes it with QFETCH(Row, row).
template<class Row>
void rows(const std::vector<Row> &table)
{
    QTest::addColumn<Row>("row");
    for (const Row &r : table)
        QTest::newRow(qPrintable(r.name)) << r;
}

inline QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v)) + char(v >> 8);
}

inline QByteArray le32(quint32 v)
{
    return le16(quint16(v)) + le16(quint16(v >> 16));
}

inline quint64 bitsOf(double x)
{
    quint64 u;
    std::memcpy(&u, &x, 8);
    return u;
}

inline QByteArray le64(double v)
{
    const quint64 u = bitsOf(v);
    return le32(quint32(u)) + le32(quint32(u >> 32));
}

// `bytes` with `value` written over them at `at`.
inline QByteArray patched(QByteArray bytes, int at, const QByteArray &value)
{
    return bytes.replace(at, value.size(), value);
}

// A canonical 44-byte header: RIFF, a 16-byte fmt chunk, the data chunk's head.
inline QByteArray canonicalHeader(quint16 bits, quint16 channels, quint32 rate, quint32 dataSize,
                                  quint16 format = 1)
{
    const quint16 align = quint16(channels * (bits / 8));
    return "RIFF" + le32(dataSize + 36) + "WAVEfmt " + le32(16) + le16(format) + le16(channels) +
            le32(rate) + le32(rate * align) + le16(align) + le16(bits) + "data" + le32(dataSize);
}

// A Brinmoor-WAVE file: the header of 32-bit stereo PCM, whose sizes count
// 8 bytes a frame (riffSize = dataSize + 40), then binary64 pairs.
inline QByteArray brinmoorBytes(const std::vector<Frame> &frames, quint32 rate = 39062)
{
    QByteArray bytes = canonicalHeader(32, 2, rate, quint32(frames.size() * 8));
    bytes.replace(4, 4, le32(quint32(frames.size() * 8 + 40)));
    for (const Frame &f : frames)
        bytes += le64(f.left) + le64(f.right);
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Native binary64 pairs, as sox writes them with "-t f64".
inline std::vector<Frame> framesOf(const QByteArray &bytes)
{
    std::vector<Frame> frames(size_t(bytes.size()) / sizeof(Frame));
    if (!frames.empty())
        std::memcpy(frames.data(), bytes.constData(), frames.size() * sizeof(Frame));
    return frames;
}

// Where `got` and `expected` first differ by more than `tolerance` in either
// channel (NaN differs from everything), or in their length; "" if nowhere.
inline QString firstDifference(const std::vector<Frame> &got, const std::vector<Frame> &expected,
                               double tolerance = 0.0)
{
    if (got.size() != expected.size())
        return QStringLiteral("%1 frames, expected %2").arg(got.size()).arg(expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const Frame &a = got[i], &b = expected[i];
        if (!(std::abs(a.left - b.left) <= tolerance && std::abs(a.right - b.right) <= tolerance))
            return QStringLiteral("frame %1: %2 %3, expected %4 %5")
                    .arg(i)
                    .arg(a.left)
                    .arg(a.right)
                    .arg(b.left)
                    .arg(b.right);
    }
    return QString();
}

// The frames of a Brinmoor-WAVE file, or none when its header or size is
// not exactly what that layout gives for them.
inline std::vector<Frame> readBrinmoor(const QString &path)
{
    const QByteArray bytes = readFile(path);
    std::vector<Frame> frames = framesOf(bytes.mid(44));
    return bytes == brinmoorBytes(frames) ? frames : std::vector<Frame>();
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs `command` (program, then arguments) to its end: the exit code, -1
// when it did not start, crashed or timed out.
inline Run run(QStringList command)
{
    QProcess process;
    process.start(command.takeFirst(), command);
    Run result;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// A tool's standard output, or a null array when it failed.
inline QByteArray output(const QStringList &command)
{
    const Run r = run(command);
    return r.exitCode != 0 ? QByteArray() : r.out.isNull() ? QByteArray("") : r.out;
}

// Names in `dirPath` beyond `expected`, hidden ones included: what a failed
// write must not leave behind.
inline QStringList strayFiles(const QString &dirPath, const QStringList &expected = {})
{
    QStringList stray = QDir(dirPath).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                QDir::NoDotAndDotDot);
    for (const QString &name : expected)
        stray.removeAll(name);
    return stray;
}

// Every name under `dirPath`, hidden ones included, relative to it and sorted, a folder's with a
// "/" behind it: a tree to compare whole. Links are listed, not followed.
inline QString treeOf(const QString &dirPath)
{
    QStringList names;
    QDirIterator it(dirPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        names << it.filePath().mid(dirPath.size() + 1) + (it.fileInfo().isDir() ? "/" : "");
    }
    names.sort();
    return names.join(' ');
}

// A two-channel 1 kHz sine of `length` (sox's syntax: "400s" is 400 frames)
// at `rate`, drawn by sox into a canonical-header integer PCM file, the same
// every time (-R: sox dithers with a new seed each run otherwise).
inline bool soxTone(const QString &path, double rate, const QString &length, int bits = 24)
{
    // The null input gets the rate too, or synth counts at 48 kHz and sox resamples.
    return !output({"sox", "-R", "-r", QString::number(rate), "-c", "2", "-n", "-b",
                    QString::number(bits), "-t", "wavpcm", path, "synth", length, "sine", "1000"})
                    .isNull();
}

// `frames` frames of a two-channel sine at `rate`, drawn by sox and scaled
// here, so that amplitudes above 1 are possible.
inline std::vector<Frame> sine(int frames, double amplitude, double rate = 39062.5,
                               double frequency = 1000)
{
    if (frames <= 0) // a length of 0 would be endless
        return {};
    std::vector<Frame> result = framesOf(output(
            {"sox", "-R", "-r", QString::number(rate), "-c", "2", "-n", "-t", "f64", "-", "synth",
             QStringLiteral("%1s").arg(frames), "sine", QString::number(frequency)}));
    for (Frame &f : result)
        f = {f.left * amplitude, f.right * amplitude};
    return result;
}

// Every sample of a file as sox decodes it: binary64, channels interleaved
// (framesOf() splits a stereo file); null when sox failed.
inline QByteArray soxDecode(const QString &path)
{
    return output({"sox", path, "-t", "f64", "-"});
}

// soxi's frame count, rate, channels and bits of a file, "" when it fails.
inline QString soxi(const QString &path)
{
    QStringList fields;
    for (const char *option : {"-s", "-r", "-c", "-b"})
        fields << QString::fromLatin1(output({"soxi", option, path}).trimmed());
    return fields.contains(QString()) ? QString() : fields.join(' ');
}

// What ffprobe reads of a file's stream: the values of `entries`, comma-separated.
inline QByteArray ffprobe(const QString &path, const QString &entries)
{
    return output({"ffprobe", "-v", "error", "-show_entries", "stream=" + entries, "-of", "csv=p=0",
                   path})
            .trimmed();
}

} // namespace support

// A test program's main() whose home and configuration directories are a
// temporary directory of its own, made before the application reads them:
// settings written by one run never meet those of another running at once.
#define QUORVIA_TEST_MAIN(TestObject, Application) \
    int main(int argc, char *argv[]) \
    { \
        const QTemporaryDir home; \
        qputenv("HOME", QFile::encodeName(home.path())); \
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path())); \
        for (const char *xdg : {"CONFIG", "DATA", "CACHE", "STATE"}) \
            qputenv(qPrintable(QStringLiteral("XDG_%1_HOME").arg(xdg)), \
                    QFile::encodeName(home.filePath(xdg))); \
        Application app(argc, argv); \
        TestObject test; \
        return QTest::qExec(&test, argc, argv); \
    }
