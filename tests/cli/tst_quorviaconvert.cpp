#include "audiotestfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace testfiles;

namespace {

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs quorvia-convert, through `wrapper` (a program and its arguments, the
// converter's path and arguments appended) when one is given.
Outcome runConverter(const QStringList &arguments, const QStringList &wrapper = {})
{
    QStringList command = wrapper;
    command << QStringLiteral(QUORVIA_CONVERT) << arguments;
    QProcess process;
    process.start(command.takeFirst(), command);
    Outcome outcome;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    return outcome;
}

// Lines on stderr: one per failure.
QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    result.removeAll(QByteArray());
    return result;
}

bool isBrinmoor(const QString &path)
{
    WaveHeader header;
    std::vector<Frame> frames;
    return readBrinmoor(path, &header, &frames) && header.sampleRate == 39062 &&
            header.dataSize == 8 * frames.size() && !frames.empty();
}

} // namespace

class TestQuorviaConvert : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exitCodes_data();
    void exitCodes();
    void automaticDirectionRoundTrip();
    void batch();
    void batchNeverOverwritesASource();
    void fileSizeLimitFailsTheWrite_data();
    void fileSizeLimitFailsTheWrite();
    void readOnlyDirectory();
    void progressBarOnlyOnATerminal_data();
    void progressBarOnlyOnATerminal();

private:
    QTemporaryDir dir;
    QString standardSource;
    QString brinmoorSource;
};

void TestQuorviaConvert::initTestCase()
{
    QVERIFY(dir.isValid());
    standardSource = dir.filePath(QStringLiteral("standard.wav"));
    brinmoorSource = dir.filePath(QStringLiteral("brinmoor.wav"));
    QVERIFY(makeStandard(standardSource, 44100, QStringLiteral("2")));
    QVERIFY(writeBrinmoor(brinmoorSource, soxSine(39062.5, 80000, 0.7)));
}

void TestQuorviaConvert::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outPart");
    QTest::addColumn<QString>("errPart");

    QTest::newRow("version") << QStringList{"--version"} << 0 << "1.0.1"
                             << "";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--output-dir"
                          << "";
    QTest::newRow("nothing to do") << QStringList{} << 2 << ""
                                   << "SOURCE";
    QTest::newRow("source without destination") << QStringList{"@standard"} << 2 << ""
                                                << "";
    QTest::newRow("three paths without -o") << QStringList{"@standard", "@out1", "@out2"} << 2 << ""
                                            << "";
    QTest::newRow("unknown layout") << QStringList{"--to", "mp3", "@standard", "@out1"} << 2 << ""
                                    << "mp3";
    QTest::newRow("unknown option") << QStringList{"--fast", "@standard", "@out1"} << 2 << ""
                                    << "fast";
    QTest::newRow("missing source") << QStringList{"@absent", "@out1"} << 1 << ""
                                    << "absent.wav";
    QTest::newRow("not a WAVE file") << QStringList{"@text", "@out1"} << 1 << ""
                                     << "text.wav";
    QTest::newRow("converted, silently off a terminal")
            << QStringList{"@standard", "@out1"} << 0 << ""
            << "";
    QTest::newRow("explicit direction")
            << QStringList{"--to", "standard", "@brinmoor", "@out2"} << 0 << ""
            << "";
}

void TestQuorviaConvert::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, outPart);
    QFETCH(QString, errPart);

    QVERIFY(writeContents(dir.filePath(QStringLiteral("text.wav")), "RIFF? no, just text.\n"));
    for (QString &argument : arguments) {
        if (argument.startsWith('@'))
            argument = dir.filePath(argument.mid(1) + QStringLiteral(".wav"));
    }
    const Outcome outcome = runConverter(arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY2(outcome.out.contains(outPart.toLocal8Bit()), outcome.out.constData());
    QVERIFY2(outcome.err.contains(errPart.toLocal8Bit()), outcome.err.constData());
    if (exitCode == 0)
        QCOMPARE(outcome.err, QByteArray());
    if (exitCode == 1)
        QCOMPARE(lines(outcome.err).size(), 1);
}

void TestQuorviaConvert::automaticDirectionRoundTrip()
{
    const QString there = dir.filePath(QStringLiteral("there.wav"));
    const QString back = dir.filePath(QStringLiteral("back.wav"));
    QCOMPARE(runConverter({"-q", standardSource, there}).exitCode, 0);
    QVERIFY(isBrinmoor(there));
    QCOMPARE(runConverter({"--to", "auto", there, back}).exitCode, 0);
    QCOMPARE(soxiField(back, "-r"), qint64(44100));
    QCOMPARE(soxiField(back, "-c"), qint64(2));
    QCOMPARE(soxiField(back, "-b"), qint64(24));
    // 2 s at 44100 Hz there and back, each way with the filter's tail.
    QVERIFY(soxiField(back, "-s") > 88200);
    QVERIFY(soxiField(back, "-s") < 88200 + 2500);
}

