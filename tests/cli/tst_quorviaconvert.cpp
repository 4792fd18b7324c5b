#include "testsupport.h"

#include <unistd.h>

using namespace support;

namespace {

QStringList converter(const QStringList &arguments)
{
    return QStringList{QUORVIA_CONVERT} + arguments;
}

// One line of stderr per failure.
QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    result.removeAll(QByteArray());
    return result;
}

struct WriteFailure
{
    QString name;
    QString source;
    bool sizeLimit; // else a read-only directory
    bool existing;  // a destination to keep; else none may appear
};

} // namespace

Q_DECLARE_METATYPE(WriteFailure)

class TestQuorviaConvert : public QObject
{
    Q_OBJECT

    QTemporaryDir dir; // the inputs

private slots:
    void initTestCase()
    {
        QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "2"));
        QVERIFY(soxTone(dir.filePath("short.wav"), 44100, "10000s"));
        QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(80000, 0.7))));
        QVERIFY(writeFile(dir.filePath("short.rec"), brinmoorBytes(sine(20000, 0.7))));
        QVERIFY(writeFile(dir.filePath("text.wav"), "RIFF? no, just text.\n"));
    }

    // Also the automatic direction: each layout goes to the other.
    void batchConvertsWhatItCanAndOverwritesNoSource()
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
        r = run(converter(
                {"-o", top.filePath("a"), top.filePath(names[2]), top.filePath(names[0])}));
        QCOMPARE(r.exitCode, 1);
        errLines = lines(r.err);
        QCOMPARE(errLines.size(), 2);
        QVERIFY(errLines[1].contains("same file"));
        QCOMPARE(readFile(top.filePath(names[0])), kept);
        QCOMPARE(strayFiles(top.filePath("a"), {"one.wav", "two.rec", "text"}), QStringList());
    }

    void writeFailuresKeepTheDestination_data()
    {
        // A 50 KiB limit. The writers buffer 256 KiB, so a short output fails
        // only when close() writes out the rest. The converter itself must
        // ignore SIGXFSZ, or the limit kills it with its temporary file left.
        rows<WriteFailure>({
                {"to Brinmoor-WAVE, limit while writing", "standard.wav", true, true},
                {"to Brinmoor-WAVE, limit at close", "short.wav", true, false},
                {"to standard, limit while writing", "brinmoor.wav", true, false},
                {"to standard, limit at close", "short.rec", true, true},
                {"read-only directory", "standard.wav", false, true},
                {"read-only directory, new file", "brinmoor.wav", false, false},
        });
    }

    void writeFailuresKeepTheDestination()
    {
        QFETCH(WriteFailure, row);
        const auto [name, source, sizeLimit, existing] = row;
        QTemporaryDir work;
        const QString out = work.filePath("out");
        const QString destination = out + "/destination.wav";
        QVERIFY(QDir().mkdir(out) &&
                (!existing || writeFile(destination, "an earlier conversion")));
        QVERIFY(QFile::copy(dir.filePath(source),
                            work.filePath("source"))); // where nobody reads it
        QStringList command = converter({work.filePath("source"), destination});
        // sh is dash, whose limit counts 512-byte blocks. The directory is
        // written by the user nobody when the tests run as root, whom
        // permissions do not bind; its parent is opened up for nobody.
        const auto reachable =
                QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
        if (sizeLimit)
            command = QStringList{"sh", "-c", "ulimit -f 100; exec \"$0\" \"$@\""} + command;
        else if (::geteuid() == 0)
            command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} +
                    command;
        QVERIFY(sizeLimit ||
                (QFile::setPermissions(work.path(), reachable | QFile::WriteOwner) &&
                 QFile::setPermissions(out, reachable)));
        const Run r = run(command);
        QFile::setPermissions(out, reachable | QFile::WriteOwner);
        QCOMPARE(r.exitCode, 1);
        const QList<QByteArray> errLines = lines(r.err);
        QCOMPARE(errLines.size(), 1);
        QVERIFY2(errLines[0].contains(sizeLimit ? "File too large" : "Permission denied") &&
                         errLines[0].contains("destination.wav"),
                 r.err);
        QCOMPARE(readFile(destination), QByteArray(existing ? "an earlier conversion" : ""));
        QCOMPARE(strayFiles(out), existing ? QStringList{"destination.wav"} : QStringList());
    }
};

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
