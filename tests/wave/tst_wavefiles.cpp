#include "testsupport.h"

#include "converter/convertfile.h"
#include "wave/brinmoorwavefile.h"
#include "wave/mpegaudio.h"
#include "wave/recognize.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"

#include <QBuffer>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <limits>

using namespace support;

namespace {

struct Open
{
    QString name;
    QByteArray file;
    WaveLayout layout;        // each class opens its own layout and refuses the other's
    qint64 frames = 0;        // as the class that opens it counts them; -1: they differ
    qint64 size = 0;          // made sparse to this size; 0: as it is
    bool otherAgrees = false; // ffprobe counts the same frames
    Warnings warnings = {};   // among what a conversion warns of
    QString refusal = {};     // of a file that is no WAVE, by both classes
};

Warnings warned(Warning::Kind kind, qint64 frames, qint64 announced)
{
    return {{kind, frames, announced}};
}

// A file as another program writes it, read and compared sample by sample
// with what sox decodes from it.
struct Corpus
{
    QString name;
    QStringList command; // "OUT" stands for the file it writes
    int bits;            // of integer samples; 0: float
    QString edit = {};   // what is done to the file before reading it
    int block = 200;     // frames per read
};

// A recording in another format, made from a WAVE file by sox (lossless) or ffmpeg (lossy).
struct OtherFormat
{
    QString name;
    QString suffix;
    QString recording;  // sox's options for the WAVE file
    QString formatName; // as the reader names it
    QString codec = {}; // ffmpeg's encoder and its options; empty: lossless
};


QStringList sox(const QString &rate, const QString &channels, const QString &encoding)
{
    return QStringList{"sox", "-R", "-r", rate, "-c", channels, "-n"} + encoding.split(' ') +
            QStringList{"OUT", "synth", "70001s", "whitenoise", "vol", "0.9"};
}

QStringList ffmpeg(const QString &rate, const QString &channels, const QString &codec)
{
    const QString noise = "anoisesrc=a=0.8:d=0.5:seed=7:r=" + rate; // the same every run
    return {"ffmpeg", "-v",     "error", "-f",  "lavfi", "-i", noise,
            "-ac",    channels, "-c:a",  codec, "-y",    "OUT"};
}

// Every frame of a file, read in 200-frame blocks as the conversion reads.
template<class File>
std::vector<Frame> readAll(const QString &name)
{
    File file;
    std::vector<Frame> frames;
    std::vector<Frame> block(200);
    if (file.open(name, QIODevice::ReadOnly)) {
        while (file.readFrames(block.data(), 200) == 200)
            frames.insert(frames.end(), block.begin(), block.end());
    }
    return frames;
}

// 32-bit stereo as a program writing standard files stores it: a 1 kHz sine at half scale on the
// left and, on the right, a square wave at `right` of full scale, which read as float64 gives
// values of plausible size.
QByteArray int32Square(int frames, double right)
{
    QByteArray bytes = canonicalHeader(32, 2, 44100, quint32(8 * frames));
    for (int i = 0; i < frames; ++i) {
        const double left = 0.5 * std::sin(2 * 3.14159265358979 * 1000 * i / 44100);
        bytes += le32(quint32(qint32(left * 2147483647.0))) +
                le32(quint32(qint32((i / 50 % 2 ? -right : right) * 2147483647.0)));
    }
    return bytes;
}

std::vector<Frame> writtenFrames()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    return {{1.0, -1.0}, {0.5, 0.3}, {1.5, -1.5}, {nan, 0.0}, {-inf, nan}, {0.0, inf}};
}

} // namespace

Q_DECLARE_METATYPE(Open)
Q_DECLARE_METATYPE(Corpus)
Q_DECLARE_METATYPE(OtherFormat)

