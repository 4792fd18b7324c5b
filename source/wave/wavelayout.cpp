#include "wavelayout.h"

#include "chunkedio.h"
#include "filereasons.h"
#include "pcmsample.h"
#include "platform/fileio.h"
#include "waveheader.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

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

// What the data say when read as float64 pairs. Recorded audio is finite
// and of plausible size; 32-bit integers read that way give denormals, NaNs
// and huge exponents, except for samples near half scale in the right
// channel, whose reading changes only in its low half (the left channel)
// from one value to that channel's next.
enum class Content { Float, Integer, Loud, Silent, Few, Mixed };

struct ContentEvidence
{
    Content content = Content::Few;
    int values = 0;
    int nonZero = 0;
    int implausible = 0;
    QString readError; // why the data could not be read; empty when they could
};

// Windows spread evenly over the data, the first at its start, so that a
// recording that starts in silence or damage is still told. Each window
// that holds enough non-zero values votes; silent ones do not.
ContentEvidence probeContent(QIODevice *file, qint64 begin, qint64 end)
{
    constexpr int probes = 12;
    constexpr qint64 window = 2048;
    const qint64 whole = (end - begin) / brinmoorFrameBytes * brinmoorFrameBytes;
    const int count = int(std::clamp<qint64>(whole / window, 1, probes));
    const qint64 lastFrame = std::max<qint64>(whole - window, 0) / brinmoorFrameBytes;
    ContentEvidence evidence;
    int voting = 0, floating = 0, integer = 0, loud = 0;
    char bytes[window];
    for (int i = 0; i < count; ++i) {
        const qint64 at = begin + lastFrame * i / std::max(count - 1, 1) * brinmoorFrameBytes;
        const qint64 n = std::min(window, begin + whole - at);
        if (n <= 0)
            continue;
        const qint64 got = readFullyAt(file, at, bytes, n, &evidence.readError);
        if (got < 0)
            return evidence;
        if (got != n)
            continue; // the file shrank under us
        int nonZero = 0, bad = 0, aboveFullScale = 0;
        for (qint64 k = 0; k + 8 <= n; k += 8) {
            const quint64 bits = qFromLittleEndian<quint64>(bytes + k);
            ++evidence.values;
            if ((bits << 1) == 0)
                continue;
            ++nonZero;
            double x;
            std::memcpy(&x, &bits, 8);
            const double a = std::fabs(x);
            const quint64 next = k + 24 <= n ? qFromLittleEndian<quint64>(bytes + k + 16) : bits;
            const bool lowHalfOnly = next != bits && next >> 32 == bits >> 32;
            // Below 2^-64 (about -385 dB) is no recorded level.
            if (!(a <= damageAbove && a >= 0x1p-64) || lowHalfOnly)
                ++bad;
            else if (a > 1.0)
                ++aboveFullScale;
        }
        evidence.nonZero += nonZero;
        evidence.implausible += bad;
        if (nonZero < 16)
            continue;
        ++voting;
        if (bad * 20 <= nonZero)
            ++(aboveFullScale * 2 > nonZero ? loud : floating);
        else if (bad * 2 >= nonZero)
            ++integer;
    }
    const int decisive = voting - loud;
    if (voting == 0)
        evidence.content = evidence.values >= 32 ? Content::Silent : Content::Few;
    else if (decisive == 0)
        evidence.content = Content::Loud;
    else if (floating * 4 >= decisive * 3)
        evidence.content = Content::Float;
    else if (integer * 4 >= decisive * 3)
        evidence.content = Content::Integer;
    else
        evidence.content = Content::Mixed;
    return evidence;
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
    info->announcedBytes = format.announcedBytes;
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
    info->announcedBytes = h.dataSize;
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

// The verdict on a file whose canonical header could stand in front of a
// recording, whatever its channels and bits say: each piece of evidence
// counts for one layout or the other, and only a clear balance decides.
// The content counts most, the sizes next (what each layout's arithmetic
// makes of the file's length), then the rate, riffSize and the framing
// fields; none alone outweighs all the rest.
WaveLayout judge(QIODevice *file, qint64 fileSize, const WaveHeader &h, QString *evidence,
                 QString *readError)
{
    constexpr quint32 saturated = 0xffffffffu;
    const quint64 there = quint64(fileSize - WaveHeader::size);
    const quint64 half = there / brinmoorFrameBytes * 8;
    const quint32 dataSize = h.dataSize;
    const bool placeholder = dataSize == 0 || dataSize == saturated;
    // dataSize as the recording layout writes it: half the whole frames'
    // bytes (modulo 2^32 once a counter wrapped), or saturated ...
    const bool brinmoorSizes =
            dataSize == (half & saturated) || (dataSize == saturated && half >= saturated);
    // ... and as a standard file's: all of the sample bytes, or the data
    // chunk followed by well-formed chunks to the end of the file.
    const bool standardSizes =
            (dataSize <= there &&
             (dataSize == there ||
              chunksFillTo(file, qint64(WaveHeader::size) + dataSize + (dataSize & 1), fileSize,
                           readError))) ||
            (there > saturated && dataSize == (there & saturated)) ||
            (dataSize == saturated && there >= saturated);
    // A few frames off: a header written a little before the last frames.
    const auto near = [placeholder](quint64 size, quint64 bytes) {
        return !placeholder && size != bytes &&
                (size > bytes ? size - bytes : bytes - size) <= bytes / 100 + 256;
    };
    const bool brinmoorNear = !brinmoorSizes && near(dataSize, half);
    const bool standardNear = !standardSizes && near(dataSize, there);
    const bool riffBrinmoor = !placeholder && h.riffSize == dataSize + 40;
    const bool riffStandard = (!placeholder && h.riffSize == dataSize + 36) ||
            (h.riffSize != saturated && qint64(h.riffSize) + 8 == fileSize);
    const bool rate = h.sampleRate == brinmoorRate;
    const bool stereo32 = h.numChannels == 2 && h.bitsPerSample == 32;
    const bool recordingFraming =
            h.blockAlign == 8 && quint64(h.byteRate) == quint64(h.sampleRate) * 8;
    if (!readError->isEmpty())
        return WaveLayout::NotWave;
    const ContentEvidence probe = probeContent(file, WaveHeader::size, fileSize);
    if (!probe.readError.isEmpty()) {
        *readError = probe.readError;
        return WaveLayout::NotWave;
    }

    int score = 0; // above 0 for a recording, below for a standard file
    QStringList found;
    switch (probe.content) {
    case Content::Float:
        score += 4;
        found << tr("its samples read as float64 audio");
        break;
    case Content::Integer:
        score -= 4;
        found << tr("its samples are not float64 audio (%1 of %2 values denormal, NaN, huge or "
                    "changing only in their low half)")
                         .arg(probe.implausible)
                         .arg(probe.nonZero);
        break;
    case Content::Loud:
        found << tr("its samples read as float64 values mostly above full scale");
        break;
    case Content::Silent:
        found << tr("its samples are silent where probed");
        break;
    case Content::Few:
        found << tr("too few samples to tell by their values");
        break;
    case Content::Mixed:
        found << tr("its samples read partly as float64 audio");
        break;
    }
    if (brinmoorSizes != standardSizes)
        score += brinmoorSizes ? 4 : -4;
    else if (brinmoorNear != standardNear)
        score += brinmoorNear ? 1 : -1;
    if (brinmoorSizes && standardSizes)
        found << tr("dataSize fits both layouts");
    else if (brinmoorSizes)
        found << tr("dataSize counts half of the data");
    else if (standardSizes)
        found << tr("dataSize counts all of the data");
    else if (dataSize == 0)
        found << tr("dataSize 0, a header never finished");
    else if (brinmoorNear != standardNear)
        found << (brinmoorNear ? tr("dataSize a few frames off half of the data")
                               : tr("dataSize a few frames off all of the data"));
    else
        found << tr("dataSize fits neither layout");
    if (riffBrinmoor != riffStandard) {
        score += riffBrinmoor ? 2 : -2;
        // Said only when the sizes did not already say it.
        if (riffBrinmoor && !(brinmoorSizes && !standardSizes))
            found << tr("riffSize is dataSize + 40, a recording's");
        else if (riffStandard && !(standardSizes && !brinmoorSizes))
            found << tr("riffSize is a standard file's");
    }
    score += rate ? 3 : -2;
    found << tr("%1 Hz").arg(h.sampleRate);
    if (!stereo32) {
        score += recordingFraming ? 1 : -1;
        found << (recordingFraming
                          ? tr("its header says %1 channels of %2 bits, with a recording's "
                               "blockAlign and byteRate")
                          : tr("its header says %1 channels of %2 bits"))
                         .arg(h.numChannels)
                         .arg(h.bitsPerSample);
    }
    *evidence = found.join(QStringLiteral("; "));

    constexpr int clear = 3;
    return score >= clear     ? WaveLayout::Brinmoor
            : score <= -clear ? WaveLayout::Standard
                              : WaveLayout::Ambiguous;
}

} // namespace

