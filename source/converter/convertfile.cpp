#include "convertfile.h"

#include "kerneldsp.h"
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#ifdef Q_OS_UNIX
#    include <sys/stat.h>
#endif

namespace {

constexpr int blockFrames = 200;
constexpr int flushFrames = 1000;
// Progress is reported when it moved by this fraction, after this many
// blocks, or at the end, whichever comes first: often enough to cancel at
// once and keep a window painting, rarely enough that a caller processing
// events on every report does not slow a long conversion down.
constexpr double reportStep = 0.001;
constexpr int reportBlocks = 16;
// What the stage can put out in one call.
constexpr double maxOutputFrames = 262144;

// The stage's filter passes low frequencies about 2.75 times too loud; these
// gains bring a full-scale source back below full scale.
constexpr double toStandardGain = 0.33;
constexpr double toBrinmoorGain = 0.3;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

ConvertResult failure(ConvertError error, const QString &reason)
{
    ConvertResult result;
    result.error = error;
    result.reason = reason;
    return result;
}

// A refused source: one that could not be read at all, or one that was
// read and is not what this direction converts.
ConvertResult sourceFailure(const QString &source, const WaveInfo &info, const QString &why)
{
    ConvertResult result = info.unreadable
            ? failure(ConvertError::SourceOpen,
                      QStringLiteral("cannot open %1: %2").arg(native(source), why))
            : failure(ConvertError::SourceFormat,
                      QStringLiteral("%1: %2").arg(native(source), why));
    result.source = info;
    return result;
}

QString damageWarning(qint64 count)
{
    return QCoreApplication::translate("ConvertFile",
                                       count == 1 ? "%1 damaged value (NaN, infinite or beyond "
                                                    "\u00b116) was limited to full scale"
                                                  : "%1 damaged values (NaN, infinite or beyond "
                                                    "\u00b116) were limited to full scale")
            .arg(count);
}

ConvertResult writeFailure(ConvertError error, const QString &destination, const QString &why)
{
    return failure(error, QStringLiteral("cannot write %1: %2").arg(native(destination), why));
}

} // namespace

bool isSameFile(const QString &a, const QString &b)
{
    const QFileInfo infoA(a);
    const QFileInfo infoB(b);
    if (!infoA.exists() || !infoB.exists())
        return false;
    if (infoA.canonicalFilePath() == infoB.canonicalFilePath())
        return true;
#ifdef Q_OS_UNIX
    // Hard links have different paths but one inode.
    struct stat statA;
    struct stat statB;
    if (::stat(QFile::encodeName(a).constData(), &statA) == 0 &&
        ::stat(QFile::encodeName(b).constData(), &statB) == 0)
        return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
#endif
    return false;
}

