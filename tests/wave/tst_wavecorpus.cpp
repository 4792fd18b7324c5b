#include "testsupport.h"

#include "converter/convertfile.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace support;

// A recording in another format, made by sox or ffmpeg from a WAVE file.
struct OtherFormat
{
    QString suffix;
    QString recording; // sox's options for the WAVE recording
    QString name;      // as the reader names the format
    QString codec;     // ffmpeg's encoder for a lossy format; empty: sox copies
};
Q_DECLARE_METATYPE(OtherFormat)

// Files as other programs write them (chunks before and after the data,
// extensible and float formats, many channels and rates), each read and
// compared sample by sample with what sox decodes from the same file:
// integer samples to the bit (divided by 2^31 - 1, through single precision
// for 32-bit samples and for a block shorter than asked for), float samples
// within a step of single precision.
class TestWaveCorpus : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refusals_data();
    void refusals();
    void otherFormats_data();
    void otherFormats();

private:
    QString make(const QStringList &command);
    QTemporaryDir dir;
};

// Runs a generator command; "OUT" in it stands for the file to write.
QString TestWaveCorpus::make(const QStringList &command)
{
    const QString out = dir.filePath("source.wav");
    QFile::remove(out);
    QStringList args = command;
    args.replaceInStrings(QRegularExpression("^OUT$"), out);
    return output(args).isNull() ? QString() : out;
}

static QStringList sox(const QString &rate, const QString &channels, const QString &encoding)
{
    return QStringList{"sox", "-r", rate, "-c", channels, "-n"} + encoding.split(' ') +
            QStringList{"OUT", "synth", "70001s", "whitenoise", "vol", "0.9"};
}

static QStringList ffmpeg(const QString &rate, const QString &channels, const QString &codec)
{
    return {"ffmpeg", "-v",     "error", "-f",  "lavfi", "-i", "anoisesrc=a=0.8:d=0.5:r=" + rate,
            "-ac",    channels, "-c:a",  codec, "-y",    "OUT"};
}

void TestWaveCorpus::reads_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("edit"); // what is done to the file before reading it
    QTest::addColumn<int>("bits");     // of integer samples; 0: float
    QTest::addColumn<int>("block");    // frames per read
    const auto row = [](const char *name, const QStringList &command, const char *edit, int bits,
                        int block = 200) {
        QTest::newRow(name) << command << QString(edit) << bits << block;
    };
    const QString s16 = "-b 16 -e signed-integer";
    row("sox u8 mono 8000", sox("8000", "1", "-b 8 -e unsigned-integer"), "", 8);
    row("sox s16 stereo 44100", sox("44100", "2", s16), "", 16);
    // One-frame reads cross every internal chunk boundary; 4096 ends short.
    row("sox s16, one-frame blocks", sox("44100", "2", s16), "", 16, 1);
    row("sox s16, 4096-frame blocks", sox("44100", "2", s16), "", 16, 4096);
    row("sox s24 stereo 96000 extensible", sox("96000", "2", "-b 24"), "", 24);
    row("sox s32 stereo 48000 extensible", sox("48000", "2", "-b 32 -e signed-integer"), "", 32);
    row("sox f32 stereo 44100", sox("44100", "2", "-e float -b 32"), "", 0);
    row("sox f64 stereo 192000", sox("192000", "2", "-e float -b 64"), "", 0);
    row("sox s24 6 channels 48000", sox("48000", "6", "-b 24"), "", 24);
    row("chunk after the data", sox("44100", "2", s16), "append", 16);
    row("dataSize 0", sox("22050", "2", s16), "zero size", 16);
    row("cut mid-frame", sox("44100", "2", s16), "cut", 16);
    row("ffmpeg s16 stereo, LIST chunk", ffmpeg("48000", "2", "pcm_s16le"), "", 16);
    row("ffmpeg u8 mono", ffmpeg("11025", "1", "pcm_u8"), "", 8);
    row("ffmpeg s24 6 channels", ffmpeg("32000", "6", "pcm_s24le"), "", 24);
    row("ffmpeg s32 stereo", ffmpeg("88200", "2", "pcm_s32le"), "", 32);
    row("ffmpeg f32 stereo", ffmpeg("44100", "2", "pcm_f32le"), "", 0);
    row("ffmpeg f64 mono", ffmpeg("16000", "1", "pcm_f64le"), "", 0);
}

