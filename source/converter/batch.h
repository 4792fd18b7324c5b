#pragma once

#include "convertfile.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// Several recordings converted at once: quorvia-convert and the window's
// batch both run them through runBatch(), so that both name, refuse, order
// and count their outputs alike.

struct BatchTask
{
    BatchTask(QString from, QString to, bool inFolder = false, QString listingError = QString())
        : source(std::move(from))
        , destination(std::move(to))
        , found(inFolder)
        , folderError(std::move(listingError))
    { }

    QString source;
    QString destination;
    // Found by walking a folder rather than named: a file that is no
    // recording at all (see isNoRecording()) is skipped, not failed.
    bool found = false;
    // A folder of the walk that could not be listed, with the system's
    // reason: the task (its source that folder) fails with it.
    QString folderError;
    // Found with a name that the program's text cannot hold: it would name
    // another file, or none, so the task fails.
    bool lossyName = false;
};

// A file found under a folder: its path, and that path relative to the
// folder walked.
struct FoundFile
{
    QString path;
    QString relative;
    QString folderError; // a subfolder that could not be listed, and why
    bool lossyName = false;
};

// Every file under `folder` and its subfolders (and what is neither file
// nor folder: FIFOs, links to nothing), sorted by relative path so that
// every run takes them in the same order. Links to folders are not
// followed, so that no link makes a loop; a subfolder that is `leaveOut`
// (the output folder, when it lies inside) is not entered. The walk ends
// early, with what it found so far, when `stop` returns true.
std::vector<FoundFile> filesUnder(const QString &folder, const QString &leaveOut = QString(),
                                  const std::function<bool()> &stop = {});

// True for a file found in a folder that is no recording at all: not a
// regular file, or one that no reader takes for audio of any kind it
// knows. A file that a reader knows but cannot read is a damaged
// recording, not this. `info` is what recognizeWave() found in it.
bool isNoRecording(const QString &path, const WaveInfo &info);

class Batch
{
public:
    explicit Batch(std::vector<BatchTask> tasks);
    // Every source into `directory`, named after it: its name without the
    // last suffix, with ".wav". With `walkFolders`, a source that is a
    // folder stands for every file under it (filesUnder()), each into the
    // same relative path under `directory`; `stop` as filesUnder()'s.
    static Batch intoFolder(const QStringList &sources, const QString &directory,
                            bool walkFolders = false, const std::function<bool()> &stop = {});
    // The output's name for `source`.
    static QString outputName(const QString &source);

    const std::vector<BatchTask> &tasks() const { return list; }

    // Why a task must not run: its output would replace a source of this
    // batch (`source`), or a file that this batch has already written.
    struct Clash
    {
        enum Kind { OverwritesSource, AlreadyWritten } kind;
        QString source; // OverwritesSource: the source it would replace
    };
    // The clash of task `index`, or none when it may run.
    std::optional<Clash> clash(size_t index) const;

    // How a task ended. A task that was stopped is recorded as neither: it
    // was left as if never started.
    void converted(size_t index);
    void failed();
    // A task the user chose not to run, its output being there already.
    void skipped();
    // A task found in a folder that is no recording.
    void noRecording();

    int convertedCount() const { return int(written.size()); }
    int failedCount() const { return failures; }
    int skippedCount() const { return skips; }
    int noRecordingCount() const { return noRecordings; }
    // Neither converted, failed nor skipped: stopped, or never reached.
    int notStartedCount() const
    {
        return int(list.size()) - convertedCount() - failedCount() - skips - noRecordings;
    }

private:
    std::vector<BatchTask> list;
    QStringList written; // absolute paths of the outputs so far
    int failures = 0;
    int skips = 0;
    int noRecordings = 0;
};

// How far a batch has come: each task's fraction, and the whole's, in which
// each task weighs as its duration in seconds (or all alike when no
// duration is known).
class BatchProgress
{
public:
    explicit BatchProgress(std::vector<double> seconds);

