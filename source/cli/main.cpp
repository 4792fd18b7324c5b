// quorvia-convert: converts recordings between the two layouts from the
// command line, for batch work and machines without a display.

#include "converter/convertfile.h"
#include "wave/wavelayout.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace {

enum class Target { Auto, Standard, Brinmoor };

enum ExitCode { Converted = 0, SomeFailed = 1, Usage = 2, Interrupted = 130 };

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

void printLine(const QString &text)
{
    std::fprintf(stderr, "quorvia-convert: %s\n", text.toLocal8Bit().constData());
}

// What converting one file has to say, printed once it is its turn.
using Messages = QStringList;

// One line on stderr, redrawn in place while a file converts.
class ProgressBar
{
public:
    explicit ProgressBar(bool show)
        : enabled(show)
    { }

    void start(const QString &name)
    {
        label = name.toLocal8Bit();
        shown = -1;
        update(0.0);
    }

    void update(double fraction)
    {
        if (!enabled)
            return;
        const int percent = qBound(0, int(fraction * 100.0), 100);
        if (percent == shown)
            return;
        shown = percent;
        char bar[width + 1];
        const int filled = percent * width / 100;
        for (int i = 0; i < width; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[width] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%% %s", bar, percent, label.constData());
        std::fflush(stderr);
    }

    void finish()
    {
        if (enabled && shown >= 0)
            std::fputc('\n', stderr);
        shown = -1;
    }

private:
    static constexpr int width = 30;
    bool enabled;
    QByteArray label;
    int shown = -1;
};

struct Task
{
    QString source;
    QString destination;
};

bool convertOne(const Task &task, Target target, bool parallel, ProgressBar &bar,
                Messages &messages)
{
    const auto printLine = [&messages](const QString &text) { messages << text; };
    const QString source = QDir::toNativeSeparators(task.source);
    int type = StandardToBrinmoor;
    if (target == Target::Standard) {
        type = BrinmoorToStandard;
    } else if (target == Target::Auto) {
        QString why;
        const WaveLayout layout = detectWaveLayout(task.source, &why);
        if (layout == WaveLayout::NotWave) {
            printLine(QStringLiteral("%1: %2").arg(source, why));
            return false;
        }
        if (layout == WaveLayout::Brinmoor)
            type = BrinmoorToStandard;
    }

    ConvertOptions options;
    options.parallel = parallel;
    options.progress = [&bar](double fraction) {
        bar.update(fraction);
        return !interrupted;
    };
    bar.start(QFileInfo(task.source).fileName());
    const ConvertResult result = convertFile(task.source, task.destination, type, options);
    bar.finish();
    if (result.ok())
        return true;
    // The readers name the window's direction that fits a file of the other
    // layout; here the user chose with --to.
    if (result.error == ConvertError::SourceFormat) {
        const WaveLayout layout = detectWaveLayout(task.source);
        if (layout != WaveLayout::NotWave) {
            printLine(QStringLiteral("%1: this is a %2; use --to %3 (or --to auto)")
                              .arg(source,
                                   layout == WaveLayout::Brinmoor
                                           ? QStringLiteral("Brinmoor-WAVE recording")
                                           : QStringLiteral("standard WAVE file"),
                                   layout == WaveLayout::Brinmoor ? QStringLiteral("standard")
                                                                  : QStringLiteral("brinmoor")));
            return false;
        }
    }
    // These reasons do not name a file of their own.
    if (result.error == ConvertError::SameFile || result.error == ConvertError::Cancelled)
        printLine(QStringLiteral("%1: %2").arg(source, result.reason));
    else
        printLine(result.reason);
    return false;
}

// Outputs named after their sources may collide with a source of the same
// run or with an output already written; such a task is refused rather than
// let one file replace another.
QString conflict(const Task &task, const std::vector<Task> &tasks, size_t index,
                 const QStringList &written)
{
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (i != index && isSameFile(task.destination, tasks[i].source))
            return QStringLiteral("%1 would overwrite the source %2")
                    .arg(QDir::toNativeSeparators(task.destination),
                         QDir::toNativeSeparators(tasks[i].source));
    }
    if (written.contains(QFileInfo(task.destination).absoluteFilePath()))
        return QStringLiteral("%1 was already written in this run")
                .arg(QDir::toNativeSeparators(task.destination));
    return QString();
}

// Converts the tasks on up to `jobs` threads at once, each taking the next
// task in order; a single task may use two (see ConvertOptions::parallel). A task whose destination
// an earlier task also names waits for that one, so that it is refused exactly when the earlier one
// wrote the file. Messages come out in the order of the tasks, whatever order they finish in. True
// when every task converted.
class Batch
{
public:
    Batch(const std::vector<Task> &batchTasks, Target batchTarget, ProgressBar &progressBar)
        : tasks(batchTasks)
        , target(batchTarget)
        , bar(progressBar)
        , finished(tasks.size(), false)
        , messages(tasks.size())
    {
        for (const Task &task : tasks)
            destinations << QFileInfo(task.destination).absoluteFilePath();
    }

