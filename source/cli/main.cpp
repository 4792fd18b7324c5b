// quorvia-convert: converts recordings between the two layouts from the
// command line, for batch work and machines without a display.

#include "converter/convertfile.h"
#include "wave/soundfile.h"
#include "wave/wavelayout.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
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

bool convertOne(const Task &task, Target target, ProgressBar &bar)
{
    const QString source = QDir::toNativeSeparators(task.source);
    int type = StandardToBrinmoor;
    if (target == Target::Standard) {
        type = BrinmoorToStandard;
    } else if (target == Target::Auto) {
        const WaveLayout layout = detectWaveLayout(task.source);
        // Other audio formats are read as standard sources.
        SoundFile other;
        if (layout == WaveLayout::NotWave && !other.open(task.source, QIODevice::ReadOnly)) {
            printLine(QStringLiteral("%1: %2").arg(source, other.errorString()));
            return false;
        }
        if (layout == WaveLayout::Brinmoor)
            type = BrinmoorToStandard;
    }

    ConvertOptions options;
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
            "Standard sources may also be FLAC, AIFF, Ogg, Opus, MP3, CAF or W64; a\n"
            "standard DESTINATION named .flac is written as FLAC.\n"
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
    parser.addOption(toOption);
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

    ProgressBar bar(!parser.isSet(quietOption) && ::isatty(STDERR_FILENO));
    bool allConverted = true;
    QStringList written;
    for (size_t i = 0; i < tasks.size() && !interrupted; ++i) {
        const QString clash = conflict(tasks[i], tasks, i, written);
        if (!clash.isEmpty()) {
            printLine(
                    QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(tasks[i].source), clash));
            allConverted = false;
            continue;
        }
        if (convertOne(tasks[i], target, bar))
            written << QFileInfo(tasks[i].destination).absoluteFilePath();
        else
            allConverted = false;
    }
    if (interrupted)
        return Interrupted;
    return allConverted ? Converted : SomeFailed;
}