WaveInfo recognizeWave(QIODevice *file, qint64 fileSize, WaveLayout readAs)
{
    WaveInfo info;
    if (fileSize == 0) {
        info.evidence = tr("empty file");
        info.unknownFormat = true;
        return info;
    }
    char head[WaveHeader::size];
    QString error;
    const qint64 got = readFullyAt(file, 0, head, WaveHeader::size, &error);
    if (got < 0) {
        info.unreadable = true;
        info.evidence = error;
        return info;
    }
    WaveFormat format;
    const bool readable = readWaveFormat(file, fileSize, &format, &error);
    if (format.unreadable) {
        info.unreadable = true;
        info.evidence = error;
        return info;
    }
    // Only a canonical header of PCM can stand in front of a recording; its
    // channels and bits may say anything.
    WaveHeader h = WaveHeader::brinmoorDefaults();
    h.assignFromBytes(head, WaveHeader::size);
    const bool candidate = got == WaveHeader::size && idAt(head, 0, "RIFF") &&
            idAt(head, 8, "WAVE") && idAt(head, 12, "fmt ") && h.fmtSize == 16 &&
            idAt(head, 36, "data") && h.audioFormat == 1;
    if (!readable && !candidate) {
        info.evidence = error;
        return info;
    }
    info.format = readable && format.rf64 ? QStringLiteral("RF64") : QStringLiteral("WAVE");
    if (!candidate) {
        info.layout = WaveLayout::Standard;
        info.evidence = sampleDescription(format);
        describeStandard(format, &info);
        return info;
    }
    QString readError;
    info.layout = judge(file, fileSize, h, &info.evidence, &readError);
    if (info.layout == WaveLayout::NotWave) {
        info.unreadable = true;
        info.evidence = readError;
        return info;
    }
    if (!readable) {
        // Only the recording's reading is left; a file that is clearly no
        // recording is refused for what makes it unreadable as a standard one.
        if (info.layout == WaveLayout::Standard) {
            info = WaveInfo();
            info.evidence = error;
            return info;
        }
        info.layout = WaveLayout::Brinmoor;
        info.evidence += QStringLiteral("; ") + tr("no standard file: %1").arg(error);
    }
    const bool brinmoor = info.layout == WaveLayout::Brinmoor ||
            (info.layout == WaveLayout::Ambiguous && readAs == WaveLayout::Brinmoor);
    if (brinmoor) {
        describeBrinmoor(h, fileSize, &info);
    } else {
        // A standard file whose header describes a format of its own is
        // best described by that format.
        if (info.layout == WaveLayout::Standard &&
            !(format.channels == 2 && format.bytesPerSample == 4 &&
              format.encoding == WaveFormat::Encoding::Integer))
            info.evidence = sampleDescription(format);
        describeStandard(format, &info);
    }
    return info;
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
    if (!wave)
        return true;
    // WAVE files in encodings other than PCM and float (telephony's u-law
    // and A-law, ADPCM, GSM) are decoded by the other formats' reader.
    WaveFormat format;
    return !readWaveFormat(file.get(), file->size(), &format, &error) && format.otherEncoding;
}

