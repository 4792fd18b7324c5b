#include "batch.h"

#include "wave/recognize.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

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

std::optional<Batch::Clash> Batch::clash(size_t index) const
{
    const BatchTask &task = list.at(index);
    for (size_t i = 0; i < list.size(); ++i) {
        if (i != index && isSameFile(task.destination, list[i].source))
            return Clash{Clash::OverwritesSource, list[i].source};
    }
    if (written.contains(QFileInfo(task.destination).absoluteFilePath()))
        return Clash{Clash::AlreadyWritten, QString()};
    return std::nullopt;
}

void Batch::converted(size_t index)
{
    written << QFileInfo(list.at(index).destination).absoluteFilePath();
}

void Batch::failed()
{
    ++failures;
}

void Batch::skipped()
{
    ++skips;
}

BatchProgress::BatchProgress(std::vector<double> seconds)
    : durations(std::move(seconds))
    , fractions(durations.size(), 0.0)
{
    for (double duration : durations)
        allSeconds += duration;
}

void BatchProgress::reach(size_t task, double fraction)
{
    fraction = qBound(0.0, fraction, 1.0);
    doneSeconds += durations[task] * (fraction - fractions[task]);
    tasksFraction += fraction - fractions[task];
    fractions[task] = fraction;
}

void BatchProgress::done(size_t task)
{
    reach(task, 1.0);
    ++finished;
}

double BatchProgress::overall() const
{
    return allSeconds > 0 ? doneSeconds / allSeconds : tasksFraction / double(durations.size());
}

std::vector<double> sourceDurations(const std::vector<BatchTask> &tasks)
{
    std::vector<double> seconds;
    seconds.reserve(tasks.size());
    for (const BatchTask &task : tasks) {
        const WaveInfo info = recognizeWave(task.source);
        seconds.push_back(info.recognised() && info.sampleRate > 0
                                  ? double(info.frames) / info.sampleRate
                                  : 0.0);
    }
    return seconds;
}

namespace {

// The tasks are taken in order by up to `jobs` workers; their ends are
// counted, and told, in order under `mutex`; progress is added up under a
// lock of its own, so that a worker reporting progress never waits for one
// that tells an end.
class Runner
{
public:
    Runner(Batch &runBatch, const BatchOptions &runOptions)
        : batch(runBatch)
        , tasks(runBatch.tasks())
        , options(runOptions)
        , ends(tasks.size())
        , whole(options.seconds.empty() ? std::vector<double>(tasks.size()) : options.seconds)
    {
        for (const BatchTask &task : tasks)
            destinations << QFileInfo(task.destination).absoluteFilePath();
    }

    void run()
    {
        const int jobs = std::max(options.jobs, 1);
        const int threads =
                options.oneAtATime ? 1 : int(std::min<size_t>(size_t(jobs), tasks.size()));
        parallelParts = threads == 1 && jobs > 1;
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i)
            workers.emplace_back([this] { work(); });
        work();
        for (std::thread &worker : workers)
            worker.join();
    }

private:
    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            if (next == tasks.size() || stopped ||
                (options.stopRequested && options.stopRequested()))
                return;
            const size_t index = next++;
            const QString &destination = destinations[int(index)];
            changed.wait(lock, [&] {
                for (size_t i = counted; i < index; ++i)
                    if (destinations[int(i)] == destination)
                        return false;
                return true;
            });
            const bool skip = index < options.skip.size() && options.skip[index];
            TaskEnd end;
            if (skip) {
                end.outcome = TaskOutcome::Skipped;
            } else if (index < options.refusals.size() && !options.refusals[index].isEmpty()) {
                end.failure = TaskFailure::Refused;
                end.refusal = options.refusals[index];
            } else {
                end.clash = batch.clash(index);
                if (end.clash)
                    end.failure = TaskFailure::Clashes;
            }
            lock.unlock();

            if (options.started)
                options.started(index);
            if (end.failure != TaskFailure::None)
                end.outcome = TaskOutcome::Failed;
            else if (!skip)
                end = convert(index);
            report(index, 1.0, true);

            lock.lock();
            stopped = stopped || end.outcome == TaskOutcome::Stopped;
            ends[index] = std::move(end);
            ended[index] = true;
            while (counted < tasks.size() && ended[counted]) {
                const TaskEnd &done = ends[counted];
                if (done.outcome == TaskOutcome::Converted)
                    batch.converted(counted);
                else if (done.outcome == TaskOutcome::Failed)
                    batch.failed();
                else if (done.outcome == TaskOutcome::Skipped)
                    batch.skipped();
                if (options.finished)
                    options.finished(counted, done);
                ++counted;
            }
            changed.notify_all();
        }
    }

    TaskEnd convert(size_t index)
    {
        const BatchTask &task = tasks[index];
        TaskEnd end;
        end.type = options.type;
        if (!end.type)
            end.type = directionFor(task.source, &end.info);
        if (!end.type) {
            end.outcome = TaskOutcome::Failed;
            end.failure = TaskFailure::NoLayout;
            return end;
        }
        ConvertOptions convertOptions;
        convertOptions.parallel = parallelParts;
        convertOptions.quality = options.quality;
        convertOptions.standard = options.standard;
        convertOptions.progress = [this, index](double fraction) {
            return report(index, fraction, false);
        };
        end.result = convertFile(task.source, task.destination, *end.type, convertOptions);
        if (end.result.ok()) {
            end.outcome = TaskOutcome::Converted;
        } else if (end.result.error != ConvertError::Cancelled) {
            end.outcome = TaskOutcome::Failed;
            end.failure = TaskFailure::Conversion;
        }
        return end;
    }

    bool report(size_t index, double fraction, bool done)
    {
        const std::lock_guard<std::mutex> lock(progressMutex);
        if (done)
            whole.done(index);
        else
            whole.reach(index, fraction);
        return !options.progress || options.progress(index, fraction, whole);
    }

    Batch &batch;
    const std::vector<BatchTask> &tasks;
    const BatchOptions &options;
    QStringList destinations; // absolute paths, one per task
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t counted = 0; // tasks before this one are counted and told
    bool stopped = false;
    std::vector<TaskEnd> ends;
    std::vector<bool> ended = std::vector<bool>(tasks.size(), false);
    bool parallelParts = false;
    std::mutex progressMutex;
    BatchProgress whole;
};

} // namespace

void runBatch(Batch &batch, const BatchOptions &options)
{
    Runner(batch, options).run();
}

std::optional<Direction> directionFor(const QString &source, WaveInfo *info)
{
    *info = recognizeWave(source);
    switch (info->layout) {
    case WaveLayout::Brinmoor:
        return Direction::BrinmoorToStandard;
    case WaveLayout::Standard:
        return Direction::StandardToBrinmoor;
    case WaveLayout::NotWave:
    case WaveLayout::Ambiguous:
        break;
    }
    return std::nullopt;
}
