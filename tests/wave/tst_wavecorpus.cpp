#include "wavetestutil.h"

#include "wave/standardwavefile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace wavetest;

// Files as other programs write them (chunks before and after the data,
// extensible and float formats, many channels and rates), each read and
// compared sample by sample with what sox decodes from the same file.
class TestWaveCorpus : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refusals_data();
    void refusals();

private:
    QString make(const QStringList &command);
    QTemporaryDir dir;
};

// Runs a generator command; "OUT" in it stands for the file to write.
QString TestWaveCorpus::make(const QStringList &command)
{
    const QString out = dir.filePath("source.wav");
    QFile::remove(out);
    QStringList args = command.mid(1);
    args.replaceInStrings(QRegularExpression("^OUT$"), out);
    return runTool(command.first(), args).isNull() ? QString() : out;
}

static QStringList soxCommand(const QString &rate, const QString &channels,
                              const QStringList &encoding)
{
    return QStringList{"sox", "-r", rate, "-c", channels, "-n"} + encoding +
            QStringList{"OUT", "synth", "2345s", "whitenoise", "vol", "0.9"};
}

static QStringList ffmpegCommand(const QString &rate, const QString &channels, const QString &codec)
{
    return {"ffmpeg", "-v",     "error", "-f",  "lavfi", "-i", "anoisesrc=a=0.8:d=0.05:r=" + rate,
            "-ac",    channels, "-c:a",  codec, "-y",    "OUT"};
}

void TestWaveCorpus::reads_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("edit"); // what is done to the file before reading it
    QTest::addColumn<int>("bits");     // source depth: one step of it is the tolerance

    const QStringList s16{"-b", "16", "-e", "signed-integer"};
    QTest::newRow("sox u8 mono 8000")
            << soxCommand("8000", "1", {"-b", "8", "-e", "unsigned-integer"}) << "" << 8;
    QTest::newRow("sox s16 stereo 44100") << soxCommand("44100", "2", s16) << "" << 16;
    QTest::newRow("sox s24 stereo 96000 extensible")
            << soxCommand("96000", "2", {"-b", "24"}) << "" << 24;
    QTest::newRow("sox s32 stereo 48000 extensible")
            << soxCommand("48000", "2", {"-b", "32", "-e", "signed-integer"}) << "" << 32;
    QTest::newRow("sox f32 stereo 44100")
            << soxCommand("44100", "2", {"-e", "float", "-b", "32"}) << "" << 32;
    QTest::newRow("sox f64 stereo 192000")
            << soxCommand("192000", "2", {"-e", "float", "-b", "64"}) << "" << 32;
    QTest::newRow("sox s24 6 channels 48000") << soxCommand("48000", "6", {"-b", "24"}) << "" << 24;
    QTest::newRow("chunk after the data") << soxCommand("44100", "2", s16) << "append" << 16;
    QTest::newRow("dataSize 0") << soxCommand("22050", "2", s16) << "zero size" << 16;
    QTest::newRow("cut mid-frame") << soxCommand("44100", "2", s16) << "cut" << 16;
    QTest::newRow("ffmpeg s16 stereo, LIST chunk")
            << ffmpegCommand("48000", "2", "pcm_s16le") << "" << 16;
    QTest::newRow("ffmpeg u8 mono") << ffmpegCommand("11025", "1", "pcm_u8") << "" << 8;
    QTest::newRow("ffmpeg s24 6 channels") << ffmpegCommand("32000", "6", "pcm_s24le") << "" << 24;
    QTest::newRow("ffmpeg s32 stereo") << ffmpegCommand("88200", "2", "pcm_s32le") << "" << 32;
    QTest::newRow("ffmpeg f32 stereo") << ffmpegCommand("44100", "2", "pcm_f32le") << "" << 32;
    QTest::newRow("ffmpeg f64 mono") << ffmpegCommand("16000", "1", "pcm_f64le") << "" << 32;
}