// Both file classes with files built byte by byte and files other programs wrote: layouts
// recognised, values read and written exactly, and the recording's peak and scaling.
class TestWaveFiles : public QObject
{
    Q_OBJECT

    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;

private slots:
    void opens_data()
    {
        const WaveLayout standard = WaveLayout::Standard;
        const WaveLayout brinmoor = WaveLayout::Brinmoor;
        const QByteArray two = brinmoorBytes({{0.5, 0.5}, {0.25, 0.25}});
        // Past 4 GiB the size fields saturate: both readers take everything
        // behind the header, and the recording is still recognised.
        const qint64 big = (qint64(1) << 32) + 600;
        // Past 4 GiB, or 3 h 49 min of recording, a 32-bit counter wraps.
        const qint64 wrapped = (qint64(1) << 32) + 4000;
        const QByteArray tone = brinmoorBytes(sine(2000, 0.5));
        QVERIFY(soxTone(path("int32.wav"), 44100, "2000s", 32));
        const QByteArray int32 = readFile(path("int32.wav"));
        QVERIFY(soxTone(path("s16.wav"), 44100, "1000s", 16));
        const QByteArray s16 = readFile(path("s16.wav"));
        // A right channel at -6 dBFS makes 32-bit integers read as float64
        // values of plausible size.
        const QByteArray square = int32Square(6000, 0.5);
        // A recording whose header lags three frames behind, and whose first
        // 1000 frames are damaged or below any recorded level: the rest tells.
        const auto lagging = [](double first) {
            std::vector<Frame> frames = sine(20000, 0.5);
            std::fill_n(frames.begin(), 1000, Frame{first, -first});
            const QByteArray bytes = brinmoorBytes(frames);
            return patched(patched(bytes, 4, le32(8 * 19997 + 40)), 40, le32(8 * 19997));
        };
        // 6 h 45 min of 16-bit stereo: its size wrapped past 4 GiB, four bytes off the data there.
        const qint64 long16 = (qint64(1) << 32) + 40044;
        // Samples that neither reader decodes, as sox and ffmpeg write them, refused by name.
        const auto made = [this](QStringList command) {
            const QString name = path("encoded.wav");
            QFile::remove(name);
            command.replaceInStrings(QRegularExpression("^OUT$"), name);
            return output(command).isNull() ? QByteArray() : readFile(name);
        };
        const auto refused = [](const QString &name, const QByteArray &file, const QString &why) {
            return Open{name, file, WaveLayout::NotWave, 0, 0, false, {}, why};
        };
        const auto refusedAs = [&](const QString &name, const QByteArray &file,
                                   const QString &format) {
            return refused(name, file, "unsupported format: " + format);
        };
        const QByteArray extensible = made(sox("48000", "2", "-b 24"));
        const QByteArray canonical16 = canonicalHeader(16, 2, 44100, 400) + QByteArray(400, '\1');
        rows<Open>({
                // The recording's header with the sizes of standard files.
                {"32-bit stereo PCM", canonicalHeader(32, 2, 39062, 32) + two.mid(44), standard, 4},
                {"32-bit stereo PCM, chunk after the data",
                 canonicalHeader(32, 2, 39062, 32) + two.mid(44) + "LIST" + le32(200) +
                         QByteArray(200, 'x'),
                 standard, 4},
                // Too few samples, and an unfinished size only a recording could
                // leave, but not at this rate: both readers take it.
                {"32-bit stereo PCM, unfinished", canonicalHeader(32, 2, 44100, 0) + two.mid(44),
                 WaveLayout::Ambiguous, -1},
                {"recording", two, brinmoor, 2},
                {"recording, partial frame", two + "abc", brinmoor, 2},
                {"unfinished recording", canonicalHeader(32, 2, 39062, 0) + two.mid(44), brinmoor,
                 2, 0, false, warned(Warning::Unfinished, 2, 0)},
                refused("empty", QByteArray(), "empty file"),
                {"huge", canonicalHeader(24, 2, 44100, 0xffffffffu), standard, (big - 44) / 6, big},
                {"huge recording", canonicalHeader(32, 2, 39062, 0xffffffffu), brinmoor,
                 (2 * big - 44) / 16, 2 * big},
                // Recordings are recognised by their float64 samples whatever their sizes say.
                {"recording extended", tone + tone.mid(44, 16 * 500), brinmoor, 2500},
                {"recording with a wrapped size",
                 QByteArray(tone).replace(40, 4, le32(quint32(wrapped))), brinmoor, wrapped / 8,
                 44 + 2 * wrapped},
                // ... and 32-bit integers by being no float64 audio, even when a
                // chunk after them makes the data twice dataSize.
                {"32-bit standard, a chunk after the data as long as it",
                 int32 + "LIST" + le32(quint32(int32.size() - 52)) +
                         QByteArray(int32.size() - 52, '\0'),
                 standard, 2000},
                {"standard with a wrapped size", canonicalHeader(16, 2, 44100, quint32(wrapped)),
                 standard, wrapped / 4, 44 + wrapped},
                {"RF64", standardHeaderBytes(WaveHeader::standardDefaults(), 6 * wrapped, true),
                 standard, wrapped, 80 + 6 * wrapped, true},
                {"JUNK left for RF64 unused",
                 standardHeaderBytes(WaveHeader::standardDefaults(), 600, true), standard, 100, 680,
                 true},
                // Look-alikes: 32-bit integers with a right channel near half
                // scale, whose sizes fit no recording ...
                {"32-bit look-alike, cut short", square.left(44 + 8 * 4000), standard, 4000, 0,
                 false, warned(Warning::CutShort, 4000, 6000)},
                {"32-bit look-alike, header never finished",
                 patched(patched(square, 4, le32(36)), 40, le32(0)), standard, 6000},
                {"32-bit look-alike, dataSize 0xFFFFFFFF", patched(square, 40, le32(0xffffffffu)),
                 standard, 6000},
                {"32-bit look-alike, bytes after its data", square + square.mid(44, 8 * 1000),
                 standard, 7000, 0, false, warned(Warning::Extended, 7000, 6000)},
                // ... and recordings with damage where a probe of the start
                // alone looks, and sizes a few frames off.
                {"recording, NaN first", lagging(std::numeric_limits<double>::quiet_NaN()),
                 brinmoor, 20000, 0, false, warned(Warning::Extended, 20000, 19997)},
                {"recording, below 2^-64 first", lagging(1e-25), brinmoor, 20000},
                // Channels and bits in a recording's header say nothing.
                {"recording, 1 channel in its header", patched(tone, 22, le16(1)), brinmoor, 2000},
                {"recording, 16 bits in its header", patched(tone, 34, le16(16)), brinmoor, 2000},
                // Samples past a size never brought up to date are read; a tag there is not.
                {"16-bit, 100 of its 1000 frames announced", patched(s16, 40, le32(400)), standard,
                 1000, 0, false, warned(Warning::Extended, 1000, 100)},
                // Less than a frame past its size is no more audio.
                {"16-bit, 2 bytes after its data", canonical16 + "\1\1", standard, 100},
                {"24-bit, 6 channels, 10 bytes after its data",
                 canonicalHeader(24, 6, 48000, 1800) + QByteArray(1810, '\1'), standard, 100},
                // A chunk behind the data fills the file past 4 GiB: the data
                // chunk's size is its own, not one that wrapped.
                {"16-bit, a chunk of 4 GiB behind its data",
                 canonical16 + "JUNK" + le32(0xffffff00u), standard, 100,
                 452 + qint64(0xffffff00u)},
                {"16-bit, an ID3 tag after its data",
                 patched(s16.left(444), 40, le32(400)) + "ID3\x04" + QByteArray(300, '\0'),
                 standard, 100},
                {"16-bit, wrapped size 4 bytes short of its data",
                 canonicalHeader(16, 2, 44100, quint32(long16 - 4)), standard, long16 / 4,
                 44 + long16, false, warned(Warning::Extended, long16 / 4, long16 / 4 - 1)},
                {"16-bit, wrapped size 4 bytes past its data",
                 canonicalHeader(16, 2, 44100, quint32(long16 + 4)), standard, long16 / 4,
                 44 + long16, false, warned(Warning::CutShort, long16 / 4, 1073751836)},
                refusedAs("MPEG layer II", made(ffmpeg("44100", "2", "mp2")), "MPEG"),
                refusedAs("code 0x1234", patched(canonical16, 20, le16(0x1234)), "code 0x1234"),
                refusedAs("extensible, an unknown sub-format", patched(extensible, 50, "\x7f"),
                          "extensible with an unknown sub-format"),
                refused("extensible, fmt chunk too short", patched(canonical16, 20, le16(0xfffe)),
                        "damaged fmt chunk"),
                refused("no fmt chunk", "RIFF" + le32(412) + "WAVE" + canonical16.mid(36),
                        "no fmt chunk"),
        });
    }

