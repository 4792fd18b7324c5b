#include "testsupport.h"

#include "converter/convertfile.h"
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

#include <sys/resource.h>

using namespace support;

// Headers that lie, contradict themselves or ask for the impossible, and
// samples that are not numbers. Each file is converted soundly or refused
// with a reason, without growing memory or output beyond reason, and the
// destination is never damaged.
class TestHostileHeaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void convertOrRefuse_data();
    void convertOrRefuse();

private:
    QByteArray standard; // 16-bit stereo 44100 Hz, canonical header
    QByteArray brinmoor;
    std::vector<Frame> tone;
};

namespace {

constexpr int toneFrames = 2000;

QByteArray patched32(QByteArray bytes, int offset, quint32 value)
{
    writeLe32(bytes.data() + offset, value);
    return bytes;
}

QByteArray patched16(QByteArray bytes, int offset, quint16 value)
{
    writeLe16(bytes.data() + offset, value);
    return bytes;
}

QByteArray withSample(QByteArray bytes, int frame, double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, 8);
    writeLe32(bytes.data() + WaveHeader::size + 16 * frame, quint32(bits));
    writeLe32(bytes.data() + WaveHeader::size + 16 * frame + 4, quint32(bits >> 32));
    return bytes;
}

// The same chunks with "data" ahead of "fmt ".
QByteArray dataFirst(const QByteArray &bytes)
{
    return bytes.left(12) + bytes.mid(36) + bytes.mid(12, 24);
}

// A chunk of the given size between "fmt " and "data".
QByteArray withChunk(const QByteArray &bytes, quint32 size)
{
    QByteArray chunk("JUNK....");
    writeLe32(chunk.data() + 4, size);
    return bytes.left(36) + chunk + QByteArray(16, 'x') + bytes.mid(36);
}

double rms(const std::vector<Frame> &frames, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += frames[i].left * frames[i].left + frames[i].right * frames[i].right;
    return std::sqrt(sum / double(2 * (to - from)));
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

void TestHostileHeaders::initTestCase()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tone.wav"));
    QVERIFY(soxTone(path, 44100, QStringLiteral("%1s").arg(toneFrames), 16));
    standard = readFile(path);
    QCOMPARE(standard.size(), WaveHeader::size + 4 * toneFrames);
    QCOMPARE(standard.mid(36, 4), QByteArray("data"));
    tone = sine(toneFrames, 0.5);
    brinmoor = brinmoorBytes(tone);
}

