// Shows the real window with example paths, then its About dialog, and
// saves what the display shows of each.
//
// Usage: quorvia-screenshots OUTPUT_DIR   (needs a display; see screenshots.sh)
#include "mainwindow.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

namespace {

bool shoot(QWidget *widget, const QString &path)
{
    const QPixmap shot = widget->screen()->grabWindow(widget->winId());
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    installLocalPluginPaths();
    QApplication application(argc, argv);
    setIdentity(application);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvia-screenshots OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    // Keep the user's own settings out of the pictures, and the pictures'
    // example paths out of the user's settings.
    QStandardPaths::setTestModeEnabled(true);

    MainWindow window;
    window.findChild<QLineEdit *>("leSource")->setText("/home/you/Recordings/session-04.wav");
    window.findChild<QLineEdit *>("leDestination")
            ->setText("/home/you/Recordings/session-04-standard.wav");
    for (QLineEdit *field : window.findChildren<QLineEdit *>())
        field->setCursorPosition(0);
    window.move(40, 40);
    window.show();

    bool ok = true;
    QTimer::singleShot(800, &window, [&] {
        ok = shoot(&window, out.filePath("mainwindow.png"));
        // The About button runs the dialog modally; take its picture from
        // inside that run, then close it with its own button.
        QTimer::singleShot(800, &window, [&] {
            if (QWidget *about = QApplication::activeModalWidget()) {
                ok = shoot(about, out.filePath("about.png")) && ok;
                about->findChild<QPushButton *>("pushButton")->click();
            } else {
                ok = false;
            }
            QApplication::quit();
        });
        window.findChild<QPushButton *>("pbAbout")->click();
    });
    QApplication::exec();
    return ok ? 0 : 1;
}