void TestWaveCorpus::reads()
{
    QFETCH(QStringList, command);
    QFETCH(QString, edit);
    QFETCH(int, bits);
    const QString file = make(command);
    QVERIFY2(!file.isEmpty(), qPrintable(command.join(' ')));
    const int channels = runTool("soxi", {"-c", file}).trimmed().toInt();
    const double rate = runTool("soxi", {"-r", file}).trimmed().toDouble();
    const QByteArray decoded = runTool("sox", {file, "-t", "f64", "-"});
    QVERIFY(channels > 0 && !decoded.isEmpty());
    const auto ref = [&](qint64 frame, int channel) {
        double x;
        std::memcpy(&x, decoded.constData() + 8 * (frame * channels + channel), 8);
        return x;
    };
    qint64 frames = decoded.size() / 8 / channels;

    QByteArray bytes = readBytes(file);
    const int data = bytes.lastIndexOf("data");
    if (edit == "append") {
        // Loud bytes in a chunk behind the data must not become audio.
        bytes += "LIST" + le32(4000) + QByteArray(4000, '\x7f');
        bytes.replace(4, 4, le32(quint32(bytes.size() - 8)));
    } else if (edit == "zero size") {
        bytes.replace(data + 4, 4, le32(0));
    } else if (edit == "cut") {
        bytes.chop(3);
        frames -= 1;
    }
    QVERIFY(writeBytes(file, bytes));

    StandardWaveFile wav;
    QVERIFY2(wav.open(file, QIODevice::ReadOnly), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), rate);
    QCOMPARE(wav.totalFrames(), frames);
    const double tolerance = std::ldexp(1.0, -std::min(bits - 1, 23));
    std::vector<Frame> block(200);
    qint64 at = 0;
    while (wav.readFrames(block.data(), 200) == 200) {
        for (qint64 k = 0; k < 200; ++k, ++at) {
            const Frame &f = block[size_t(k)];
            if (at >= frames) {
                QVERIFY(f.left == 0.0 && f.right == 0.0);
                continue;
            }
            const double left = ref(at, 0);
            const double right = ref(at, channels > 1 ? 1 : 0);
            QVERIFY2(std::fabs(f.left - left) <= tolerance &&
                             std::fabs(f.right - right) <= tolerance,
                     qPrintable(QStringLiteral("frame %1: %2 %3, sox %4 %5")
                                        .arg(at)
                                        .arg(f.left)
                                        .arg(f.right)
                                        .arg(left)
                                        .arg(right)));
        }
    }
    QVERIFY(at >= frames && at < frames + 200);
}

void TestWaveCorpus::refusals_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("reason");
    QTest::newRow("A-law") << ffmpegCommand("8000", "1", "pcm_alaw") << "unsupported format: A-law";
    QTest::newRow("mu-law") << ffmpegCommand("8000", "1", "pcm_mulaw")
                            << QString::fromUtf8("unsupported format: \u00b5-law");
    QTest::newRow("IMA ADPCM") << ffmpegCommand("22050", "2", "adpcm_ima_wav")
                               << "unsupported format: IMA ADPCM";
    QTest::newRow("MP3 in WAV") << ffmpegCommand("44100", "2", "libmp3lame")
                                << "unsupported format: MP3";
    QTest::newRow("GSM") << soxCommand("8000", "1", {"-e", "gsm-full-rate"})
                         << "unsupported format: GSM";
}

void TestWaveCorpus::refusals()
{
    QFETCH(QStringList, command);
    QFETCH(QString, reason);
    const QString file = make(command);
    QVERIFY2(!file.isEmpty(), qPrintable(command.join(' ')));
    StandardWaveFile wav;
    QVERIFY(!wav.open(file, QIODevice::ReadOnly));
    QCOMPARE(wav.errorString(), reason);
    QVERIFY(!wav.isOpen());
}

QTEST_GUILESS_MAIN(TestWaveCorpus)
#include "tst_wavecorpus.moc"
