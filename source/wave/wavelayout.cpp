#include "wavelayout.h"

#include "chunkedio.h"
#include "soundfile.h"
#include "waveheader.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#else
#    include <QFileInfo>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

bool idAt(const char *head, int offset, const char *id)
{
    return std::memcmp(head + offset, id, 4) == 0;
}

constexpr qint64 brinmoorFrameBytes = 16;
constexpr quint32 brinmoorRate = 39062;

// What the first samples say when read as float64 pairs. Recorded audio is
// finite and of plausible size; 32-bit integers read that way give
// denormals, NaNs and huge exponents, except for samples near half scale.
enum class Content { Float, Integer, Silent, Few, Mixed };

struct ContentEvidence
{
    Content content = Content::Few;
    int values = 0;
    int nonZero = 0;
    int implausible = 0;
};

// A few thousand bytes at the start of the data and as many in the middle,
// so that a recording that starts in digital silence is still told.
ContentEvidence probeContent(QFileDevice *file, qint64 begin, qint64 end)
{
    constexpr qint64 window = 4096;
    const qint64 whole = (end - begin) / brinmoorFrameBytes * brinmoorFrameBytes;
    ContentEvidence evidence;
    char bytes[window];
    QString ignored;
    for (const qint64 at : {begin, begin + whole / 2 / brinmoorFrameBytes * brinmoorFrameBytes}) {
        const qint64 n = std::min(window, begin + whole - at);
        if (n <= 0 || !file->seek(at) || readFully(file, bytes, n, &ignored) != n)
            continue;
        for (qint64 k = 0; k + 8 <= n; k += 8) {
            const quint64 bits = qFromLittleEndian<quint64>(bytes + k);
            double x;
            std::memcpy(&x, &bits, 8);
            const double a = std::fabs(x);
            ++evidence.values;
            if (a == 0.0)
                continue;
            ++evidence.nonZero;
            // Below 2^-64 (about -385 dB) is no recorded level.
            if (!(a <= 16.0 && a >= 0x1p-64))
                ++evidence.implausible;
        }
    }
    constexpr int enough = 32;
    if (evidence.nonZero < enough)
        evidence.content = evidence.values >= enough ? Content::Silent : Content::Few;
    else if (evidence.implausible * 20 <= evidence.nonZero)
        evidence.content = Content::Float;
    else if (evidence.implausible * 2 >= evidence.nonZero)
        evidence.content = Content::Integer;
    else
        evidence.content = Content::Mixed;
    return evidence;
}

// True when well-formed chunks follow `pos` up to exactly the end of the
// file: the data chunk's size is then a standard file's.
bool chunksFillTo(QFileDevice *file, qint64 pos, qint64 fileSize)
{
    QString ignored;
    for (int chunks = 0; chunks < 16 && pos + 8 <= fileSize; ++chunks) {
        char head[8];
        if (!file->seek(pos) || readFully(file, head, 8, &ignored) != 8)
            return false;
        for (int i = 0; i < 4; ++i) {
            if (head[i] < 0x20 || head[i] > 0x7e)
                return false;
        }
        const quint32 size = readLe32(head + 4);
        pos += 8 + qint64(size) + qint64(size & 1);
        if (pos == fileSize || (pos == fileSize + 1 && (size & 1)))
            return true;
    }
    return false;
}

QString sampleDescription(const WaveFormat &format)
{
    return tr("its header describes %1-bit %2 samples, %3 channels")
            .arg(format.bytesPerSample * 8)
            .arg(format.encoding == WaveFormat::Encoding::Float ? tr("float") : tr("integer"))
            .arg(format.channels);
}

void describeStandard(const WaveFormat &format, WaveInfo *info)
{
    info->isFloat = format.encoding == WaveFormat::Encoding::Float;
    info->bitsPerSample = format.bytesPerSample * 8;
    info->channels = format.channels;
    info->sampleRate = format.header.sampleRate;
    info->dataBegin = format.dataBegin;
    info->dataEnd = format.dataEnd;
    const qint64 block = qint64(format.channels) * format.bytesPerSample;
    info->frames = block > 0 ? (format.dataEnd - format.dataBegin) / block : 0;
    info->extent = format.extent;
    switch (format.extent) {
    case DataExtent::Unfinished:
        info->announcedFrames = -1;
        break;
    case DataExtent::Wrapped:
    case DataExtent::Saturated:
        info->announcedFrames = info->frames;
        break;
    default:
        info->announcedFrames = block > 0 ? qint64(format.announcedBytes / quint64(block)) : 0;
        break;
    }
}

