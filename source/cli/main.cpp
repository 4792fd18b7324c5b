// quorvia-convert: converts recordings between the two layouts from the
// command line, for batch work and machines without a display.

#include "converter/batch.h"
#include "converter/convertfile.h"
#include "converter/flacnames.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "wave/brinmoorwavefile.h"
#include "wave/recognize.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"
#include "words/words.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

namespace {

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

// The run stops at its next check; a system call waiting for something
// returns at once.
void stopOn(int signal)
{
    Platform::catchSignal(signal, onInterrupt);
}

void printLine(const QString &text)
{
    std::fprintf(stderr, "quorvia-convert: %s\n", text.toLocal8Bit().constData());
}

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
// are done. Workers report from their own threads, so every member takes the
// lock; messages go through print(), which moves the bar below them.
class ProgressLine
{
public:
    // A disabled line draws nothing but still serves print().
    ProgressLine(bool show, const QString &fileName)
        : enabled(show)
        , label(fileName)
    { }

    // Redraws when the percentage or the count of files changed.
    void update(const BatchProgress &progress)
    {
        if (!enabled)
            return;
        const std::lock_guard<std::mutex> lock(mutex);
        // Sums of fractions may fall short of a whole by a rounding error.
        latest = {qBound(0, int(progress.overall() * 100.0 + 1e-6), 100), progress.tasksDone(),
                  progress.taskCount(), progress.secondsDone(), progress.totalSeconds()};
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
    struct State
    {
        int percent = 0;
        size_t filesDone = 0;
        size_t files = 0;
        double secondsDone = 0.0;
        double totalSeconds = 0.0;
    };

    void draw(bool always)
    {
        if (!always && latest.percent == shown && latest.filesDone == filesShown)
            return;
        shown = latest.percent;
        filesShown = latest.filesDone;
        const int filled = width * shown / 100;
        QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                QString(width - filled, QLatin1Char('.')) + QStringLiteral("] ") +
                QString::number(shown).rightJustified(3) + QLatin1Char('%');
        if (latest.files == 1)
            text += QLatin1Char(' ') + label;
        else
            text += QStringLiteral(" %1 of %2 files")
                            .arg(QString::number(latest.filesDone), QString::number(latest.files));
        if (latest.files > 1 && latest.totalSeconds > 0)
            text += QStringLiteral(", %1 of %2")
                            .arg(clockTime(latest.secondsDone), clockTime(latest.totalSeconds));
        const QByteArray line = text.toLocal8Bit();
        std::fprintf(stderr, "\r%s%*s", line.constData(),
                     std::max(0, drawnLength - int(line.size())), "");
        std::fflush(stderr);
        drawnLength = int(line.size());
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
    std::mutex mutex;
    State latest;
    size_t filesShown = 0;
    int shown = -1;
    int drawnLength = 0;
};

// A refusal reworded to name what would work, where the core's own reason
// cannot know it: it does not know which direction the user asked for.
QString reasonWithRemedy(const BatchTask &task, Direction type, const ConvertResult &result)
{
    const QString source = QDir::toNativeSeparators(task.source);
    const bool toStandard = type == Direction::BrinmoorToStandard;
    const bool toFlac = QFileInfo(task.destination).suffix().toLower() == QLatin1String("flac");
    if (result.error == ConvertError::DestinationFormat && !toStandard && toFlac)
        return QStringLiteral("%1: FLAC is written only as a standard destination, from a "
                              "Brinmoor-WAVE source; a Brinmoor-WAVE destination is named .wav")
                .arg(QDir::toNativeSeparators(task.destination));
    if (result.error != ConvertError::SourceFormat)
        return failureLine(task.source, result);
    // Only a PCM WAVE header can stand in front of a recording: any other
    // format, or WAVE encoding, is a standard source.
    if (toStandard && isOtherAudioFormat(task.source)) {
        const WaveInfo info = recognizeWave(task.source);
        if (info.recognised())
            return QStringLiteral("%1: it is a standard source (%2), as every file but PCM WAVE "
                                  "is; use --to brinmoor (or --to auto)")
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

// hh:mm:ss.mmm
QString timeText(double seconds)
{
    const qint64 whole = qint64(seconds);
    return QStringLiteral("%1:%2:%3")
            .arg(whole / 3600, 2, 10, QLatin1Char('0'))
            .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds - double(whole / 60 * 60), 6, 'f', 3, QLatin1Char('0'));
}

QString duration(qint64 frames, double rate)
{
    if (!(rate > 0))
        return QStringLiteral("unknown");
    return QStringLiteral("%1 = %2 frames").arg(timeText(double(frames) / rate)).arg(frames);
}

// The peak as the conversion measures it, with a progress line when
// `showProgress`. Failed when unreadable (reported), Stopped by a signal.
template<class File>
TaskOutcome printPeak(File &file, const QString &path, bool showProgress)
{
    if (!file.open(path, QIODevice::ReadOnly)) {
        printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return TaskOutcome::Failed;
    }
    bool ok = false;
    ProgressLine progress(showProgress, QFileInfo(path).fileName());
    BatchProgress whole({0.0});
    const double peak = file.measurePeak(ok, [&](double fraction) {
        whole.reach(0, fraction);
        progress.update(whole);
        return !interrupted;
    });
    progress.finish();
    if (!ok) {
        if (interrupted)
            return TaskOutcome::Stopped;
        printLine(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return TaskOutcome::Failed;
    }
    QString line = QStringLiteral("Peak        : %1 (%2 dBFS)")
                           .arg(peak, 0, 'g', 6)
                           .arg(peak > 0 ? 20.0 * std::log10(peak) : -INFINITY, 0, 'f', 2);
    if (file.damagedValues() > 0)
        line += QStringLiteral(", ") + damageLeftOutText(file.damagedValues());
    std::printf("%s\n", line.toLocal8Bit().constData());
    return TaskOutcome::Converted;
}

// A folder named without -r: say what would convert it.
QString folderWithoutRecursion(const QString &path)
{
    return QStringLiteral("%1 is a folder; -r converts the recordings under it")
            .arg(QDir::toNativeSeparators(path));
}

// One file's --info block on stdout: Converted when its layout was
// recognised (and, with `peak`, measured).
TaskOutcome printInfo(const QString &path, bool peak, bool showProgress)
{
    const QString name = QDir::toNativeSeparators(path);
    const WaveInfo info = recognizeWave(path);
    if (info.layout == WaveLayout::NotWave) {
        if (QFileInfo(path).isDir())
            printLine(folderWithoutRecursion(path));
        else
            printLine((info.unreadable ? QStringLiteral("cannot open %1: %2")
                                       : QStringLiteral("%1: %2"))
                              .arg(name, info.evidence));
        return TaskOutcome::Failed;
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
    TaskOutcome outcome = info.recognised() ? TaskOutcome::Converted : TaskOutcome::Failed;
    if (peak && outcome == TaskOutcome::Converted) {
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

// What --info -r tells of a tree, added up as its lines are printed.
struct TreeTotal
{
    int listed = 0;
    int problems = 0;
    int noRecordings = 0;
    int unrecognised = 0;
    double seconds = 0.0;
};

// One line on stdout for a file that --info -r found or was given: its
// layout and length, then each problem a conversion would meet or report.
void printInfoLine(const QString &path, const QString &folderError, TreeTotal *total)
{
    QStringList problems;
    QString what;
    if (!folderError.isEmpty()) {
        problems << QStringLiteral("cannot read the folder: %1").arg(folderError);
    } else {
        const WaveInfo info = recognizeWave(path);
        const bool wave =
                info.format == QLatin1String("WAVE") || info.format == QLatin1String("RF64");
        if (info.layout == WaveLayout::NotWave) {
            problems << (info.unreadable ? QStringLiteral("cannot open: ") : QString()) +
                            info.evidence;
        } else {
            what = info.layout == WaveLayout::Brinmoor     ? QStringLiteral("Brinmoor-WAVE")
                    : info.layout == WaveLayout::Ambiguous ? QStringLiteral("either layout")
                    : wave                                 ? QStringLiteral("standard WAVE")
                           : QStringLiteral("standard (%1)").arg(info.format);
            if (info.sampleRate > 0) {
                const double seconds = double(info.frames) / info.sampleRate;
                what += QStringLiteral(", ") + timeText(seconds);
                total->seconds += seconds;
            }
            if (info.layout == WaveLayout::Ambiguous)
                problems << QStringLiteral("cannot tell its layout (%1)").arg(info.evidence);
            for (const Warning &warning : info.warnings())
                problems << warningText(warning);
        }
        total->unrecognised += !info.recognised();
    }
    total->unrecognised += !folderError.isEmpty();
    ++total->listed;
    total->problems += !problems.isEmpty();
    if (!what.isEmpty() && !problems.isEmpty())
        what += QStringLiteral("; ");
    std::printf("%s: %s\n", QDir::toNativeSeparators(path).toLocal8Bit().constData(),
                (what + problems.join(QStringLiteral("; "))).toLocal8Bit().constData());
}

// --info -r: a line for each recording under the folders among `paths`
// (and for each other path), then the total. False when stopped by a signal.
bool printTree(const QStringList &paths, TreeTotal *total)
{
    for (const QString &path : paths) {
        if (!QFileInfo(path).isDir()) {
            printInfoLine(path, QString(), total);
            continue;
        }
        for (const FoundFile &file : filesUnder(path, QString(), [] { return interrupted != 0; })) {
            if (interrupted)
                return false;
            if (file.lossyName) {
                std::printf("%s\n", lossyNameText(file.path).toLocal8Bit().constData());
                ++total->listed;
                ++total->problems;
                ++total->unrecognised;
            } else if (file.folderError.isEmpty() &&
                       isNoRecording(file.path, recognizeWave(file.path))) {
                ++total->noRecordings;
            } else {
                printInfoLine(file.path, file.folderError, total);
            }
        }
    }
    if (interrupted)
        return false;
    QString line = QStringLiteral("%1 recordings, %2 in all, %3 with problems")
                           .arg(total->listed)
                           .arg(timeText(total->seconds))
                           .arg(total->problems);
    if (total->noRecordings > 0)
        line += QStringLiteral(", %1 skipped (not recordings)").arg(total->noRecordings);
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
    return true;
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
                   "       quorvia-convert [options] -r -o DIR FOLDER...\n"
                   "       quorvia-convert --info [--peak] FILE...\n"
                   "       quorvia-convert --info -r FOLDER...\n\n"
                   "%1\n\n%2\n"
                   "Exit status:\n"
                   "  0    every file was converted, or skipped as -n or -r say\n"
                   "  1    a file could not be converted (each is named on stderr), or with\n"
                   "       --info, a file was not recognised\n"
                   "  2    the command line was not understood\n"
                   "  130  stopped by SIGINT (Ctrl+C), 143 by SIGTERM; the file being\n"
                   "       converted then is left as if never started (a file already in\n"
                   "       place when the signal came counts as converted)\n")
            .arg(parser.applicationDescription(), options);
}

// A task's end on stderr, in the order of the tasks: what a conversion that
// succeeded should tell, or why it failed.
void printEnd(ProgressLine &progress, const BatchTask &task, const TaskEnd &end)
{
    if (end.outcome == TaskOutcome::Converted)
        for (const Warning &warning : end.result.warnings)
            progress.print(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(task.source),
                                                        warningText(warning)));
    else if (end.outcome == TaskOutcome::Failed && end.failure == TaskFailure::Conversion)
        progress.print(reasonWithRemedy(task, *end.type, end.result));
    else if (end.outcome == TaskOutcome::Failed && end.failure == TaskFailure::NoLayout &&
             QFileInfo(task.source).isDir())
        progress.print(folderWithoutRecursion(task.source));
    else if (end.outcome == TaskOutcome::Failed)
        progress.print(taskFailureText(
                task, end, QStringLiteral("choose with --to standard or --to brinmoor")));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-convert"));

    // A file-size limit should fail the write, not kill the process with the
    // temporary file left behind; an interrupt cancels the conversion, which
    // removes the temporary file.
    Platform::ignoreFileSizeLimitSignal();
    stopOn(SIGINT);
    stopOn(SIGTERM);
    const QStringList lossy = lossyArguments(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Converts two-channel recordings between standard RIFF WAVE files (written as\n"
            "24-bit PCM at 44100 Hz unless --bits and --rate say otherwise) and\n"
            "Brinmoor-WAVE (float64 at 39062.5 Hz).\n"
            "Standard sources may also be FLAC, AIFF, Ogg, Opus, MP3, CAF, W64, or WAVE\n"
            "in u-law, A-law, ADPCM or GSM; a standard DESTINATION named .flac is\n"
            "written as FLAC.\n"
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
    const QCommandLineOption bitsOption(
            QStringLiteral("bits"),
            QStringLiteral("Standard destinations: 16, 24 (default), 32 or float (32-bit IEEE "
                           "float, which keeps a recording above full scale at its level). FLAC "
                           "takes 16 or 24."),
            QStringLiteral("depth"), QStringLiteral("24"));
    const QCommandLineOption noDitherOption(
            QStringLiteral("no-dither"),
            QStringLiteral("With --bits 16: round without the dither (which is the same from "
                           "run to run)."));
    const QCommandLineOption rateOption(
            QStringLiteral("rate"),
            QStringLiteral("Standard destinations: 44100 (default), 48000, 88200 or 96000 Hz."),
            QStringLiteral("hz"), QStringLiteral("44100"));
    const QCommandLineOption flacOption(
            QStringLiteral("flac"),
            QStringLiteral("With -o: name standard outputs .flac, written as FLAC (Brinmoor-WAVE "
                           "outputs stay .wav)."));
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
    const QCommandLineOption recursiveOption(
            {QStringLiteral("r"), QStringLiteral("recursive")},
            QStringLiteral("With -o: a SOURCE that is a folder stands for every file under it, "
                           "each converted into the same relative path under <dir>; files that "
                           "are no recordings are skipped and counted; links to folders are not "
                           "followed. With --info: one line for each recording, and a total."));
    const QCommandLineOption noClobberOption(
            {QStringLiteral("n"), QStringLiteral("no-clobber")},
            QStringLiteral("Leave every destination that exists as it is, and count it as "
                           "skipped: a batch run again finishes what is missing."));
    parser.addOption(toOption);
    parser.addOption(jobsOption);
    parser.addOption(outputOption);
    parser.addOption(recursiveOption);
    parser.addOption(noClobberOption);
    parser.addOption(qualityOption);
    parser.addOption(bitsOption);
    parser.addOption(noDitherOption);
    parser.addOption(rateOption);
    parser.addOption(flacOption);
    parser.addOption(quietOption);
    parser.addOption(infoOption);
    parser.addOption(peakOption);
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("File to convert; with -o, one or more (with -r, "
                                                "folders too)."));
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

    BatchOptions options; // no type: each file by its layout
    const QString to = parser.value(toOption);
    if (to == QLatin1String("standard"))
        options.type = Direction::BrinmoorToStandard;
    else if (to == QLatin1String("brinmoor"))
        options.type = Direction::StandardToBrinmoor;
    else if (to != QLatin1String("auto")) {
        printLine(QStringLiteral("--to takes standard, brinmoor or auto, not \"%1\"").arg(to));
        return Usage;
    }

    const QString mode = parser.value(qualityOption);
    if (mode == QLatin1String("high")) {
        options.quality = ResamplingQuality::High;
    } else if (mode != QLatin1String("original")) {
        printLine(QStringLiteral("--quality takes original or high, not \"%1\"").arg(mode));
        return Usage;
    }

    const QString bits = parser.value(bitsOption);
    if (bits == QLatin1String("16"))
        options.standard.depth = StandardFormat::Depth::Bits16;
    else if (bits == QLatin1String("32"))
        options.standard.depth = StandardFormat::Depth::Bits32;
    else if (bits == QLatin1String("float"))
        options.standard.depth = StandardFormat::Depth::Float;
    else if (bits != QLatin1String("24")) {
        printLine(QStringLiteral("--bits takes 16, 24, 32 or float, not \"%1\"").arg(bits));
        return Usage;
    }
    options.standard.dither = !parser.isSet(noDitherOption);
    bool rateValid = false;
    options.standard.rate = parser.value(rateOption).toInt(&rateValid);
    if (!rateValid || !StandardFormat::rateSupported(options.standard.rate)) {
        printLine(QStringLiteral("--rate takes 44100, 48000, 88200 or 96000, not \"%1\"")
                          .arg(parser.value(rateOption)));
        return Usage;
    }
    const bool flacNames = parser.isSet(flacOption);
    if (flacNames && !options.standard.flacHolds()) {
        printLine(QStringLiteral("--flac takes --bits 16 or 24: FLAC cannot hold %1")
                          .arg(options.standard.isFloat() ? QStringLiteral("32-bit float")
                                                          : QStringLiteral("32 bits")));
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
    if (flacNames && !toFolder) {
        printLine(
                QStringLiteral("--flac names the outputs of -o; name a single DESTINATION .flac"));
        return Usage;
    }
    if (parser.isSet(peakOption) && !parser.isSet(infoOption)) {
        printLine(QStringLiteral("--peak goes with --info: quorvia-convert --info --peak FILE..."));
        return Usage;
    }
    const bool recursive = parser.isSet(recursiveOption);
    if (recursive && !toFolder && !parser.isSet(infoOption)) {
        printLine(QStringLiteral("-r goes with -o or --info: quorvia-convert -r -o DIR FOLDER..."));
        return Usage;
    }
    if (recursive && parser.isSet(peakOption)) {
        printLine(QStringLiteral("--peak measures one file at a time: give --info --peak "
                                 "FILE... without -r"));
        return Usage;
    }
    if (parser.isSet(noClobberOption) && parser.isSet(infoOption)) {
        printLine(QStringLiteral("-n goes with converting, not with --info"));
        return Usage;
    }
    const bool quiet = parser.isSet(quietOption);
    const bool showProgress = !quiet && Platform::standardErrorIsTerminal();
    if (parser.isSet(infoOption)) {
        if (arguments.isEmpty()) {
            printLine(QStringLiteral("give --info FILE...; see --help"));
            return Usage;
        }
        if (recursive) {
            TreeTotal total;
            if (!printTree(arguments, &total))
                return KilledBy + interrupted;
            return total.unrecognised == 0 ? Converted : SomeFailed;
        }
        bool allRecognised = true;
        bool stopped = false;
        for (const QString &path : arguments) {
            stopped = interrupted;
            if (stopped)
                break;
            TaskOutcome outcome = TaskOutcome::Failed;
            if (fromLossyArgument(path, lossy)) {
                printLine(lossyNameText(path));
            } else {
                outcome = printInfo(path, parser.isSet(peakOption), showProgress);
            }
            allRecognised = allRecognised && outcome == TaskOutcome::Converted;
            stopped = outcome == TaskOutcome::Stopped;
        }
        if (interrupted && stopped)
            return KilledBy + interrupted;
        return allRecognised ? Converted : SomeFailed;
    }

    if (toFolder ? arguments.isEmpty() : arguments.size() != 2) {
        printLine(QStringLiteral("give SOURCE DESTINATION, or -o DIR SOURCE...; see --help"));
        return Usage;
    }
    // Names the system cannot hold are refused before anything runs: no
    // name is ever mapped to a different file.
    const bool lossyDirectory = toFolder && fromLossyArgument(folder, lossy);
    // The folder is made first, so that the walk knows it when it lies
    // inside a folder walked, and leaves it out.
    if (toFolder && !lossyDirectory) {
        const QString failure = makeFolder(folder);
        if (!failure.isEmpty()) {
            printLine(failure);
            return SomeFailed;
        }
    }
    std::vector<BatchTask> planned = toFolder
            ? Batch::intoFolder(arguments, folder, recursive, [] { return interrupted != 0; })
                      .tasks()
            : std::vector<BatchTask>{{arguments[0], arguments[1]}};
    // Stopped while the folders were walked: nothing was started.
    if (interrupted)
        return KilledBy + interrupted;
    if (flacNames)
        planned = withFlacNames(std::move(planned), options.type);
    Batch batch(std::move(planned));

    const std::vector<BatchTask> &tasks = batch.tasks();
    options.refusals.resize(tasks.size());
    for (size_t i = 0; i < tasks.size(); ++i) {
        const QString &source = tasks[i].source;
        const QString &destination = tasks[i].destination;
        if (fromLossyArgument(source, lossy) || lossyDirectory ||
            (!toFolder && fromLossyArgument(destination, lossy)))
            options.refusals[i] =
                    lossyNameText(fromLossyArgument(source, lossy) ? source : destination);
    }
    // Every destination there before the run is left alone; one written in
    // this run is a clash, as always.
    if (parser.isSet(noClobberOption)) {
        options.skip.resize(tasks.size());
        for (size_t i = 0; i < tasks.size(); ++i)
            options.skip[i] = tasks[i].folderError.isEmpty() &&
                    QFileInfo::exists(tasks[i].destination) && !batch.clash(i) &&
                    !isSameFile(tasks[i].source, tasks[i].destination);
    }

    options.jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs;
    if (showProgress)
        options.seconds = sourceDurations(tasks);
    const QString firstName = tasks.empty() ? QString() : QFileInfo(tasks[0].source).fileName();
    ProgressLine progress(showProgress, firstName);
    options.progress = [&progress](size_t, double, const BatchProgress &whole) {
        progress.update(whole);
        return !interrupted;
    };
    options.stopRequested = [] { return interrupted != 0; };
    options.finished = [&](size_t task, const TaskEnd &end) {
        printEnd(progress, tasks[task], end);
    };
    runBatch(batch, options);
    progress.finish();
    if (toFolder && !quiet)
        printLine(batchSummaryText(batch));
    // A destination in place counts as converted, even when the signal came
    // while it was being put there: the run was stopped only when it left a
    // file undone.
    if (interrupted && batch.notStartedCount() > 0)
        return KilledBy + interrupted;
    return batch.failedCount() == 0 ? Converted : SomeFailed;
}
