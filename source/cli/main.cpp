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
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
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

// h:mm:ss, or m:ss under an hour.
QString clockTime(double seconds)
{
    const qint64 whole = qint64(seconds);
    const QString minutesSeconds = QStringLiteral("%1:%2").arg(
            QString::number(whole / 60 % 60), QString::number(whole % 60).rightJustified(2, '0'));
    if (whole < 3600)
        return minutesSeconds;
    return QString::number(whole / 3600) + QLatin1Char(':') + minutesSeconds.rightJustified(5, '0');
}

// The one line on stderr that follows a run, redrawn in place: for one file,
// its name; for a batch, how many files and how much of their recorded time
// are done. Each file's share of the bar is its duration. Workers report
// from their own threads, so every member takes the lock; messages go
// through print(), which moves the bar below them.
class ProgressLine
{
public:
    // `seconds`: each file's duration, 0 where it is unknown. A disabled
    // line draws nothing but still serves print().
    ProgressLine(bool show, const QString &fileName, std::vector<double> seconds)
        : enabled(show)
        , label(fileName)
        , durations(std::move(seconds))
        , fractions(durations.size(), 0.0)
    {
        for (double duration : durations)
            totalSeconds += duration;
    }

    // Task `task` has done `fraction` of its work.
    void update(size_t task, double fraction)
    {
        if (!enabled)
            return;
        const std::lock_guard<std::mutex> lock(mutex);
        reach(task, qBound(0.0, fraction, 1.0));
        draw(false);
    }

    // Task `task` ended, converted or not: its share counts as done.
    void done(size_t task)
    {
        const std::lock_guard<std::mutex> counting(mutex);
        reach(task, 1.0);
        ++filesDone;
        if (enabled)
            draw(false);
    }

    // A message on a line of its own, above the bar.
    void print(const QString &text)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        clear();
        printLine(text);
        if (enabled && shown >= 0)
            draw(true);
    }

    // Leaves the bar as it stands on a line of its own.
    void finish()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (enabled && shown >= 0)
            std::fputc('\n', stderr);
        shown = -1;
        drawnLength = 0;
    }

private:
    // Redraws when the percentage or the count of files changed, or when
    // asked to.
    void draw(bool always)
    {
        const double fraction = totalSeconds > 0 ? secondsDone / totalSeconds
                                                 : filesFraction / double(durations.size());
        // Sums of fractions may fall short of a whole by a rounding error.
        const int percent = qBound(0, int(fraction * 100.0 + 1e-6), 100);
        if (!always && percent == shown && filesDone == filesShown)
            return;
        shown = percent;
        filesShown = filesDone;
        const int filled = width * percent / 100;
        QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                QString(width - filled, QLatin1Char('.')) + QStringLiteral("] ") +
                QString::number(percent).rightJustified(3) + QLatin1Char('%');
        if (durations.size() == 1)
            text += QLatin1Char(' ') + label;
        else
            text += QStringLiteral(" %1 of %2 files")
                            .arg(QString::number(filesDone), QString::number(durations.size()));
        if (durations.size() > 1 && totalSeconds > 0)
            text += QStringLiteral(", %1 of %2")
                            .arg(clockTime(secondsDone), clockTime(totalSeconds));
        const QByteArray line = text.toLocal8Bit();
        std::fprintf(stderr, "\r%s%*s", line.constData(),
                     std::max(0, drawnLength - int(line.size())), "");
        std::fflush(stderr);
        drawnLength = int(line.size());
    }

    void reach(size_t task, double fraction)
    {
        secondsDone += durations[task] * (fraction - fractions[task]);
        filesFraction += fraction - fractions[task];
        fractions[task] = fraction;
    }

    // Blanks the bar, so that a message can take its line.
    void clear()
    {
        if (drawnLength > 0)
            std::fprintf(stderr, "\r%*s\r", drawnLength, "");
        drawnLength = 0;
    }

    static constexpr int width = 24;
    const bool enabled;
    const QString label;
    const std::vector<double> durations;
    std::mutex mutex;
    std::vector<double> fractions;
    double totalSeconds = 0.0;
    double secondsDone = 0.0;
    double filesFraction = 0.0; // the files' fractions added up
    size_t filesDone = 0;
    size_t filesShown = 0;
    int shown = -1;
    int drawnLength = 0;
};

// How one file of a run ended.
enum class Outcome { Running, Converted, Failed, Stopped };

