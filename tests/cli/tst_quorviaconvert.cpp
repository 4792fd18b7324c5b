#include "testsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace support;

static QStringList converter(const QStringList &arguments)
{
    return QStringList{QUORVIA_CONVERT} + arguments;
}

// One line of stderr per failure.
static QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    result.removeAll(QByteArray());
    return result;
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
    void signalsStopAndSay_data();
    void signalsStopAndSay();

private:
    QTemporaryDir dir; // the inputs
};

void TestQuorviaConvert::initTestCase()
{
    QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "2"));
    QVERIFY(soxTone(dir.filePath("short.wav"), 44100, "10000s"));
    QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(80000, 0.7))));
    QVERIFY(writeFile(dir.filePath("short.rec"), brinmoorBytes(sine(20000, 0.7))));
    QVERIFY(writeFile(dir.filePath("text.wav"), "RIFF? no, just text.\n"));
    QVERIFY(soxTone(dir.filePath("long.wav"), 44100, "600", 16)); // takes a second to convert
}

void TestQuorviaConvert::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@name" is name.wav in the test's directory
    QTest::addColumn<bool>("terminal");         // run on a pseudo-terminal
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outPart");
    QTest::addColumn<QString>("errPart"); // the only stderr line, if any
    const auto row = [](const char *name, const QStringList &arguments, bool terminal, int exitCode,
                        const char *outPart, const char *errPart) {
        QTest::newRow(name) << arguments << terminal << exitCode << QString(outPart)
                            << QString(errPart);
    };
    row("version", {"--version"}, false, 0, "quorvia-convert 1.0.1", "");
    row("help: own name and options, exit statuses", {"--help"}, false, 0,
        "Usage: quorvia-convert [options] SOURCE DESTINATION", "");
    row("standard input", {"-", "@a"}, false, 2, "",
        "standard input and output are not supported: name a file");
    row("standard output", {"@standard", "-"}, false, 2, "", "not supported");
    row("nothing to do", {}, false, 2, "", "SOURCE");
    row("unknown layout", {"--to", "mp3", "@standard", "@a"}, false, 2, "", "mp3");
    row("silent off a terminal", {"@standard", "@a"}, false, 0, "", "");
    row("explicit direction", {"--to", "standard", "@brinmoor", "@b"}, false, 0, "", "");
    row("wrong direction", {"--to", "brinmoor", "@brinmoor", "@d"}, false, 1, "",
        "use --to standard");
    row("progress on a terminal", {"--to=brinmoor", "@standard", "@c"}, true, 0, "100%", "");
    row("quiet on a terminal", {"--quiet", "@standard", "@c"}, true, 0, "", "");
}

void TestQuorviaConvert::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, terminal);
    QFETCH(int, exitCode);
    QFETCH(QString, outPart);
    QFETCH(QString, errPart);
    for (QString &argument : arguments) {
        if (argument.startsWith('@'))
            argument = dir.filePath(argument.mid(1) + ".wav");
    }
    // script(1) runs the command on a pseudo-terminal and copies what
    // appears there, stderr included, to its own stdout.
    if (terminal && QStandardPaths::findExecutable("script").isEmpty())
        QSKIP("script(1) is needed to give the converter a terminal");
    const QString onTerminal = converter(arguments).join(' ');
    const Run r =
            terminal ? run({"script", "-qec", onTerminal, "/dev/null"}) : run(converter(arguments));
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY(r.out.contains(outPart.toUtf8()));
    // Only the program's own options, and what its exit statuses mean.
    QCOMPARE(r.out.contains("Exit status:\n  0 "), arguments == QStringList("--help"));
    QVERIFY(!r.out.contains("help-all") && !r.out.contains("-platform"));
    // The bar is drawn only on a terminal, and not when asked to be quiet.
    QCOMPARE(r.out.contains("100%"), outPart == "100%");
    const QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), errPart.isEmpty() ? 0 : 1);
    QVERIFY2(errPart.isEmpty() || errLines[0].contains(errPart.toUtf8()), r.err);
    QVERIFY(exitCode != 0 || arguments.size() < 2 || !readFile(arguments.last()).isEmpty());
}

