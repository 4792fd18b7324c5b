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

    const auto row = [](int type, const char *name, const QByteArray &bytes, ConvertError error,
                        const char *fault = "", int atCall = 0) {
        QTest::addRow("%s, %s", type == StandardToBrinmoor ? "standard" : "Brinmoor-WAVE", name)
                << type << bytes << error << QString(fault) << atCall;
    };
    const int S = StandardToBrinmoor;
    const int B = BrinmoorToStandard;
    const ConvertError ok = ConvertError::None;
    const ConvertError format = ConvertError::SourceFormat;
    for (const int type : {S, B}) {
        const QByteArray &x = type == S ? standard : brinmoor;
        for (const quint32 rate : {0u, 1u, 0xffffffffu})
            row(type, qPrintable(QStringLiteral("rate %1").arg(rate)), patched(x, 24, le32(rate)),
                ConvertError::UnsupportedRate);
        row(type, "0 channels", patched(x, 22, le16(0)), format);
        row(type, "blockAlign 0", patched(x, 32, le16(0)), type == S ? ok : format);
        row(type, "data size 0xFFFFFFFF", patched(x, 40, le32(0xffffffffu)),
            type == S ? ok : format);
        row(type, "unchanged", x, ok);
        row(type, "truncated midway", x, ConvertError::Read, "truncate", 100);
        // The open file still reads whole: the conversion completes.
        row(type, "deleted midway", x, ok, "delete", 100);
        row(type, "cancelled at the first block", x, ConvertError::Cancelled, "cancel", 1);
        row(type, "cancelled at the last block", x, ConvertError::Cancelled, "cancel", -1);
        row(type, "a directory", x, ConvertError::SourceOpen, "directory");
    }

    const QByteArray &s = standard;
    row(S, "rate 39062", patched(s, 24, le32(39062)), ok);
    // No common factor with the destination rate: the largest filter.
    row(S, "rate 44099", patched(s, 24, le32(44099)), ok);
    row(S, "65535 channels", patched(s, 22, le16(65535)), ok);
    for (const int bits : {0, 1, 7, 12, 64})
        row(S, qPrintable(QStringLiteral("%1 bits").arg(bits)), patched(s, 34, le16(quint16(bits))),
            format);
    row(S, "riffSize 0xFFFFFFFF", patched(s, 4, le32(0xffffffffu)), ok);
    row(S, "riffSize past the end", patched(s, 4, le32(quint32(s.size() + 1000))), ok);
    row(S, "fmt size 0xFFFFFFFF", patched(s, 16, le32(0xffffffffu)), format);
    row(S, "fmt size past the end", patched(s, 16, le32(quint32(s.size()))), format);
    row(S, "data size past the end", patched(s, 40, le32(quint32(s.size()))), ok);
    row(S, "data before fmt", s.left(12) + s.mid(36) + s.mid(12, 24), ok);
    row(S, "chunk size 0xFFFFFFFF before data",
        s.left(36) + "JUNK" + le32(0xffffffffu) + QByteArray(16, 'x') + s.mid(36), format);
    row(S, "header only", s.left(44), ok);
    row(S, "cut inside the header", s.left(30), format);

    const auto sample = [this](double v) { return patched(brinmoor, 44 + 16 * 100, le64(v)); };
    const double inf = std::numeric_limits<double>::infinity();
    row(B, "NaN", sample(std::numeric_limits<double>::quiet_NaN()), ok);
    row(B, "+infinity", sample(inf), ok);
    row(B, "-infinity", sample(-inf), ok);
    row(B, "1e308", sample(1e308), ok);
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
            {"soundfile", &fuzz::soundFile},
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
