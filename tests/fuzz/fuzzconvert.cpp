#include "fuzztargets.h"

#include "converter/convertfile.h"
#include "fuzzscratch.h"
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QDir>

#include <cmath>
#include <cstring>

namespace fuzz {

namespace {

// After a conversion: on success a destination that its own class reads
// back with the frame count reported; on failure a reason, the earlier
// destination untouched, and no temporary file left beside it.
QString checkConversion(const QString &source, int type)
{
    const QString dir = scratch().filePath(QStringLiteral("out"));
    QDir(dir).removeRecursively();
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot make the destination directory");
    const QString destination = dir + QStringLiteral("/destination.wav");
    const QByteArray precious("an earlier destination");
    if (!writeFile(destination, precious.constData(), std::size_t(precious.size())))
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
        if (readFile(destination) != precious)
            return QStringLiteral("a failed conversion changed the destination");
        return {};
    }

    if (type == BrinmoorToStandard) {
        StandardWaveFile out;
        if (!out.open(destination, QIODevice::ReadOnly))
            return QStringLiteral("the standard destination does not open: ") + out.errorString();
        if (out.totalFrames() != result.framesWritten || out.sampleRate() != 44100.0)
            return QStringLiteral("the standard destination holds %1 frames at %2 Hz, not %3")
                    .arg(out.totalFrames())
                    .arg(out.sampleRate())
                    .arg(result.framesWritten);
        return {};
    }
    BrinmoorWaveFile out;
    if (!out.open(destination, QIODevice::ReadOnly))
        return QStringLiteral("the Brinmoor-WAVE destination does not open: ") + out.errorString();
    if (out.totalFrames() != result.framesWritten || out.sampleRate() != 39062.5)
        return QStringLiteral("the Brinmoor-WAVE destination holds %1 frames at %2 Hz, not %3")
                .arg(out.totalFrames())
                .arg(out.sampleRate())
                .arg(result.framesWritten);
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

} // namespace

QString convert(const char *data, std::size_t size)
{
    if (!scratch().isValid())
        return QStringLiteral("no scratch directory");
    const QString source = scratch().filePath(QStringLiteral("source.wav"));
    if (!writeFile(source, data, size))
        return QStringLiteral("cannot write the input file");
    for (const int type : {int(StandardToBrinmoor), int(BrinmoorToStandard)}) {
        const QString fault = checkConversion(source, type);
        if (!fault.isEmpty())
            return (type == BrinmoorToStandard ? QStringLiteral("to standard: ")
                                               : QStringLiteral("to Brinmoor-WAVE: ")) +
                    fault;
    }
    return {};
}

} // namespace fuzz