    bool run(int jobs)
    {
        const int threads = int(std::min<size_t>(size_t(std::max(jobs, 1)), tasks.size()));
        // Threads left over from the files go to the parts of one.
        parallelParts = threads == 1 && jobs > 1;
        std::vector<std::unique_ptr<QThread>> workers;
        for (int i = 1; i < threads; ++i) {
            workers.emplace_back(QThread::create([this] { work(); }));
            workers.back()->start();
        }
        work();
        for (const auto &worker : workers)
            worker->wait();
        return allConverted;
    }

private:
    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            if (next == tasks.size() || interrupted)
                return;
            const size_t index = next++;
            const QString &destination = destinations[int(index)];
            changed.wait(lock, [&] {
                for (size_t i = 0; i < index; ++i)
                    if (!finished[i] && destinations[int(i)] == destination)
                        return false;
                return true;
            });
            const QString clash = conflict(tasks[index], tasks, index, written);
            lock.unlock();

            bool converted = false;
            Messages said;
            if (!clash.isEmpty())
                said << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(tasks[index].source),
                                                     clash);
            else
                converted = convertOne(tasks[index], target, parallelParts, bar, said);

            lock.lock();
            if (converted)
                written << destination;
            else
                allConverted = false;
            messages[index] = said;
            finished[index] = true;
            while (printed < tasks.size() && finished[printed]) {
                for (const QString &line : messages[printed])
                    printLine(line);
                ++printed;
            }
            changed.notify_all();
        }
    }

    const std::vector<Task> &tasks;
    const Target target;
    ProgressBar &bar;
    QStringList destinations; // absolute paths, one per task
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t printed = 0;
    std::vector<bool> finished;
    std::vector<Messages> messages;
    QStringList written;
    bool allConverted = true;
    bool parallelParts = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVIA_VERSION));

    // A file-size limit should fail the write, not kill the process with the
    // temporary file left behind; an interrupt cancels the conversion, which
    // removes the temporary file.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Converts two-channel recordings between standard RIFF WAVE files (written as\n"
            "24-bit PCM at 44100 Hz) and Brinmoor-WAVE (float64 at 39062.5 Hz).\n"
            "An existing destination is replaced only when its conversion succeeded."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption toOption(
            QStringLiteral("to"),
            QStringLiteral("Layout to write: standard, brinmoor, or auto (the other layout "
                           "than the source's; default)."),
            QStringLiteral("layout"), QStringLiteral("auto"));
    const QCommandLineOption outputOption(
            {QStringLiteral("o"), QStringLiteral("output-dir")},
            QStringLiteral("Convert every SOURCE into <dir>, named after it with .wav."),
            QStringLiteral("dir"));
    const QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Show no progress bar."));
    const int defaultJobs = std::max(1, QThread::idealThreadCount());
    const QCommandLineOption jobsOption(
            {QStringLiteral("j"), QStringLiteral("jobs")},
            QStringLiteral("Use up to <n> threads: <n> files at once, or one long file in two "
                           "parts (default: %1, the number of processors).")
                    .arg(defaultJobs),
            QStringLiteral("n"));
    parser.addOption(toOption);
    parser.addOption(jobsOption);
    parser.addOption(outputOption);
    parser.addOption(quietOption);
    parser.addPositionalArgument(QStringLiteral("source"), QStringLiteral("File to convert."),
                                 QStringLiteral("SOURCE"));
    parser.addPositionalArgument(QStringLiteral("destination"),
                                 QStringLiteral("File to write (without -o)."),
                                 QStringLiteral("DESTINATION | -o DIR SOURCE..."));

    if (!parser.parse(QCoreApplication::arguments())) {
        printLine(parser.errorText());
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(Converted);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Target target = Target::Auto;
    const QString to = parser.value(toOption);
    if (to == QLatin1String("standard"))
        target = Target::Standard;
    else if (to == QLatin1String("brinmoor"))
        target = Target::Brinmoor;
    else if (to != QLatin1String("auto")) {
        printLine(QStringLiteral("--to takes standard, brinmoor or auto, not \"%1\"").arg(to));
        return Usage;
    }

    bool jobsValid = true;
    if (parser.isSet(jobsOption) &&
        (parser.value(jobsOption).toInt(&jobsValid) < 1 || !jobsValid)) {
        printLine(QStringLiteral("-j takes a number of files of at least 1, not \"%1\"")
                          .arg(parser.value(jobsOption)));
        return Usage;
    }

    const QStringList arguments = parser.positionalArguments();
    std::vector<Task> tasks;
    if (parser.isSet(outputOption)) {
        const QDir directory(parser.value(outputOption));
        for (const QString &source : arguments)
            tasks.push_back({source,
                             directory.filePath(QFileInfo(source).completeBaseName() +
                                                QStringLiteral(".wav"))});
    } else if (arguments.size() == 2) {
        tasks.push_back({arguments[0], arguments[1]});
    }
    if (tasks.empty()) {
        printLine(QStringLiteral("give SOURCE DESTINATION, or -o DIR SOURCE...; see --help"));
        return Usage;
    }

    // One line redrawn in place can show one conversion at a time.
    const int jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs;
    ProgressBar bar(!parser.isSet(quietOption) && ::isatty(STDERR_FILENO) &&
                    (jobs == 1 || tasks.size() == 1));
    const bool allConverted = Batch(tasks, target, bar).run(jobs);
    if (interrupted)
        return Interrupted;
    return allConverted ? Converted : SomeFailed;
}