    // Task `task` has done `fraction` (0 ... 1) of its work.
    void reach(size_t task, double fraction);
    // Task `task` ended, converted or not: its share counts as done.
    void done(size_t task);

    double overall() const;
    size_t taskCount() const { return durations.size(); }
    size_t tasksDone() const { return finished; }
    double secondsDone() const { return doneSeconds; }
    double totalSeconds() const { return allSeconds; }

private:
    std::vector<double> durations;
    std::vector<double> fractions;
    double allSeconds = 0.0;
    double doneSeconds = 0.0;
    double tasksFraction = 0.0; // the tasks' fractions added up
    size_t finished = 0;
};

// Each source's duration, for the shares of a BatchProgress; 0 where unknown.
std::vector<double> sourceDurations(const std::vector<BatchTask> &tasks);

enum class TaskOutcome {
    Converted,
    Failed,
    Skipped,     // not run: the options said so
    NoRecording, // found in a folder, and no recording at all
    Stopped,     // cancelled, and left as if never started
};

// Why a task failed; the front ends put it into words.
enum class TaskFailure {
    None,
    Refused,    // by the caller, with its own line (`refusal`)
    Clashes,    // with a source or an output of the batch (`clash`)
    NoLayout,   // no recording of either layout, or one whose layout cannot be told (`info`)
    Conversion, // the conversion failed (`result`)
    Folder,     // a folder of the walk could not be listed (the task's `folderError`)
    LossyName,  // found with a name that would name another file
};

struct TaskEnd
{
    TaskOutcome outcome = TaskOutcome::Stopped;
    std::optional<Direction> type; // the direction it was converted in, if one was found
    ConvertResult result;          // the conversion's, when it ran
    TaskFailure failure = TaskFailure::None;
    QString refusal;                   // Refused
    std::optional<Batch::Clash> clash; // Clashes
    WaveInfo info;                     // NoLayout: what recognition found
};

struct BatchOptions
{
    // Up to this many tasks at once, each on a thread of its own; threads
    // left over from the tasks go to the two halves of a long one.
    int jobs = 1;
    // Every task on the calling thread, one after the other: for a caller
    // whose callbacks run its event loop. `jobs` still allows the halves.
    bool oneAtATime = false;
    ResamplingQuality quality = ResamplingQuality::Original;
    StandardFormat standard; // of every standard destination
    // The direction of every task, or none: each in the direction its
    // source's layout calls for; a source whose layout cannot be told
    // fails (TaskFailure::NoLayout).
    std::optional<Direction> type;
    // Per task, empty or complete: a line that refuses it before it runs,
    // and whether to skip it.
    std::vector<QString> refusals;
    std::vector<bool> skip;
    // Each task's duration, for the progress's shares; empty: all alike.
    std::vector<double> seconds;

    // What happened is told through these, each from one thread at a time
    // (a worker's, for all but `finished` under the batch's lock).
    // A task is taken; it may yet be skipped or refused.
    std::function<void(size_t task)> started;
    // A task moved; false stops it, and no other task starts.
    std::function<bool(size_t task, double fraction, const BatchProgress &whole)> progress;
    // Before a task is taken: true stops the batch there.
    std::function<bool()> stopRequested;
    // A task ended. Called in the order of the tasks, whatever order they
    // end in, once the batch has counted it.
    std::function<void(size_t task, const TaskEnd &end)> finished;
};

// Runs the batch's tasks, each taking the next one in order, and counts
// their ends in `batch`. A task whose destination an earlier task also
// names waits until that one is counted, so that it is refused exactly when
// the earlier one wrote the file. Once a task has been stopped, no other
// starts.
void runBatch(Batch &batch, const BatchOptions &options);

// The direction that reads a source recognised as `info`, decided only on a
// clear verdict, or none: it is no recording of either layout, or one
// whose layout cannot be told; `info` says which, and why.
std::optional<Direction> directionFor(const WaveInfo &info);
