#include "words.h"

#include "wave/pcmsample.h"

#include <QCoreApplication>
#include <QDir>

#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Words", text);
}

// What counts as damage, with the limit the readers apply.
QString damage()
{
    return tr("NaN, infinite or beyond \u00b1%1").arg(damageAbove);
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

QString warningText(const Warning &warning)
{
    const qint64 count = warning.count;
    switch (warning.kind) {
    case Warning::ChannelsLeftOut:
        return tr("%1 channels: only channels 1 and 2 are converted").arg(count);
    case Warning::CutShort:
        return tr("holds %1 of the %2 frames its header announces")
                .arg(count)
                .arg(warning.announced);
    case Warning::Extended:
        return tr("holds %1 frames, %2 more than its header announces")
                .arg(count)
                .arg(count - warning.announced);
    case Warning::Unfinished:
        return tr("its header was never finished; the %1 frames found are converted").arg(count);
    case Warning::Damaged:
        return (count == 1 ? tr("%1 damaged value (%2) was limited to full scale")
                           : tr("%1 damaged values (%2) were limited to full scale"))
                .arg(count)
                .arg(damage());
    case Warning::Overs:
        return tr("%1 values above full scale, up to %2 dBFS, from the filter's ringing: kept, "
                  "but a program that clips at full scale will clip them")
                .arg(count)
                .arg(20 * std::log10(warning.peak), 0, 'g', 3);
    case Warning::StreamCutShort:
        return tr("its stream ends without its last page, cut short: the %1 frames decoded are "
                  "converted")
                .arg(count);
    case Warning::ForeignFrames:
        return tr("%1 frames of another sample rate or channel count than the stream's were left "
                  "out: damage or a tag taken for audio, or another recording joined on")
                .arg(count);
    }
    return QString();
}

QString extentText(const WaveInfo &info)
{
    switch (info.extent) {
    case DataExtent::Matches:
        return tr("as its header announces");
    case DataExtent::CutShort:
        return tr("cut short: ") +
                warningText({Warning::CutShort, info.frames, info.announcedFrames});
    case DataExtent::Extended:
        return tr("extended: ") +
                warningText({Warning::Extended, info.frames, info.announcedFrames});
    case DataExtent::Unfinished:
        if (info.announcedBytes == 0)
            return tr("its header was never finished (size 0); read to the end");
        return tr("its header was never finished (size 0x%1, a placeholder); read to the end")
                .arg(QString::number(info.announcedBytes, 16).toUpper());
    case DataExtent::Wrapped:
        return tr("past 4 GiB; its 32-bit size wrapped; read to the end");
    case DataExtent::Saturated:
        return tr("past 4 GiB; its 32-bit size saturated; read to the end");
    case DataExtent::Rf64:
        return tr("64-bit sizes (RF64)");
    case DataExtent::Unchecked:
        return tr("as its container announces, which only decoding checks");
    case DataExtent::Estimated:
        return tr("estimated from the file's size, which only decoding checks");
    }
    return QString();
}

QString damageLeftOutText(qint64 count)
{
    return tr("%1 damaged values (%2) left out").arg(count).arg(damage());
}

QString batchSummaryText(const Batch &batch)
{
    QString text =
            tr("%1 converted, %2 failed").arg(batch.convertedCount()).arg(batch.failedCount());
    if (batch.noRecordingCount() > 0)
        text += tr(", %1 skipped (not recordings)").arg(batch.noRecordingCount());
    if (batch.skippedCount() > 0)
        text += tr(", %1 skipped (exist)").arg(batch.skippedCount());
    if (batch.notStartedCount() > 0)
        text += tr(", %1 not started").arg(batch.notStartedCount());
    return text;
}

QString taskFailureText(const BatchTask &task, const TaskEnd &end, const QString &chooseHint)
{
    const QString source = native(task.source);
    switch (end.failure) {
    case TaskFailure::Refused:
        return end.refusal;
    case TaskFailure::Clashes:
        if (end.clash && end.clash->kind == Batch::Clash::OverwritesSource)
            return tr("%1: %2 would overwrite the source %3")
                    .arg(source, native(task.destination), native(end.clash->source));
        return tr("%1: %2 was already written in this run").arg(source, native(task.destination));
    case TaskFailure::NoLayout:
        if (end.info.layout == WaveLayout::Ambiguous)
            return tr("%1: cannot tell its layout (%2); %3")
                    .arg(source, end.info.evidence, chooseHint);
        return (end.info.unreadable ? tr("cannot open %1: %2") : tr("%1: %2"))
                .arg(source, end.info.evidence);
    case TaskFailure::Conversion:
        return failureLine(task.source, end.result);
    case TaskFailure::Folder:
        return tr("cannot read the folder %1: %2").arg(source, task.folderError);
    case TaskFailure::LossyName:
        return lossyNameText(task.source);
    case TaskFailure::None:
        break;
    }
    return QString();
}

QString failureLine(const QString &source, const ConvertResult &result)
{
    // These reasons do not name a file of their own.
    if (result.error == ConvertError::SameFile || result.error == ConvertError::Cancelled)
        return tr("%1: %2").arg(native(source), result.reason);
    return result.reason;
}

QString lossyNameText(const QString &name)
{
    return tr("%1: the name is not valid in the system's file name encoding, and would name "
              "another file")
            .arg(native(name));
}