// Also the automatic direction: each layout goes to the other.
void TestQuorviaConvert::batchConvertsWhatItCanAndOverwritesNoSource()
{
    QTemporaryDir work;
    const QDir top(work.path());
    QVERIFY(top.mkpath("a") && top.mkpath("b") && top.mkpath("out"));
    const QStringList inputs{"standard.wav", "brinmoor.wav", "standard.wav", "", "text.wav"};
    const QStringList names{"a/one.wav", "a/two.rec", "b/one.wav", "a/missing.wav", "a/text"};
    QStringList arguments{"-o", top.filePath("out")};
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(inputs[i].isEmpty() ||
                QFile::copy(dir.filePath(inputs[i]), top.filePath(names[i])));
        arguments << top.filePath(names[i]);
    }

    Run r = run(converter(arguments));
    QCOMPARE(r.exitCode, 1);
    QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), 4);
    QVERIFY(errLines[0].contains("b/one.wav")); // its output is taken
    QVERIFY(errLines[1].contains("missing.wav"));
    QVERIFY(errLines[2].contains("a/text"));
    QVERIFY(errLines[3].endsWith(": 2 converted, 3 failed"));
    QCOMPARE(strayFiles(top.filePath("out"), {"one.wav", "two.wav"}), QStringList());
    QVERIFY(!readBrinmoor(top.filePath("out/one.wav")).empty());
    QCOMPARE(soxi(top.filePath("out/two.wav")), QStringLiteral("91446 44100 2 24"));

    // b/one.wav would go over a/one.wav, a source of the same run, and
    // a/one.wav over itself.
    const QByteArray kept = readFile(top.filePath(names[0]));
    r = run(converter(
            {"--quiet", "-o", top.filePath("a"), top.filePath(names[2]), top.filePath(names[0])}));
    QCOMPARE(r.exitCode, 1);
    errLines = lines(r.err);
    QCOMPARE(errLines.size(), 2); // no summary
    QVERIFY(errLines[1].contains("same file"));
    QCOMPARE(readFile(top.filePath(names[0])), kept);
    QCOMPARE(strayFiles(top.filePath("a"), {"one.wav", "two.rec", "text"}), QStringList());
}

void TestQuorviaConvert::writeFailuresKeepTheDestination_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("sizeLimit"); // else a read-only directory
    QTest::addColumn<bool>("existing");  // a destination to keep; else none may appear
    const auto row = [](const char *name, const char *source, bool sizeLimit, bool existing) {
        QTest::newRow(name) << QString(source) << sizeLimit << existing;
    };
    // A 50 KiB limit. The writers buffer 256 KiB, so a short output fails
    // only when close() writes out the rest. The converter itself must
    // ignore SIGXFSZ, or the limit kills it with its temporary file left.
    row("to Brinmoor-WAVE, limit while writing", "standard.wav", true, true);
    row("to Brinmoor-WAVE, limit at close", "short.wav", true, false);
    row("to standard, limit while writing", "brinmoor.wav", true, false);
    row("to standard, limit at close", "short.rec", true, true);
    row("read-only directory", "standard.wav", false, true);
    row("read-only directory, new file", "brinmoor.wav", false, false);
}

void TestQuorviaConvert::writeFailuresKeepTheDestination()
{
    QFETCH(QString, source);
    QFETCH(bool, sizeLimit);
    QFETCH(bool, existing);
    QTemporaryDir work;
    const QString out = work.filePath("out");
    const QString destination = out + "/destination.wav";
    QVERIFY(QDir().mkdir(out) && (!existing || writeFile(destination, "an earlier conversion")));
    QVERIFY(QFile::copy(dir.filePath(source), work.filePath("source"))); // where nobody reads it
    const QStringList command = converter({work.filePath("source"), destination});
    Run r;
    if (sizeLimit) {
        r = run(withFileSizeLimit(command, 100, false));
    } else {
        ReadOnlyDirectory readOnly(out);
        r = run(asOrdinaryUser(command));
    }
    QCOMPARE(r.exitCode, 1);
    const QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), 1);
    QVERIFY2(errLines[0].contains(sizeLimit ? "File too large" : "Permission denied") &&
                     errLines[0].contains("destination.wav"),
             r.err);
    QCOMPARE(readFile(destination), QByteArray(existing ? "an earlier conversion" : ""));
    QCOMPARE(strayFiles(out), existing ? QStringList{"destination.wav"} : QStringList());
}

void TestQuorviaConvert::signalsStopAndSay_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

// A signal during a conversion ends the run with 128 + its number, as the
// shell reports a command the signal killed, and leaves no file.
void TestQuorviaConvert::signalsStopAndSay()
{
    QFETCH(int, signal);
    QTemporaryDir work;
    QVERIFY(QDir().mkdir(work.filePath("out")));
    QProcess converting;
    converting.start(QUORVIA_CONVERT, {"-o", work.filePath("out"), dir.filePath("long.wav")});
    // The source open shows that the conversion, and so the handlers, are
    // there (the temporary destination has no name to look for).
    const QDir descriptors(QString("/proc/%1/fd").arg(converting.processId()));
    const auto reading = [&] {
        for (const QFileInfo &fd : descriptors.entryInfoList(QDir::AllEntries | QDir::System))
            if (fd.symLinkTarget() == dir.filePath("long.wav"))
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(reading(), 20000);
    QCOMPARE(converting.state(), QProcess::Running);
    QCOMPARE(::kill(pid_t(converting.processId()), signal), 0);
    QVERIFY(converting.waitForFinished(20000));
    QCOMPARE(converting.exitStatus(), QProcess::NormalExit);
    QCOMPARE(converting.exitCode(), 128 + signal);
    QVERIFY(converting.readAllStandardError().endsWith("0 converted, 0 failed, 1 not started\n"));
    QCOMPARE(strayFiles(work.filePath("out")), QStringList());
}

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
