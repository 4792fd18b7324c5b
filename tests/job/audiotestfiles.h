#pragma once

// Inputs made and outputs read by tools nobody here wrote (sox, soxi), and
// the byte-level view of the Brinmoor-WAVE layout: a 44-byte header, then
// the frames as raw binary64 pairs.

#include "wave/frame.h"
#include "wave/waveheader.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <cmath>
#include <cstring>
#include <vector>

namespace testfiles {

// Runs a program to its end; true when it exited with 0.
inline bool run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(120000);
    if (out)
        *out = process.readAllStandardOutput();
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A two-channel 1 kHz sine of `length` (sox's syntax: "400s" is 400 frames)
// at `rate`, drawn by sox into a canonical-header WAVE file at `path`, or as
// raw binary64 frames into *raw when `path` is "-".
inline bool sox(double rate, const QString &length, const QString &path,
                const QString &bits = QStringLiteral("24"), QByteArray *raw = nullptr)
{
    // The null input gets the rate too, or synth counts at 48 kHz and sox
    // resamples.
    const QString type = path == "-" ? QStringLiteral("f64") : QStringLiteral("wavpcm");
    return run(QStringLiteral("sox"),
               {"-r", QString::number(rate), "-c", "2", "-n", "-b", bits, "-t", type, path, "synth",
                length, "sine", "1000"},
               raw);
}

inline std::vector<Frame> framesOf(const QByteArray &bytes)
{
    std::vector<Frame> frames(size_t(bytes.size()) / sizeof(Frame));
    if (!frames.empty())
        std::memcpy(frames.data(), bytes.constData(), frames.size() * sizeof(Frame));
    return frames;
}

// A 1 kHz sine at 39062.5 Hz drawn by sox, scaled here so that amplitudes
// above 1 are possible.
inline std::vector<Frame> sine(int frames, double amplitude)
{
    QByteArray raw;
    if (frames > 0) // a length of 0 would be endless
        sox(39062.5, QStringLiteral("%1s").arg(frames), "-", QStringLiteral("64"), &raw);
    std::vector<Frame> result = framesOf(raw);
    for (Frame &f : result)
        f = {f.left * amplitude, f.right * amplitude};
    return result;
}

// Every frame of a standard WAVE file as sox decodes it.
inline std::vector<Frame> decodeWithSox(const QString &path)
{
    QByteArray raw;
    return run(QStringLiteral("sox"), {path, "-t", "f64", "-"}, &raw) ? framesOf(raw)
                                                                      : std::vector<Frame>();
}

// soxi's frame count, rate, channels and bits of a file, "" when it fails.
inline QString soxi(const QString &path)
{
    QStringList fields;
    for (const char *option : {"-s", "-r", "-c", "-b"}) {
        QByteArray out;
        if (!run(QStringLiteral("soxi"), {QString::fromLatin1(option), path}, &out))
            return QString();
        fields << QString::fromLatin1(out.trimmed());
    }
    return fields.join(' ');
}

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeContents(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline WaveHeader headerOf(const QString &path)
{
    WaveHeader header = WaveHeader::standardDefaults();
    header.assignFromBytes(contents(path).constData(), int(qMin(QFileInfo(path).size(), 44LL)));
    return header;
}

inline bool writeBrinmoor(const QString &path, const std::vector<Frame> &frames)
{
    WaveHeader header = WaveHeader::brinmoorDefaults();
    header.dataSize = quint32(frames.size() * 8);
    header.riffSize = header.dataSize + 40;
    QByteArray data(header.toBytes().data(), WaveHeader::size);
    data.append(reinterpret_cast<const char *>(frames.data()), int(frames.size() * sizeof(Frame)));
    return writeContents(path, data);
}

// The frames of a file written in the Brinmoor-WAVE layout, or none when its
// header and size disagree with that layout.
inline std::vector<Frame> readBrinmoor(const QString &path)
{
    const WaveHeader h = headerOf(path);
    const std::vector<Frame> frames = framesOf(contents(path).mid(WaveHeader::size));
    const bool layout = h.sampleRate == 39062 && h.numChannels == 2 && h.blockAlign == 8 &&
            h.bitsPerSample == 32 && h.dataSize == 8 * frames.size() &&
            h.riffSize == h.dataSize + 40 &&
            QFileInfo(path).size() == qint64(44 + 16 * frames.size());
    return layout ? frames : std::vector<Frame>();
}

// Names in `directory` beyond the expected ones: what a failed conversion
// must not leave behind.
inline QStringList strayFiles(const QString &directory, const QStringList &expected)
{
    QStringList stray = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                  QDir::NoDotAndDotDot);
    for (const QString &name : expected)
        stray.removeAll(name);
    return stray;
}

// Root-mean-square of both channels over frames [from, to).
inline double rms(const std::vector<Frame> &frames, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += frames[i].left * frames[i].left + frames[i].right * frames[i].right;
    return std::sqrt(sum / double(2 * (to - from)));
}

} // namespace testfiles
