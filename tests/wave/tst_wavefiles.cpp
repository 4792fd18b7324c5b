#include "testsupport.h"

#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"
#include "wave/wavelayout.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace support;

// Both file classes with files built byte by byte: exact values read and
// written, refusals with their reasons, and the recording's scaling.
class TestWaveFiles : public QObject
{
    Q_OBJECT

private slots:
    void readValues_data();
    void readValues();
    void roundedReadsAreRoundedDivisions();
    void opens_data();
    void opens();
    void writtenBytesAndHeader_data();
    void writtenBytesAndHeader();
    void manyFramesInOddBlocks();
    void clampAndScale_data();
    void clampAndScale();
    void peakThenRead();
    void peakPassesOverNonFinite();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

using Values = QVector<double>;

void TestWaveFiles::readValues_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("count");
    QTest::addColumn<Values>("expected"); // left, right per frame
    const auto row = [](const char *name, const QByteArray &file, int count, const Values &v) {
        QTest::newRow(name) << file << count << v;
    };
    const double minInt = -2147483648.0 / 2147483647.0;
    const QByteArray s16 = canonicalHeader(16, 2, 44100, 4) + QByteArray("\x00\x80\xff\x7f", 4);
    const QByteArray s24 =
            canonicalHeader(24, 2, 44100, 6) + QByteArray("\xff\xff\x7f\x00\x00\x80", 6);
    // A block shorter than asked for goes through single precision.
    row("16-bit full", s16, 1, {-1.0000000004656613, 0.9999694828875221});
    row("16-bit short", s16, 2, {-1.0, 0.999969482421875, 0.0, 0.0});
    row("24-bit full", s24, 1, {0.9999998812563717, minInt});
    row("24-bit short", s24, 3, {0.9999998807907104, -1.0, 0, 0, 0, 0});
    row("32-bit", canonicalHeader(32, 2, 44100, 8) + QByteArray("\xff\xff\xff\x7f\0\0\0\x80", 8), 1,
        {1.0, -1.0});
    // 8-bit samples are unsigned around 128.
    row("8-bit", canonicalHeader(8, 2, 8000, 2) + QByteArray("\xff\x00", 2), 1,
        {2130706432.0 / 2147483647.0, minInt});
}

void TestWaveFiles::readValues()
{
    QFETCH(QByteArray, file);
    QFETCH(int, count);
    QFETCH(Values, expected);
    QVERIFY(writeFile(path("values.wav"), file));
    StandardWaveFile wav;
    QVERIFY2(wav.open(path("values.wav"), QIODevice::ReadOnly), qPrintable(wav.errorString()));
    std::vector<Frame> frames(size_t(count), Frame{7.0, 7.0});
    QCOMPARE(wav.readFrames(frames.data(), count), count);
    for (int k = 0; k < count; ++k) {
        COMPARE_EXACT(frames[size_t(k)].left, expected[2 * k]);
        COMPARE_EXACT(frames[size_t(k)].right, expected[2 * k + 1]);
    }
    QCOMPARE(wav.readFrames(frames.data(), count), 0);
    QVERIFY(wav.close());
}

// Samples of up to 24 bits reach the rate conversion as v * 2^-31, which is
// v / (2^31 - 1) rounded to single precision: all 2^24 values, as stereo.
void TestWaveFiles::roundedReadsAreRoundedDivisions()
{
    QByteArray data(3 << 24, '\0');
    for (int v = 0; v < 1 << 24; ++v) {
        data[3 * v] = char(v);
        data[3 * v + 1] = char(v >> 8);
        data[3 * v + 2] = char(v >> 16);
    }
    QVERIFY(writeFile(path("all.wav"), canonicalHeader(24, 2, 44100, quint32(data.size())) + data));
    StandardWaveFile divided;
    StandardWaveFile rounded;
    QVERIFY(divided.open(path("all.wav"), QIODevice::ReadOnly));
    QVERIFY(rounded.open(path("all.wav"), QIODevice::ReadOnly));
    std::vector<Frame> a(4096);
    std::vector<Frame> b(4096);
    while (divided.readFrames(a.data(), 4096) > 0) {
        QCOMPARE(rounded.readFramesRounded(b.data(), 4096), 4096);
        for (size_t k = 0; k < a.size(); ++k)
            if (double(float(a[k].left)) != b[k].left || double(float(a[k].right)) != b[k].right)
                QFAIL(qPrintable(QString::number(a[k].left, 'g', 17)));
    }
    QFile::remove(path("all.wav"));
}