    void opens()
    {
        QFETCH(Open, row);
        const QString name = path("opened.wav");
        QVERIFY(writeFile(name, row.file) && (row.size == 0 || QFile::resize(name, row.size)));
        const WaveInfo info = recognizeWave(name);
        QVERIFY2(info.layout == row.layout, qPrintable(info.evidence));
        QVERIFY(!row.otherAgrees || ffprobe(name, "duration_ts").toLongLong() == row.frames);
        for (const Warning &warning : row.warnings)
            QVERIFY(info.warnings().contains(warning));
        const auto check = [&](auto &&wav, const QString &reason) {
            QCOMPARE(wav.open(name, QIODevice::ReadOnly), reason.isEmpty());
            QVERIFY2(wav.errorString().contains(reason), qPrintable(wav.errorString()));
            QCOMPARE(wav.isOpen(), reason.isEmpty());
            QVERIFY(row.frames < 0 || wav.totalFrames() == (reason.isEmpty() ? row.frames : 0));
            Frame f;
            QVERIFY(!reason.isEmpty() || wav.readFrames(&f, 1) >= 0);
            QVERIFY(reason.isEmpty() || wav.readFrames(&f, 1) == -1);
        };
        const auto refuses = [&](WaveLayout other, const QString &why) {
            return row.layout == WaveLayout::NotWave ? row.refusal : row.layout == other ? why : "";
        };
        check(StandardWaveFile(),
              refuses(WaveLayout::Brinmoor, "this is a Brinmoor-WAVE recording"));
        check(BrinmoorWaveFile(), refuses(WaveLayout::Standard, "not a Brinmoor-WAVE recording"));
    }