void TestQuorviaConvert::batch()
{
    QTemporaryDir work;
    QDir top(work.path());
    QVERIFY(top.mkdir(QStringLiteral("a")) && top.mkdir(QStringLiteral("b")) &&
            top.mkdir(QStringLiteral("out")));
    QVERIFY(QFile::copy(standardSource, top.filePath(QStringLiteral("a/one.wav"))));
    QVERIFY(QFile::copy(brinmoorSource, top.filePath(QStringLiteral("a/two.rec"))));
    QVERIFY(QFile::copy(standardSource, top.filePath(QStringLiteral("b/one.wav"))));
    QVERIFY(writeContents(top.filePath(QStringLiteral("a/notes.wav")), "not audio at all\n"));

    const Outcome outcome = runConverter(
            {"-o", top.filePath(QStringLiteral("out")), top.filePath(QStringLiteral("a/one.wav")),
             top.filePath(QStringLiteral("a/two.rec")), top.filePath(QStringLiteral("b/one.wav")),
             top.filePath(QStringLiteral("a/missing.wav")),
             top.filePath(QStringLiteral("a/notes.wav"))});
    QCOMPARE(outcome.exitCode, 1);
    const QList<QByteArray> failures = lines(outcome.err);
    QCOMPARE(failures.size(), 3);
    QVERIFY(failures[0].contains("b/one.wav"));
    QVERIFY(failures[1].contains("missing.wav"));
    QVERIFY(failures[2].contains("notes.wav"));

    QCOMPARE(QDir(top.filePath(QStringLiteral("out"))).entryList(QDir::Files | QDir::Hidden),
             QStringList({"one.wav", "two.wav"}));
    QVERIFY(isBrinmoor(top.filePath(QStringLiteral("out/one.wav"))));
    QCOMPARE(soxiField(top.filePath(QStringLiteral("out/two.wav")), "-r"), qint64(44100));
}

void TestQuorviaConvert::batchNeverOverwritesASource()
{
    QTemporaryDir work;
    QDir top(work.path());
    QVERIFY(top.mkdir(QStringLiteral("a")) && top.mkdir(QStringLiteral("b")));
    const QString first = top.filePath(QStringLiteral("b/one.wav"));
    const QString second = top.filePath(QStringLiteral("a/one.wav"));
    QVERIFY(QFile::copy(standardSource, first));
    QVERIFY(QFile::copy(brinmoorSource, second));
    const QByteArray secondBytes = contents(second);

    // b/one.wav would be written to a/one.wav, the next source; a/one.wav
    // would be written over itself.
    const Outcome outcome = runConverter({"-o", top.filePath(QStringLiteral("a")), first, second});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(lines(outcome.err).size(), 2);
    QVERIFY(outcome.err.contains("same file"));
    QCOMPARE(contents(second), secondBytes);
    QCOMPARE(strayFiles(top.filePath(QStringLiteral("a")), {"one.wav"}), QStringList());
}

void TestQuorviaConvert::fileSizeLimitFailsTheWrite_data()
{
    QTest::addColumn<bool>("fromStandard");
    QTest::newRow("to Brinmoor-WAVE") << true;
    QTest::newRow("to standard") << false;
}

void TestQuorviaConvert::fileSizeLimitFailsTheWrite()
{
    QFETCH(bool, fromStandard);

    QTemporaryDir work;
    const QString destination = work.filePath(QStringLiteral("limited.wav"));
    const QByteArray earlier("an earlier conversion");
    QVERIFY(writeContents(destination, earlier));

    // Both outputs are several hundred kilobytes; the limit is at most
    // 100 kB, whatever block size the shell counts in.
    const Outcome outcome =
            runConverter({fromStandard ? standardSource : brinmoorSource, destination},
                         {"sh", "-c", "ulimit -f 100 && exec \"$0\" \"$@\""});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.contains("File too large"), outcome.err.constData());
    QVERIFY(outcome.err.contains("limited.wav"));
    QCOMPARE(contents(destination), earlier);
    QCOMPARE(strayFiles(work.path(), {"limited.wav"}), QStringList());
}

void TestQuorviaConvert::readOnlyDirectory()
{
    QTemporaryDir work;
    QDir top(work.path());
    QVERIFY(top.mkdir(QStringLiteral("locked")));
    const QString source = top.filePath(QStringLiteral("source.wav"));
    const QString destination = top.filePath(QStringLiteral("locked/destination.wav"));
    QVERIFY(QFile::copy(standardSource, source));
    QVERIFY(writeContents(destination, "kept"));

    const auto readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    const auto enterable = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(work.path(), readable | enterable | QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(source, readable | QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(top.filePath(QStringLiteral("locked")), readable | enterable));

    // Permissions do not bind root, so root runs the converter as nobody.
    QStringList wrapper;
    if (::geteuid() == 0) {
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("running as root without setpriv");
        wrapper = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const Outcome outcome = runConverter({source, destination}, wrapper);
    QFile::setPermissions(top.filePath(QStringLiteral("locked")),
                          readable | enterable | QFile::WriteOwner);

    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.contains("Permission denied"), outcome.err.constData());
    QCOMPARE(contents(destination), QByteArray("kept"));
    QCOMPARE(strayFiles(top.filePath(QStringLiteral("locked")), {"destination.wav"}),
             QStringList());
}

void TestQuorviaConvert::progressBarOnlyOnATerminal_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::newRow("on a terminal") << false;
    QTest::newRow("quiet on a terminal") << true;
}

void TestQuorviaConvert::progressBarOnlyOnATerminal()
{
    QFETCH(bool, quiet);
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("script(1) is needed to give the converter a terminal");

    // script(1) runs the command on a pseudo-terminal and copies what
    // appears there to its own stdout.
    const QString command = QStringLiteral("%1 %2 %3 %4")
                                    .arg(QStringLiteral(QUORVIA_CONVERT),
                                         quiet ? QStringLiteral("--quiet") : QString(),
                                         standardSource, dir.filePath(QStringLiteral("tty.wav")));
    QByteArray screen;
    QVERIFY(run(QStringLiteral("script"), {"-qec", command, "/dev/null"}, &screen));
    QCOMPARE(screen.contains("100%"), !quiet);
    QVERIFY(isBrinmoor(dir.filePath(QStringLiteral("tty.wav"))));
}

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
