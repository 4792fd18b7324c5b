// Converts one file the way the window does: the three-argument convertFile,
// which lets the toolkit process events while it runs, inside a GUI
// application with a ticking timer standing in for the window's repaints.
// Used by e2e.sh to compare that path with quorvia-convert.
//
//   quorvia_bench_windowpath SOURCE DESTINATION TYPE
//
// TYPE is the window's direction index: 0 Brinmoor-WAVE to standard,
// 1 standard to Brinmoor-WAVE. Exits 0 when the conversion succeeded.
#include "converter/convertfile.h"

#include <QGuiApplication>
#include <QTimer>

#include <cstdio>

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

    // Something for the event processing to do, as a window has.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(20);

    int result = -1;
    QTimer::singleShot(0, [&] {
        result = convertFile(arguments[1], arguments[2], arguments[3].toInt());
        QCoreApplication::quit();
    });
    app.exec();
    if (qEnvironmentVariableIsSet("QUORVIA_BENCH_VERBOSE"))
        std::fprintf(stderr, "timer ticks during the conversion: %d\n", ticks);
    return result == 0 ? 0 : 1;
}
