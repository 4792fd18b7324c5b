#include "wavetestutil.h"

#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>
#include <random>

using namespace wavetest;

class TestStandardWaveFile : public QObject
{
    Q_OBJECT

private slots:
    void readValues_data();
    void readValues();
    void blocksMatchSox_data();
    void blocksMatchSox();
    void refusals_data();
    void refusals();
    void headerOnlyAndRates();
    void hugeFilesReadWhole();
    void writtenBytesAndHeader();
    void soxReadsWhatWeWrite();
    void unfinishedWriteLeavesDestination();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

using Values = QVector<double>;

void TestStandardWaveFile::readValues_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("count");
    QTest::addColumn<Values>("expected"); // left, right per frame, then the next call's result

    const double minInt = -2147483648.0 / 2147483647.0;
    QTest::newRow("16-bit full") << canonicalHeader(16, 2, 44100, 4) +
                    QByteArray("\x00\x80\xff\x7f", 4)
                                 << 1 << Values{-1.0000000004656613, 0.9999694828875221, 0};
    QTest::newRow("16-bit short") << canonicalHeader(16, 2, 44100, 4) +
                    QByteArray("\x00\x80\xff\x7f", 4)
                                  << 2 << Values{-1.0, 0.999969482421875, 0.0, 0.0, 0};
    QTest::newRow("24-bit full") << canonicalHeader(24, 2, 44100, 6) +
                    QByteArray("\xff\xff\x7f\x00\x00\x80", 6)
                                 << 1 << Values{0.9999998812563717, minInt, 0};
    QTest::newRow("24-bit short") << canonicalHeader(24, 2, 44100, 6) +
                    QByteArray("\xff\xff\x7f\x00\x00\x80", 6)
                                  << 3 << Values{0.9999998807907104, -1.0, 0, 0, 0, 0, 0};
    QTest::newRow("32-bit full") << canonicalHeader(32, 2, 44100, 8) +
                    QByteArray("\xff\xff\xff\x7f\x00\x00\x00\x80", 8)
                                 << 1 << Values{1.0, -1.0, 0};
    // 8-bit samples are unsigned around 128.
    QTest::newRow("8-bit full") << canonicalHeader(8, 2, 8000, 2) + QByteArray("\xff\x00", 2) << 1
                                << Values{2130706432.0 / 2147483647.0, minInt, 0};
    QTest::newRow("8-bit short") << canonicalHeader(8, 2, 8000, 2) + QByteArray("\x80\x00", 2) << 2
                                 << Values{0.0, -1.0, 0.0, 0.0, 0};
    QTest::newRow("mono feeds both sides")
            << canonicalHeader(16, 1, 44100, 4) + QByteArray("\x00\x40\x00\xc0", 4) << 2
            << Values{0x40000000 / 2147483647.0, 0x40000000 / 2147483647.0,
                      -0x40000000 / 2147483647.0, -0x40000000 / 2147483647.0, 0};
    QTest::newRow("third channel skipped")
            << canonicalHeader(16, 3, 44100, 6) + QByteArray("\x00\x40\x00\xc0\xff\x7f", 6) << 1
            << Values{0x40000000 / 2147483647.0, -0x40000000 / 2147483647.0, 0};
    // The half frame at the end is dropped, not read past the data.
    QTest::newRow("trailing partial frame")
            << canonicalHeader(16, 2, 44100, 6) + QByteArray("\x00\x40\x00\xc0\xff\x7f", 6) << 1
            << Values{0x40000000 / 2147483647.0, -0x40000000 / 2147483647.0, 0};
    QTest::newRow("partial frame only")
            << canonicalHeader(24, 2, 44100, 4) + QByteArray("\x00\x40\x00\xc0", 4) << 1
            << Values{0};
}