void TestWaveFiles::opens_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("standardReason"); // why each class refuses it; "": it opens
    QTest::addColumn<QString>("brinmoorReason");
    QTest::addColumn<qint64>("frames"); // as the class that opens it counts them
    QTest::addColumn<qint64>("size");   // made sparse to this size; 0: as it is
    const auto row = [](const char *name, const QByteArray &file, WaveLayout layout,
                        const char *standardReason, const char *brinmoorReason, qint64 frames = 0,
                        qint64 size = 0) {
        QTest::newRow(name) << file << int(layout) << QString(standardReason)
                            << QString(brinmoorReason) << frames << size;
    };
    const WaveLayout notWave = WaveLayout::NotWave;
    const WaveLayout standard = WaveLayout::Standard;
    const char *chooseStandard = "choose \"Brinmoor-WAVE To Standart WAVE\"";
    const char *chooseBrinmoor = "choose \"Standart WAVE To Brinmoor-WAVE\"";
    const QByteArray head = canonicalHeader(16, 2, 44100, 0);
    const QByteArray zeros(8, '\0');
    const QByteArray two = brinmoorBytes({{0.5, 0.5}, {0.25, 0.25}});
    row("missing", QByteArray(), notWave, "No such file", "No such file");
    row("empty", "", notWave, "empty file", "empty file");
    row("text", "RIFX and some more text to fill a header up", notWave, "not a RIFF WAVE file",
        "not a RIFF WAVE file");
    row("cut header", head.left(30), standard, "damaged fmt chunk", chooseBrinmoor);
    row("no fmt", "RIFF" + le32(12) + "WAVEdata" + le32(4) + "abcd", standard, "no fmt chunk",
        chooseBrinmoor);
    row("no data", head.left(36) + "LIST" + le32(2) + "ab", standard, "no data chunk",
        chooseBrinmoor);
    // A chunk claiming more bytes than the file has hides the data chunk.
    row("chunk past the end",
        head.left(36) + "LIST" + le32(1000) + "ab" + "data" + le32(4) + "abcd", standard,
        "no data chunk", chooseBrinmoor);
    row("16-bit float", canonicalHeader(16, 2, 44100, 8, 3) + zeros, standard,
        "unsupported sample size: 16-bit float", chooseBrinmoor);
    row("no channels", canonicalHeader(16, 0, 44100, 0) + zeros, standard, "no channels",
        chooseBrinmoor);
    row("12-bit", canonicalHeader(12, 2, 44100, 0) + zeros, standard,
        "unsupported sample size: 12 bits", chooseBrinmoor);
    row("16-bit PCM, no data", head, standard, "", chooseBrinmoor, 0);
    row("32-bit stereo PCM", canonicalHeader(32, 2, 39062, 32) + two.mid(44), standard, "",
        chooseBrinmoor, 4);
    row("recording", two, WaveLayout::Brinmoor, chooseStandard, "", 2);
    row("recording, partial frame", two + "abc", WaveLayout::Brinmoor, chooseStandard, "", 2);
    row("unfinished recording", canonicalHeader(32, 2, 39062, 0) + two.mid(44),
        WaveLayout::Brinmoor, chooseStandard, "", 2);
    // Past 4 GiB the size fields saturate: both readers take everything
    // behind the header, and the recording is still recognised.
    const qint64 big = (qint64(1) << 32) + 600;
    row("huge", canonicalHeader(24, 2, 44100, 0xffffffffu), standard, "", chooseBrinmoor,
        (big - 44) / 6, big);
    row("huge recording", canonicalHeader(32, 2, 39062, 0xffffffffu), WaveLayout::Brinmoor,
        chooseStandard, "", (2 * big - 44) / 16, 2 * big);
}

void TestWaveFiles::opens()
{
    QFETCH(QByteArray, file);
    QFETCH(int, layout);
    QFETCH(QString, standardReason);
    QFETCH(QString, brinmoorReason);
    QFETCH(qint64, frames);
    QFETCH(qint64, size);
    const QString name = path("opened.wav");
    QFile::remove(name);
    if (!file.isNull())
        QVERIFY(writeFile(name, file) && (size == 0 || QFile::resize(name, size)));
    QCOMPARE(int(detectWaveLayout(name)), layout);
    const auto check = [&](auto &&wav, const QString &reason) {
        QCOMPARE(wav.open(name, QIODevice::ReadOnly), reason.isEmpty());
        QVERIFY2(wav.errorString().contains(reason), qPrintable(wav.errorString()));
        QCOMPARE(wav.isOpen(), reason.isEmpty());
        QCOMPARE(wav.totalFrames(), reason.isEmpty() ? frames : 0);
        Frame f;
        QVERIFY(!reason.isEmpty() || wav.readFrames(&f, 1) >= 0);
        QVERIFY(reason.isEmpty() || wav.readFrames(&f, 1) == -1);
    };
    check(StandardWaveFile(), standardReason);
    check(BrinmoorWaveFile(), brinmoorReason);
}