Warnings WaveInfo::warnings() const
{
    Warnings result;
    if (channels > 2)
        result.push_back({Warning::ChannelsLeftOut, channels});
    switch (extent) {
    case DataExtent::CutShort:
        result.push_back({Warning::CutShort, frames, announcedFrames});
        break;
    case DataExtent::Extended:
        result.push_back({Warning::Extended, frames, announcedFrames});
        break;
    case DataExtent::Unfinished:
        // Streaming writers leave standard headers like this on purpose; a
        // recording's header is left so only when its writer was stopped.
        if (layout == WaveLayout::Brinmoor)
            result.push_back({Warning::Unfinished, frames});
        break;
    case DataExtent::Matches:
    case DataExtent::Wrapped:
    case DataExtent::Saturated:
    case DataExtent::Rf64:
    case DataExtent::Unchecked:
    case DataExtent::Estimated:
        break;
    }
    return result;
}

std::unique_ptr<QFile> openSourceFile(const QString &fileName, QString *error)
{
    if (!nameSurvivesEncoding(fileName)) {
        *error = reasonText(FileReason::NameNotEncodable);
        return nullptr;
    }
    bool notRegular = false;
    auto file = Platform::openRegularFile(fileName, &notRegular, error);
    if (notRegular)
        *error = reasonText(FileReason::NotRegularFile);
    return file;
}

QString otherLayoutReason(const WaveInfo &info)
{
    return (info.layout == WaveLayout::Brinmoor
                    ? tr("this is a Brinmoor-WAVE recording (%1)")
                    : tr("this is a standard WAVE file, not a Brinmoor-WAVE recording (%1)"))
            .arg(info.evidence);
}

std::unique_ptr<QIODevice> openSource(const QString &fileName, WaveLayout wanted, WaveInfo *info)
{
    *info = WaveInfo();
    std::unique_ptr<QFile> in = openSourceFile(fileName, &info->evidence);
    if (!in) {
        info->unreadable = true;
        return nullptr;
    }
    return openSource(std::move(in), wanted, info);
}

std::unique_ptr<QIODevice> openSource(std::unique_ptr<QIODevice> in, WaveLayout wanted,
                                      WaveInfo *info)
{
    *info = WaveInfo();
    if (!in || !in->isReadable()) {
        info->unreadable = true;
        info->evidence = reasonText(FileReason::NotOpenForReading);
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
