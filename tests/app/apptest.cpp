#include "apptest.h"

#include "converter/convertfile.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>

ModalAnswerer::ModalAnswerer(std::function<void(QWidget *)> other)
    : otherModal(std::move(other))
{
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start(10);
}

void ModalAnswerer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        boxes.append({box->icon(), box->windowTitle(), box->text(), box->informativeText(),
                      box->standardButtons()});
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
        return;
    }
    if (otherModal)
        otherModal(modal);
}

bool runTool(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output =
                QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return true;
}

QString makeTone(const QDir &dir, const QString &name, double seconds, int rate, int bits)
{
    const QString path = dir.filePath(name);
    const bool made =
            runTool("sox",
                    {"-n", "-r", QString::number(rate), "-b", QString::number(bits), "-c", "2",
                     path, "synth", QString::number(seconds), "sine", "1000", "vol", "0.5"});
    return made ? path : QString();
}

QString makeBrinmoor(const QDir &dir, const QString &name, double seconds)
{
    const QString tone = makeTone(dir, name + ".source.wav", seconds);
    const QString path = dir.filePath(name);
    if (tone.isEmpty() ||
        convertFile(tone, path, StandardToBrinmoor, ConvertOptions()).error != ConvertError::None)
        return QString();
    QFile::remove(tone);
    return path;
}

void useFreshSettings(const QString &testName)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Norvale"));
    QCoreApplication::setApplicationName(QStringLiteral("Quorvia-") + testName);
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)).removeRecursively();
}

QString settingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
            QStringLiteral("/options.jcfg");
}
