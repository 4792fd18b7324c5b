#include "../fuzz/fuzztargets.h"
#include "testsupport.h"

#include "converter/convertfile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

#include <sys/resource.h>

using namespace support;

using Entry = QString (*)(const char *, std::size_t);
Q_DECLARE_METATYPE(Entry)
Q_DECLARE_METATYPE(ConvertError)

namespace {

// More than the readers buffer, so that a source cut short midway is
// noticed.
constexpr int toneFrames = 88200;

QByteArray patched(QByteArray bytes, int at, const QByteArray &value)
{
    return bytes.replace(at, value.size(), value);
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

// Headers that lie, contradict themselves or ask for the impossible, samples
// that are not numbers, a source cut short, taken away or not a file, and
// cancellation. Each source is converted soundly or refused with a reason,
// without growing memory or output beyond reason; a failure leaves the
// destination as it was, and nothing is ever left beside it.
class TestSourceFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void convertOrRefuse_data();
    void convertOrRefuse();
    void replayFuzzInputs_data();
    void replayFuzzInputs();

private:
    QByteArray standard; // 16-bit stereo 44100 Hz, canonical header
    QByteArray brinmoor;
};

void TestSourceFaults::initTestCase()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tone.wav"));
    QVERIFY(soxTone(path, 44100, QStringLiteral("%1s").arg(toneFrames), 16));
    standard = readFile(path);
    QCOMPARE(standard.size(), 44 + 4 * toneFrames);
    QCOMPARE(standard.mid(36, 4), QByteArray("data"));
    brinmoor = brinmoorBytes(sine(toneFrames, 0.5));
}

void TestSourceFaults::convertOrRefuse_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ConvertError>("error");
    QTest::addColumn<QString>("fault"); // made to happen at progress call atCall
    QTest::addColumn<int>("atCall");    // from 1; -1: the last

    const QByteArray &s = standard;
    const auto toBrinmoor = [](const char *name, const QByteArray &bytes, ConvertError error) {
        QTest::addRow("standard, %s", name) << int(StandardToBrinmoor) << bytes << error << "" << 0;
    };
    const ConvertError ok = ConvertError::None;
    const ConvertError format = ConvertError::SourceFormat;
    const ConvertError rate = ConvertError::UnsupportedRate;
    toBrinmoor("rate 0", patched(s, 24, le32(0)), rate);
    toBrinmoor("rate 1", patched(s, 24, le32(1)), rate);
    toBrinmoor("rate 4294967295", patched(s, 24, le32(0xffffffffu)), rate);
    toBrinmoor("rate 39062", patched(s, 24, le32(39062)), ok);
    // No common factor with the destination rate: the largest filter.
    toBrinmoor("rate 44099", patched(s, 24, le32(44099)), ok);
    toBrinmoor("0 channels", patched(s, 22, le16(0)), format);
    toBrinmoor("65535 channels", patched(s, 22, le16(65535)), ok);
    for (const int bits : {0, 1, 7, 12, 64})
        toBrinmoor(qPrintable(QStringLiteral("%1 bits").arg(bits)),
                   patched(s, 34, le16(quint16(bits))), format);
    toBrinmoor("blockAlign 0", patched(s, 32, le16(0)), ok);
    toBrinmoor("riffSize 0xFFFFFFFF", patched(s, 4, le32(0xffffffffu)), ok);
    toBrinmoor("riffSize past the end", patched(s, 4, le32(quint32(s.size() + 1000))), ok);
    toBrinmoor("fmt size 0xFFFFFFFF", patched(s, 16, le32(0xffffffffu)), format);
    toBrinmoor("fmt size past the end", patched(s, 16, le32(quint32(s.size()))), format);
    toBrinmoor("data size 0xFFFFFFFF", patched(s, 40, le32(0xffffffffu)), ok);
    toBrinmoor("data size past the end", patched(s, 40, le32(quint32(s.size()))), ok);
    toBrinmoor("data before fmt", s.left(12) + s.mid(36) + s.mid(12, 24), ok);
    toBrinmoor("chunk size 0xFFFFFFFF before data",
               s.left(36) + "JUNK" + le32(0xffffffffu) + QByteArray(16, 'x') + s.mid(36), format);
    toBrinmoor("header only", s.left(44), ok);
    toBrinmoor("cut inside the header", s.left(30), format);

    const QByteArray &b = brinmoor;
    const auto toStandard = [](const char *name, const QByteArray &bytes, ConvertError error) {
        QTest::addRow("Brinmoor-WAVE, %s", name)
                << int(BrinmoorToStandard) << bytes << error << "" << 0;
    };
    const auto sample = [&b](double v) { return patched(b, 44 + 16 * 100, le64(v)); };
    const double inf = std::numeric_limits<double>::infinity();
    toStandard("NaN", sample(std::numeric_limits<double>::quiet_NaN()), ok);
    toStandard("+infinity", sample(inf), ok);
    toStandard("-infinity", sample(-inf), ok);
    toStandard("1e308", sample(1e308), ok);
    toStandard("rate 0", patched(b, 24, le32(0)), rate);
    toStandard("rate 1", patched(b, 24, le32(1)), rate);
    toStandard("rate 4294967295", patched(b, 24, le32(0xffffffffu)), rate);
    toStandard("data size 0xFFFFFFFF", patched(b, 40, le32(0xffffffffu)), format);
    toStandard("0 channels", patched(b, 22, le16(0)), format);
    toStandard("blockAlign 0", patched(b, 32, le16(0)), format);

    for (const int type : {int(StandardToBrinmoor), int(BrinmoorToStandard)}) {
        const auto row = [type, &s, &b](const char *name, ConvertError error, const char *fault,
                                        int at) {
            QTest::addRow("%s, %s", type == StandardToBrinmoor ? "standard" : "Brinmoor-WAVE", name)
                    << type << (type == StandardToBrinmoor ? s : b) << error << fault << at;
        };
        row("unchanged", ok, "", 0);
        row("truncated midway", ConvertError::Read, "truncate", 100);
        // The open file still reads whole: the conversion completes.
        row("deleted midway", ok, "delete", 100);
        row("cancelled at the first block", ConvertError::Cancelled, "cancel", 1);
        row("cancelled at the last block", ConvertError::Cancelled, "cancel", -1);
        row("a directory", ConvertError::SourceOpen, "directory", 0);
    }
}

