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
#include <type_traits>

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

// A file class's open() does not say whether the file was missing or
// unreadable, or readable but refused; a plain open tells the two apart.
ConvertResult sourceOpenFailure(const QString &source, const QString &why)
{
    QFile probe(source);
    if (probe.open(QIODevice::ReadOnly))
        return failure(ConvertError::SourceFormat,
                       QStringLiteral("%1: %2").arg(native(source), why));
    return failure(ConvertError::SourceOpen,
                   QStringLiteral("cannot open %1: %2").arg(native(source), probe.errorString()));
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

// Reports the fraction of the source read when it moved by reportStep,
// after reportBlocks blocks, or at the end, whichever comes first. A pass
// that starts again after `done` of the work counts as the rest of it, so
// that the fraction never goes back.
class ProgressThrottle
{
public:
    ProgressThrottle(const ConvertOptions &options, qint64 totalFrames, double done)
        : report(options.progress)
        , total(totalFrames)
        , base(done)
        , reported(done)
    { }

    // False when the caller cancels.
    bool framesRead(qint64 frames)
    {
        const double read = total > 0 ? std::min(1.0, double(frames) / double(total)) : 0.0;
        const double fraction = base + (1.0 - base) * read;
        if (++unreported < reportBlocks && fraction - reported < reportStep && read < 1.0)
            return true;
        reported = fraction;
        unreported = 0;
        return !report || report(fraction);
    }

    double fraction() const { return reported; }

private:
    const std::function<bool(double)> &report;
    qint64 total;
    double base;
    double reported;
    int unreported = 0;
};

// One conversion from a Source file class into a Destination file class;
// both share the calls used here.
template<class Source, class Destination>
class Conversion
{
public:
    static constexpr bool toStandard = std::is_same_v<Destination, StandardWaveFile>;

    Conversion(Source &sourceFile, Destination &destinationFile, const QString &sourcePath,
               const QString &destinationPath, const ConvertOptions &convertOptions)
        : reader(sourceFile)
        , writer(destinationFile)
        , source(sourcePath)
        , destination(destinationPath)
        , options(convertOptions)
    { }

    ConvertResult run()
    {
        ConvertResult step = open();
        if (step.ok())
            step = pass();
        if (step.ok() && overFullScale) {
            step = restartScaled();
            if (step.ok())
                step = pass();
        }
        return step.ok() ? finish() : step;
    }

private:
    // Opens both files. Nothing is created at the destination until the
    // source has been accepted and is known not to be the destination
    // itself; a writer reports its rate before it is opened, so an unusable
    // source rate is refused before the destination is touched.
    ConvertResult open()
    {
        if (!reader.open(source, QIODevice::ReadOnly))
            return sourceOpenFailure(source, reader.errorString());
        if (isSameFile(source, destination))
            return failure(ConvertError::SameFile,
                           QStringLiteral("source and destination are the same file"));
        if (!stage.setRates(reader.sampleRate(), writer.sampleRate()))
            return unsupportedRate();
        // Room for the largest call, the flush.
        outputCapacity = stage.mostOutputsFor(flushFrames);
        if (outputCapacity < 1 || outputCapacity > KernelDsp::maxOutputFrames)
            return unsupportedRate();
        if (!writer.open(destination, QIODevice::WriteOnly))
            return writeFailure(ConvertError::DestinationOpen, writer.errorString());
        return {};
    }

    // The whole recording through the stage into the destination, then the
    // flush that carries its end out of the filter. The flush takes the same
    // gain as the blocks before it.
    ConvertResult pass()
    {
        ProgressThrottle progress(options, reader.totalFrames(), progressSoFar);
        qint64 framesRead = 0;
        for (;;) {
            const int got = reader.readFramesRounded(stage.input(), blockFrames);
            if (got < 0)
                return readFailure();
            if (got == 0)
                break;
            if constexpr (toStandard) {
                // A recording that peaks above full scale is scaled into
                // range before the reader clamps it, rather than clipped;
                // the pass that reads it unscaled ends as soon as that shows.
                if (!scaled && reader.peakRead() > 1.0) {
                    overFullScale = true;
                    progressSoFar = progress.fraction();
                    return {};
                }
            }
            // The reader completes a short last block with silence, so the
            // stage always gets whole blocks.
            const ConvertResult step = convertBlock(blockFrames);
            if (!step.ok())
                return step;
            framesRead += got;
            if (!progress.framesRead(framesRead))
                return failure(ConvertError::Cancelled, QStringLiteral("cancelled"));
        }
        std::fill(stage.input(), stage.input() + flushFrames, Frame{0.0, 0.0});
        return convertBlock(flushFrames);
    }

    // The stage writes straight into the destination's buffer.
    ConvertResult convertBlock(int count)
    {
        Frame *out = writer.frameSpace(int(outputCapacity));
        if (!out)
            return writeFailure(ConvertError::Write, writer.errorString());
        int produced = 0;
        if (!stage.processInput(count, true, gain, out, &produced))
            return unsupportedRate();
        if (!writer.commitFrames(produced))
            return writeFailure(ConvertError::Write, writer.errorString());
        result.framesWritten += produced;
        return {};
    }

    // Only a recording that peaks above full scale is read, and its
    // destination written, a second time.
    ConvertResult restartScaled()
    {
        if constexpr (toStandard) {
            bool measured = false;
            const double peak = reader.measurePeak(measured);
            if (!measured)
                return readFailure();
            reader.setReadScale(peak);
            scaled = true;
        }
        stage.setRates(reader.sampleRate(), writer.sampleRate());
        result.framesWritten = 0;
        // Opening again discards what the first pass wrote.
        if (!writer.open(destination, QIODevice::WriteOnly))
            return writeFailure(ConvertError::DestinationOpen, writer.errorString());
        return {};
    }

    // The standard file is closed first. Only the destination's close can
    // fail in a way that matters: it finishes the header and puts the file
    // in place.
    ConvertResult finish()
    {
        if constexpr (!toStandard)
            reader.close();
        if (!writer.close())
            return writeFailure(ConvertError::Write, writer.errorString());
        if constexpr (toStandard)
            reader.close();
        return result;
    }

    ConvertResult unsupportedRate() const
    {
        return failure(ConvertError::UnsupportedRate,
                       QStringLiteral("%1: the sample rate of %2 Hz is not supported")
                               .arg(native(source))
                               .arg(reader.sampleRate()));
    }

    ConvertResult readFailure() const
    {
        return failure(
                ConvertError::Read,
                QStringLiteral("cannot read %1: %2").arg(native(source), reader.errorString()));
    }

    ConvertResult writeFailure(ConvertError error, const QString &why) const
    {
        return failure(error, QStringLiteral("cannot write %1: %2").arg(native(destination), why));
    }

    // The stage's filter passes low frequencies about 2.75 times too loud;
    // these gains bring a full-scale source back below full scale.
    static constexpr double gain = toStandard ? 0.33 : 0.3;

    Source &reader;
    Destination &writer;
    const QString &source;
    const QString &destination;
    const ConvertOptions &options;
    KernelDsp stage;
    long long outputCapacity = 0;
    bool overFullScale = false;
    bool scaled = false;
    double progressSoFar = 0.0;
    ConvertResult result;
};

} // namespace

ConvertResult convertFile(const QString &source, const QString &destination, int type,
                          const ConvertOptions &options)
{
    BrinmoorWaveFile brinmoorFile;
    StandardWaveFile standardFile;
    if (type == BrinmoorToStandard)
        return Conversion(brinmoorFile, standardFile, source, destination, options).run();
    return Conversion(standardFile, brinmoorFile, source, destination, options).run();
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