void TestWaveCorpus::reads()
{
    QFETCH(QStringList, command);
    QFETCH(QString, edit);
    QFETCH(int, bits);
    QFETCH(int, block);
    const QString file = make(command);
    QVERIFY2(!file.isEmpty(), qPrintable(command.join(' ')));
    const int channels = output({"soxi", "-c", file}).trimmed().toInt();
    const double rate = output({"soxi", "-r", file}).trimmed().toDouble();
    const QByteArray decoded = soxDecode(file);
    QVERIFY(channels > 0 && !decoded.isEmpty());
    qint64 frames = decoded.size() / 8 / channels;

    QByteArray bytes = readFile(file);
    if (edit == "append") {
        // Loud bytes in a chunk behind the data must not become audio.
        bytes += "LIST" + le32(4000) + QByteArray(4000, '\x7f');
        bytes.replace(4, 4, le32(quint32(bytes.size() - 8)));
    } else if (edit == "zero size") {
        bytes.replace(bytes.lastIndexOf("data") + 4, 4, le32(0));
    } else if (edit == "cut") {
        bytes.chop(3);
        frames -= 1;
    }
    QVERIFY(writeFile(file, bytes));

    StandardWaveFile wav;
    QVERIFY2(wav.open(file, QIODevice::ReadOnly), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), rate);
    QCOMPARE(wav.totalFrames(), frames);
    // sox's binary64 values are its 32-bit integers divided by 2^31.
    const auto expected = [&](qint64 frame, int channel, bool shortBlock) {
        if (frame >= frames)
            return 0.0;
        double x;
        std::memcpy(&x, decoded.constData() + 8 * (frame * channels + channel), 8);
        if (bits == 0)
            return x;
        x = std::round(x * 2147483648.0) / 2147483647.0;
        return bits == 32 || shortBlock ? double(float(x)) : x;
    };
    const double tolerance = bits == 0 ? std::ldexp(1.0, -23) : 0.0;
    std::vector<Frame> got(static_cast<size_t>(block));
    qint64 at = 0;
    while (wav.readFrames(got.data(), block) == block) {
        const bool shortBlock = frames - at < block;
        for (const Frame &f : got) {
            const double left = expected(at, 0, shortBlock);
            const double right = expected(at, channels > 1 ? 1 : 0, shortBlock);
            if (std::fabs(f.left - left) > tolerance || std::fabs(f.right - right) > tolerance)
                QFAIL(qPrintable(
                        QStringLiteral("frame %1: %2 %3").arg(at).arg(f.left).arg(f.right)));
            ++at;
        }
    }
    QVERIFY(at >= frames && at < frames + block);
}

void TestWaveCorpus::refusals_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("reason");
    QTest::newRow("A-law") << ffmpeg("8000", "1", "pcm_alaw") << "unsupported format: A-law";
    QTest::newRow("mu-law") << ffmpeg("8000", "1", "pcm_mulaw")
                            << QString::fromUtf8("unsupported format: \u00b5-law");
    QTest::newRow("IMA ADPCM") << ffmpeg("22050", "2", "adpcm_ima_wav")
                               << "unsupported format: IMA ADPCM";
    QTest::newRow("MP3 in WAV") << ffmpeg("44100", "2", "libmp3lame") << "unsupported format: MP3";
    QTest::newRow("GSM") << sox("8000", "1", "-e gsm-full-rate") << "unsupported format: GSM";
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

// Every frame of a file, read in 200-frame blocks as the conversion reads.
template<class File>
static std::vector<Frame> readAll(const QString &path)
{
    File file;
    std::vector<Frame> frames;
    std::vector<Frame> block(200);
    if (!file.open(path, QIODevice::ReadOnly))
        return frames;
    while (file.readFrames(block.data(), 200) == 200)
        frames.insert(frames.end(), block.begin(), block.end());
    return frames;
}