void TestStandardWaveFile::readValues()
{
    QFETCH(QByteArray, file);
    QFETCH(int, count);
    QFETCH(Values, expected);
    QVERIFY(writeBytes(path("values.wav"), file));

    StandardWaveFile wav;
    QVERIFY2(wav.open(path("values.wav"), QIODevice::ReadOnly), qPrintable(wav.errorString()));
    std::vector<Frame> frames(size_t(count), Frame{7.0, 7.0});
    const int got = wav.readFrames(frames.data(), count);
    if (expected.size() == 1) {
        QCOMPARE(got, 0);
        return;
    }
    QCOMPARE(got, count);
    for (int k = 0; k < count; ++k) {
        COMPARE_EXACT(frames[size_t(k)].left, expected[2 * k]);
        COMPARE_EXACT(frames[size_t(k)].right, expected[2 * k + 1]);
    }
    QCOMPARE(wav.readFrames(frames.data(), count), 0);
    QVERIFY(wav.close());
}

void TestStandardWaveFile::blocksMatchSox_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("block");
    // 100000 frames: blocks of 200 are all full, blocks of 4096 end with a
    // short one, and one-frame blocks cross every internal chunk boundary.
    QTest::newRow("16-bit, 200") << 16 << 200;
    QTest::newRow("16-bit, 4096") << 16 << 4096;
    QTest::newRow("16-bit, 1") << 16 << 1;
    QTest::newRow("32-bit, 4096") << 32 << 4096;
}

void TestStandardWaveFile::blocksMatchSox()
{
    QFETCH(int, bits);
    QFETCH(int, block);
    const QString file = path(QStringLiteral("noise%1.wav").arg(bits));
    if (!QFile::exists(file)) {
        QVERIFY(!runTool("sox",
                         {"-r", "44100", "-c", "2", "-n", "-b", QString::number(bits), "-e",
                          "signed-integer", file, "synth", "100000s", "whitenoise"})
                         .isNull());
    }
    const std::vector<qint32> ref = int32Samples(runTool("sox", {file, "-t", "s32", "-"}));
    QCOMPARE(ref.size(), size_t(200000));

    StandardWaveFile wav;
    QVERIFY2(wav.open(file, QIODevice::ReadOnly), qPrintable(wav.errorString()));
    QCOMPARE(wav.totalFrames(), qint64(100000));
    std::vector<Frame> frames(static_cast<size_t>(block));
    size_t at = 0;
    int got;
    while ((got = wav.readFrames(frames.data(), block)) > 0) {
        QCOMPARE(got, block);
        const bool shortBlock = ref.size() - at < size_t(2 * block);
        for (int k = 0; k < block && at < ref.size(); ++k, at += 2) {
            double l = ref[at] / 2147483647.0;
            double r = ref[at + 1] / 2147483647.0;
            if (shortBlock || bits == 32) {
                l = double(float(l));
                r = double(float(r));
            }
            COMPARE_EXACT(frames[size_t(k)].left, l);
            COMPARE_EXACT(frames[size_t(k)].right, r);
        }
    }
    QCOMPARE(got, 0);
    QCOMPARE(at, ref.size());
}

void TestStandardWaveFile::refusals_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty") << QByteArray("") << "empty file";
    QTest::newRow("text") << QByteArray(
                                     "hello, this is not a sound file at all....................")
                          << "not a RIFF WAVE file";
    QTest::newRow("cut header") << canonicalHeader(16, 2, 44100, 0).left(30) << "damaged fmt chunk";
    QTest::newRow("no fmt") << "RIFF" + le32(12) + "WAVEdata" + le32(4) + "abcd"
                            << "no fmt chunk";
    QTest::newRow("no data") << canonicalHeader(16, 2, 44100, 0).left(36) + "LIST" + le32(2) + "ab"
                             << "no data chunk";
    // A chunk claiming more bytes than the file has hides the data chunk.
    QTest::newRow("chunk past the end") << canonicalHeader(16, 2, 44100, 0).left(36) + "LIST" +
                    le32(1000) + "ab" + "data" + le32(4) + "abcd"
                                        << "no data chunk";
    QTest::newRow("16-bit float") << canonicalHeader(16, 2, 44100, 8, 3) + QByteArray(8, '\0')
                                  << "unsupported sample size: 16-bit float";
    QTest::newRow("no channels") << canonicalHeader(16, 0, 44100, 0) + QByteArray(8, '\0')
                                 << "no channels";
    QTest::newRow("12-bit") << canonicalHeader(12, 2, 44100, 0) + QByteArray(8, '\0')
                            << "unsupported sample size: 12 bits";
    QTest::newRow("recording layout")
            << brinmoorBytes({{0.5, -0.5}}) << "choose \"Brinmoor-WAVE To Standart WAVE\"";
    QTest::newRow("missing") << QByteArray() << "No such file";
}