template<class File>
static bool writeInBlocks(File &file, const QString &name, const std::vector<Frame> &frames,
                          size_t block)
{
    bool ok = file.open(name, QIODevice::WriteOnly);
    for (size_t at = 0; ok && at < frames.size(); at += block)
        ok = file.writeFrames(frames.data() + at, int(std::min(block, frames.size() - at)));
    return file.close() && ok;
}

static std::vector<Frame> writtenFrames()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    return {{1.0, -1.0}, {0.5, 0.3}, {1.5, -1.5}, {nan, 0.0}, {-inf, nan}, {0.0, inf}};
}

void TestWaveFiles::writtenBytesAndHeader_data()
{
    QTest::addColumn<bool>("standard");
    QTest::addColumn<QByteArray>("earlier"); // a file the writing object read before
    QTest::addColumn<QByteArray>("expected");
    // Full scale saturates instead of wrapping, so do infinities; NaN is
    // silence.
    QTest::newRow("standard") << true << canonicalHeader(16, 2, 48000, 0)
                              << canonicalHeader(24, 2, 44100, 36) +
                    QByteArray::fromHex("ffff7f000080 ffff3f666626 ffff7f000080 000000000000 "
                                        "000080000000 000000ffff7f");
    // Values are stored unclamped, byte for byte.
    QTest::newRow("brinmoor") << false << brinmoorBytes({{0.1, 0.1}}, 48000)
                              << brinmoorBytes(writtenFrames());
}

void TestWaveFiles::writtenBytesAndHeader()
{
    QFETCH(bool, standard);
    QFETCH(QByteArray, earlier);
    QFETCH(QByteArray, expected);
    QVERIFY(writeFile(path("earlier.wav"), earlier));
    // A writing open starts from the construction header, whatever the
    // reading open before it found; the sizes add up over the calls.
    const auto write = [&](auto &file) {
        QVERIFY(file.open(path("earlier.wav"), QIODevice::ReadOnly));
        QVERIFY(writeInBlocks(file, path("written.wav"), writtenFrames(), 2));
        QCOMPARE(QByteArray(file.waveHeader().toBytes().data(), 44), expected.left(44));
    };
    StandardWaveFile standardFile;
    BrinmoorWaveFile brinmoorFile;
    if (standard)
        write(standardFile);
    else
        write(brinmoorFile);
    QCOMPARE(readFile(path("written.wav")), expected);
}

void TestWaveFiles::manyFramesInOddBlocks()
{
    // More frames than one internal chunk, and beyond full scale.
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    std::vector<Frame> frames(50007);
    double peak = 0.0;
    for (Frame &f : frames) {
        f = {dist(gen), dist(gen)};
        peak = std::max({peak, std::fabs(f.left), std::fabs(f.right)});
    }
    StandardWaveFile standard;
    BrinmoorWaveFile recording;
    QVERIFY(writeInBlocks(standard, path("many.wav"), frames, 333));
    QVERIFY(writeInBlocks(recording, path("many.rec"), frames, 333));

    // sox reads the standard file: truncated to 24 bits, saturated.
    QCOMPARE(soxi(path("many.wav")), QString("50007 44100 2 24"));
    const QByteArray decoded = output({"sox", path("many.wav"), "-t", "s32", "-"});
    QCOMPARE(decoded.size(), int(8 * frames.size()));
    const auto sample = [](double x) {
        return qint32(std::clamp(x * 2147483647.0, -2147483648.0, 2147483647.0)) & ~0xff;
    };
    for (size_t k = 0; k < frames.size(); ++k) {
        QCOMPARE(qint32(readLe32(decoded.constData() + 8 * k)), sample(frames[k].left));
        QCOMPARE(qint32(readLe32(decoded.constData() + 8 * k + 4)), sample(frames[k].right));
    }

    // The recording reads back exactly, divided by its peak, in other blocks.
    QVERIFY(recording.open(path("many.rec"), QIODevice::ReadOnly));
    bool ok = false;
    COMPARE_EXACT(recording.measurePeak(ok), peak);
    recording.setReadScale(peak);
    std::vector<Frame> back(frames.size() + 200);
    size_t at = 0;
    while (recording.readFrames(back.data() + at, 200) > 0)
        at += 200;
    QCOMPARE(at, frames.size() + 193);
    const double limit = BrinmoorWaveFile::clampLimit;
    for (size_t k = 0; k < frames.size(); ++k) {
        COMPARE_EXACT(back[k].left, std::clamp(frames[k].left / peak, -limit, limit));
        COMPARE_EXACT(back[k].right, std::clamp(frames[k].right / peak, -limit, limit));
    }
}

