#include "testsupport.h"

#include "converter/convertfile.h"
#include "wave/waveheader.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace support;

Q_DECLARE_METATYPE(ConvertError)

// The source taken away or cut short while it is converted, a source that
// cannot be read, and cancellation at the first and the last moment. After
// each the destination is what it was before (or absent), nothing is left
// beside it, and the result says why.
class TestSourceFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void duringConversion_data();
    void duringConversion();
    void unreadableSource_data();
    void unreadableSource();

private:
    QTemporaryDir inputs;
    QString standard; // 88200 frames
    QString brinmoor; // 80000 frames
};

void TestSourceFaults::initTestCase()
{
    standard = inputs.filePath(QStringLiteral("standard.wav"));
    brinmoor = inputs.filePath(QStringLiteral("brinmoor.wav"));
    QVERIFY(soxTone(standard, 44100, QStringLiteral("88200s"), 16));
    QVERIFY(writeFile(brinmoor, brinmoorBytes(sine(80000, 0.8))));
}

void TestSourceFaults::duringConversion_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("atCall"); // progress call that causes it, from 1; -1: the last
    QTest::addColumn<ConvertError>("error");
    QTest::addColumn<QString>("reasonPart");

    for (const int type : {int(StandardToBrinmoor), int(BrinmoorToStandard)}) {
        const char *to = type == StandardToBrinmoor ? "to Brinmoor-WAVE" : "to standard";
        QTest::addRow("truncated, %s", to)
                << type << "truncate" << 100 << ConvertError::Read << "truncated";
        // The open file still reads whole: the conversion completes.
        QTest::addRow("deleted, %s", to) << type << "delete" << 100 << ConvertError::None << "";
        QTest::addRow("cancelled at the first block, %s", to)
                << type << "cancel" << 1 << ConvertError::Cancelled << "cancelled";
        QTest::addRow("cancelled at the last block, %s", to)
                << type << "cancel" << -1 << ConvertError::Cancelled << "cancelled";
    }
}

void TestSourceFaults::duringConversion()
{
    QFETCH(int, type);
    QFETCH(QString, fault);
    QFETCH(int, atCall);
    QFETCH(ConvertError, error);
    QFETCH(QString, reasonPart);

    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("source.wav"));
    QVERIFY(QFile::copy(type == StandardToBrinmoor ? standard : brinmoor, source));
    const QString reference = work.filePath(QStringLiteral("reference.wav"));
    int blocks = 0;
    ConvertOptions counting;
    counting.progress = [&blocks](double) { return ++blocks > 0; };
    const ConvertResult whole = convertFile(source, reference, type, counting);
    QVERIFY2(whole.ok(), qPrintable(whole.reason));
    if (atCall < 0)
        atCall = blocks;

    const QString out = work.filePath(QStringLiteral("out"));
    const QString destination = out + QStringLiteral("/destination.wav");
    QVERIFY(QDir().mkdir(out) && writeFile(destination, "an earlier conversion"));

    int calls = 0;
    ConvertOptions options;
    options.progress = [&](double) {
        if (++calls != atCall)
            return true;
        if (fault == "truncate")
            QFile::resize(source, WaveHeader::size + 1000);
        else if (fault == "delete")
            QFile::remove(source);
        return fault != "cancel";
    };
    const ConvertResult result = convertFile(source, destination, type, options);

    QVERIFY2(result.error == error, qPrintable(result.reason));
    QVERIFY2(result.reason.contains(reasonPart), qPrintable(result.reason));
    QCOMPARE(strayFiles(out, {"destination.wav"}), QStringList());
    if (result.ok()) {
        QCOMPARE(result.framesWritten, whole.framesWritten);
        QVERIFY(readFile(destination) == readFile(reference));
    } else {
        QCOMPARE(readFile(destination), QByteArray("an earlier conversion"));
    }
}

void TestSourceFaults::unreadableSource_data()
{
    QTest::addColumn<QString>("to");
    QTest::newRow("to Brinmoor-WAVE") << "brinmoor";
    QTest::newRow("to standard") << "standard";
}

// Run as the command-line converter, because permissions do not bind root:
// root runs it as nobody.
void TestSourceFaults::unreadableSource()
{
    QFETCH(QString, to);

    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("source.wav"));
    QVERIFY(QFile::copy(to == "brinmoor" ? standard : brinmoor, source));
    const QString out = work.filePath(QStringLiteral("out"));
    const QString destination = out + QStringLiteral("/destination.wav");
    QVERIFY(QDir().mkdir(out) && writeFile(destination, "an earlier conversion"));
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
            QFile::WriteOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(work.path(), open) && QFile::setPermissions(out, open));
    QVERIFY(QFile::setPermissions(destination, open & ~(QFile::ExeOwner | QFile::ExeOther)));
    QVERIFY(QFile::setPermissions(source, QFileDevice::Permissions()));

    QStringList command{QStringLiteral(QUORVIA_CONVERT), "-q", "--to", to, source, destination};
    if (::geteuid() == 0)
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} +
                command;
    QProcess converter;
    converter.start(command.first(), command.mid(1));
    QVERIFY(converter.waitForFinished(60000));
    const QString errors = QString::fromLocal8Bit(converter.readAllStandardError());
    QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner);

    QCOMPARE(converter.exitStatus(), QProcess::NormalExit);
    QCOMPARE(converter.exitCode(), 1);
    QVERIFY2(errors.contains("Permission denied") && errors.contains("source.wav"),
             qPrintable(errors));
    QCOMPARE(readFile(destination), QByteArray("an earlier conversion"));
    QCOMPARE(strayFiles(out, {"destination.wav"}), QStringList());
}

QTEST_GUILESS_MAIN(TestSourceFaults)
#include "tst_sourcefaults.moc"
