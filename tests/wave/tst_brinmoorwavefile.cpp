#include "wavetestutil.h"

#include "wave/brinmoorwavefile.h"
#include "wave/wavelayout.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <random>

using namespace wavetest;

class TestBrinmoorWaveFile : public QObject
{
    Q_OBJECT

private slots:
    void writtenBytesAndHeader();
    void clampAndScale_data();
    void clampAndScale();
    void peakThenRead();
    void peakPassesOverNonFinite_data();
    void peakPassesOverNonFinite();
    void notOpen();
    void emptyRecordingAndRates();
    void roundTripLarge();
    void layouts_data();
    void layouts();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestBrinmoorWaveFile::writtenBytesAndHeader()
{
    const std::vector<Frame> frames{{0.25, -0.5}, {3.0, -7.0}};
    BrinmoorWaveFile out;
    QVERIFY(out.open(path("w.wav"), QIODevice::WriteOnly));
    QCOMPARE(out.sampleRate(), 39062.5);
    QVERIFY(out.writeFrames(frames.data(), 2));
    QVERIFY(out.close());
    const QByteArray bytes = readBytes(path("w.wav"));
    QCOMPARE(bytes.size(), 44 + 32);
    QByteArray header = canonicalHeader(32, 2, 39062, 16);
    header.replace(4, 4, le32(16 + 40));
    QCOMPARE(bytes.left(44), header);
    // Values are stored unclamped, byte for byte.
    QCOMPARE(bytes.mid(44, 16).toHex(' '),
             QByteArray("00 00 00 00 00 00 d0 3f 00 00 00 00 00 00 e0 bf"));
    QCOMPARE(bytes.mid(60), le64(3.0) + le64(-7.0));
}

void TestBrinmoorWaveFile::clampAndScale_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("stored");
    QTest::addColumn<double>("read");
    const double limit = BrinmoorWaveFile::clampLimit;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("1.5") << 1.0 << 1.5 << limit;
    QTest::newRow("-2.0") << 1.0 << -2.0 << -limit;
    QTest::newRow("0.5") << 1.0 << 0.5 << 0.5;
    QTest::newRow("NaN") << 1.0 << nan << -limit;
    QTest::newRow("just below") << 1.0 << 0.99999999999998 << 0.99999999999998;
    QTest::newRow("scaled, not clipped") << 4.0 << 3.0 << 0.75;
    QTest::newRow("scaled to the limit") << 2.0 << -2.0 << -limit;
}

void TestBrinmoorWaveFile::clampAndScale()
{
    QFETCH(double, scale);
    QFETCH(double, stored);
    QFETCH(double, read);
    QCOMPARE(wavetest::bitsOf(BrinmoorWaveFile::clampLimit), Q_UINT64_C(0x3FEFFFFFFFFFFFA6));
    QVERIFY(writeBytes(path("c.wav"), brinmoorBytes({{stored, 0.25}})));
    BrinmoorWaveFile in;
    QVERIFY2(in.open(path("c.wav"), QIODevice::ReadOnly), qPrintable(in.errorString()));
    in.setReadScale(scale);
    Frame f;
    QCOMPARE(in.readFrames(&f, 1), 1);
    COMPARE_EXACT(f.left, read);
    COMPARE_EXACT(f.right, 0.25 / scale);
}

