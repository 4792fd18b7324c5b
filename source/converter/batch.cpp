#include "batch.h"

#include "wave/wavelayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Batch", text);
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

Batch::Batch(std::vector<BatchTask> tasks)
    : list(std::move(tasks))
{ }

Batch Batch::intoFolder(const QStringList &sources, const QString &directory)
{
    const QDir folder(directory);
    std::vector<BatchTask> tasks;
    tasks.reserve(size_t(sources.size()));
    for (const QString &source : sources)
        tasks.push_back(
                {source,
                 folder.filePath(QFileInfo(source).completeBaseName() + QStringLiteral(".wav"))});
    return Batch(std::move(tasks));
}

QString Batch::refusal(size_t index) const
{
    const BatchTask &task = list.at(index);
    const QString source = native(task.source);
    for (size_t i = 0; i < list.size(); ++i) {
        if (i != index && isSameFile(task.destination, list[i].source))
            return tr("%1: %2 would overwrite the source %3")
                    .arg(source, native(task.destination), native(list[i].source));
    }
    if (written.contains(QFileInfo(task.destination).absoluteFilePath()))
        return tr("%1: %2 was already written in this run").arg(source, native(task.destination));
    return QString();
}

void Batch::converted(size_t index)
{
    written << QFileInfo(list.at(index).destination).absoluteFilePath();
}

void Batch::failed(const QString &line)
{
    failures << line;
}

void Batch::skipped()
{
    ++skips;
}

QString Batch::summary() const
{
    QString text = tr("%1 converted, %2 failed").arg(convertedCount()).arg(failedCount());
    if (skips > 0)
        text += tr(", %1 skipped").arg(skips);
    if (notStartedCount() > 0)
        text += tr(", %1 not started").arg(notStartedCount());
    return text;
}

int directionFor(const QString &source, QString *failure, const QString &chooseHint)
{
    const WaveInfo info = recognizeWave(source);
    QString why;
    switch (info.layout) {
    case WaveLayout::Brinmoor:
        return BrinmoorToStandard;
    case WaveLayout::Standard:
        return StandardToBrinmoor;
    case WaveLayout::NotWave:
        why = info.unreadable ? QStringLiteral("cannot open %1: %2") : QStringLiteral("%1: %2");
        break;
    case WaveLayout::Ambiguous:
        why = QStringLiteral("%1: cannot tell its layout (%2); ") + chooseHint;
        break;
    }
    if (failure)
        *failure = why.arg(native(source), info.evidence);
    return -1;
}

QString failureLine(const QString &source, const ConvertResult &result)
{
    // These reasons do not name a file of their own.
    if (result.error == ConvertError::SameFile || result.error == ConvertError::Cancelled)
        return QStringLiteral("%1: %2").arg(native(source), result.reason);
    return result.reason;
}
