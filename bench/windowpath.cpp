// Converts one file the way the window does: letting the toolkit process
// pending events while it runs, inside a GUI application with a ticking
// timer standing in for the window's repaints. Used by e2e.sh to compare
// that path with quorvia-convert.
//
//   quorvia_bench_windowpath SOURCE DESTINATION TYPE
//
// TYPE is the window's direction index: 0 Brinmoor-WAVE to standard,
// 1 standard to Brinmoor-WAVE. Exits 0 when the conversion succeeded.
#include "converter/convertfile.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>

namespace {

// Keeps the window painting and answering during a long conversion,
// without paying for an event round per block.
bool convertProcessingEvents(const QString &source, const QString &destination, Direction direction)
{
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    ConvertOptions options;
    options.progress = [&sinceEvents](double) {
        if (sinceEvents.elapsed() >= 10) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            sinceEvents.restart();
        }
        return true;
    };
    return convertFile(source, destination, direction, options).ok();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: %s SOURCE DESTINATION TYPE\n", argv[0]);
        return 2;
    }
    const Direction direction = arguments[3].toInt() == 0 ? Direction::BrinmoorToStandard
                                                          : Direction::StandardToBrinmoor;

    // Something for the event processing to do, as a window has.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(20);

    bool converted = false;
    QTimer::singleShot(0, [&] {
        converted = convertProcessingEvents(arguments[1], arguments[2], direction);
        QCoreApplication::quit();
    });
    app.exec();
    if (qEnvironmentVariableIsSet("QUORVIA_BENCH_VERBOSE"))
        std::fprintf(stderr, "timer ticks during the conversion: %d\n", ticks);
    return converted ? 0 : 1;
}