struct TaskEnd
{
    Outcome outcome = Outcome::Running;
    QString failure; // the line that says why, when it failed
};

// A refusal reworded to name what would work, where the core's own reason
// cannot know it: it does not know which direction the user asked for.
QString reasonWithRemedy(const BatchTask &task, int type, const ConvertResult &result)
{
    const QString source = QDir::toNativeSeparators(task.source);
    const bool toStandard = type == BrinmoorToStandard;
    const bool toFlac = QFileInfo(task.destination).suffix().toLower() == QLatin1String("flac");
    if (result.error == ConvertError::DestinationFormat && !toStandard && toFlac)
        return QStringLiteral("%1: FLAC is written only as a standard destination, from a "
                              "Brinmoor-WAVE source; a Brinmoor-WAVE destination is named .wav")
                .arg(QDir::toNativeSeparators(task.destination));
    if (result.error != ConvertError::SourceFormat)
        return failureLine(task.source, result);
    // A format that is no WAVE file is always a standard source.
    if (toStandard && isOtherAudioFormat(task.source)) {
        const WaveInfo info = recognizeWave(task.source);
        if (info.recognised())
            return QStringLiteral("%1: it is a standard source (%2), as every format other than "
                                  "WAVE is; use --to brinmoor (or --to auto)")
                    .arg(source, info.format);
    }
    // The reader's own reason, and the option that fits only when the file
    // is clearly of the other layout.
    const WaveLayout other = toStandard ? WaveLayout::Standard : WaveLayout::Brinmoor;
    if (result.source.layout == other)
        return QStringLiteral("%1; use --to %2 (or --to auto)")
                .arg(result.reason,
                     toStandard ? QStringLiteral("brinmoor") : QStringLiteral("standard"));
    return failureLine(task.source, result);
}

// Converts one file. A file whose conversion returned success is in place,
// whenever a signal came; one cancelled by a signal is left as if never
// started. Warnings go to `messages`.
TaskEnd convertOne(const BatchTask &task, Target target, ResamplingQuality quality, bool parallel,
                   const std::function<void(double)> &progress, Messages &messages)
{
    int type = StandardToBrinmoor;
    if (target == Target::Standard) {
        type = BrinmoorToStandard;
    } else if (target == Target::Auto) {
        // The automatic direction acts only on a clear verdict.
        QString failure;
        type = directionFor(task.source, &failure,
                            QStringLiteral("choose with --to standard or --to brinmoor"));
        if (type < 0)
            return {Outcome::Failed, failure};
    }

    ConvertOptions options;
    options.parallel = parallel;
    options.progress = [&progress](double fraction) {
        progress(fraction);
        return !interrupted;
    };
    options.quality = quality;
    const ConvertResult result = convertFile(task.source, task.destination, type, options);
    if (result.ok()) {
        for (const QString &warning : result.warnings)
            messages << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(task.source),
                                                     warning);
        return {Outcome::Converted, QString()};
    }
    if (result.error == ConvertError::Cancelled)
        return {Outcome::Stopped, QString()};
    return {Outcome::Failed, reasonWithRemedy(task, type, result)};
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

// The peak as the conversion measures it, with a progress line when
// `showProgress`. Failed when unreadable (reported), Stopped by a signal.
template<class File>
Outcome printPeak(File &file, const QString &path, bool showProgress)
{
    if (!file.open(path, QIODevice::ReadOnly)) {
        printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return Outcome::Failed;
    }
    bool ok = false;
    ProgressLine progress(showProgress, QFileInfo(path).fileName(), {0.0});
    const double peak = file.measurePeak(ok, [&progress](double fraction) {
        progress.update(0, fraction);
        return !interrupted;
    });
    progress.finish();
    if (!ok) {
        if (interrupted)
            return Outcome::Stopped;
        printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return Outcome::Failed;
    }
    QString line = QStringLiteral("Peak        : %1 (%2 dBFS)")
                           .arg(peak, 0, 'g', 6)
                           .arg(peak > 0 ? 20.0 * std::log10(peak) : -INFINITY, 0, 'f', 2);
    if (file.damagedValues() > 0)
        line += QStringLiteral(", %1 damaged values (NaN, infinite or beyond \u00b116) left out")
                        .arg(file.damagedValues());
    std::printf("%s\n", line.toLocal8Bit().constData());
    return Outcome::Converted;
}

