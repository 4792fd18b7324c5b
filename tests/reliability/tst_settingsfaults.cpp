#include "mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

namespace {

QString settingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/options.jcfg";
}

} // namespace

// Saving the settings when they cannot be written: the window still closes,
// the previous settings file stays as it was and no temporary file is left
// beside it. (Unreadable contents and a directory in place of the file are
// covered with the window's own tests.)
class TestSettingsFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unwritable_data();
    void unwritable();
};

void TestSettingsFaults::initTestCase()
{
    // Settings in a private place of this program's own.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("Norvale");
    QCoreApplication::setApplicationName("Quorvia-settingsfaults");
    // A file-size limit makes writes fail instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
}

void TestSettingsFaults::unwritable_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("file-size limit") << "limit";
    QTest::newRow("read-only directory") << "read-only";
    QTest::newRow("a file in place of the directory") << "file";
}

void TestSettingsFaults::unwritable()
{
    QFETCH(QString, fault);

    const QString dirPath = QFileInfo(settingsFile()).path();
    QDir(dirPath).removeRecursively();
    QFile::remove(dirPath);
    QVERIFY(QDir().mkpath(dirPath));
    const QByteArray previous(
            R"({"Main window":{"Destination":"b.wav","Source":"a.wav","Type":1}})");
    QString kept = settingsFile();
    {
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(previous) == previous.size());
    }
    if (fault == "file") {
        // Settings cannot be kept below a regular file, whoever runs this.
        QVERIFY(QDir(dirPath).removeRecursively());
        kept = dirPath;
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(previous) == previous.size());
    } else if (fault == "read-only") {
        if (::geteuid() == 0)
            QSKIP("permissions do not bind root; the row with a file in place of the directory "
                  "makes the settings unwritable for root too");
        QVERIFY(QFile::setPermissions(dirPath, QFile::ReadOwner | QFile::ExeOwner));
    }

    {
        MainWindow window;
        window.show();
        window.findChild<QLineEdit *>("leSource")->setText("changed.wav");
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        if (fault == "limit") {
            rlimit tiny = before;
            tiny.rlim_cur = 16;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        }
        const bool closed = window.close();
        setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(closed);
    }
    QFile::setPermissions(dirPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QFile file(kept);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), previous);
    if (fault != "file")
        QCOMPARE(QDir(dirPath).entryList(QDir::Files | QDir::Hidden), QStringList("options.jcfg"));
}

QTEST_MAIN(TestSettingsFaults)
#include "tst_settingsfaults.moc"