void TestStandardWaveFile::refusals()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    const QString name = path("refused.wav");
    QFile::remove(name);
    if (!file.isNull())
        QVERIFY(writeBytes(name, file));

    StandardWaveFile wav;
    QVERIFY(!wav.open(name, QIODevice::ReadOnly));
    QVERIFY2(wav.errorString().contains(reason), qPrintable(wav.errorString()));
    QVERIFY(!wav.isOpen());
    Frame f;
    QCOMPARE(wav.readFrames(&f, 1), -1);
}

void TestStandardWaveFile::headerOnlyAndRates()
{
    QVERIFY(writeBytes(path("empty.wav"), canonicalHeader(16, 2, 48000, 0)));
    StandardWaveFile wav;
    QCOMPARE(wav.sampleRate(), 44100.0);
    QVERIFY(wav.open(path("empty.wav"), QIODevice::ReadOnly));
    QCOMPARE(wav.sampleRate(), 48000.0);
    QCOMPARE(wav.totalFrames(), qint64(0));
    Frame f;
    QCOMPARE(wav.readFrames(&f, 1), 0);
    // A writing open starts from the construction header again.
    QVERIFY(wav.open(path("out.wav"), QIODevice::WriteOnly));
    QCOMPARE(wav.sampleRate(), 44100.0);
    QVERIFY(wav.close());
}

void TestStandardWaveFile::hugeFilesReadWhole()
{
    // Sparse files past 4 GiB whose size fields saturated: both readers take
    // everything behind the header, the recording is still recognised.
    const qint64 big = (qint64(1) << 32) + 600;
    QFile standard(path("huge.wav"));
    QVERIFY(standard.open(QIODevice::WriteOnly));
    QVERIFY(standard.write(canonicalHeader(24, 2, 44100, 0xffffffffu)) == 44 &&
            standard.resize(big));
    standard.close();
    StandardWaveFile wav;
    QVERIFY2(wav.open(path("huge.wav"), QIODevice::ReadOnly), qPrintable(wav.errorString()));
    QCOMPARE(wav.totalFrames(), (big - 44) / 6);
    wav.close();

    QFile recording(path("huge-recording.wav"));
    QVERIFY(recording.open(QIODevice::WriteOnly));
    QVERIFY(recording.write(canonicalHeader(32, 2, 39062, 0xffffffffu)) == 44 &&
            recording.resize(2 * big));
    recording.close();
    QVERIFY(!wav.open(path("huge-recording.wav"), QIODevice::ReadOnly));
    BrinmoorWaveFile in;
    QVERIFY2(in.open(path("huge-recording.wav"), QIODevice::ReadOnly),
             qPrintable(in.errorString()));
    QCOMPARE(in.totalFrames(), (2 * big - 44) / 16);
    QFile::remove(path("huge.wav"));
    QFile::remove(path("huge-recording.wav"));
}

