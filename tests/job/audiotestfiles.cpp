#include "audiotestfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <cmath>
#include <cstring>

namespace testfiles {

bool run(const QString &program, const QStringList &arguments, QByteArray *out)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return false;
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool makeStandard(const QString &path, int rate, const QString &length, const QString &synth,
                  int bits)
{
    // The rate is given to the null input as well: synth counts its length
    // at the input's rate, and sox would resample otherwise.
    const QString r = QString::number(rate);
    return run(QStringLiteral("sox"),
               QStringList{"-r", r, "-c", "2", "-n", "-b", QString::number(bits), path, "synth",
                           length} +
                       synth.split(' '));
}

namespace {

std::vector<Frame> framesFrom(const QByteArray &bytes)
{
    std::vector<Frame> frames(size_t(bytes.size()) / sizeof(Frame));
    if (!frames.empty())
        std::memcpy(frames.data(), bytes.constData(), frames.size() * sizeof(Frame));
    return frames;
}

} // namespace

std::vector<Frame> soxSine(double rate, int frames, double amplitude)
{
    QByteArray raw;
    const QString r = QString::number(rate, 'f', 1);
    if (!run(QStringLiteral("sox"),
             {"-r", r, "-c", "2", "-n", "-t", "f64", "-", "synth",
              QStringLiteral("%1s").arg(frames), "sine", "1000"},
             &raw))
        return {};
    std::vector<Frame> result = framesFrom(raw);
    for (Frame &f : result) {
        f.left *= amplitude;
        f.right *= amplitude;
    }
    return result;
}

std::vector<Frame> decodeWithSox(const QString &path)
{
    QByteArray raw;
    if (!run(QStringLiteral("sox"), {path, "-t", "f64", "-"}, &raw))
        return {};
    return framesFrom(raw);
}

qint64 soxiField(const QString &path, const char *option)
{
    QByteArray out;
    if (!run(QStringLiteral("soxi"), {QString::fromLatin1(option), path}, &out))
        return -1;
    bool ok = false;
    const qint64 value = out.trimmed().toLongLong(&ok);
    return ok ? value : -1;
}

bool writeBrinmoor(const QString &path, const std::vector<Frame> &frames)
{
    WaveHeader header = WaveHeader::brinmoorDefaults();
    header.dataSize = quint32(frames.size() * 8);
    header.riffSize = header.dataSize + 40;
    const WaveHeader::Bytes bytes = header.toBytes();
    QByteArray data(bytes.data(), WaveHeader::size);
    data.append(reinterpret_cast<const char *>(frames.data()), int(frames.size() * sizeof(Frame)));
    return writeContents(path, data);
}

bool readBrinmoor(const QString &path, WaveHeader *header, std::vector<Frame> *frames)
{
    const QByteArray bytes = contents(path);
    if (bytes.size() < WaveHeader::size)
        return false;
    *header = WaveHeader::brinmoorDefaults();
    header->assignFromBytes(bytes.constData(), WaveHeader::size);
    *frames = framesFrom(bytes.mid(WaveHeader::size));
    return true;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeContents(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList strayFiles(const QString &directory, const QStringList &expected)
{
    QStringList stray;
    const QStringList present = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden |
                                                          QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : present) {
        if (!expected.contains(name))
            stray << name;
    }
    return stray;
}

double rms(const std::vector<Frame> &frames, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += frames[i].left * frames[i].left + frames[i].right * frames[i].right;
    return to > from ? std::sqrt(sum / double(2 * (to - from))) : 0.0;
}

} // namespace testfiles
