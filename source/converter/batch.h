#pragma once

#include "convertfile.h"

#include <QString>
#include <QStringList>

#include <vector>

// Several recordings converted into one folder: quorvia-convert -o and the
// window's drop of several files share these rules, so that both name and
// refuse outputs alike.

struct BatchTask
{
    QString source;
    QString destination;
};

class Batch
{
public:
    explicit Batch(std::vector<BatchTask> tasks);
    // Every source into `directory`, named after it: its name without the
    // last suffix, with ".wav".
    static Batch intoFolder(const QStringList &sources, const QString &directory);

    const std::vector<BatchTask> &tasks() const { return list; }

    // Why task `index` must not run, in a line that names its source: its
    // output would replace a source of this batch or a file that this batch
    // has already written. Empty when it may run.
    QString refusal(size_t index) const;

    // How a task ended. A task that was stopped is recorded as neither: it
    // was left as if never started.
    void converted(size_t index);
    void failed(const QString &line);
    // A task the user chose not to run, its output being there already.
    void skipped();

    int convertedCount() const { return int(written.size()); }
    int failedCount() const { return int(failures.size()); }
    int skippedCount() const { return skips; }
    // Neither converted, failed nor skipped: stopped, or never reached.
    int notStartedCount() const
    {
        return int(list.size()) - convertedCount() - failedCount() - skips;
    }
    // One line per failed task, as given to failed().
    const QStringList &failureLines() const { return failures; }
    // "12 converted, 1 failed", and how many were skipped, and how many
    // were not started after a stop.
    QString summary() const;

private:
    std::vector<BatchTask> list;
    QStringList written; // absolute paths of the outputs so far
    QStringList failures;
    int skips = 0;
};

// The direction that reads the layout of `source`, decided only on a clear
// verdict: BrinmoorToStandard or StandardToBrinmoor, or -1 with *failure, a
// line that names the source and says why it is no recording of either, or
// why its layout cannot be told, followed by `chooseHint`: how the front end
// lets the user choose.
int directionFor(const QString &source, QString *failure, const QString &chooseHint);

// A failed conversion's reason as one line that names the source, for a
// list of many files.
QString failureLine(const QString &source, const ConvertResult &result);