void TestHostileHeaders::convertOrRefuse_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("converts");

    const auto toBrinmoor = [](const char *name, const QByteArray &bytes, bool converts) {
        QTest::addRow("standard, %s", name) << int(StandardToBrinmoor) << bytes << converts;
    };
    const QByteArray &s = standard;
    toBrinmoor("unchanged", s, true);
    toBrinmoor("rate 0", patched32(s, 24, 0), false);
    toBrinmoor("rate 1", patched32(s, 24, 1), false);
    toBrinmoor("rate 4294967295", patched32(s, 24, 0xffffffffu), false);
    toBrinmoor("rate 39062", patched32(s, 24, 39062), true);
    // No common factor with the destination rate: the largest filter.
    toBrinmoor("rate 44099", patched32(s, 24, 44099), true);
    toBrinmoor("0 channels", patched16(s, 22, 0), false);
    toBrinmoor("65535 channels", patched16(s, 22, 65535), true);
    toBrinmoor("0 bits", patched16(s, 34, 0), false);
    toBrinmoor("1 bit", patched16(s, 34, 1), false);
    toBrinmoor("7 bits", patched16(s, 34, 7), false);
    toBrinmoor("12 bits", patched16(s, 34, 12), false);
    toBrinmoor("64 bits", patched16(s, 34, 64), false);
    toBrinmoor("blockAlign 0", patched16(s, 32, 0), true);
    toBrinmoor("riffSize 0xFFFFFFFF", patched32(s, 4, 0xffffffffu), true);
    toBrinmoor("riffSize past the end", patched32(s, 4, quint32(s.size() + 1000)), true);
    toBrinmoor("fmt size 0xFFFFFFFF", patched32(s, 16, 0xffffffffu), false);
    toBrinmoor("fmt size past the end", patched32(s, 16, quint32(s.size())), false);
    toBrinmoor("data size 0xFFFFFFFF", patched32(s, 40, 0xffffffffu), true);
    toBrinmoor("data size past the end", patched32(s, 40, quint32(s.size())), true);
    toBrinmoor("data before fmt", dataFirst(s), true);
    toBrinmoor("chunk size 0xFFFFFFFF before data", withChunk(s, 0xffffffffu), false);
    toBrinmoor("header only", s.left(WaveHeader::size), true);
    toBrinmoor("cut inside the header", s.left(30), false);

    const auto toStandard = [](const char *name, const QByteArray &bytes, bool converts) {
        QTest::addRow("Brinmoor-WAVE, %s", name) << int(BrinmoorToStandard) << bytes << converts;
    };
    const QByteArray &b = brinmoor;
    const double inf = std::numeric_limits<double>::infinity();
    toStandard("unchanged", b, true);
    toStandard("NaN", withSample(b, 100, std::numeric_limits<double>::quiet_NaN()), true);
    toStandard("+infinity", withSample(b, 100, inf), true);
    toStandard("-infinity", withSample(b, 100, -inf), true);
    toStandard("1e308", withSample(b, 100, 1e308), true);
    toStandard("rate 0", patched32(b, 24, 0), false);
    toStandard("rate 1", patched32(b, 24, 1), false);
    toStandard("rate 4294967295", patched32(b, 24, 0xffffffffu), false);
    toStandard("data size 0xFFFFFFFF", patched32(b, 40, 0xffffffffu), false);
    toStandard("0 channels", patched16(b, 22, 0), false);
    toStandard("blockAlign 0", patched16(b, 32, 0), false);
}

void TestHostileHeaders::convertOrRefuse()
{
    QFETCH(int, type);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, converts);

    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("source.wav"));
    const QString out = work.filePath(QStringLiteral("out"));
    const QString destination = out + QStringLiteral("/destination.wav");
    QVERIFY(writeFile(source, bytes));
    QVERIFY(QDir().mkdir(out) && writeFile(destination, "an earlier conversion"));

    const long rssBefore = peakRssKiB();
    const ConvertResult result = convertFile(source, destination, type, ConvertOptions());
    // The largest filter the stage designs takes some tens of megabytes.
    QVERIFY2(peakRssKiB() - rssBefore < 256 * 1024,
             qPrintable(QStringLiteral("%1 KiB more").arg(peakRssKiB() - rssBefore)));
    QCOMPARE(strayFiles(out, {"destination.wav"}), QStringList());
    QVERIFY2(result.ok() == converts, qPrintable(result.reason));

    if (!result.ok()) {
        QVERIFY(!result.reason.isEmpty());
        QVERIFY2(result.error == ConvertError::SourceFormat ||
                         result.error == ConvertError::UnsupportedRate,
                 qPrintable(result.reason));
        QCOMPARE(readFile(destination), QByteArray("an earlier conversion"));
        return;
    }
    // Output in proportion to the input: at most the recording plus the
    // filter's tail, resampled.
    QVERIFY2(result.framesWritten <= 2 * (toneFrames + 1200), qPrintable(result.reason));
    if (type == StandardToBrinmoor) {
        const std::vector<Frame> frames = readBrinmoor(destination);
        QCOMPARE(qint64(frames.size()), result.framesWritten);
        for (const Frame &f : frames)
            QVERIFY(std::isfinite(f.left) && std::isfinite(f.right));
        return;
    }
    const std::vector<Frame> frames = framesOf(soxDecode(destination));
    QCOMPARE(qint64(frames.size()), result.framesWritten);
    // One odd sample must not change the level of the rest of the recording
    // (a value of 1e308 is the recording's true peak, so it does).
    if (!QByteArray(QTest::currentDataTag()).contains("1e308")) {
        const double level = rms(frames, 500, 1500);
        QVERIFY2(level > 0.05, qPrintable(QString::number(level)));
    }
}

QTEST_GUILESS_MAIN(TestHostileHeaders)
#include "tst_hostileheaders.moc"