// A lossless copy of a recording reads as the recording's WAVE file reads,
// bit for bit, and converts to the same bytes; a lossy one converts to what
// ffmpeg's own decoding of it converts to, within a few steps of single
// precision.
void TestWaveCorpus::otherFormats_data()
{
    QTest::addColumn<OtherFormat>("format");
    const auto row = [](const char *suffix, const char *recording, const char *name,
                        const char *codec = "") {
        QTest::addRow("%s, %s", suffix, recording) << OtherFormat{suffix, recording, name, codec};
    };
    row("flac", "-r 44100 -c 2 -b 16", "FLAC, 16-bit");
    row("flac", "-r 96000 -c 6 -b 24", "FLAC, 24-bit");
    row("flac", "-r 8000 -c 1 -b 8", "FLAC, 8-bit");
    row("aiff", "-r 48000 -c 2 -b 24", "AIFF, 24-bit");
    row("caf", "-r 44100 -c 2 -e floating-point -b 32", "CAF, 32-bit float");
    row("w64", "-r 22050 -c 2 -b 32", "W64, 32-bit");
    row("ogg", "-r 44100 -c 2 -b 16", "Ogg Vorbis", "libvorbis");
    row("opus", "-r 44100 -c 2 -b 16", "Ogg Opus", "libopus");
    row("mp3", "-r 44100 -c 1 -b 16", "MP3", "libmp3lame");
}

void TestWaveCorpus::otherFormats()
{
    QFETCH(OtherFormat, format);
    const QString recording = dir.filePath("recording.wav");
    const QString other = dir.filePath("other." + format.suffix);
    QFile::remove(other);
    QVERIFY(!output(QStringList{"sox", "-n"} + format.recording.split(' ') +
                    QStringList{recording, "synth", "70001s", "whitenoise", "vol", "0.9"})
                     .isNull());
    const bool lossless = format.codec.isEmpty();
    QVERIFY(!output(lossless ? QStringList{"sox", recording, other}
                             : QStringList{"ffmpeg", "-v", "error", "-i", recording, "-c:a",
                                           format.codec, other})
                     .isNull());
    SoundFile file;
    QVERIFY(file.open(other, QIODevice::ReadOnly));
    QCOMPARE(file.formatName(), format.name);
    // The lossy file as ffmpeg decodes it, in a float WAVE file.
    QString reference = recording;
    if (!lossless) {
        reference = dir.filePath("decoded.wav");
        QVERIFY(!output({"ffmpeg", "-v", "error", "-y", "-i", other, "-c:a", "pcm_f32le",
                         reference})
                         .isNull());
    }
    for (const QString &source : {reference, other}) {
        const ConvertResult result =
                convertFile(source, source + ".brinmoor", StandardToBrinmoor, {});
        QVERIFY2(result.ok(), qPrintable(result.reason));
    }
    if (lossless) {
        const std::vector<Frame> read = readAll<SoundFile>(other);
        const std::vector<Frame> wave = readAll<StandardWaveFile>(recording);
        QVERIFY(!read.empty() && read.size() == wave.size());
        QVERIFY(std::memcmp(read.data(), wave.data(), read.size() * sizeof(Frame)) == 0);
    }
    const std::vector<Frame> expected = readBrinmoor(reference + ".brinmoor");
    const std::vector<Frame> got = readBrinmoor(other + ".brinmoor");
    QVERIFY(!expected.empty());
    QCOMPARE(got.size(), expected.size());
    const double tolerance = lossless ? 0.0 : 1e-5;
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::abs(got[i].left - expected[i].left) > tolerance ||
            std::abs(got[i].right - expected[i].right) > tolerance)
            QFAIL(qPrintable(QStringLiteral("frame %1: %2 %3, expected %4 %5")
                                     .arg(i)
                                     .arg(got[i].left)
                                     .arg(got[i].right)
                                     .arg(expected[i].left)
                                     .arg(expected[i].right)));
    }
}

QTEST_GUILESS_MAIN(TestWaveCorpus)
#include "tst_wavecorpus.moc"