namespace {

// One direction of the conversion: Source reads, Destination writes. Both
// file classes share the calls used here.
template<class Source, class Destination>
ConvertResult convert(Source &reader, Destination &writer, const QString &source,
                      const QString &destination, const ConvertOptions &options)
{
    constexpr bool toStandard = std::is_same_v<Destination, StandardWaveFile>;

    // Nothing is created at the destination until the source has been
    // accepted and is known not to be the destination itself.
    if (!reader.open(source, QIODevice::ReadOnly))
        return sourceFailure(source, reader.sourceInfo(), reader.errorString());
    if (isSameFile(source, destination))
        return failure(ConvertError::SameFile,
                       QStringLiteral("source and destination are the same file"));
    ConvertResult result;
    result.source = reader.sourceInfo();
    result.warnings = result.source.warnings();

    // A writer reports its rate before it is opened, so an unusable source
    // rate is refused before the destination is touched.
    KernelDsp stage;
    const double sourceRate = reader.sampleRate();
    const double destinationRate = writer.sampleRate();
    result.destinationRate = destinationRate;
    const double outputCapacity = std::ceil(flushFrames * destinationRate / sourceRate);
    const ConvertResult unsupported =
            failure(ConvertError::UnsupportedRate,
                    QStringLiteral("%1: the sample rate of %2 Hz is not supported")
                            .arg(native(source))
                            .arg(sourceRate));
    if (!(outputCapacity >= 1 && outputCapacity <= maxOutputFrames) ||
        !stage.setRates(sourceRate, destinationRate))
        return unsupported;

    // A recording (or float source) that peaks above full scale is scaled
    // into range before the reader limits it, rather than clipped. The scan
    // is a pass over the whole file: it takes the first part of the
    // progress, and can be cancelled like the rest.
    const double scanShare = reader.needsPeak() ? 0.2 : 0.0;
    if (reader.needsPeak()) {
        bool measured = false;
        bool cancelled = false;
        const double peak = reader.measurePeak(measured, [&](double fraction) {
            cancelled = options.progress && !options.progress(fraction * scanShare);
            return !cancelled;
        });
        if (cancelled)
            return failure(ConvertError::Cancelled, QStringLiteral("cancelled"));
        if (!measured)
            return failure(
                    ConvertError::Read,
                    QStringLiteral("cannot read %1: %2").arg(native(source), reader.errorString()));
        reader.setReadScale(peak > 1.0 ? peak : 1.0);
        if (reader.damagedValues() > 0)
            result.warnings << damageWarning(reader.damagedValues());
    }

    const qint64 totalFrames = reader.totalFrames();
    if constexpr (toStandard) {
        // How long the destination will be decides whether its header needs
        // room for RF64's 64-bit sizes.
        writer.setExpectedFrames(qint64(std::ceil(double(totalFrames + blockFrames + flushFrames) *
                                                  destinationRate / sourceRate)));
    }
    if (!writer.open(destination, QIODevice::WriteOnly))
        return writeFailure(ConvertError::DestinationOpen, destination, writer.errorString());
    const double gain = toStandard ? toStandardGain : toBrinmoorGain;

    std::vector<Frame> input(flushFrames, Frame{0.0, 0.0});
    std::vector<Frame> output(static_cast<size_t>(outputCapacity), Frame{0.0, 0.0});
    // The flush carries the end of the recording out of the filter, so it
    // takes the same gain as the blocks before it.
    auto convertBlock = [&](int count) {
        int produced = 0;
        if (!stage.process(input.data(), count, output.data(), &produced))
            return unsupported;
        scaleFrames(gain, output.data(), produced);
        if (!writer.writeFrames(output.data(), produced))
            return writeFailure(ConvertError::Write, destination, writer.errorString());
        result.framesWritten += produced;
        return ConvertResult();
    };

    qint64 framesRead = 0;
    double reported = 0.0;
    int unreported = 0;
    for (;;) {
        const int got = reader.readFrames(input.data(), blockFrames);
        if (got < 0)
            return failure(
                    ConvertError::Read,
                    QStringLiteral("cannot read %1: %2").arg(native(source), reader.errorString()));
        if (got == 0)
            break;
        // The reader completes a short last block with silence, so the
        // stage always gets whole blocks.
        const ConvertResult step = convertBlock(blockFrames);
        if (!step.ok())
            return step;
        framesRead += got;
        const double fraction =
                totalFrames > 0 ? std::min(1.0, double(framesRead) / double(totalFrames)) : 0.0;
        if (++unreported < reportBlocks && fraction - reported < reportStep && fraction < 1.0)
            continue;
        reported = fraction;
        unreported = 0;
        if (options.progress && !options.progress(scanShare + (1.0 - scanShare) * fraction))
            return failure(ConvertError::Cancelled, QStringLiteral("cancelled"));
    }

    std::fill(input.begin(), input.end(), Frame{0.0, 0.0});
    const ConvertResult flushed = convertBlock(flushFrames);
    if (!flushed.ok())
        return flushed;

    // The standard file is closed first. Only the destination's close can
    // fail in a way that matters: it finishes the header and puts the file
    // in place.
    if constexpr (!toStandard)
        reader.close();
    if (!writer.close())
        return writeFailure(ConvertError::Write, destination, writer.errorString());
    if constexpr (toStandard)
        reader.close();
    return result;
}

} // namespace

ConvertResult convertFile(const QString &source, const QString &destination, int type,
                          const ConvertOptions &options)
{
    BrinmoorWaveFile brinmoorFile;
    StandardWaveFile standardFile;
    if (type == BrinmoorToStandard)
        return convert(brinmoorFile, standardFile, source, destination, options);
    return convert(standardFile, brinmoorFile, source, destination, options);
}

int convertFile(const QString &source, const QString &destination, int type)
{
    // Keep the window painting and answering during a long conversion,
    // without paying for an event round per block.
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    ConvertOptions options;
    options.progress = [&sinceEvents](double) {
        if (sinceEvents.elapsed() >= 10 && QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            sinceEvents.restart();
        }
        return true;
    };
    return convertFile(source, destination, type, options).ok() ? 0 : -1;
}

void scaleFrames(double gain, Frame *frames, int count)
{
    for (int i = 0; i < count; ++i) {
        frames[i].left *= gain;
        frames[i].right *= gain;
    }
}