void TestBrinmoorWaveFile::peakThenRead()
{
    // A trailing partial frame holding a large value is neither peak nor audio.
    QVERIFY(writeBytes(path("p.wav"), brinmoorBytes({{0.5, -0.75}, {0.1, 0.2}}) + le64(9.0)));
    BrinmoorWaveFile in;
    QVERIFY(in.open(path("p.wav"), QIODevice::ReadOnly));
    QCOMPARE(in.totalFrames(), qint64(2));
    Frame first;
    QCOMPARE(in.readFrames(&first, 1), 1); // the peak scan must not depend on the position
    bool ok = false;
    COMPARE_EXACT(in.measurePeak(ok), 0.75);
    QVERIFY(ok);
    std::vector<Frame> frames(200, Frame{5.0, 5.0});
    QCOMPARE(in.readFrames(frames.data(), 200), 200);
    COMPARE_EXACT(frames[0].left, 0.5);
    COMPARE_EXACT(frames[0].right, -0.75);
    COMPARE_EXACT(frames[1].left, 0.1);
    COMPARE_EXACT(frames[1].right, 0.2);
    for (size_t k = 2; k < frames.size(); ++k)
        QVERIFY(frames[k].left == 0.0 && frames[k].right == 0.0);
    QCOMPARE(in.readFrames(frames.data(), 200), 0);
    QVERIFY(in.close());
    QCOMPARE(in.readFrames(frames.data(), 1), -1);
}

void TestBrinmoorWaveFile::peakPassesOverNonFinite_data()
{
    // The scan takes values several at a time; the peak and a NaN or an
    // infinity go to every position within such a group, and past the last
    // whole group.
    QTest::addColumn<int>("peakAt");
    QTest::addColumn<int>("poisonAt");
    QTest::addColumn<double>("poison");
    const double inf = std::numeric_limits<double>::infinity();
    const double poisons[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, inf};
    const int positions[] = {1, 4, 8, 37};
    for (int peakAt : {0, 3, 5, 6, 7, 9, 38, 39})
        for (int i = 0; i < 4; ++i)
            QTest::addRow("peak %d, %g at %d", peakAt, poisons[i], positions[i])
                    << peakAt << positions[i] << poisons[i];
}

void TestBrinmoorWaveFile::peakPassesOverNonFinite()
{
    QFETCH(int, peakAt);
    QFETCH(int, poisonAt);
    QFETCH(double, poison);
    std::vector<double> values(40, -0.25);
    values[size_t(peakAt)] = -0.875;
    values[size_t(poisonAt)] = poison;
    std::vector<Frame> frames;
    for (size_t k = 0; k < values.size(); k += 2)
        frames.push_back({values[k], values[k + 1]});
    QVERIFY(writeBytes(path("n.wav"), brinmoorBytes(frames)));
    BrinmoorWaveFile in;
    QVERIFY(in.open(path("n.wav"), QIODevice::ReadOnly));
    bool ok = false;
    COMPARE_EXACT(in.measurePeak(ok), 0.875);
    QVERIFY(ok);
}

void TestBrinmoorWaveFile::notOpen()
{
    BrinmoorWaveFile f;
    bool ok = true;
    QCOMPARE(f.measurePeak(ok), 1.0);
    QVERIFY(!ok);
    Frame frame{0.0, 0.0};
    QCOMPARE(f.readFrames(&frame, 1), -1);
    QVERIFY(!f.writeFrames(&frame, 1));
    QVERIFY(f.open(path("n.wav"), QIODevice::WriteOnly));
    ok = true;
    QCOMPARE(f.measurePeak(ok), 1.0);
    QVERIFY(!ok);
    QCOMPARE(f.readFrames(&frame, 1), -1);
    QVERIFY(f.close());
}

void TestBrinmoorWaveFile::emptyRecordingAndRates()
{
    BrinmoorWaveFile in;
    QCOMPARE(in.sampleRate(), 39062.5);
    QVERIFY(writeBytes(path("e.wav"), brinmoorBytes({})));
    QVERIFY2(in.open(path("e.wav"), QIODevice::ReadOnly), qPrintable(in.errorString()));
    bool ok = false;
    QCOMPARE(in.measurePeak(ok), 0.0);
    QVERIFY(ok);
    Frame f;
    QCOMPARE(in.readFrames(&f, 1), 0);
    QVERIFY(writeBytes(path("r.wav"), brinmoorBytes({{0.1, 0.1}}, 48000)));
    QVERIFY(in.open(path("r.wav"), QIODevice::ReadOnly));
    QCOMPARE(in.sampleRate(), 48000.0);
}

