// quorvia-convert: converts recordings between the two layouts from the
// command line, for batch work and machines without a display.

#include "converter/batch.h"
#include "converter/convertfile.h"
#include "wave/brinmoorwavefile.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"
#include "wave/wavelayout.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

enum class Target { Auto, Standard, Brinmoor };

// A signal that stops the run ends it with 128 + the signal's number, as a
// shell reports a command that the signal killed: 130 for SIGINT, 143 for
// SIGTERM.
enum ExitCode { Converted = 0, SomeFailed = 1, Usage = 2, KilledBy = 128 };

// The number of the signal that stopped the run, or 0.
volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int signal)
{
    interrupted = signal;
}

// Without SA_RESTART, so that a system call waiting for something returns
// at once instead of being started again.
void stopOn(int signal)
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
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

QString layoutName(WaveLayout layout)
{
    return layout == WaveLayout::Brinmoor ? QStringLiteral("brinmoor") : QStringLiteral("standard");
}

// Converts one file; on failure returns the line that says why, and an
// interruption leaves it as if never started. Warnings go to `messages`.
QString convertOne(const BatchTask &task, Target target, ResamplingQuality quality, bool parallel,
                   ProgressBar &bar, Messages &messages)
{
    const auto printLine = [&messages](const QString &text) { messages << text; };
    const QString source = QDir::toNativeSeparators(task.source);
    int type = StandardToBrinmoor;
    if (target == Target::Standard) {
        type = BrinmoorToStandard;
    } else if (target == Target::Auto) {
        // The automatic direction acts only on a clear verdict.
        QString failure;
        type = directionFor(task.source, &failure,
                            QStringLiteral("choose with --to standard or --to brinmoor"));
        if (type < 0)
            return failure;
    }

    ConvertOptions options;
    options.parallel = parallel;
    options.progress = [&bar](double fraction) {
        bar.update(fraction);
        return !interrupted;
    };
    options.quality = quality;
    bar.start(QFileInfo(task.source).fileName());
    const ConvertResult result = convertFile(task.source, task.destination, type, options);
    bar.finish();
    if (result.ok()) {
        for (const QString &warning : result.warnings)
            printLine(QStringLiteral("%1: %2").arg(source, warning));
        return QString();
    }
    // The reader's own reason, and the option that fits only when the file
    // is clearly of the other layout.
    const WaveLayout other =
            type == BrinmoorToStandard ? WaveLayout::Standard : WaveLayout::Brinmoor;
    if (result.error == ConvertError::SourceFormat && result.source.layout == other)
        return QStringLiteral("%1; use --to %2 (or --to auto)")
                .arg(result.reason,
                     layoutName(other == WaveLayout::Brinmoor ? WaveLayout::Standard
                                                              : WaveLayout::Brinmoor));
    return failureLine(task.source, result);
}

QString extentText(const WaveInfo &info)
{
    switch (info.extent) {
    case DataExtent::Matches:
        return QStringLiteral("as its header announces");
    case DataExtent::CutShort:
        return QStringLiteral("cut short: holds %1 of the %2 frames its header announces")
                .arg(info.frames)
                .arg(info.announcedFrames);
    case DataExtent::Extended:
        return QStringLiteral("extended: holds %1 frames, %2 more than its header announces")
                .arg(info.frames)
                .arg(info.frames - info.announcedFrames);
    case DataExtent::Unfinished:
        return QStringLiteral("its header was never finished (size 0); read to the end");
    case DataExtent::Wrapped:
        return QStringLiteral("past 4 GiB; its 32-bit size wrapped; read to the end");
    case DataExtent::Saturated:
        return QStringLiteral("past 4 GiB; its 32-bit size saturated; read to the end");
    case DataExtent::Rf64:
        return QStringLiteral("64-bit sizes (RF64)");
    }
    return QString();
}

QString duration(qint64 frames, double rate)
{
    if (!(rate > 0))
        return QStringLiteral("unknown");
    const double seconds = double(frames) / rate;
    const qint64 whole = qint64(seconds);
    return QStringLiteral("%1:%2:%3 = %4 frames")
            .arg(whole / 3600, 2, 10, QLatin1Char('0'))
            .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds - double(whole / 60 * 60), 6, 'f', 3, QLatin1Char('0'))
            .arg(frames);
}