    void corpus_data()
    {
        const QString s16 = "-b 16 -e signed-integer";
        rows<Corpus>({
                {"sox u8 mono 8000", sox("8000", "1", "-b 8 -e unsigned-integer -D"), 8},
                // One-frame reads cross every internal chunk boundary; 4096 ends short.
                {"sox s16, one-frame blocks", sox("44100", "2", s16), 16, "", 1},
                {"sox s16, 4096-frame blocks", sox("44100", "2", s16), 16, "", 4096},
                {"sox s24 stereo 96000 extensible", sox("96000", "2", "-b 24"), 24},
                {"sox s32 stereo 48000 extensible", sox("48000", "2", "-b 32 -e signed-integer"),
                 32},
                {"sox f32 stereo 44100", sox("44100", "2", "-e float -b 32"), 0},
                {"sox s24 6 channels 48000", sox("48000", "6", "-b 24"), 24},
                {"chunk after the data", sox("44100", "2", s16), 16, "append"},
                {"dataSize 0", sox("22050", "2", s16), 16, "zero size"},
                {"ffmpeg s16 stereo, LIST chunk", ffmpeg("48000", "2", "pcm_s16le"), 16},
                {"ffmpeg f64 mono", ffmpeg("16000", "1", "pcm_f64le"), 0},
        });
    }