void TestWaveFiles::clampAndScale_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("stored");
    QTest::addColumn<double>("read");
    const double limit = BrinmoorWaveFile::clampLimit;
    QTest::newRow("1.5") << 1.0 << 1.5 << limit;
    QTest::newRow("-2.0") << 1.0 << -2.0 << -limit;
    QTest::newRow("0.5") << 1.0 << 0.5 << 0.5;
    QTest::newRow("NaN") << 1.0 << std::numeric_limits<double>::quiet_NaN() << -limit;
    QTest::newRow("just below") << 1.0 << 0.99999999999998 << 0.99999999999998;
    QTest::newRow("scaled, not clipped") << 4.0 << 3.0 << 0.75;
    QTest::newRow("scaled to the limit") << 2.0 << -2.0 << -limit;
}

void TestWaveFiles::clampAndScale()
{
    QFETCH(double, scale);
    QFETCH(double, stored);
    QFETCH(double, read);
    QCOMPARE(bitsOf(BrinmoorWaveFile::clampLimit), Q_UINT64_C(0x3FEFFFFFFFFFFFA6));
    QVERIFY(writeFile(path("c.wav"), brinmoorBytes({{stored, 0.25}})));
    BrinmoorWaveFile in;
    QVERIFY2(in.open(path("c.wav"), QIODevice::ReadOnly), qPrintable(in.errorString()));
    in.setReadScale(scale);
    Frame f;
    QCOMPARE(in.readFrames(&f, 1), 1);
    COMPARE_EXACT(f.left, read);
    COMPARE_EXACT(f.right, 0.25 / scale);
}

void TestWaveFiles::peakThenRead()
{
    // A trailing partial frame holding a large value is neither peak nor
    // audio; the rate is the header's.
    QVERIFY(writeFile(path("p.wav"), brinmoorBytes({{0.5, -0.75}, {0.1, 0.2}}, 48000) + le64(9.0)));
    BrinmoorWaveFile in;
    QVERIFY(in.open(path("p.wav"), QIODevice::ReadOnly));
    QCOMPARE(in.sampleRate(), 48000.0);
    QCOMPARE(in.totalFrames(), qint64(2));
    Frame first;
    QCOMPARE(in.readFrames(&first, 1), 1); // the peak scan must not depend on the position
    bool ok = false;
    COMPARE_EXACT(in.measurePeak(ok), 0.75);
    QVERIFY(ok);
    std::vector<Frame> frames(200, Frame{5.0, 5.0});
    QCOMPARE(in.readFrames(frames.data(), 200), 200);
    std::vector<Frame> expected(200, Frame{0.0, 0.0});
    expected[0] = {0.5, -0.75};
    expected[1] = {0.1, 0.2};
    QCOMPARE(brinmoorBytes(frames), brinmoorBytes(expected)); // to the bit
    QCOMPARE(in.readFrames(frames.data(), 200), 0);
    QVERIFY(in.close());
    QCOMPARE(in.readFrames(frames.data(), 1), -1);
    QVERIFY(!in.writeFrames(frames.data(), 1));
    QCOMPARE(in.measurePeak(ok), 1.0);
    QVERIFY(!ok);
}

void TestWaveFiles::peakPassesOverNonFinite()
{
    // The scan takes values several at a time; the peak and a NaN or an
    // infinity go to every position within such a group, and past the last
    // whole group.
    const double inf = std::numeric_limits<double>::infinity();
    const double poisons[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, inf};
    const int positions[] = {1, 4, 8, 41};
    for (int peakAt : {0, 3, 5, 6, 7, 9, 38, 40}) {
        for (int i = 0; i < 4; ++i) {
            QByteArray bytes = brinmoorBytes(std::vector<Frame>(21, {-0.25, -0.25}));
            bytes.replace(44 + 8 * peakAt, 8, le64(-0.875));
            bytes.replace(44 + 8 * positions[i], 8, le64(poisons[i]));
            QVERIFY(writeFile(path("n.wav"), bytes));
            BrinmoorWaveFile in;
            bool ok = false;
            QVERIFY(in.open(path("n.wav"), QIODevice::ReadOnly));
            QVERIFY2(in.measurePeak(ok) == 0.875 && ok,
                     qPrintable(QStringLiteral("peak at %1, %2 at %3")
                                        .arg(peakAt)
                                        .arg(poisons[i])
                                        .arg(positions[i])));
        }
    }
}

QTEST_GUILESS_MAIN(TestWaveFiles)
#include "tst_wavefiles.moc"
