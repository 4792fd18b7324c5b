// quorvia-convert: converts recordings between the two layouts from the
// command line, for batch work and machines without a display.

#include "converter/batch.h"
#include "converter/convertfile.h"
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

// Converts one file; on failure returns the line that says why, and an
// interruption leaves it as if never started.
QString convertOne(const BatchTask &task, Target target, ProgressBar &bar)
{
    const QString source = QDir::toNativeSeparators(task.source);
    int type = StandardToBrinmoor;
    if (target == Target::Standard) {
        type = BrinmoorToStandard;
    } else if (target == Target::Auto) {
        QString failure;
        type = directionFor(task.source, &failure);
        if (type < 0)
            return failure;
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
        return QString();
    // The readers name the window's direction that fits a file of the other
    // layout; here the user chose with --to.
    if (result.error == ConvertError::SourceFormat) {
        const WaveLayout layout = detectWaveLayout(task.source);
        if (layout != WaveLayout::NotWave)
            return QStringLiteral("%1: this is a %2; use --to %3 (or --to auto)")
                    .arg(source,
                         layout == WaveLayout::Brinmoor ? QStringLiteral("Brinmoor-WAVE recording")
                                                        : QStringLiteral("standard WAVE file"),
                         layout == WaveLayout::Brinmoor ? QStringLiteral("standard")
                                                        : QStringLiteral("brinmoor"));
    }
    return failureLine(task.source, result);
}

// The help text: the usage names the program as people call it, not the
// path it was started by, and it ends with what the exit status means.
QString helpText(const QCommandLineParser &parser)
{
    QString options = parser.helpText();
    // Qt's own text begins with "Usage: <path> ..." and the description;
    // the options and arguments follow.
    options = options.mid(options.indexOf(QLatin1String("\nOptions:")) + 1);
    return QStringLiteral("Usage: quorvia-convert [options] SOURCE DESTINATION\n"
                          "       quorvia-convert [options] -o DIR SOURCE...\n\n"
                          "%1\n\n%2\n"
                          "Exit status:\n"
                          "  0    every file was converted\n"
                          "  1    a file could not be converted (each is named on stderr)\n"
                          "  2    the command line was not understood\n"
                          "  130  stopped by SIGINT (Ctrl+C), 143 by SIGTERM; the file being\n"
                          "       converted then is left as if never started\n")
            .arg(parser.applicationDescription(), options);
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
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Converts two-channel recordings between standard RIFF WAVE files (written as\n"
            "24-bit PCM at 44100 Hz) and Brinmoor-WAVE (float64 at 39062.5 Hz).\n"
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
    const QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Show no progress bar and no summary."));
    parser.addOption(toOption);
    parser.addOption(outputOption);
    parser.addOption(quietOption);
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

    const QStringList arguments = parser.positionalArguments();
    const bool toFolder = parser.isSet(outputOption);
    // A file named "-" would be written or looked for, where the user meant
    // a pipe.
    if (arguments.contains(QStringLiteral("-")) ||
        (toFolder && parser.value(outputOption) == QLatin1String("-"))) {
        printLine(QStringLiteral("standard input and output are not supported: name a file"));
        return Usage;
    }
    if (toFolder ? arguments.isEmpty() : arguments.size() != 2) {
        printLine(QStringLiteral("give SOURCE DESTINATION, or -o DIR SOURCE...; see --help"));
        return Usage;
    }
    Batch batch = toFolder ? Batch::intoFolder(arguments, parser.value(outputOption))
                           : Batch({{arguments[0], arguments[1]}});

    const bool quiet = parser.isSet(quietOption);
    ProgressBar bar(!quiet && ::isatty(STDERR_FILENO));
    const std::vector<BatchTask> &tasks = batch.tasks();
    for (size_t i = 0; i < tasks.size() && !interrupted; ++i) {
        QString failure = batch.refusal(i);
        if (failure.isEmpty())
            failure = convertOne(tasks[i], target, bar);
        if (failure.isEmpty()) {
            batch.converted(i);
        } else if (interrupted) {
            break; // the file was left as if never started
        } else {
            printLine(failure);
            batch.failed(failure);
        }
    }
    if (toFolder && !quiet)
        printLine(batch.summary());
    if (interrupted)
        return KilledBy + interrupted;
    return batch.failedCount() == 0 ? Converted : SomeFailed;
}