void TestSourceFaults::convertOrRefuse()
{
    QFETCH(int, type);
    QFETCH(QByteArray, bytes);
    QFETCH(ConvertError, error);
    QFETCH(QString, fault);
    QFETCH(int, atCall);

    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("source.wav"));
    const QString reference = work.filePath(QStringLiteral("reference.wav"));
    QVERIFY(writeFile(source, bytes));
    int calls = 0;
    ConvertOptions counting;
    counting.progress = [&calls](double) { return ++calls > 0; };
    if (!fault.isEmpty())
        QVERIFY(convertFile(source, reference, type, counting).ok());
    if (atCall < 0)
        atCall = calls;
    if (fault == "directory")
        QVERIFY(QFile::remove(source) && QDir().mkdir(source));

    const QString out = work.filePath(QStringLiteral("out"));
    const QString destination = out + QStringLiteral("/destination.wav");
    QVERIFY(QDir().mkdir(out) && writeFile(destination, "an earlier conversion"));
    calls = 0;
    ConvertOptions options;
    options.progress = [&](double) {
        if (++calls != atCall)
            return true;
        if (fault == "truncate")
            QFile::resize(source, 44 + 1000);
        else if (fault == "delete")
            QFile::remove(source);
        return fault != "cancel";
    };
    const long rssBefore = peakRssKiB();
    const ConvertResult result = convertFile(source, destination, type, options);
    // The largest filter the stage designs takes some tens of megabytes.
    QVERIFY2(peakRssKiB() - rssBefore < 256 * 1024,
             qPrintable(QStringLiteral("%1 KiB more").arg(peakRssKiB() - rssBefore)));
    QCOMPARE(strayFiles(out, {"destination.wav"}), QStringList());
    QVERIFY2(result.error == error, qPrintable(result.reason));
    if (!result.ok()) {
        QVERIFY(!result.reason.isEmpty());
        QCOMPARE(readFile(destination), QByteArray("an earlier conversion"));
        return;
    }
    if (fault == "delete")
        QVERIFY(readFile(destination) == readFile(reference));
    // Output in proportion to the input: at most the recording plus the
    // filter's tail, resampled.
    QVERIFY2(result.framesWritten <= 2 * (toneFrames + 1200), qPrintable(result.reason));
    const std::vector<Frame> frames = type == StandardToBrinmoor ? readBrinmoor(destination)
                                                                 : framesOf(soxDecode(destination));
    QCOMPARE(qint64(frames.size()), result.framesWritten);
    double sum = 0.0;
    for (size_t i = 0; i < frames.size(); ++i) {
        QVERIFY(std::isfinite(frames[i].left) && std::isfinite(frames[i].right));
        if (i >= 500 && i < 1500)
            sum += frames[i].left * frames[i].left + frames[i].right * frames[i].right;
    }
    // One odd sample must not change the level of the rest of the recording
    // (a value of 1e308 is the recording's true peak, so it does).
    const double level = std::sqrt(sum / 2000.0);
    QVERIFY2(type == StandardToBrinmoor || QByteArray(QTest::currentDataTag()).contains("1e308") ||
                     level > 0.05,
             qPrintable(QString::number(level)));
}

// Every committed fuzz input, the seeds and each input that once found a
// fault, through the fuzzers' own entry points, so that a fault found by
// fuzzing stays fixed without a fuzzer.
void TestSourceFaults::replayFuzzInputs_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QString>("path");
    const QDir fuzzDir(QStringLiteral(FUZZ_INPUT_DIR));
    const std::pair<const char *, Entry> targets[] = {
            {"standardwave", &fuzz::standardWave},
            {"brinmoorwave", &fuzz::brinmoorWave},
            {"convert", &fuzz::convert},
    };
    int rows = 0;
    for (const auto &[target, entry] : targets) {
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(fuzzDir.filePath(QStringLiteral("%1/%2").arg(kind, target)));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QTest::addRow("%s/%s/%s", target, kind, qPrintable(name))
                        << entry << dir.filePath(name);
                ++rows;
            }
        }
    }
    if (rows == 0)
        qFatal("no fuzz inputs under %s", qPrintable(fuzzDir.path()));
}

void TestSourceFaults::replayFuzzInputs()
{
    QFETCH(Entry, entry);
    QFETCH(QString, path);
    const QByteArray bytes = readFile(path);
    const QString fault = entry(bytes.constData(), std::size_t(bytes.size()));
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

QTEST_GUILESS_MAIN(TestSourceFaults)
#include "tst_sourcefaults.moc"