void TestStandardWaveFile::writtenBytesAndHeader()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Frame> frames{{1.0, -1.0}, {0.5, 0.3},  {1.5, -1.5},
                                    {nan, 0.0},  {-inf, nan}, {0.0, inf}};
    StandardWaveFile wav;
    QVERIFY(wav.open(path("written.wav"), QIODevice::WriteOnly));
    QVERIFY(wav.writeFrames(frames.data(), 2));
    QVERIFY(wav.writeFrames(frames.data() + 2, 4));
    QVERIFY(wav.close());
    QCOMPARE(wav.waveHeader().dataSize, 36u);

    const QByteArray bytes = readBytes(path("written.wav"));
    QCOMPARE(bytes.left(44), canonicalHeader(24, 2, 44100, 36));
    // Full scale saturates instead of wrapping; NaN is silence.
    QCOMPARE(bytes.mid(44).toHex(' '),
             QByteArray("ff ff 7f 00 00 80 ff ff 3f 66 66 26 ff ff 7f 00 00 80 00 00 00 00 00 00 "
                        "00 00 80 00 00 00 00 00 00 ff ff 7f"));
}

void TestStandardWaveFile::soxReadsWhatWeWrite()
{
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<Frame> frames(70001);
    for (Frame &f : frames)
        f = {dist(gen), dist(gen)};
    StandardWaveFile wav;
    QVERIFY(wav.open(path("ours.wav"), QIODevice::WriteOnly));
    for (size_t at = 0; at < frames.size(); at += 200)
        QVERIFY(wav.writeFrames(frames.data() + at,
                                int(std::min<size_t>(200, frames.size() - at))));
    QVERIFY(wav.close());

    QCOMPARE(runTool("soxi", {"-r", path("ours.wav")}).trimmed(), QByteArray("44100"));
    QCOMPARE(runTool("soxi", {"-c", path("ours.wav")}).trimmed(), QByteArray("2"));
    QCOMPARE(runTool("soxi", {"-b", path("ours.wav")}).trimmed(), QByteArray("24"));
    QCOMPARE(runTool("soxi", {"-s", path("ours.wav")}).trimmed(), QByteArray("70001"));
    const std::vector<qint32> decoded =
            int32Samples(runTool("sox", {path("ours.wav"), "-t", "s32", "-"}));
    QCOMPARE(decoded.size(), 2 * frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        const auto expect = [](double x) { return qint32(x * 2147483647.0) & ~0xff; };
        QCOMPARE(decoded[2 * k], expect(frames[k].left));
        QCOMPARE(decoded[2 * k + 1], expect(frames[k].right));
    }

    // And we read it back within one 24-bit step.
    QVERIFY(wav.open(path("ours.wav"), QIODevice::ReadOnly));
    std::vector<Frame> back(frames.size());
    QCOMPARE(wav.readFrames(back.data(), int(back.size())), int(back.size()));
    for (size_t k = 0; k < frames.size(); ++k)
        QVERIFY(std::fabs(back[k].left - frames[k].left) < 1.0 / (1 << 23));
}

void TestStandardWaveFile::unfinishedWriteLeavesDestination()
{
    const Frame f{0.5, 0.5};
    QVERIFY(writeBytes(path("keep.wav"), "old contents"));
    {
        StandardWaveFile wav;
        QVERIFY(wav.open(path("keep.wav"), QIODevice::WriteOnly));
        QVERIFY(wav.writeFrames(&f, 1));
        StandardWaveFile absent;
        QVERIFY(absent.open(path("absent.wav"), QIODevice::WriteOnly));
        QVERIFY(absent.writeFrames(&f, 1));
    }
    QCOMPARE(readBytes(path("keep.wav")), QByteArray("old contents"));
    QVERIFY(!QFile::exists(path("absent.wav")));
    const QStringList left = QDir(dir.path()).entryList({"*keep*", "*absent*"}, QDir::Files);
    QCOMPARE(left, QStringList{"keep.wav"});
}

QTEST_GUILESS_MAIN(TestStandardWaveFile)
#include "tst_standardwavefile.moc"