    // Integer samples agree to the bit, float samples within a step of single precision.
    void corpus()
    {
        QFETCH(Corpus, row);
        const QString file = path("corpus.wav");
        QFile::remove(file);
        QVERIFY2(!output(row.command.replaceInStrings(QRegularExpression("^OUT$"), file)).isNull(),
                 qPrintable(row.command.join(' ')));
        const int channels = output({"soxi", "-c", file}).trimmed().toInt();
        const double rate = output({"soxi", "-r", file}).trimmed().toDouble();
        const QByteArray decoded = soxDecode(file);
        QVERIFY(channels > 0 && !decoded.isEmpty());
        const qint64 frames = decoded.size() / 8 / channels;

        QByteArray bytes = readFile(file);
        if (row.edit == "append") {
            // Loud bytes in a chunk behind the data must not become audio.
            bytes += "LIST" + le32(4000) + QByteArray(4000, '\x7f');
            bytes.replace(4, 4, le32(quint32(bytes.size() - 8)));
        } else if (row.edit == "zero size") {
            bytes.replace(bytes.lastIndexOf("data") + 4, 4, le32(0));
        }
        QVERIFY(writeFile(file, bytes));

        StandardWaveFile wav;
        QVERIFY2(wav.open(file, QIODevice::ReadOnly), qPrintable(wav.errorString()));
        QCOMPARE(wav.sampleRate(), rate);
        QCOMPARE(wav.totalFrames(), frames);
        // Nothing to warn about: a chunk after the data is no sample data,
        // and a size of 0 is a streaming writer's.
        QVERIFY(wav.sourceInfo().extent ==
                (row.edit == "zero size" ? DataExtent::Unfinished : DataExtent::Matches));
        // sox's binary64 values are its 32-bit integers divided by 2^31; the reader divides by
        // 2^31 - 1, through single precision for 32-bit samples and in a block shorter than asked
        // for. The peak is of the first two channels, before that rounding.
        const double tolerance = row.bits == 0 ? std::ldexp(1.0, -23) : 0.0;
        std::vector<Frame> expected(static_cast<size_t>(frames));
        double peak = 0.0;
        for (qint64 f = 0; f < frames; ++f) {
            const bool single = row.bits == 32 || frames - f / row.block * row.block < row.block;
            const char *at = decoded.constData() + 8 * f * channels;
            double x[2];
            for (const int channel : {0, 1}) {
                double &v = x[channel];
                std::memcpy(&v, at + 8 * std::min(channel, channels - 1), 8);
                v = row.bits ? std::round(v * 2147483648.0) / 2147483647.0 : v;
                peak = std::max(peak, std::fabs(v));
                v = row.bits && single ? double(float(v)) : v;
            }
            expected[size_t(f)] = {x[0], x[1]};
        }
        bool ok = false;
        QVERIFY(std::fabs(wav.measurePeak(ok) - peak) <= tolerance && ok);
        // Read by the same file after its peak scan, which leaves it at the start.
        std::vector<Frame> got;
        std::vector<Frame> block(static_cast<size_t>(row.block));
        while (wav.readFrames(block.data(), row.block) == row.block)
            got.insert(got.end(), block.begin(), block.end());
        QVERIFY(got.size() >= expected.size() && got.size() < expected.size() + row.block);
        expected.resize(got.size(), Frame{0.0, 0.0});
        QCOMPARE(firstDifference(got, expected, tolerance), QString());
    }

    // Samples of up to 24 bits reach the rate conversion as v * 2^-31, which
    // is v / (2^31 - 1) rounded to single precision: all 2^24 values.
    void roundedReadsAreRoundedDivisions()
    {
        QByteArray data(3 << 24, '\0');
        for (quint32 v = 0; v < 1u << 24; ++v)
            std::memcpy(data.data() + 3 * v, &v, 3); // little-endian, as WAVE and the host store it
        QVERIFY(writeFile(path("all.wav"), canonicalHeader(24, 2, 44100, 3 << 24) + data));
        StandardWaveFile divided;
        StandardWaveFile rounded;
        QVERIFY(divided.open(path("all.wav"), QIODevice::ReadOnly) &&
                rounded.open(path("all.wav"), QIODevice::ReadOnly));
        std::vector<Frame> a(4096);
        std::vector<Frame> b(4096);
        while (divided.readFrames(a.data(), 4096) > 0) {
            QCOMPARE(rounded.readFramesRounded(b.data(), 4096), 4096);
            for (size_t k = 0; k < a.size(); ++k)
                if (double(float(a[k].left)) != b[k].left ||
                    double(float(a[k].right)) != b[k].right)
                    QFAIL(qPrintable(QString::number(a[k].left, 'g', 17)));
        }
        QFile::remove(path("all.wav"));
    }

    void otherFormats_data()
    {
        rows<OtherFormat>({
                {"FLAC 16-bit", "flac", "-r 44100 -c 2 -b 16", "FLAC, 16-bit"},
                {"FLAC 24-bit 6 channels", "flac", "-r 96000 -c 6 -b 24", "FLAC, 24-bit"},
                {"FLAC 8-bit mono", "flac", "-r 8000 -c 1 -b 8", "FLAC, 8-bit"},
                {"AIFF 24-bit", "aiff", "-r 48000 -c 2 -b 24", "AIFF, 24-bit"},
                {"CAF float", "caf", "-r 44100 -c 2 -e floating-point -b 32", "CAF, 32-bit float"},
                {"W64 32-bit", "w64", "-r 22050 -c 2 -b 32", "W64, 32-bit"},
                {"Ogg Vorbis", "ogg", "-r 44100 -c 2 -b 16", "Ogg Vorbis", "libvorbis"},
                {"Opus", "opus", "-r 44100 -c 2 -b 16", "Ogg Opus", "libopus"},
                {"MP3 mono", "mp3", "-r 44100 -c 1 -b 16", "MP3", "libmp3lame"},
                // Neither a tag nor a header that counts its frames.
                {"MP3, bare frames", "mp3", "-r 48000 -c 2 -b 16", "MP3",
                 "libmp3lame -id3v2_version 0 -write_xing 0"},
                {"CAF 64-bit float", "caf", "-r 22050 -c 2 -e floating-point -b 64",
                 "CAF, 64-bit float", "pcm_f64le"},
        });
    }

