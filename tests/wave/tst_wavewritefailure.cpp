#include "wavetestutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace wavetest;

// Write failures made to happen for real in a child process: a file-size
// limit (SIGXFSZ ignored, so write() fails with EFBIG) and a directory the
// writer may not change. The destination must stay exactly as it was.
class TestWaveWriteFailure : public QObject
{
    Q_OBJECT

private slots:
    void failures_data();
    void failures();
};

void TestWaveWriteFailure::failures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("limit"); // "size" or "readonly"
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");
    // 64 KiB limit: 100000 frames overflow the writer's buffer while writing,
    // 20000 frames only when close() writes out the rest.
    QTest::newRow("standard, limit while writing")
            << "standard"
            << "size" << 100000 << false << 2 << "File too large";
    QTest::newRow("standard, limit at close") << "standard"
                                              << "size" << 20000 << true << 3 << "File too large";
    QTest::newRow("brinmoor, limit while writing")
            << "brinmoor"
            << "size" << 100000 << true << 2 << "File too large";
    QTest::newRow("brinmoor, limit at close") << "brinmoor"
                                              << "size" << 10000 << false << 3 << "File too large";
    QTest::newRow("standard, read-only directory")
            << "standard"
            << "readonly" << 10 << true << 1 << "Permission denied";
    QTest::newRow("brinmoor, read-only directory")
            << "brinmoor"
            << "readonly" << 10 << false << 1 << "Permission denied";
}

void TestWaveWriteFailure::failures()
{
    QFETCH(QString, kind);
    QFETCH(QString, limit);
    QFETCH(int, frames);
    QFETCH(bool, existing);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);

    QTemporaryDir tmp;
    const QString dirPath = tmp.filePath("out");
    QVERIFY(QDir().mkpath(dirPath));
    const QString dest = dirPath + "/dest.wav";
    if (existing)
        QVERIFY(writeBytes(dest, "precious"));

    QString program = "sh";
    QStringList args;
    const QStringList helper{QStringLiteral(WAVE_WRITE_HELPER), kind, dest,
                             QString::number(frames)};
    if (limit == "size") {
        // dash counts in 512-byte blocks: a 64 KiB limit.
        args << "-c"
             << "ulimit -f 128; trap '' XFSZ; exec \"$@\""
             << "sh" << helper;
    } else {
        QFile::setPermissions(tmp.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                      QFile::ReadOther | QFile::ExeOther);
        QFile::setPermissions(
                dirPath, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
        // Permissions do not bind root; run the writer as an ordinary user.
        if (geteuid() == 0) {
            program = "setpriv";
            args << "--reuid=65534"
                 << "--regid=65534"
                 << "--clear-groups" << helper;
        } else {
            program = helper.first();
            args = helper.mid(1);
        }
    }
    QProcess p;
    p.start(program, args);
    QVERIFY(p.waitForFinished(60000));
    const QString stderrText = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == exitCode,
             qPrintable(QString::number(p.exitCode()) + ": " + stderrText));
    QVERIFY2(stderrText.contains(reason), qPrintable(stderrText));

    // The destination is untouched and no temporary file is left behind.
    QCOMPARE(QFile::exists(dest), existing);
    if (existing)
        QCOMPARE(readBytes(dest), QByteArray("precious"));
    QCOMPARE(QDir(dirPath).entryList(QDir::Files | QDir::Hidden).size(), existing ? 1 : 0);
    QFile::setPermissions(dirPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QTEST_GUILESS_MAIN(TestWaveWriteFailure)
#include "tst_wavewritefailure.moc"