// One file's --info block on stdout: Converted when its layout was
// recognised (and, with `peak`, measured).
Outcome printInfo(const QString &path, bool peak, bool showProgress)
{
    const QString name = QDir::toNativeSeparators(path);
    const WaveInfo info = recognizeWave(path);
    if (info.layout == WaveLayout::NotWave) {
        printLine(
                (info.unreadable ? QStringLiteral("cannot open %1: %2") : QStringLiteral("%1: %2"))
                        .arg(name, info.evidence));
        return Outcome::Failed;
    }
    // Other audio formats are named by libsndfile's reader, encoding and all.
    const bool wave = info.format == QLatin1String("WAVE") || info.format == QLatin1String("RF64");
    const char *layout = info.layout == WaveLayout::Brinmoor ? "Brinmoor-WAVE"
            : info.layout == WaveLayout::Standard            ? (wave ? "standard WAVE" : "standard")
                                                             : "ambiguous";
    const QString encoding = !wave
            ? info.format
            : QStringLiteral("%1, %2-bit %3")
                      .arg(info.format, QString::number(info.bitsPerSample),
                           info.isFloat ? QStringLiteral("float") : QStringLiteral("integer PCM"));
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
    Outcome outcome = info.recognised() ? Outcome::Converted : Outcome::Failed;
    if (peak && outcome == Outcome::Converted) {
        std::fflush(stdout);
        if (info.layout == WaveLayout::Brinmoor) {
            BrinmoorWaveFile file;
            outcome = printPeak(file, path, showProgress);
        } else if (!wave) {
            SoundFile file;
            outcome = printPeak(file, path, showProgress);
        } else {
            StandardWaveFile file;
            outcome = printPeak(file, path, showProgress);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    return outcome;
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

// What the parser could not understand, in the program's own words.
QString parseError(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return QStringLiteral("unknown option %1; see --help")
                .arg((unknown[0].size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
                     unknown[0]);
    // Qt's own sentence: a value missing or given where none is taken.
    QString text = parser.errorText();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text + QStringLiteral("; see --help");
}

// Makes the output folder and its parents where missing, as mkdir -p does.
// The line that says why it failed, or nothing.
QString makeFolder(const QString &folder)
{
    std::error_code error;
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    std::filesystem::create_directories(path, error);
    if (!error && std::filesystem::is_directory(path, error))
        return QString();
    return QStringLiteral("cannot make the folder %1: %2")
            .arg(QDir::toNativeSeparators(folder),
                 error ? QString::fromLocal8Bit(error.message().c_str())
                       : QStringLiteral("a file of that name is in the way"));
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
                   "       converted then is left as if never started (a file already in\n"
                   "       place when the signal came counts as converted)\n")
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
           ResamplingQuality runQuality, ProgressLine &progressLine)
        : batch(runBatch)
        , tasks(runBatch.tasks())
        , refusals(refused)
        , target(runTarget)
        , quality(runQuality)
        , progress(progressLine)
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
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i)
            workers.emplace_back([this] { work(); });
        work();
        for (std::thread &worker : workers)
            worker.join();
        progress.finish();
    }

private:
    struct Result
    {
        TaskEnd end;
        Messages messages;
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
            const QString refusal =
                    refusals[index].isEmpty() ? batch.refusal(index) : refusals[index];
            lock.unlock();

            Result result;
            if (!refusal.isEmpty())
                result.end = {Outcome::Failed, refusal};
            else
                result.end = convertOne(
                        tasks[index], target, quality, parallelParts,
                        [this, index](double fraction) { progress.update(index, fraction); },
                        result.messages);
            if (result.end.outcome == Outcome::Failed)
                result.messages << result.end.failure;
            progress.done(index);

            lock.lock();
            outcomes[index] = result;
            while (counted < tasks.size() && outcomes[counted].end.outcome != Outcome::Running) {
                const Result &done = outcomes[counted];
                for (const QString &line : done.messages)
                    progress.print(line);
                if (done.end.outcome == Outcome::Converted)
                    batch.converted(counted);
                else if (done.end.outcome == Outcome::Failed)
                    batch.failed(done.end.failure);
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
    ProgressLine &progress;
    QStringList destinations; // absolute paths, one per task
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t counted = 0; // tasks before this one are printed and counted
    std::vector<Result> outcomes;
    bool parallelParts = false;
};

// Each source's duration, for the progress line's shares; 0 where unknown.
std::vector<double> durations(const std::vector<BatchTask> &tasks)
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
            QStringLiteral("Convert every SOURCE into <dir>, named after it with .wav; <dir> "
                           "is made when missing."),
            QStringLiteral("dir"));
    const QCommandLineOption qualityOption(
            QStringLiteral("quality"),
            QStringLiteral("Resampling: original (the filter and gains, unchanged bit for bit; "
                           "default) or high (flat within 0.01 dB to 18 kHz, aliases over 120 dB "
                           "down, unity "
                           "gain)."),
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
        printLine(parseError(parser));
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
    const QString folder = parser.value(outputOption);
    // A file named "-" would be written or looked for, where the user meant
    // a pipe.
    if (arguments.contains(QStringLiteral("-")) || (toFolder && folder == QLatin1String("-"))) {
        printLine(QStringLiteral("standard input and output are not supported: name a file"));
        return Usage;
    }
    // An empty name is most often a variable that was never set: it would
    // mean the current folder, or no file at all.
    if (arguments.contains(QString()) || (toFolder && folder.isEmpty())) {
        printLine(
                QStringLiteral("an empty name was given%1; name a file or folder")
                        .arg(toFolder && folder.isEmpty() ? QStringLiteral(" to -o") : QString()));
        return Usage;
    }
    if (parser.isSet(peakOption) && !parser.isSet(infoOption)) {
        printLine(QStringLiteral("--peak goes with --info: quorvia-convert --info --peak FILE..."));
        return Usage;
    }
    const bool quiet = parser.isSet(quietOption);
    const bool showProgress = !quiet && ::isatty(STDERR_FILENO);
    if (parser.isSet(infoOption)) {
        if (arguments.isEmpty()) {
            printLine(QStringLiteral("give --info FILE...; see --help"));
            return Usage;
        }
        bool allRecognised = true;
        bool stopped = false;
        for (const QString &path : arguments) {
            stopped = interrupted;
            if (stopped)
                break;
            Outcome outcome = Outcome::Failed;
            if (fromLossyArgument(path, lossy)) {
                printLine(lossyNameReason(path));
            } else {
                outcome = printInfo(path, parser.isSet(peakOption), showProgress);
            }
            allRecognised = allRecognised && outcome == Outcome::Converted;
            stopped = outcome == Outcome::Stopped;
        }
        if (interrupted && stopped)
            return KilledBy + interrupted;
        return allRecognised ? Converted : SomeFailed;
    }

    if (toFolder ? arguments.isEmpty() : arguments.size() != 2) {
        printLine(QStringLiteral("give SOURCE DESTINATION, or -o DIR SOURCE...; see --help"));
        return Usage;
    }
    Batch batch =
            toFolder ? Batch::intoFolder(arguments, folder) : Batch({{arguments[0], arguments[1]}});

    const std::vector<BatchTask> &tasks = batch.tasks();
    // Names the system cannot hold are refused before anything runs: no
    // name is ever mapped to a different file.
    const bool lossyDirectory = toFolder && fromLossyArgument(folder, lossy);
    if (toFolder && !lossyDirectory) {
        const QString failure = makeFolder(folder);
        if (!failure.isEmpty()) {
            printLine(failure);
            return SomeFailed;
        }
    }
    std::vector<QString> refusals(tasks.size());
    for (size_t i = 0; i < tasks.size(); ++i) {
        const QString &source = tasks[i].source;
        const QString &destination = tasks[i].destination;
        if (fromLossyArgument(source, lossy) || lossyDirectory ||
            (!toFolder && fromLossyArgument(destination, lossy)))
            refusals[i] = lossyNameReason(fromLossyArgument(source, lossy) ? source : destination);
    }

    const int jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs;
    ProgressLine progress(showProgress, QFileInfo(tasks[0].source).fileName(),
                          showProgress ? durations(tasks) : std::vector<double>(tasks.size()));
    Runner(batch, refusals, target, quality, progress).run(jobs);
    if (toFolder && !quiet)
        printLine(batch.summary());
    // A destination in place counts as converted, even when the signal came
    // while it was being put there: the run was stopped only when it left a
    // file undone.
    if (interrupted && batch.notStartedCount() > 0)
        return KilledBy + interrupted;
    return batch.failedCount() == 0 ? Converted : SomeFailed;
}