void TestBrinmoorWaveFile::roundTripLarge()
{
    // More frames than one internal chunk, written and read in odd blocks.
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    std::vector<Frame> frames(50007);
    double peak = 0.0;
    for (Frame &f : frames) {
        f = {dist(gen), dist(gen)};
        peak = std::max({peak, std::fabs(f.left), std::fabs(f.right)});
    }
    BrinmoorWaveFile out;
    QVERIFY(out.open(path("big.wav"), QIODevice::WriteOnly));
    for (size_t at = 0; at < frames.size(); at += 333)
        QVERIFY(out.writeFrames(frames.data() + at,
                                int(std::min<size_t>(333, frames.size() - at))));
    QVERIFY(out.close());
    QCOMPARE(out.waveHeader().dataSize, quint32(8 * frames.size()));

    BrinmoorWaveFile in;
    QVERIFY(in.open(path("big.wav"), QIODevice::ReadOnly));
    bool ok = false;
    COMPARE_EXACT(in.measurePeak(ok), peak);
    in.setReadScale(peak);
    std::vector<Frame> back(frames.size() + 200);
    size_t at = 0;
    int got;
    while ((got = in.readFrames(back.data() + at, 200)) > 0)
        at += 200;
    QCOMPARE(at, frames.size() + 193);
    const auto expect = [peak](double x) {
        return std::max(-BrinmoorWaveFile::clampLimit,
                        std::min(BrinmoorWaveFile::clampLimit, x / peak));
    };
    for (size_t k = 0; k < frames.size(); ++k) {
        COMPARE_EXACT(back[k].left, expect(frames[k].left));
        COMPARE_EXACT(back[k].right, expect(frames[k].right));
    }
}

void TestBrinmoorWaveFile::layouts_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("brinmoorReason"); // why the recording reader refuses, if it does
    const QString standard = "choose \"Standart WAVE To Brinmoor-WAVE\"";
    const auto two = brinmoorBytes({{0.5, 0.5}, {0.25, 0.25}});
    QTest::newRow("recording") << two << int(WaveLayout::Brinmoor) << QString();
    QTest::newRow("recording, partial frame")
            << two + "abc" << int(WaveLayout::Brinmoor) << QString();
    QTest::newRow("unfinished recording") << canonicalHeader(32, 2, 39062, 0) + two.mid(44)
                                          << int(WaveLayout::Brinmoor) << QString();
    QTest::newRow("32-bit stereo PCM") << canonicalHeader(32, 2, 39062, 32) + two.mid(44)
                                       << int(WaveLayout::Standard) << standard;
    QTest::newRow("16-bit PCM, no data")
            << canonicalHeader(16, 2, 44100, 0) << int(WaveLayout::Standard) << standard;
    QTest::newRow("empty") << QByteArray("") << int(WaveLayout::NotWave) << "empty file";
    QTest::newRow("text") << QByteArray("RIFX and some more text to fill a header up")
                          << int(WaveLayout::NotWave) << "not a RIFF WAVE file";
}

void TestBrinmoorWaveFile::layouts()
{
    QFETCH(QByteArray, file);
    QFETCH(int, layout);
    QFETCH(QString, brinmoorReason);
    QVERIFY(writeBytes(path("l.wav"), file));
    QCOMPARE(int(detectWaveLayout(path("l.wav"))), layout);
    BrinmoorWaveFile in;
    QCOMPARE(in.open(path("l.wav"), QIODevice::ReadOnly), brinmoorReason.isEmpty());
    QVERIFY2(in.errorString().contains(brinmoorReason), qPrintable(in.errorString()));
    QCOMPARE(in.isOpen(), brinmoorReason.isEmpty());
}

QTEST_GUILESS_MAIN(TestBrinmoorWaveFile)
#include "tst_brinmoorwavefile.moc"
