#include "testsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

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
    void progressBarOnlyOnATerminal_data();
    void progressBarOnlyOnATerminal();

private:
    QTemporaryDir dir;
    QString standard;
    QString brinmoor;
};

void TestQuorviaConvert::initTestCase()
{
    standard = dir.filePath("standard.wav");
    brinmoor = dir.filePath("brinmoor.wav");
    QVERIFY(soxTone(standard, 44100, "2"));
    QVERIFY(writeFile(brinmoor, brinmoorBytes(sine(80000, 0.7))));
    QVERIFY(writeFile(dir.filePath("text.wav"), "RIFF? no, just text.\n"));
}

void TestQuorviaConvert::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@name" is name.wav in the test's directory
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outPart");
    QTest::addColumn<QString>("errPart"); // the only stderr line, if any
    const auto row = [](const char *name, const QStringList &arguments, int exitCode,
                        const char *outPart, const char *errPart) {
        QTest::newRow(name) << arguments << exitCode << QString(outPart) << QString(errPart);
    };
    row("version", {"--version"}, 0, "1.0.1", "");
    row("nothing to do", {}, 2, "", "SOURCE");
    row("unknown layout", {"--to", "mp3", "@standard", "@a"}, 2, "", "mp3");
    row("silent off a terminal", {"@standard", "@a"}, 0, "", "");
    row("explicit direction", {"--to", "standard", "@brinmoor", "@b"}, 0, "", "");
}

void TestQuorviaConvert::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, outPart);
    QFETCH(QString, errPart);
    for (QString &argument : arguments) {
        if (argument.startsWith('@'))
            argument = dir.filePath(argument.mid(1) + ".wav");
    }
    const Run r = run(converter(arguments));
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY(r.out.contains(outPart.toUtf8()));
    const QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), errPart.isEmpty() ? 0 : 1);
    QVERIFY2(errPart.isEmpty() || errLines[0].contains(errPart.toUtf8()), r.err);
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

    Run r = run(converter(arguments));
    QCOMPARE(r.exitCode, 1);
    QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), 3);
    QVERIFY(errLines[0].contains("b/one.wav")); // its output is taken
    QVERIFY(errLines[1].contains("missing.wav"));
    QVERIFY(errLines[2].contains("a/text"));
    QCOMPARE(strayFiles(top.filePath("out"), {"one.wav", "two.wav"}), QStringList());
    QVERIFY(!readBrinmoor(top.filePath("out/one.wav")).empty());
    QCOMPARE(soxi(top.filePath("out/two.wav")), QStringLiteral("91446 44100 2 24"));

    // b/one.wav would go over a/one.wav, a source of the same run, and
    // a/one.wav over itself.
    const QByteArray kept = readFile(top.filePath(names[0]));
    r = run(converter({"-o", top.filePath("a"), top.filePath(names[2]), top.filePath(names[0])}));
    QCOMPARE(r.exitCode, 1);
    errLines = lines(r.err);
    QCOMPARE(errLines.size(), 2);
    QVERIFY(errLines[1].contains("same file"));
    QCOMPARE(readFile(top.filePath(names[0])), kept);
    QCOMPARE(strayFiles(top.filePath("a"), {"one.wav", "two.rec", "text"}), QStringList());
}

void TestQuorviaConvert::writeFailuresKeepTheDestination_data()
{
    QTest::addColumn<QString>("cause");
    // The converter itself must ignore SIGXFSZ, or the limit kills it with
    // its temporary file left behind.
    QTest::newRow("file-size limit") << "File too large";
    QTest::newRow("read-only directory") << "Permission denied";
}

void TestQuorviaConvert::writeFailuresKeepTheDestination()
{
    QFETCH(QString, cause);
    QTemporaryDir work;
    const QString out = work.filePath("out");
    const QString destination = out + "/destination.wav";
    QVERIFY(QDir().mkdir(out) && writeFile(destination, "an earlier conversion"));
    const QString source = work.filePath("source.wav"); // where nobody can read it
    QVERIFY(QFile::copy(standard, source));
    const QStringList command = converter({source, destination});
    Run r;
    if (cause == "File too large") {
        r = run(withFileSizeLimit(command, 200, false)); // the output is over 1 MB
    } else {
        ReadOnlyDirectory readOnly(out);
        r = run(asOrdinaryUser(command));
    }
    QCOMPARE(r.exitCode, 1);
    const QList<QByteArray> errLines = lines(r.err);
    QCOMPARE(errLines.size(), 1);
    QVERIFY2(errLines[0].contains(cause.toUtf8()) && errLines[0].contains("destination.wav"),
             r.err);
    QCOMPARE(readFile(destination), QByteArray("an earlier conversion"));
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
    if (QStandardPaths::findExecutable("script").isEmpty())
        QSKIP("script(1) is needed to give the converter a terminal");
    // script(1) runs the command on a pseudo-terminal and copies what
    // appears there to its own stdout.
    const QString destination = dir.filePath("tty.wav");
    const QString command = converter({option, standard, destination}).join(' ');
    const QByteArray screen = output({"script", "-qec", command, "/dev/null"});
    QCOMPARE(screen.contains("100%"), option != "--quiet");
    QVERIFY(!readBrinmoor(destination).empty());
}

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
