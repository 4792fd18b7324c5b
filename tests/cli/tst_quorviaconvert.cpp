#include "audiotestfiles.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace testfiles;

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QList<QByteArray> errLines; // one per failure
};

// Runs quorvia-convert, through `wrapper` (a program and its arguments) when
// one is given.
static Outcome runConverter(const QStringList &arguments, QStringList wrapper = {})
{
    wrapper << QStringLiteral(QUORVIA_CONVERT) << arguments;
    QProcess process;
    process.start(wrapper.takeFirst(), wrapper);
    Outcome outcome;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput();
    outcome.errLines = process.readAllStandardError().split('\n');
    outcome.errLines.removeAll(QByteArray());
    return outcome;
}

class TestQuorviaConvert : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exitCodes_data();
    void exitCodes();
    void batchConvertsWhatItCanAndOverwritesNoSource();
    void writeFailuresKeepTheDestination_data();
    void writeFailuresKeepTheDestination();
    void progressBarOnlyOnATerminal_data();
    void progressBarOnlyOnATerminal();

private:
    QTemporaryDir dir;
    QString standard;
    QString brinmoor;
};

void TestQuorviaConvert::initTestCase()
{
    standard = dir.filePath(QStringLiteral("standard.wav"));
    brinmoor = dir.filePath(QStringLiteral("brinmoor.wav"));
    QVERIFY(sox(44100, QStringLiteral("2"), standard));
    QVERIFY(writeBrinmoor(brinmoor, sine(80000, 0.7)));
    QVERIFY(writeContents(dir.filePath(QStringLiteral("text.wav")), "RIFF? no, just text.\n"));
}

void TestQuorviaConvert::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outPart");
    QTest::addColumn<QString>("errPart"); // the only stderr line

    QTest::newRow("version") << QStringList{"--version"} << 0 << "1.0.1"
                             << "";
    QTest::newRow("nothing to do") << QStringList{} << 2 << ""
                                   << "SOURCE";
    QTest::newRow("unknown layout") << QStringList{"--to", "mp3", "@standard", "@a"} << 2 << ""
                                    << "mp3";
    QTest::newRow("missing source") << QStringList{"@absent", "@a"} << 1 << ""
                                    << "absent.wav";
    QTest::newRow("silent off a terminal") << QStringList{"@standard", "@a"} << 0 << ""
                                           << "";
    QTest::newRow("explicit direction")
            << QStringList{"--to", "standard", "@brinmoor", "@b"} << 0 << ""
            << "";
}

void TestQuorviaConvert::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, outPart);
    QFETCH(QString, errPart);

    for (QString &argument : arguments) {
        if (argument.startsWith('@'))
            argument = dir.filePath(argument.mid(1) + QStringLiteral(".wav"));
    }
    const Outcome outcome = runConverter(arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY(outcome.out.contains(outPart.toUtf8()));
    QCOMPARE(outcome.errLines.size(), errPart.isEmpty() ? 0 : 1);
    if (!errPart.isEmpty())
        QVERIFY2(outcome.errLines[0].contains(errPart.toUtf8()), outcome.errLines[0]);
}

