#include "flacnames.h"

#include "wave/recognize.h"

#include <QFileInfo>

std::vector<BatchTask> withFlacNames(std::vector<BatchTask> tasks, std::optional<Direction> type)
{
    for (BatchTask &task : tasks) {
        const bool toStandard = type ? *type == Direction::BrinmoorToStandard
                                     : recognizeWave(task.source).layout == WaveLayout::Brinmoor;
        const QFileInfo destination(task.destination);
        if (toStandard && destination.suffix().toLower() == QLatin1String("wav"))
            task.destination = destination.path() + QLatin1Char('/') +
                    destination.completeBaseName() + QStringLiteral(".flac");
    }
    return tasks;
}
