#include "fuzztargets.h"

#include "converter/convertfile.h"
#include "wave/brinmoorwavefile.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace fuzz {

namespace {

constexpr int blockFrames = 200;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The input as a file in a scratch directory (one per process, reused for
// every input); empty when it cannot be written.
QString inputFile(const QString &name, const QByteArray &bytes)
{
    static const QTemporaryDir scratch;
    const QString path = scratch.filePath(name);
    return scratch.isValid() && writeFile(path, bytes) ? path : QString();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Bytes in memory that seek as a file does: a position past the end is
// taken, and reading there finds nothing. (A buffer refuses it, so readers
// and decoders would take other paths than over a file.)
class FileLikeBuffer : public QBuffer
{
public:
    bool seek(qint64 pos) override
    {
        return pos > size() ? QIODevice::seek(pos) : QBuffer::seek(pos);
    }
};

// The input as a device open for reading, over the fuzzer's own bytes.
std::unique_ptr<QIODevice> memoryDevice(const char *data, std::size_t size)
{
    auto buffer = std::make_unique<FileLikeBuffer>();
    buffer->setData(QByteArray::fromRawData(data, int(size)));
    buffer->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    return buffer;
}

// Opens the input as `file`: nothing when it opened, else the fault, or
// an empty one when the file was refused soundly (closed, with a reason).
template<class File>
std::optional<QString> open(File &file, const char *data, std::size_t size)
{
    if (file.open(memoryDevice(data, size)))
        return std::nullopt;
    if (file.isOpen())
        return QStringLiteral("a refused file stays open");
    return file.errorString().isEmpty() ? QStringLiteral("refused without a reason") : QString();
}

// Reads an open file to its end as the conversion does, in whole blocks
// (the last padded): exactly as many as its frame count gives, since more
// means the reader does not reach its end, each sample within [low, high].
template<class File>
QString readToEnd(File &file, qint64 maxFrames, double low, double high)
{
    const qint64 total = file.totalFrames();
    if (total < 0 || total > maxFrames)
        return QStringLiteral("impossible frame count %1").arg(total);
    const double rate = file.sampleRate();
    if (!std::isfinite(rate) || rate < 0)
        return QStringLiteral("impossible sample rate %1").arg(rate);
    const qint64 blocks = (total + blockFrames - 1) / blockFrames;
    std::vector<Frame> frames(blockFrames);
    qint64 reads = 0;
    for (int got; (got = file.readFrames(frames.data(), blockFrames)) != 0;) {
        if (got != blockFrames)
            return QStringLiteral("readFrames returned %1: ").arg(got) + file.errorString();
        if (++reads > blocks)
            return QStringLiteral("more blocks than the %1 frames the file holds").arg(total);
        for (const Frame &f : frames) {
            for (const double v : {f.left, f.right}) {
                if (!(v >= low && v <= high))
                    return QStringLiteral("sample value %1").arg(v, 0, 'g', 17);
            }
        }
    }
    if (reads != blocks)
        return QStringLiteral("%1 blocks for %2 frames").arg(reads).arg(total);
    if (file.readFrames(frames.data(), blockFrames) != 0)
        return QStringLiteral("data after the end");
    if (!file.close())
        return QStringLiteral("closing a source failed: ") + file.errorString();
    return {};
}

// A destination that its own class reads back with the frames reported.
template<class File>
QString checkDestination(const QString &path, qint64 frames, double rate)
{
    File out;
    if (!out.open(path, QIODevice::ReadOnly))
        return QStringLiteral("the destination does not open: ") + out.errorString();
    if (out.totalFrames() != frames || out.sampleRate() != rate)
        return QStringLiteral("the destination holds %1 frames at %2 Hz, not %3")
                .arg(out.totalFrames())
                .arg(out.sampleRate())
                .arg(frames);
    return {};
}

// After a conversion: on success a sound destination; on failure a reason,
// the earlier destination untouched; either way nothing else beside it.
QString checkConversion(const QString &source, Direction type)
{
    const QString dir = QFileInfo(source).dir().filePath(QStringLiteral("out"));
    const QString destination = dir + QStringLiteral("/destination.wav");
    const QByteArray precious("an earlier destination");
    QDir(dir).removeRecursively();
    if (!QDir().mkpath(dir) || !writeFile(destination, precious))
        return QStringLiteral("cannot write the earlier destination");

    double lastFraction = 0.0;
    QString progressFault;
    ConvertOptions options;
    options.progress = [&](double fraction) {
        if (!(fraction >= lastFraction && fraction <= 1.0))
            progressFault =
                    QStringLiteral("progress went from %1 to %2").arg(lastFraction).arg(fraction);
        lastFraction = fraction;
        return true;
    };
    const ConvertResult result = convertFile(source, destination, type, options);
    if (!progressFault.isEmpty())
        return progressFault;
    const QStringList left = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                 QDir::NoDotAndDotDot);
    if (left != QStringList{QStringLiteral("destination.wav")})
        return QStringLiteral("the destination directory holds ") + left.join(QLatin1Char(' '));

    if (!result.ok()) {
        if (result.reason.isEmpty())
            return QStringLiteral("failed without a reason");
        // The destination directory is healthy: only the source may fail.
        if (result.error != ConvertError::SourceFormat &&
            result.error != ConvertError::UnsupportedRate && result.error != ConvertError::Read)
            return QStringLiteral("unexpected failure: ") + result.reason;
        return readFile(destination) == precious
                ? QString()
                : QStringLiteral("a failed conversion changed the destination");
    }
    if (type == Direction::BrinmoorToStandard)
        return checkDestination<StandardWaveFile>(destination, result.framesWritten, 44100.0);
    const QString fault =
            checkDestination<BrinmoorWaveFile>(destination, result.framesWritten, 39062.5);
    if (!fault.isEmpty())
        return fault;
    // Stored values are what the host program gets: never NaN or infinite.
    const QByteArray bytes = readFile(destination);
    for (int at = 44; at + 8 <= bytes.size(); at += 8) {
        double v;
        std::memcpy(&v, bytes.constData() + at, 8);
        if (!std::isfinite(v))
            return QStringLiteral("stored value %1").arg(v);
    }
    return {};
}

// Rates whose filters are designed quickly: those of recordings and the
// usual ones. A conversion designs a filter for its pair of rates, millions
// of taps for an odd one, which would make nearly every input slow; what
// odd rates do is the resampler's tests' business.
constexpr quint32 quickRates[] = {39062, 44100, 48000, 22050, 8000, 96000, 88200, 78125};

bool isQuickRate(double rate)
{
    return std::find(std::begin(quickRates), std::end(quickRates), rate) != std::end(quickRates);
}

// Offset of the sample rate in the first "fmt " chunk of a WAVE file, or
// -1.
int rateOffset(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    const auto id = [p](int at, const char *name) { return std::memcmp(p + at, name, 4) == 0; };
    if (bytes.size() < 12 || !(id(0, "RIFF") || id(0, "RF64") || id(0, "BW64")) || !id(8, "WAVE"))
        return -1;
    for (qint64 at = 12; at + 8 <= bytes.size();) {
        const quint32 chunk = qFromLittleEndian<quint32>(p + at + 4);
        if (id(int(at), "fmt "))
            return at + 16 <= bytes.size() ? int(at + 12) : -1;
        at += 8 + qint64(chunk) + (chunk & 1);
    }
    return -1;
}

// Keeps a conversion quick: a WAVE file's odd rate becomes one of the
// quick ones (mutations of it still pick among them); another format is
// converted only at a quick rate and when it decodes to a short recording.
bool quickToConvert(QByteArray *bytes)
{
    const int at = rateOffset(*bytes);
    if (at >= 0) {
        const quint32 rate = qFromLittleEndian<quint32>(bytes->constData() + at);
        if (!isQuickRate(rate))
            qToLittleEndian(quickRates[rate % std::size(quickRates)], bytes->data() + at);
        return true;
    }
    SoundFile file;
    if (!file.open(memoryDevice(bytes->constData(), std::size_t(bytes->size()))))
        return true; // refused as quickly by the conversion
    if (!isQuickRate(file.sampleRate()))
        return false;
    constexpr int longest = 1 << 15;
    std::vector<Frame> frames(blockFrames);
    for (int read = 0; read <= longest; read += blockFrames) {
        if (file.readFrames(frames.data(), blockFrames) <= 0)
            return true;
    }
    return false;
}

} // namespace

QString standardWave(const char *data, std::size_t size)
{
    StandardWaveFile file;
    if (const auto refused = open(file, data, size))
        return *refused;
    // Integer -1 lies a little below full scale.
    return readToEnd(file, qint64(size), -1.0000000005, 1.0);
}

QString brinmoorWave(const char *data, std::size_t size)
{
    BrinmoorWaveFile file;
    if (const auto refused = open(file, data, size))
        return *refused;

    // The peak scan must leave the reader where the data begin.
    std::vector<Frame> first(blockFrames);
    std::vector<Frame> again(blockFrames);
    const int firstGot = file.readFrames(first.data(), blockFrames);
    bool ok = false;
    const double peak = file.measurePeak(ok);
    if (!ok)
        return QStringLiteral("peak scan failed: ") + file.errorString();
    if (!(peak >= 0.0) || !std::isfinite(peak))
        return QStringLiteral("peak %1").arg(peak, 0, 'g', 17);
    if (file.readFrames(again.data(), blockFrames) != firstGot ||
        std::memcmp(first.data(), again.data(), sizeof(Frame) * blockFrames) != 0)
        return QStringLiteral("reading after the peak scan does not start at the first frame");
    if (!file.rewind())
        return QStringLiteral("rewind failed");
    // Scaled by the peak when it is above 1, as the conversion reads.
    file.setReadScale(peak > 1.0 ? peak : 1.0);
    const double limit = BrinmoorWaveFile::clampLimit;
    return readToEnd(file, qint64(size) / 16, -limit, limit);
}

QString soundFile(const char *data, std::size_t size)
{
    SoundFile file;
    if (const auto refused = open(file, data, size))
        return *refused;
    if (file.formatName().isEmpty())
        return QStringLiteral("no format name");
    const double rate = file.sampleRate();
    if (!std::isfinite(rate) || rate <= 0)
        return QStringLiteral("impossible sample rate %1").arg(rate);
    // A few bytes of a compressed stream may rightly decode to a long
    // recording; reading stops at a length that keeps every input quick.
    constexpr qint64 enough = 1 << 20;
    std::vector<Frame> frames(blockFrames);
    for (qint64 read = 0; read < enough; read += blockFrames) {
        const int got = file.readFrames(frames.data(), blockFrames);
        if (got == 0)
            break;
        if (got < 0)
            return file.errorString().isEmpty() ? QStringLiteral("failed without a reason")
                                                : QString();
        if (got != blockFrames)
            return QStringLiteral("readFrames returned %1").arg(got);
        for (const Frame &f : frames) {
            for (const double v : {f.left, f.right}) {
                if (!(v >= -1.0000000005 && v <= 1.0))
                    return QStringLiteral("sample value %1").arg(v, 0, 'g', 17);
            }
        }
    }
    return file.close() ? QString() : QStringLiteral("closing a source failed");
}

QString convert(const char *data, std::size_t size)
{
    QByteArray bytes(data, int(size));
    if (!quickToConvert(&bytes))
        return {};
    const QString source = inputFile(QStringLiteral("source.wav"), bytes);
    if (source.isEmpty())
        return QStringLiteral("cannot write the input file");
    for (const Direction type : {Direction::StandardToBrinmoor, Direction::BrinmoorToStandard}) {
        const QString fault = checkConversion(source, type);
        if (!fault.isEmpty())
            return (type == Direction::BrinmoorToStandard ? QStringLiteral("to standard: ")
                                                          : QStringLiteral("to Brinmoor-WAVE: ")) +
                    fault;
    }
    return {};
}

} // namespace fuzz
