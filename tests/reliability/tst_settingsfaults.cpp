#include "mainwindow.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>

using namespace support;

// Saving the settings when they cannot be written: the window still closes,
// the previous settings file stays as it was and no temporary file is left
// beside it. (Unreadable contents and a directory in place of the file are
// covered with the window's own tests.)
class TestSettingsFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Settings in a private place of this program's own.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("Norvale");
        QCoreApplication::setApplicationName("Quorvia-settingsfaults");
        // A file-size limit makes writes fail instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void unwritable_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("file-size limit") << "limit";
        QTest::newRow("read-only directory") << "read-only";
        QTest::newRow("a file in place of the directory") << "file";
    }

    void unwritable()
    {
        QFETCH(QString, fault);
        const QString dirPath = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QDir(dirPath).removeRecursively();
        QFile::remove(dirPath);
        QVERIFY(QDir().mkpath(dirPath));
        const QByteArray previous(
                R"({"Main window":{"Destination":"b.wav","Source":"a.wav","Type":1}})");
        // Settings cannot be kept below a regular file, whoever runs this.
        const QString kept = fault == "file" ? dirPath : dirPath + "/options.jcfg";
        QVERIFY(fault != "file" || QDir(dirPath).removeRecursively());
        QVERIFY(writeFile(kept, previous));
        if (fault == "read-only") {
            if (::geteuid() == 0)
                QSKIP("permissions do not bind root; the row with a file in place of the "
                      "directory makes the settings unwritable for root too");
            QVERIFY(QFile::setPermissions(dirPath, QFile::ReadOwner | QFile::ExeOwner));
        }
        {
            MainWindow window;
            window.show();
            window.findChild<QLineEdit *>("leSource")->setText("changed.wav");
            rlimit before{};
            getrlimit(RLIMIT_FSIZE, &before);
            rlimit tiny = before;
            tiny.rlim_cur = 16;
            QVERIFY(fault != "limit" || setrlimit(RLIMIT_FSIZE, &tiny) == 0);
            const bool closed = window.close();
            setrlimit(RLIMIT_FSIZE, &before);
            QVERIFY(closed);
        }
        QFile::setPermissions(dirPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(readFile(kept), previous);
        if (fault != "file")
            QCOMPARE(strayFiles(dirPath), QStringList("options.jcfg"));
    }
};

QTEST_MAIN(TestSettingsFaults)
#include "tst_settingsfaults.moc"