// The recording layout counts 8 bytes a frame in dataSize and stores 16: the
// frames announced are dataSize / 8, taken modulo 2^29 when the counter
// wrapped, so the reading nearest to the frames there is meant.
void describeBrinmoor(const WaveHeader &h, qint64 fileSize, WaveInfo *info)
{
    info->isFloat = true;
    info->bitsPerSample = 64;
    info->channels = 2;
    info->sampleRate = h.sampleRate == brinmoorRate ? 39062.5 : double(h.sampleRate);
    info->dataBegin = WaveHeader::size;
    info->dataEnd = std::max<qint64>(fileSize, WaveHeader::size);
    info->frames = (info->dataEnd - info->dataBegin) / brinmoorFrameBytes;
    const qint64 frames = info->frames;
    if (h.dataSize == 0) {
        info->announcedFrames = -1;
        info->extent = frames > 0 ? DataExtent::Unfinished : DataExtent::Matches;
        return;
    }
    if (h.dataSize == 0xffffffffu) {
        info->announcedFrames = 0xffffffffu / 8;
        info->extent = frames * 8 >= 0xffffffffu ? DataExtent::Saturated : DataExtent::CutShort;
        return;
    }
    constexpr qint64 wrap = qint64(1) << 29;
    qint64 announced = h.dataSize / 8;
    if (frames > announced)
        announced += (frames - announced + wrap / 2) / wrap * wrap;
    info->announcedFrames = announced;
    if (announced == frames)
        info->extent = announced >= wrap ? DataExtent::Wrapped : DataExtent::Matches;
    else
        info->extent = frames < announced ? DataExtent::CutShort : DataExtent::Extended;
}

// The verdict on a file whose header could describe a recording: weighs
// the sizes, the rate and the content against each other.
WaveLayout judge(QFileDevice *file, qint64 fileSize, const WaveFormat &format, QString *evidence)
{
    const WaveHeader &h = format.header;
    const quint64 bytes = quint64(fileSize - WaveHeader::size);
    const quint64 half = bytes / brinmoorFrameBytes * 8;
    const bool rate = h.sampleRate == brinmoorRate;
    // dataSize as the recording layout writes it: half the whole frames'
    // bytes (modulo 2^32 once a counter wrapped), saturated, or 0 at the
    // recording rate when the header was never finished.
    const bool brinmoorSizes = h.dataSize == (half & 0xffffffffu) ||
            (h.dataSize == 0xffffffffu && half >= 0xffffffffu) || (h.dataSize == 0 && rate);
    // ... and as a standard file's: all of the sample bytes, or the data
    // chunk followed by well-formed chunks to the end of the file.
    const bool standardSizes = format.extent == DataExtent::Wrapped ||
            format.extent == DataExtent::Saturated ||
            (format.extent == DataExtent::Matches &&
             (format.dataEnd == fileSize ||
              chunksFillTo(file, format.dataEnd + (format.dataEnd & 1), fileSize)));
    const ContentEvidence probe = probeContent(file, WaveHeader::size, fileSize);

    QStringList found;
    switch (probe.content) {
    case Content::Float:
        found << tr("its samples read as float64 audio");
        break;
    case Content::Integer:
        found << tr("its samples are not float64 audio (%1 of %2 values denormal, NaN or huge)")
                         .arg(probe.implausible)
                         .arg(probe.nonZero);
        break;
    case Content::Silent:
        found << tr("its first samples are silent");
        break;
    case Content::Few:
        found << tr("too few samples to tell by their values");
        break;
    case Content::Mixed:
        found << tr("its samples read partly as float64 audio");
        break;
    }
    if (brinmoorSizes && standardSizes)
        found << tr("dataSize fits both layouts");
    else if (brinmoorSizes)
        found << (h.dataSize == 0 ? tr("dataSize 0, a recording never finished")
                                  : tr("dataSize counts half of the data"));
    else if (standardSizes)
        found << tr("dataSize counts all of the data");
    else
        found << tr("dataSize fits neither layout");
    found << tr("%1 Hz").arg(h.sampleRate);
    *evidence = found.join(QStringLiteral("; "));

    // Content that is clearly one or the other decides, unless everything
    // in the header says the opposite.
    switch (probe.content) {
    case Content::Float:
        return standardSizes && !brinmoorSizes && !rate ? WaveLayout::Ambiguous
                                                        : WaveLayout::Brinmoor;
    case Content::Integer:
        return brinmoorSizes && !standardSizes && rate ? WaveLayout::Ambiguous
                                                       : WaveLayout::Standard;
    case Content::Silent:
    case Content::Few:
    case Content::Mixed:
        break;
    }
    if (brinmoorSizes != standardSizes)
        return brinmoorSizes ? WaveLayout::Brinmoor : WaveLayout::Standard;
    if (brinmoorSizes)
        return rate ? WaveLayout::Brinmoor : WaveLayout::Standard;
    return WaveLayout::Ambiguous;
}

} // namespace