// The peak as the conversion measures it, with the progress bar. False when
// interrupted or unreadable (reported).
template<class File>
bool printPeak(File &file, const QString &path, ProgressBar &bar)
{
    if (!file.open(path, QIODevice::ReadOnly)) {
        printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    bool ok = false;
    bar.start(QFileInfo(path).fileName());
    const double peak = file.measurePeak(ok, [&bar](double fraction) {
        bar.update(fraction);
        return !interrupted;
    });
    bar.finish();
    if (!ok) {
        if (!interrupted)
            printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path),
                                                   file.errorString()));
        return false;
    }
    QString line = QStringLiteral("Peak        : %1 (%2 dBFS)")
                           .arg(peak, 0, 'g', 6)
                           .arg(peak > 0 ? 20.0 * std::log10(peak) : -INFINITY, 0, 'f', 2);
    if (file.damagedValues() > 0)
        line += QStringLiteral(", %1 damaged values (NaN, infinite or beyond \u00b116) left out")
                        .arg(file.damagedValues());
    std::printf("%s\n", line.toLocal8Bit().constData());
    return true;
}

// One file's --info block on stdout; true when its layout was recognised
// (and, with `peak`, measured).
bool printInfo(const QString &path, bool peak, ProgressBar &bar)
{
    const QString name = QDir::toNativeSeparators(path);
    const WaveInfo info = recognizeWave(path);
    if (info.layout == WaveLayout::NotWave) {
        printLine(
                (info.unreadable ? QStringLiteral("cannot open %1: %2") : QStringLiteral("%1: %2"))
                        .arg(name, info.evidence));
        return false;
    }
    // Other audio formats are named by libsndfile's reader, encoding and all.
    const bool wave = info.format == QLatin1String("WAVE") || info.format == QLatin1String("RF64");
    const char *layout = info.layout == WaveLayout::Brinmoor ? "Brinmoor-WAVE"
            : info.layout == WaveLayout::Standard            ? (wave ? "standard WAVE" : "standard")
                                                             : "ambiguous";
    const QString encoding = !wave
            ? info.format
            : QStringLiteral("%1, %2-bit %3")
                      .arg(info.format)
                      .arg(info.bitsPerSample)
                      .arg(info.isFloat ? QStringLiteral("float") : QStringLiteral("integer PCM"));
    const QStringList lines{
            QStringLiteral("File        : %1").arg(name),
            QStringLiteral("Layout      : %1 (%2)").arg(QLatin1String(layout), info.evidence),
            QStringLiteral("Encoding    : %1").arg(encoding),
            QStringLiteral("Channels    : %1").arg(info.channels),
            QStringLiteral("Sample rate : %1 Hz")
                    .arg(info.sampleRate, 0, 'f',
                         info.sampleRate == std::floor(info.sampleRate) ? 0 : 1),
            QStringLiteral("Duration    : %1").arg(duration(info.frames, info.sampleRate)),
            QStringLiteral("Data        : %1").arg(extentText(info)),
    };
    std::printf("%s\n", lines.join(QLatin1Char('\n')).toLocal8Bit().constData());
    bool ok = info.recognised();
    if (peak && ok) {
        std::fflush(stdout);
        if (info.layout == WaveLayout::Brinmoor) {
            BrinmoorWaveFile file;
            ok = printPeak(file, path, bar);
        } else if (!wave) {
            SoundFile file;
            ok = printPeak(file, path, bar);
        } else {
            StandardWaveFile file;
            ok = printPeak(file, path, bar);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    return ok;
}

// Arguments whose bytes do not survive decoding in the locale's encoding:
// the text they became names another file. Kept as decoded, to find which
// file names they gave.
QStringList lossyArguments(int argc, char *argv[])
{
    QStringList lossy;
    for (int i = 1; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        if (QFile::encodeName(QFile::decodeName(raw)) != raw)
            lossy << QFile::decodeName(raw);
    }
    return lossy;
}

// True when `name` came from one of the `lossy` arguments: the argument
// itself, an option's value after '=', or one attached to a short option.
bool fromLossyArgument(const QString &name, const QStringList &lossy)
{
    for (const QString &argument : lossy) {
        if (argument == name || argument.endsWith(QLatin1Char('=') + name) ||
            (argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1String("--")) &&
             argument.endsWith(name)))
            return true;
    }
    return false;
}

QString lossyNameReason(const QString &name)
{
    return QStringLiteral("%1: the name is not valid in the system's file name encoding, and "
                          "would name another file")
            .arg(QDir::toNativeSeparators(name));
}

// The help text: the usage names the program as people call it, not the
// path it was started by, and it ends with what the exit status means.
QString helpText(const QCommandLineParser &parser)
{
    QString options = parser.helpText();
    // Qt's own text begins with "Usage: <path> ..." and the description;
    // the options and arguments follow.
    options = options.mid(options.indexOf(QLatin1String("\nOptions:")) + 1);
    return QStringLiteral(
                   "Usage: quorvia-convert [options] SOURCE DESTINATION\n"
                   "       quorvia-convert [options] -o DIR SOURCE...\n"
                   "       quorvia-convert --info [--peak] FILE...\n\n"
                   "%1\n\n%2\n"
                   "Exit status:\n"
                   "  0    every file was converted\n"
                   "  1    a file could not be converted (each is named on stderr), or with\n"
                   "       --info, a file was not recognised\n"
                   "  2    the command line was not understood\n"
                   "  130  stopped by SIGINT (Ctrl+C), 143 by SIGTERM; the file being\n"
                   "       converted then is left as if never started\n")
            .arg(parser.applicationDescription(), options);
}

// Converts a batch's tasks on up to `jobs` threads at once, each taking the
// next task in order; a single task may use two (see ConvertOptions::parallel).
// Messages come out, and outcomes are counted, in the order of the tasks,
// whatever order they finish in. A task whose destination an earlier task also
// names waits until that one is counted, so that it is refused exactly when the
// earlier one wrote the file. A task stopped by a signal is counted as neither:
// it was left as if never started.
class Runner
{
public:
    Runner(Batch &runBatch, const std::vector<QString> &refused, Target runTarget,
           ResamplingQuality runQuality, ProgressBar &progressBar)
        : batch(runBatch)
        , tasks(runBatch.tasks())
        , refusals(refused)
        , target(runTarget)
        , quality(runQuality)
        , bar(progressBar)
        , outcomes(tasks.size())
    {
        for (const BatchTask &task : tasks)
            destinations << QFileInfo(task.destination).absoluteFilePath();
    }

    void run(int jobs)
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
    }

private:
    enum class Outcome { Running, Converted, Failed, Stopped };

    struct Result
    {
        Outcome outcome = Outcome::Running;
        Messages messages;
        QString failure;
    };

    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            if (next == tasks.size() || interrupted)
                return;
            const size_t index = next++;
            const QString &destination = destinations[int(index)];
            changed.wait(lock, [&] {
                for (size_t i = counted; i < index; ++i)
                    if (destinations[int(i)] == destination)
                        return false;
                return true;
            });
            QString failure = refusals[index].isEmpty() ? batch.refusal(index) : refusals[index];
            lock.unlock();

            Result result;
            if (failure.isEmpty())
                failure = convertOne(tasks[index], target, quality, parallelParts, bar,
                                     result.messages);
            if (failure.isEmpty()) {
                result.outcome = Outcome::Converted;
            } else if (interrupted) {
                result.outcome = Outcome::Stopped;
            } else {
                result.outcome = Outcome::Failed;
                result.failure = failure;
                result.messages << failure;
            }

            lock.lock();
            outcomes[index] = result;
            while (counted < tasks.size() && outcomes[counted].outcome != Outcome::Running) {
                const Result &done = outcomes[counted];
                for (const QString &line : done.messages)
                    printLine(line);
                if (done.outcome == Outcome::Converted)
                    batch.converted(counted);
                else if (done.outcome == Outcome::Failed)
                    batch.failed(done.failure);
                ++counted;
            }
            changed.notify_all();
        }
    }

    Batch &batch;
    const std::vector<BatchTask> &tasks;
    const std::vector<QString> &refusals; // refused before converting
    const Target target;
    const ResamplingQuality quality;
    ProgressBar &bar;
    QStringList destinations; // absolute paths, one per task
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t counted = 0; // tasks before this one are printed and counted
    std::vector<Result> outcomes;
    bool parallelParts = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-convert"));

    // A file-size limit should fail the write, not kill the process with the
    // temporary file left behind; an interrupt cancels the conversion, which
    // removes the temporary file.
    std::signal(SIGXFSZ, SIG_IGN);
    stopOn(SIGINT);
    stopOn(SIGTERM);
    const QStringList lossy = lossyArguments(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Converts two-channel recordings between standard RIFF WAVE files (written as\n"
            "24-bit PCM at 44100 Hz) and Brinmoor-WAVE (float64 at 39062.5 Hz).\n"
            "Standard sources may also be FLAC, AIFF, Ogg, Opus, MP3, CAF or W64; a\n"
            "standard DESTINATION named .flac is written as FLAC.\n"
            "An existing destination is replaced only when its conversion succeeded."));
    // Not addHelpOption(): it adds --help-all, which lists the toolkit's
    // options, none of which mean anything here.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    const QCommandLineOption toOption(
            QStringLiteral("to"),
            QStringLiteral("Layout to write: standard, brinmoor, or auto (the other layout "
                           "than the source's; default)."),
            QStringLiteral("layout"), QStringLiteral("auto"));
    const QCommandLineOption outputOption(
            {QStringLiteral("o"), QStringLiteral("output-dir")},
            QStringLiteral("Convert every SOURCE into <dir>, named after it with .wav."),
            QStringLiteral("dir"));
    const QCommandLineOption qualityOption(
            QStringLiteral("quality"),
            QStringLiteral(
                    "Resampling: original (the filter and gains, unchanged bit for bit; "
                    "default) or high (flat to 15.6 kHz, aliases over 120 dB down, unity gain)."),
            QStringLiteral("mode"), QStringLiteral("original"));
    const QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Show no progress bar and no summary."));
    const int defaultJobs = std::max(1, QThread::idealThreadCount());
    const QCommandLineOption jobsOption(
            {QStringLiteral("j"), QStringLiteral("jobs")},
            QStringLiteral("Use up to <n> threads: <n> files at once, or one long file in two "
                           "parts (default: %1, the number of processors).")
                    .arg(defaultJobs),
            QStringLiteral("n"));
    const QCommandLineOption infoOption(
            QStringLiteral("info"),
            QStringLiteral("Describe each FILE instead of converting: its layout and the evidence "
                           "for it, encoding, rate, length, and whether its data match the "
                           "header."));
    const QCommandLineOption peakOption(
            QStringLiteral("peak"), QStringLiteral("With --info: also measure each file's peak."));
    parser.addOption(toOption);
    parser.addOption(jobsOption);
    parser.addOption(outputOption);
    parser.addOption(qualityOption);
    parser.addOption(quietOption);
    parser.addOption(infoOption);
    parser.addOption(peakOption);
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("File to convert; with -o, one or more."));
    parser.addPositionalArgument(QStringLiteral("DESTINATION"),
                                 QStringLiteral("File to write (without -o)."));

    if (!parser.parse(QCoreApplication::arguments())) {
        printLine(parser.errorText());
        return Usage;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(helpText(parser).toLocal8Bit().constData(), stdout);
        return Converted;
    }
    if (parser.isSet(versionOption)) {
        std::printf("quorvia-convert %s\n", QUORVIA_VERSION);
        return Converted;
    }

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

    ResamplingQuality quality = ResamplingQuality::Original;
    const QString mode = parser.value(qualityOption);
    if (mode == QLatin1String("high")) {
        quality = ResamplingQuality::High;
    } else if (mode != QLatin1String("original")) {
        printLine(QStringLiteral("--quality takes original or high, not \"%1\"").arg(mode));
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
    const bool toFolder = parser.isSet(outputOption);
    // A file named "-" would be written or looked for, where the user meant
    // a pipe.
    if (arguments.contains(QStringLiteral("-")) ||
        (toFolder && parser.value(outputOption) == QLatin1String("-"))) {
        printLine(QStringLiteral("standard input and output are not supported: name a file"));
        return Usage;
    }
    const bool quiet = parser.isSet(quietOption);
    ProgressBar bar(!quiet && ::isatty(STDERR_FILENO));
    if (parser.isSet(infoOption)) {
        if (arguments.isEmpty()) {
            printLine(QStringLiteral("give --info FILE...; see --help"));
            return Usage;
        }
        bool allRecognised = true;
        for (const QString &path : arguments) {
            if (interrupted)
                break;
            if (fromLossyArgument(path, lossy)) {
                printLine(lossyNameReason(path));
                allRecognised = false;
            } else if (!printInfo(path, parser.isSet(peakOption), bar)) {
                allRecognised = false;
            }
        }
        if (interrupted)
            return KilledBy + interrupted;
        return allRecognised ? Converted : SomeFailed;
    }

    if (toFolder ? arguments.isEmpty() : arguments.size() != 2) {
        printLine(QStringLiteral("give SOURCE DESTINATION, or -o DIR SOURCE...; see --help"));
        return Usage;
    }
    Batch batch = toFolder ? Batch::intoFolder(arguments, parser.value(outputOption))
                           : Batch({{arguments[0], arguments[1]}});

    const std::vector<BatchTask> &tasks = batch.tasks();
    // Names the system cannot hold are refused before anything runs: no
    // name is ever mapped to a different file.
    const bool lossyDirectory = toFolder && fromLossyArgument(parser.value(outputOption), lossy);
    std::vector<QString> refusals(tasks.size());
    for (size_t i = 0; i < tasks.size(); ++i) {
        const QString &source = tasks[i].source;
        const QString &destination = tasks[i].destination;
        if (fromLossyArgument(source, lossy) || lossyDirectory ||
            (!toFolder && fromLossyArgument(destination, lossy)))
            refusals[i] = lossyNameReason(fromLossyArgument(source, lossy) ? source : destination);
    }

    // One line redrawn in place can show one conversion at a time.
    const int jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs;
    ProgressBar batchBar(!quiet && ::isatty(STDERR_FILENO) && (jobs == 1 || tasks.size() == 1));
    Runner(batch, refusals, target, quality, batchBar).run(jobs);
    if (toFolder && !quiet)
        printLine(batch.summary());
    if (interrupted)
        return KilledBy + interrupted;
    return batch.failedCount() == 0 ? Converted : SomeFailed;
}