    // A lossless copy of a recording reads as the recording's WAVE file reads, bit for bit, and
    // converts to the same bytes; a lossy one converts to what ffmpeg's own decoding of it converts
    // to, within what two decoders of one stream differ by (a thousandth), far below the codecs'
    // own error.
    void otherFormats()
    {
        QFETCH(OtherFormat, row);
        const QString recording = path("recording.wav");
        const QString other = path("other." + row.suffix);
        QFile::remove(other);
        QVERIFY(!output(QStringList{"sox", "-R", "-n"} + row.recording.split(' ') +
                        QStringList{recording, "synth", "70001s", "whitenoise", "vol", "0.9"})
                         .isNull());
        const bool lossless = row.codec.isEmpty();
        QVERIFY(!output(lossless ? QStringList{"sox", "-R", recording, other}
                                 : QStringList{"ffmpeg", "-v", "error", "-i", recording, "-c:a"} +
                                        row.codec.split(' ') + QStringList{other})
                         .isNull());
        SoundFile file;
        Frame none;
        QVERIFY(file.open(other, QIODevice::ReadOnly) && file.readFrames(&none, 0) == 0);
        QCOMPARE(file.formatName(), row.formatName);
        QString reference = recording;
        if (lossless) {
            const std::vector<Frame> read = readAll<SoundFile>(other);
            const std::vector<Frame> wave = readAll<StandardWaveFile>(recording);
            QVERIFY(!read.empty());
            QCOMPARE(firstDifference(read, wave), QString());
        } else {
            reference = path("decoded.wav");
            QVERIFY(!output({"ffmpeg", "-v", "error", "-y", "-i", other, "-c:a", "pcm_f32le",
                             reference})
                             .isNull());
        }
        for (const QString &source : {reference, other}) {
            const ConvertResult result =
                    convertFile(source, source + ".brinmoor", Direction::StandardToBrinmoor, {});
            QVERIFY2(result.ok(), qPrintable(result.reason));
        }
        const std::vector<Frame> expected = readBrinmoor(reference + ".brinmoor");
        const std::vector<Frame> got = readBrinmoor(other + ".brinmoor");
        QVERIFY(!expected.empty());
        QCOMPARE(firstDifference(got, expected, lossless ? 0.0 : 1e-3), QString());
    }

    // A writing open starts from the construction header, whatever a reading open before it found;
    // the sizes add up over the calls (4 frames, then 2: the standard writer's four-frame and
    // single-frame paths). Full scale saturates instead of wrapping, so do infinities, and NaN is
    // silence in a standard file; a recording stores the values unclamped.
    void writtenBytesAndHeader()
    {
        const auto write = [this](auto &&file, const QByteArray &earlier) {
            const QString name = path("written.wav");
            const std::vector<Frame> frames = writtenFrames();
            bool ok = writeFile(name, earlier) && file.open(name, QIODevice::ReadOnly) &&
                    file.open(name, QIODevice::WriteOnly);
            for (size_t at = 0; ok && at < frames.size(); at += 4)
                ok = file.writeFrames(frames.data() + at,
                                      int(std::min<size_t>(4, frames.size() - at)));
            return file.close() && ok ? readFile(name) : QByteArray();
        };
        QCOMPARE(write(StandardWaveFile(), canonicalHeader(16, 2, 48000, 0)),
                 canonicalHeader(24, 2, 44100, 36) +
                         QByteArray::fromHex("ffff7f000080 ffff3f666626 ffff7f000080 000000000000 "
                                             "000080000000 000000ffff7f"));
        QCOMPARE(write(BrinmoorWaveFile(), brinmoorBytes({{0.1, 0.1}}, 48000)),
                 brinmoorBytes(writtenFrames()));
        // Past 4 GiB the ds64 chunk holds the RIFF and data sizes in bytes
        // and the sample count in frames.
        const quint64 data = 6 * ((quint64(1) << 32) / 6 + 1);
        const auto le64u = [](quint64 v) { return le32(quint32(v)) + le32(quint32(v >> 32)); };
        QCOMPARE(standardHeaderBytes(WaveHeader::standardDefaults(), data, true).mid(12, 36),
                 "ds64" + le32(28) + le64u(data + 72) + le64u(data) + le64u(data / 6) + le32(0));

        // Float keeps values past full scale; its format chunk has the extension's size and a fact
        // chunk gives the frames, also behind the room for a ds64 chunk.
        QByteArray floats;
        for (const Frame &f : writtenFrames())
            for (const double v : {f.left, f.right}) {
                const float x = v == v ? float(v) : 0.0f;
                floats.append(reinterpret_cast<const char *>(&x), 4);
            }
        const QByteArray fmt = "fmt " + le32(18) + le16(3) + le16(2) + le32(44100) + le32(352800) +
                le16(8) + le16(32) + le16(0) + "fact" + le32(4) + le32(6) + "data" + le32(48);
        for (const bool large : {false, true}) {
            StandardWaveFile file;
            StandardFormat format;
            format.depth = StandardFormat::Depth::Float;
            file.setFormat(format);
            file.setExpectedFrames(large ? qint64(1) << 30 : 6);
            const QByteArray bytes = write(file, canonicalHeader(16, 2, 48000, 0));
            const QByteArray junk = large ? "JUNK" + le32(28) + QByteArray(28, '\0') : QByteArray();
            QCOMPARE(bytes,
                     "RIFF" + le32(quint32(bytes.size() - 8)) + "WAVE" + junk + fmt + floats);
        }
    }