// Also the automatic direction: each layout goes to the other.
void TestQuorviaConvert::batchConvertsWhatItCanAndOverwritesNoSource()
{
    QTemporaryDir work;
    const QDir top(work.path());
    QVERIFY(top.mkpath("a") && top.mkpath("b") && top.mkpath("out"));
    const QStringList names{"a/one.wav", "a/two.rec", "b/one.wav", "a/missing.wav", "a/text"};
    QVERIFY(QFile::copy(standard, top.filePath(names[0])));
    QVERIFY(QFile::copy(brinmoor, top.filePath(names[1])));
    QVERIFY(QFile::copy(standard, top.filePath(names[2])));
    QVERIFY(QFile::copy(dir.filePath("text.wav"), top.filePath(names[4])));
    QStringList arguments{"-o", top.filePath("out")};
    for (const QString &name : names)
        arguments << top.filePath(name);

    Outcome outcome = runConverter(arguments);
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.errLines.size(), 3);
    QVERIFY(outcome.errLines[0].contains("b/one.wav")); // its output is taken
    QVERIFY(outcome.errLines[1].contains("missing.wav"));
    QVERIFY(outcome.errLines[2].contains("a/text"));
    QCOMPARE(strayFiles(top.filePath("out"), {"one.wav", "two.wav"}), QStringList());
    QVERIFY(!readBrinmoor(top.filePath("out/one.wav")).empty());
    QCOMPARE(soxi(top.filePath("out/two.wav")), QStringLiteral("91446 44100 2 24"));

    // b/one.wav would go over a/one.wav, a source of the same run, and
    // a/one.wav over itself.
    const QByteArray kept = contents(top.filePath(names[0]));
    outcome =
            runConverter({"-o", top.filePath("a"), top.filePath(names[2]), top.filePath(names[0])});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.errLines.size(), 2);
    QVERIFY(outcome.errLines[1].contains("same file"));
    QCOMPARE(contents(top.filePath(names[0])), kept);
    QCOMPARE(strayFiles(top.filePath("a"), {"one.wav", "two.rec", "text"}), QStringList());
}

void TestQuorviaConvert::writeFailuresKeepTheDestination_data()
{
    QTest::addColumn<bool>("fromStandard");
    QTest::addColumn<QString>("cause");
    QTest::newRow("file-size limit, to Brinmoor-WAVE") << true << "File too large";
    QTest::newRow("file-size limit, to standard") << false << "File too large";
    QTest::newRow("read-only directory") << true << "Permission denied";
}

void TestQuorviaConvert::writeFailuresKeepTheDestination()
{
    QFETCH(bool, fromStandard);
    QFETCH(QString, cause);

    QTemporaryDir work;
    const QString out = work.filePath(QStringLiteral("out"));
    const QString destination = out + QStringLiteral("/destination.wav");
    QVERIFY(QDir().mkdir(out) && writeContents(destination, "an earlier conversion"));
    const QString source = work.filePath(QStringLiteral("source.wav"));
    QVERIFY(QFile::copy(fromStandard ? standard : brinmoor, source));

    QStringList wrapper;
    if (cause == "File too large") {
        // Both outputs are several hundred kilobytes; the limit is at most
        // 100 kB, whatever block size the shell counts in.
        wrapper = QStringList{"sh", "-c", "ulimit -f 100 && exec \"$0\" \"$@\""};
    } else {
        const auto all = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther | QFile::ExeOwner |
                QFile::ExeGroup | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(work.path(), all | QFile::WriteOwner));
        QVERIFY(QFile::setPermissions(source, all));
        QVERIFY(QFile::setPermissions(out, all));
        // Permissions do not bind root, so root runs the converter as nobody.
        if (::geteuid() == 0)
            wrapper = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const Outcome outcome = runConverter({source, destination}, wrapper);
    QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.errLines.size(), 1);
    QVERIFY2(outcome.errLines[0].contains(cause.toUtf8()), outcome.errLines[0]);
    QVERIFY(outcome.errLines[0].contains("destination.wav"));
    QCOMPARE(contents(destination), QByteArray("an earlier conversion"));
    QCOMPARE(strayFiles(out, {"destination.wav"}), QStringList());
}

void TestQuorviaConvert::progressBarOnlyOnATerminal_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("on a terminal") << "--to=brinmoor";
    QTest::newRow("quiet on a terminal") << "--quiet";
}

void TestQuorviaConvert::progressBarOnlyOnATerminal()
{
    QFETCH(QString, option);
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("script(1) is needed to give the converter a terminal");

    // script(1) runs the command on a pseudo-terminal and copies what
    // appears there to its own stdout.
    const QString destination = dir.filePath(QStringLiteral("tty.wav"));
    const QString command = QStringList{QUORVIA_CONVERT, option, standard, destination}.join(' ');
    QByteArray screen;
    QVERIFY(run(QStringLiteral("script"), {"-qec", command, "/dev/null"}, &screen));
    QCOMPARE(screen.contains("100%"), option != "--quiet");
    QVERIFY(!readBrinmoor(destination).empty());
}

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
