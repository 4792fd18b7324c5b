#include "batch.h"

#include "wave/recognize.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

namespace fs = std::filesystem;

// A name as the system gives it, in the program's text: decoded as every
// file name is (QFile::decodeName()). *lossy when decoding lost bytes, so
// that the text would name another file, or none.
QString decodedName(const std::string &raw, bool *lossy)
{
    const QByteArray bytes(raw.data(), int(raw.size()));
    const QString name = QFile::decodeName(bytes);
    *lossy = QFile::encodeName(name) != bytes;
    return name;
}

// Where names are UTF-16 already, nothing is lost.
[[maybe_unused]] QString decodedName(const std::wstring &raw, bool *lossy)
{
    *lossy = false;
    return QString::fromStdWString(raw);
}

fs::path systemPath(const QString &path)
{
#ifdef Q_OS_WIN
    return fs::path(path.toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

QString reasonOf(const std::error_code &error)
{
    return QString::fromLocal8Bit(error.message().c_str());
}

// The listing is the system's own, not QDir's: QDir lists an unreadable
// folder as empty, and leaves out names it cannot decode, where a
// recording would be lost without a word.
void walk(const QString &folder, const QString &relative, const QString &leaveOut,
          const std::function<bool()> &stop, std::vector<FoundFile> *found)
{
    std::error_code error;
    fs::directory_iterator entry(systemPath(folder), error);
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        if (stop && stop())
            return;
        bool lossy = false;
        const QString name = decodedName(entry->path().filename().native(), &lossy);
        const QString path = prefix + name;
        const QString inTree = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
        const QFileInfo file(path);
        if (lossy) {
            found->push_back({path, inTree, QString(), true});
        } else if (file.isDir() && !file.isSymLink()) {
            if (leaveOut.isEmpty() || !isSameFile(path, leaveOut))
                walk(path, inTree, leaveOut, stop, found);
        } else if (!file.isDir()) {
            found->push_back({path, inTree, QString(), false});
        }
    }
    if (error)
        found->push_back({folder, relative, reasonOf(error), false});
}

} // namespace

std::vector<FoundFile> filesUnder(const QString &folder, const QString &leaveOut,
                                  const std::function<bool()> &stop)
{
    std::vector<FoundFile> found;
    // "rec/" as "rec": the paths found are shown to the user.
    walk(QDir::cleanPath(folder), QString(), leaveOut, stop, &found);
    std::sort(found.begin(), found.end(),
              [](const FoundFile &a, const FoundFile &b) { return a.relative < b.relative; });
    return found;
}

bool isNoRecording(const QString &path, const WaveInfo &info)
{
    // Something that is there but no regular file: a FIFO, a socket, a
    // link to nothing. A name that names nothing at all fails instead: the
    // file went away, or its name did not survive decoding.
    const QFileInfo file(path);
    if (!file.isFile())
        return file.exists() || file.isSymLink();
    return info.unknownFormat;
}

Batch::Batch(std::vector<BatchTask> tasks)
    : list(std::move(tasks))
{ }

Batch Batch::intoFolder(const QStringList &sources, const QString &directory, bool walkFolders,
                        const std::function<bool()> &stop)
{
    const QDir folder(directory);
    std::vector<BatchTask> tasks;
    tasks.reserve(size_t(sources.size()));
    for (const QString &source : sources) {
        if (!walkFolders || !QFileInfo(source).isDir()) {
            tasks.push_back({source, folder.filePath(outputName(source))});
            continue;
        }
        for (FoundFile &file : filesUnder(source, directory, stop)) {
            // The same relative path; a folder that could not be listed
            // names the folder its outputs would have gone to.
            const QString at = folder.filePath(file.relative);
            BatchTask task(std::move(file.path),
                           file.folderError.isEmpty()
                                   ? QDir(QFileInfo(at).path()).filePath(outputName(at))
                                   : at,
                           true, std::move(file.folderError));
            task.lossyName = file.lossyName;
            tasks.push_back(std::move(task));
        }
    }
    return Batch(std::move(tasks));
}

QString Batch::outputName(const QString &source)
{
    return QFileInfo(source).completeBaseName() + QStringLiteral(".wav");
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

void Batch::noRecording()
{
    ++noRecordings;
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
        // A folder made for a file whose conversion then failed or was
        // stopped would stay behind empty; rmdir leaves any that hold
        // something, also what another task wrote there.
        std::sort(madeFolders.begin(), madeFolders.end(),
                  [](const QString &a, const QString &b) { return a.size() > b.size(); });
        for (const QString &folder : madeFolders)
            QDir().rmdir(folder);
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
            } else if (!tasks[index].folderError.isEmpty()) {
                end.failure = TaskFailure::Folder;
            } else if (tasks[index].lossyName) {
                end.failure = TaskFailure::LossyName;
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
                else if (done.outcome == TaskOutcome::NoRecording)
                    batch.noRecording();
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
        if (task.found || !end.type) {
            end.info = recognizeWave(task.source);
            if (task.found && isNoRecording(task.source, end.info)) {
                end.outcome = TaskOutcome::NoRecording;
                return end;
            }
            if (!end.type)
                end.type = directionFor(end.info);
        }
        if (!end.type) {
            end.outcome = TaskOutcome::Failed;
            end.failure = TaskFailure::NoLayout;
            return end;
        }
        // The folders of a walked tree are made as their files are written.
        if (task.found)
            makeFolders(QFileInfo(task.destination).absolutePath());
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

    void makeFolders(const QString &path)
    {
        const std::lock_guard<std::mutex> lock(folderMutex);
        for (QString folder = path; !QFileInfo::exists(folder); folder = QFileInfo(folder).path())
            madeFolders << folder;
        QDir().mkpath(path);
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
    std::mutex folderMutex;
    QStringList madeFolders; // by this run, for files in a walked tree
};

} // namespace

void runBatch(Batch &batch, const BatchOptions &options)
{
    Runner(batch, options).run();
}

std::optional<Direction> directionFor(const WaveInfo &info)
{
    switch (info.layout) {
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