WaveInfo recognizeWave(QFileDevice *file, qint64 fileSize, WaveLayout readAs)
{
    WaveInfo info;
    if (fileSize == 0) {
        info.evidence = tr("empty file");
        return info;
    }
    char head[WaveHeader::size];
    QString error;
    if (!file->seek(0)) {
        info.unreadable = true;
        info.evidence = file->errorString();
        return info;
    }
    const qint64 got = readFully(file, head, WaveHeader::size, &error);
    if (got < 0) {
        info.unreadable = true;
        info.evidence = error;
        return info;
    }
    WaveFormat format;
    if (!readWaveFormat(file, fileSize, &format, &error)) {
        info.evidence = error;
        return info;
    }
    info.format = format.rf64 ? QStringLiteral("RF64") : QStringLiteral("WAVE");

    // Only a canonical header of two-channel 32-bit integer PCM can stand in
    // front of a recording.
    const WaveHeader &h = format.header;
    const bool candidate = got == WaveHeader::size && !format.rf64 && idAt(head, 12, "fmt ") &&
            h.fmtSize == 16 && idAt(head, 36, "data") && h.audioFormat == 1 && h.numChannels == 2 &&
            h.bitsPerSample == 32;
    if (!candidate) {
        info.layout = WaveLayout::Standard;
        info.evidence = sampleDescription(format);
        describeStandard(format, &info);
        return info;
    }
    info.layout = judge(file, fileSize, format, &info.evidence);
    const bool brinmoor = info.layout == WaveLayout::Brinmoor ||
            (info.layout == WaveLayout::Ambiguous && readAs == WaveLayout::Brinmoor);
    if (brinmoor) {
        WaveHeader canonical = WaveHeader::brinmoorDefaults();
        canonical.assignFromBytes(head, WaveHeader::size);
        describeBrinmoor(canonical, fileSize, &info);
    } else {
        describeStandard(format, &info);
    }
    return info;
}

WaveInfo recognizeWave(const QString &fileName)
{
    WaveInfo info;
    const std::unique_ptr<QFile> file = openSourceFile(fileName, &info.evidence);
    if (!file) {
        info.unreadable = true;
        return info;
    }
    const WaveInfo wave = recognizeWave(file.get(), file->size());
    if (wave.layout != WaveLayout::NotWave || wave.unreadable || !isOtherAudioFormat(fileName))
        return wave;
    SoundFile other;
    other.open(fileName, QIODevice::ReadOnly);
    return other.sourceInfo();
}

bool isOtherAudioFormat(const QString &fileName)
{
    QString error;
    const std::unique_ptr<QFile> file = openSourceFile(fileName, &error);
    char head[12];
    const qint64 got = file ? readFully(file.get(), head, sizeof head, &error) : -1;
    if (got <= 0)
        return false;
    const bool wave = got == sizeof head &&
            (idAt(head, 0, "RIFF") || idAt(head, 0, "RF64") || idAt(head, 0, "BW64")) &&
            idAt(head, 8, "WAVE");
    return !wave;
}

QStringList WaveInfo::warnings() const
{
    QStringList result;
    if (channels > 2)
        result << tr("%1 channels: only channels 1 and 2 are converted").arg(channels);
    switch (extent) {
    case DataExtent::CutShort:
        result << tr("holds %1 of the %2 frames its header announces")
                          .arg(frames)
                          .arg(announcedFrames);
        break;
    case DataExtent::Extended:
        result << tr("holds %1 frames, %2 more than its header announces")
                          .arg(frames)
                          .arg(frames - announcedFrames);
        break;
    case DataExtent::Unfinished:
        // Streaming writers leave standard headers like this on purpose; a
        // recording's header is left so only when its writer was stopped.
        if (layout == WaveLayout::Brinmoor)
            result << tr("its header was never finished; the %1 frames found are converted")
                              .arg(frames);
        break;
    case DataExtent::Matches:
    case DataExtent::Wrapped:
    case DataExtent::Saturated:
    case DataExtent::Rf64:
        break;
    }
    return result;
}

std::unique_ptr<QFile> openSourceFile(const QString &fileName, QString *error)
{
    if (!nameSurvivesEncoding(fileName)) {
        *error = tr("the name cannot be written in the system's file name encoding");
        return nullptr;
    }
    auto file = std::make_unique<QFile>(fileName);
#ifdef Q_OS_UNIX
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
        *error = tr("not a regular file");
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file->errorString();
        return nullptr;
    }
#else
    if (QFileInfo::exists(fileName) && !QFileInfo(fileName).isFile()) {
        *error = tr("not a regular file");
        return nullptr;
    }
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = file->errorString();
        return nullptr;
    }
#endif
    return file;
}

QString otherLayoutReason(const WaveInfo &info)
{
    return (info.layout == WaveLayout::Brinmoor
                    ? tr("this is a Brinmoor-WAVE recording (%1)")
                    : tr("this is a standard WAVE file, not a Brinmoor-WAVE recording (%1)"))
            .arg(info.evidence);
}

std::unique_ptr<QFile> openSource(const QString &fileName, WaveLayout wanted, WaveInfo *info)
{
    *info = WaveInfo();
    std::unique_ptr<QFile> in = openSourceFile(fileName, &info->evidence);
    if (!in) {
        info->unreadable = true;
        return nullptr;
    }
    *info = recognizeWave(in.get(), in->size(), wanted);
    if (info->layout == WaveLayout::NotWave)
        return nullptr;
    // Read the wrong way, float64 pairs become loud noise and integers
    // absurd doubles: refuse rather than convert garbage.
    if (info->layout != wanted && info->layout != WaveLayout::Ambiguous)
        return nullptr;
    return in;
}
