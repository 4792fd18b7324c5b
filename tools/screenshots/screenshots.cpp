// Walks through the real window and saves what the display shows on the
// way: the window and its About dialog; a batch of recordings from the
// folder dialog through the progress to the summary, and the question the
// same batch asks when it is started again into that folder; and the
// question that closing the window during a conversion asks, answered with
// Yes.
//
// Usage: quorvia-screenshots OUTPUT_DIR RECORDINGS_DIR
// RECORDINGS_DIR holds the batch's sources and long.wav; screenshots.sh
// makes them and provides a display with a window manager.
#include "converter/convertfile.h"
#include "mainwindow.h"
#include "startup.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

bool save(const QPixmap &shot, const QString &path)
{
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The widget alone, without the window manager's frame.
bool shoot(QWidget *widget, const QString &path)
{
    return save(widget->screen()->grabWindow(widget->winId()), path);
}

// Everything visible, frames included, with a small margin. The window
// manager's title bars are not always counted in a frame, so there is room
// for them above.
bool shootScreen(const QString &path)
{
    QRect area;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->isVisible())
            area |= top->frameGeometry();
    }
    area.adjust(-8, -30, 8, 8);
    area &= QApplication::primaryScreen()->geometry();
    return save(QApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                          area.height()),
                path);
}

template<typename T>
T *visibleModal()
{
    auto *modal = qobject_cast<T *>(QApplication::activeModalWidget());
    return modal && modal->isVisible() ? modal : nullptr;
}

// Steps run one after the other, each when its condition holds. An action
// runs from its own timer event, so that one that opens a modal dialog does
// not stop the polling.
struct Step
{
    std::function<bool()> ready;
    std::function<void()> action;
};

} // namespace

int main(int argc, char **argv)
{
    installLocalPluginPaths();
    QApplication application(argc, argv);
    setIdentity(application);
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorvia-screenshots OUTPUT_DIR RECORDINGS_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QDir recordings(QString::fromLocal8Bit(argv[2]));
    // Keep the user's own settings out of the pictures, and the pictures'
    // example paths out of the user's settings.
    QStandardPaths::setTestModeEnabled(true);

    MainWindow window;
    auto *source = window.findChild<QLineEdit *>("leSource");
    auto *destination = window.findChild<QLineEdit *>("leDestination");
    source->setText("/home/you/Recordings/session-04.wav");
    destination->setText("/home/you/Recordings/session-04-standard.wav");
    for (QLineEdit *field : window.findChildren<QLineEdit *>())
        field->setCursorPosition(0);
    window.move(280, 240);
    window.show();

    QStringList batch;
    for (const QString &name : recordings.entryList({"take-*", "notes*"}, QDir::Files))
        batch << recordings.filePath(name);
    const QString converted = recordings.filePath("converted");
    const QString longResult = recordings.filePath("long-brinmoor.wav");

    // A conversion on this machine is too quick to be seen: each pass
    // through the event loop waits a little, as on a slow machine.
    QTimer slow;
    QObject::connect(&slow, &QTimer::timeout, [&] {
        if (window.isConverting())
            QThread::msleep(4);
    });
    slow.start(0);

    bool ok = true;
    QElapsedTimer shown;
    shown.start();
    auto progress = [&] { return window.findChild<QProgressDialog *>(); };
    const std::vector<Step> steps{
            {[&] { return shown.elapsed() > 800; },
             [&] {
                 ok = shoot(&window, out.filePath("mainwindow.png")) && ok;
                 window.findChild<QPushButton *>("pbAbout")->click();
             }},
            {[&] { return visibleModal<QDialog>() != nullptr; },
             [&] {
                 QWidget *about = QApplication::activeModalWidget();
                 ok = shoot(about, out.filePath("about.png")) && ok;
                 about->findChild<QPushButton *>("pushButton")->click();
             }},
            {[&] { return !QApplication::activeModalWidget(); }, [&] { window.openFiles(batch); }},
            {[&] { return visibleModal<QFileDialog>() != nullptr; },
             [&] {
                 ok = shootScreen(out.filePath("batch-1-folder.png")) && ok;
                 // As it proposes: a new folder beside the recordings.
                 QMetaObject::invokeMethod(visibleModal<QFileDialog>(), "accept");
             }},
            {[&] {
                 return progress() && progress()->isVisible() &&
                         progress()->labelText().startsWith("3 of") &&
                         progress()->value() > 2.5 * progress()->maximum() / batch.size();
             },
             [&] { ok = shootScreen(out.filePath("batch-2-progress.png")) && ok; }},
            {[&] { return visibleModal<QMessageBox>() != nullptr; },
             [&] {
                 ok = shootScreen(out.filePath("batch-3-summary.png")) && ok;
                 visibleModal<QMessageBox>()->done(0);
             }},
            {[&] { return !QApplication::activeModalWidget() && !window.isConverting(); },
             [&] { window.openFiles(batch); }},
            {[&] { return visibleModal<QFileDialog>() != nullptr; },
             [&] {
                 // It starts in the folder last used.
                 QFileDialog *dialog = visibleModal<QFileDialog>();
                 if (QFileInfo(dialog->directory().absolutePath()) != QFileInfo(converted)) {
                     std::fprintf(stderr, "the folder dialog did not start in %s\n",
                                  qPrintable(converted));
                     ok = false;
                 }
                 QMetaObject::invokeMethod(dialog, "accept");
             }},
            {[&] { return visibleModal<QMessageBox>() != nullptr; },
             [&] {
                 ok = shootScreen(out.filePath("batch-4-existing.png")) && ok;
                 visibleModal<QMessageBox>()->button(QMessageBox::Cancel)->click();
             }},
            {[&] { return !QApplication::activeModalWidget() && !window.isConverting(); },
             [&] {
                 source->setText(recordings.filePath("long.wav"));
                 destination->setText(longResult);
                 window.findChild<QComboBox *>("cbType")->setCurrentIndex(StandardToBrinmoor);
                 window.findChild<QPushButton *>("pbConvert")->click();
             }},
            {[&] {
                 return progress() && progress()->isVisible() &&
                         progress()->value() > progress()->maximum() / 5;
             },
             [&] { window.close(); }},
            {[&] { return visibleModal<QMessageBox>() != nullptr; },
             [&] {
                 ok = shootScreen(out.filePath("close-during-conversion.png")) && ok;
                 visibleModal<QMessageBox>()->button(QMessageBox::Yes)->click();
             }},
    };
    size_t next = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (next < steps.size() && steps[next].ready()) {
            QTimer::singleShot(0, steps[next].action);
            ++next;
        }
    });
    poll.start(50);
    // Whatever goes wrong, the walk ends.
    QTimer::singleShot(120000, [&] {
        std::fprintf(stderr, "stuck before step %zu\n", next + 1);
        ok = false;
        QApplication::exit(1);
    });

    QApplication::exec();
    // Yes stopped the conversion and closed the window, leaving no file.
    const QStringList left = recordings.entryList({QFileInfo(longResult).fileName() + '*'},
                                                  QDir::Files | QDir::Hidden);
    if (next != steps.size() || window.isVisible() || !left.isEmpty()) {
        std::fprintf(stderr, "the walk did not end as it should\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