    // A block larger than the writer's buffer goes through a buffer of the
    // file's own, to the same bytes.
    void largeBlock()
    {
        const std::vector<Frame> frames = sine(600000, 0.5); // past 8 MiB
        BrinmoorWaveFile file;
        QVERIFY(file.open(path("large.wav"), QIODevice::WriteOnly));
        Frame *space = file.frameSpace(int(frames.size()));
        QVERIFY(space);
        std::copy(frames.begin(), frames.end(), space);
        QVERIFY(file.commitFrames(int(frames.size())) && file.close());
        QCOMPARE(readFile(path("large.wav")), brinmoorBytes(frames));
    }

    // A write that the system refuses fails the call, and every later one,
    // and leaves nothing behind: a limit on the size of files.
    void writeFailure()
    {
        const std::vector<Frame> frames = sine(40000, 0.5);
        rlimit before{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &before) == 0 && std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR);
        rlimit small = before;
        small.rlim_cur = 64 * 1024;
        const auto fails = [&](auto &&file) {
            QFile::remove(path("limited.wav"));
            bool ok = file.open(path("limited.wav"), QIODevice::WriteOnly);
            ok = ok && setrlimit(RLIMIT_FSIZE, &small) == 0;
            for (size_t at = 0; ok && at < frames.size(); at += 4000)
                ok = file.writeFrames(frames.data() + at, 4000);
            const bool failed = !ok && !file.writeFrames(frames.data(), 1) && !file.close();
            setrlimit(RLIMIT_FSIZE, &before);
            return failed && !file.errorString().isEmpty() &&
                    strayFiles(path("")).filter("limited").isEmpty();
        };
        QVERIFY(fails(StandardWaveFile()));
        QVERIFY(fails(BrinmoorWaveFile()));
    }

    // Calls out of turn fail with a reason and do nothing: reading what is not open or open for
    // writing, writing what is not open or open for reading, a second reader of nothing.
    void outOfTurn()
    {
        QVERIFY(writeFile(path("turn.rec"), brinmoorBytes(sine(100, 0.5))) &&
                writeFile(path("turn.wav"),
                          canonicalHeader(16, 2, 44100, 400) + QByteArray(400, 1)));
        const auto check = [&](auto &&file, const QString &name) {
            Frame f{};
            bool ok = true;
            const bool closed = file.readFrames(&f, 1) == -1 && !file.writeFrames(&f, 1) &&
                    file.measurePeak(ok) == 1.0 && !ok && !file.seekFrame(0) &&
                    !file.commitFrames(1) && file.totalFrames() == 0 &&
                    !file.errorString().isEmpty();
            return closed && file.open(path(name), QIODevice::ReadOnly) &&
                    file.readFrames(&f, 0) == 0 && !file.writeFrames(&f, 1) &&
                    !file.seekFrame(-1) && !file.commitFrames(1, 1) && file.close();
        };
        QVERIFY(check(StandardWaveFile(), "turn.wav"));
        QVERIFY(!StandardWaveFile().open(path("turn.wav"), QIODevice::ReadWrite));
        QVERIFY(check(BrinmoorWaveFile(), "turn.rec"));
        QVERIFY(!BrinmoorWaveFile().frameSpace(1));
        QVERIFY(!StandardWaveFile().open(std::make_unique<QBuffer>()) &&
                !BrinmoorWaveFile().open(std::make_unique<QBuffer>()) &&
                !SoundFile().open(std::make_unique<QBuffer>()));
        float sample = 0;
        QCOMPARE(MpegAudio().read(&sample, 1), -1);
        SoundFile other;
        Frame f{};
        bool ok = true;
        QVERIFY(other.measurePeak(ok) == 1.0 && !ok);
        QVERIFY(!other.open(path("turn.wav"), QIODevice::WriteOnly) &&
                !other.open(path("missing.flac"), QIODevice::ReadOnly) &&
                other.readFrames(&f, 1) == -1 && other.totalFrames() == 0);
        FlacFile flac;
        QVERIFY(!flac.open(path("turn.flac"), QIODevice::ReadOnly) && !flac.writeFrames(&f, 1) &&
                flac.close());
        StandardWaveFile standard;
        BrinmoorWaveFile recording;
        QVERIFY(!standard.openSameFile(StandardWaveFile()) &&
                !recording.openSameFile(BrinmoorWaveFile()));
    }

    void peakThenRead()
    {
        // A trailing partial frame holding a large value is neither peak nor audio, nor is NaN,
        // which reads as the negative limit, nor a value beyond +24 dBFS; the rate is the header's.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(writeFile(path("p.wav"),
                          brinmoorBytes({{0.5, -0.75}, {0.1, nan}, {-20.0, 0.0}}, 48000) +
                                  le64(9.0)));
        BrinmoorWaveFile in;
        QVERIFY(in.open(path("p.wav"), QIODevice::ReadOnly));
        QCOMPARE(in.sampleRate(), 48000.0);
        QCOMPARE(in.totalFrames(), qint64(3));
        Frame first;
        QCOMPARE(in.readFrames(&first, 1), 1); // the peak scan must not depend on the position
        bool ok = false;
        QCOMPARE(bitsOf(in.measurePeak(ok)), bitsOf(0.75));
        QVERIFY(ok);
        QCOMPARE(in.damagedValues(), qint64(2));
        std::vector<Frame> frames(200, Frame{5.0, 5.0});
        QCOMPARE(in.readFrames(frames.data(), 200), 200);
        std::vector<Frame> expected(200, Frame{0.0, 0.0});
        expected[0] = {0.5, -0.75};
        expected[1] = {0.1, -BrinmoorWaveFile::clampLimit};
        expected[2] = {-BrinmoorWaveFile::clampLimit, 0.0};
        QCOMPARE(brinmoorBytes(frames), brinmoorBytes(expected)); // to the bit
        QCOMPARE(in.readFrames(frames.data(), 200), 0);

        // For a float destination the levels past full scale stay; damage is
        // limited all the same, also when rounded for the stage.
        QVERIFY(writeFile(path("p.wav"),
                          brinmoorBytes({{1.5, -0.75}, {0.1, nan}, {-20.0, -16.0}}, 48000)));
        QVERIFY(in.open(path("p.wav"), QIODevice::ReadOnly));
        in.keepOvers(true);
        expected[0] = {1.5, -0.75};
        expected[2] = {-BrinmoorWaveFile::clampLimit, -16.0};
        QCOMPARE(in.readFrames(frames.data(), 200), 200);
        QCOMPARE(brinmoorBytes(frames), brinmoorBytes(expected));
        QVERIFY(in.seekFrame(0));
        QCOMPARE(in.readFramesRounded(frames.data(), 3), 3);
        roundToSingle(expected.data(), 3);
        QCOMPARE(brinmoorBytes({frames.begin(), frames.begin() + 3}),
                 brinmoorBytes({expected.begin(), expected.begin() + 3}));
        QVERIFY(in.close());
    }
};

QTEST_GUILESS_MAIN(TestWaveFiles)
#include "tst_wavefiles.moc"
