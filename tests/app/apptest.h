#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QDir;
class QWidget;

// What a message box said when it was answered.
struct SeenBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::StandardButtons buttons;
};

// Answers every modal window that turns up while it lives: message boxes are
// recorded and closed with their Ok button; anything else goes to `other`,
// which decides what to do with it. It polls, because the modal windows run
// their own event loops inside the code under test.
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(std::function<void(QWidget *)> other = {});

    QList<SeenBox> boxes;

private:
    void poll();

    std::function<void(QWidget *)> otherModal;
    QTimer timer;
};

// Runs a program to its end; false when it could not start or failed.
bool runTool(const QString &program, const QStringList &arguments, QString *output = nullptr);

// A two-channel sine tone made by sox as integer PCM.
QString makeTone(const QDir &dir, const QString &name, double seconds, int rate = 44100,
                 int bits = 16);

// A Brinmoor-WAVE recording of a sox tone, converted by the conversion job.
QString makeBrinmoor(const QDir &dir, const QString &name, double seconds);

// Puts the settings of the window under test in a private, empty place:
// test-mode standard paths under an application name of the test's own, so
// that test programs running side by side never share a settings file.
void useFreshSettings(const QString &testName);

// The full path of the settings file the window reads and writes.
QString settingsFile();
