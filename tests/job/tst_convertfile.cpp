#include "fuzztargets.h"
#include "testsupport.h"

#include "converter/batch.h"
#include "converter/convertfile.h"
#include "wave/recognize.h"
#include "words/words.h"

#include <QThread>

#include <cmath>
#include <future>
#include <limits>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace support;

namespace {

// The stage's filter passes low frequencies about 2.75 times too loud (its
// window's normalisation is never divided out); at 1 kHz it is within
// 0.05 % of that: 2.7506 from 44100 Hz, 2.7503 from 39062.5 Hz.
constexpr double filterGainFrom44100 = 2.7506;
constexpr double filterGainFrom39062 = 2.7503;

// Set in a process that runs a row without libraries, to the search path
// of libraries it would have had.
constexpr const char *brokenLibrariesVariable = "QUORVIA_TEST_WITHOUT_LIBRARIES";

// More than the readers buffer, so that a source cut short midway is noticed.
constexpr int toneFrames = 88200;

using Entry = QString (*)(const char *, std::size_t);

struct Job
{
    QString name;
    Direction type;
    QByteArray bytes; // the source
    ConvertError error = ConvertError::None;
    // What is done to the source or the destination before the run, or at
    // progress call atCall (from 1; -1: the last) during it.
    QString act = {};
    int atCall = 0;
    QString reason = {};   // part of the reason given, or the only warning of a success
    int frames = -1;       // written; -1: no more than the recording and the filter's tail
    double rms = 0.0;      // of the output away from its ends; 0: not measured
    Entry entry = nullptr; // a committed fuzz input, through a fuzz entry point
    QByteArray other = {}; // "replace": the recording renamed over the source;
                           // "decoded": the source decoded by another decoder
};

// A sine tone through the high-quality mode, and its level after the
// conversion over the source's in dB; NaN when nothing may come out.
struct Tone
{
    QString name;
    Direction type;
    double frequency;
    double amplitude; // of the source
    double levelDb;
    // What a standard destination holds, and how ffprobe names its samples
    // (or the reader a source's in another encoding).
    StandardFormat format = {};
    QString codec = "pcm_s24le";
    // Spurious tones and noise at least this far below the tone.
    double floorDb = -120;
    ResamplingQuality quality = ResamplingQuality::High;
    // A standard source in another WAVE encoding (sox's -e) at 8000 Hz, one
    // channel: the frames its encoder adds to fill its last block, which
    // decode too, and how far its level may be off, in dB.
    QString encoding = {};
    int padded = 0;
    double toleranceDb = 0.05;
};

constexpr double pi = 3.14159265358979323846;

double dB(double ratio)
{
    return 20 * std::log10(ratio);
}

// Fits a sine advancing w radians a frame to the left values of n frames,
// by least squares: its amplitude, and the RMS of what is left over.
std::pair<double, double> fitSine(const Frame *x, int n, double w)
{
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
    for (int i = 0; i < n; ++i) {
        const double c = std::cos(w * i), s = std::sin(w * i);
        cc += c * c, ss += s * s, cs += c * s, xc += x[i].left * c, xs += x[i].left * s;
    }
    const double a = (xc * ss - xs * cs) / (cc * ss - cs * cs);
    const double b = (xs * cc - xc * cs) / (cc * ss - cs * cs);
    double rest = 0;
    for (int i = 0; i < n; ++i)
        rest += std::pow(x[i].left - a * std::cos(w * i) - b * std::sin(w * i), 2);
    return {std::hypot(a, b), std::sqrt(rest / n)};
}

// A 32-bit float stereo file at 44100 Hz (native floats, as framesOf() reads).
QByteArray floatWave(const std::vector<Frame> &frames)
{
    QByteArray bytes = canonicalHeader(32, 2, 44100, quint32(8 * frames.size()), 3);
    for (const Frame &f : frames)
        for (const float v : {float(f.left), float(f.right)})
            bytes.append(reinterpret_cast<const char *>(&v), 4);
    return bytes;
}

// Descriptors of this process open on `file` (as stat() gave it).
int descriptorsOn(const struct stat &file)
{
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd :
         fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        struct stat open;
        n += ::stat(qPrintable(fds.filePath(fd)), &open) == 0 && open.st_dev == file.st_dev &&
                open.st_ino == file.st_ino;
    }
    return n;
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

Q_DECLARE_METATYPE(Job)
Q_DECLARE_METATYPE(Tone)

// Every source, clean or hostile, is converted soundly or refused with a
// reason; a failure leaves the destination as it was and nothing beside it.
class TestConvertFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void jobs_data()
    {
        const Direction S = Direction::StandardToBrinmoor;
        const Direction B = Direction::BrinmoorToStandard;
        const ConvertError ok = ConvertError::None;
        const ConvertError format = ConvertError::SourceFormat;
        const ConvertError same = ConvertError::SameFile;
        // A sine's RMS is its amplitude / sqrt(2); sox's full scale is a hair below 1. Whole
        // blocks, so that the end of the recording leaves the filter in the flush.
        const double sineRms = 1.0 / std::sqrt(2.0);
        const double fromStandard = sineRms * 0.3 * filterGainFrom44100;
        const double toStandard = sineRms * 0.33 * filterGainFrom39062;
        const auto tone = [this](double rate, int frames, int bits = 24) {
            const QString path = dir.filePath("tone.wav");
            return soxTone(path, rate, QString("%1s").arg(frames), bits) ? readFile(path)
                                                                         : QByteArray();
        };
        const QByteArray standard = tone(44100, toneFrames, 16); // canonical header
        const QByteArray brinmoor = brinmoorBytes(sine(toneFrames, 0.5));
        // The tone made into another format, by sox unless another command
        // is given: IN and OUT stand for the files.
        const auto made = [this](const QByteArray &bytes, const QString &suffix,
                                 QStringList command = {"sox", "-R", "IN", "OUT"}) {
            const QString in = dir.filePath("tone.wav");
            const QString out = dir.filePath("made." + suffix);
            QFile::remove(out);
            command.replaceInStrings(QRegularExpression("^IN$"), in)
                    .replaceInStrings(QRegularExpression("^OUT$"), out);
            return writeFile(in, bytes) && !output(command).isNull() ? readFile(out) : QByteArray();
        };
        const auto ffmpeg = [](const QStringList &options) {
            return QStringList{"ffmpeg", "-v", "error", "-i", "IN"} + options + QStringList{"OUT"};
        };
        const QByteArray flac = made(standard, "flac");
        // A square wave, drawn by sox from nothing.
        const QByteArray square =
                made({}, "wav",
                     {"sox", "-R", "-r", "44100", "-c", "2", "-n", "-b", "24", "-t", "wavpcm",
                      "OUT", "synth", "88200s", "square", "1000", "vol", "-0.1dB"});
        QByteArray damagedFlac = flac;
        for (int i = flac.size() / 2; i < flac.size() / 2 + 64; ++i)
            damagedFlac[i] = char(flac[i] ^ 0x5a);
        // Its variable bit rate misleads the estimate of its length.
        const QByteArray mp3 = made(
                standard, "mp3", ffmpeg({"-c:a", "libmp3lame", "-q:a", "4", "-write_xing", "0"}));
        const QByteArray mp3Counted = made(standard, "mp3", ffmpeg({"-c:a", "libmp3lame"}));
        const QByteArray mp3Low = made(
                standard, "mp3",
                ffmpeg({"-ar", "22050", "-ac", "1", "-c:a", "libmp3lame", "-write_xing", "0"}));
        // An APE tag of the first version (items, then a footer) whose
        // picture holds bytes that pass for frames, then an ID3v1 tag.
        const QByteArray picture = mp3Counted.mid(mp3Counted.size() / 4, 20000);
        const QByteArray apeTag = picture + "APETAGEX" + le32(1000) +
                le32(quint32(picture.size() + 32)) + le32(1) + le32(0) + QByteArray(8, '\0') +
                "TAG" + QByteArray(125, ' ');
        const QByteArray floatNan =
                patched(floatWave(sine(toneFrames, 0.5, 44100)), 44 + 8 * (toneFrames - 882),
                        QByteArray("\0\0\xc0\x7f", 4));
        const QByteArray aiff = made(standard, "aiff");
        const QByteArray caf =
                made(floatWave(sine(44000, 2.0, 44100)), "caf", ffmpeg({"-c:a", "pcm_f32be"}));
        // Neither a tag nor a header that counts its frames: frames from the start.
        const QByteArray mp3Bare =
                made(standard, "mp3",
                     ffmpeg({"-c:a", "libmp3lame", "-id3v2_version", "0", "-write_xing", "0"}));
        const QByteArray vorbis = made(standard, "ogg");
        const QByteArray opus = made(standard, "opus", ffmpeg({"-c:a", "libopus"}));
        // Long enough to be converted in two parts at once.
        const int longFrames = (1 << 17) + 4321;
        std::vector<Frame> lateLoud = sine(longFrames, 0.5);
        for (size_t i = lateLoud.size() * 9 / 10; i < lateLoud.size(); ++i)
            lateLoud[i].left *= 3.0;
        // Damaged just before the frame where the second part starts, which
        // that part reads to set its filter up, and within the second part.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const QByteArray twiceDamaged =
                patched(patched(brinmoorBytes(sine(longFrames, 0.5)), 44 + 16 * 67596, le64(nan)),
                        44 + 16 * (longFrames - 1000), le64(nan));
        // frames: ceil((200 * ceil(N / 200) + 1000) * destination rate / source rate)
        std::vector<Job> table{
                {"44100 Hz, 400 frames", S, tone(44100, 400), ok, "", 0, "", 1241},
                {"44100 Hz, 401 frames", S, tone(44100, 401), ok, "", 0, "", 1418},
                // The frame of silence that completes the last block adds no output.
                {"44100 Hz, 1199 frames", S, tone(44100, 1199), ok, "", 0, "", 1949},
                {"8000 Hz, one frame", S, tone(8000, 1), ok, "", 0, "", 5860},
                {"standard without data", S, canonicalHeader(24, 2, 44100, 0), ok, "", 0, "", 886},
                {"Brinmoor-WAVE without data", B, brinmoorBytes({}), ok, "", 0, "", 1129},
                {"Brinmoor-WAVE without data, high quality", B, brinmoorBytes({}), ok, "high", 0,
                 "", 0},
                {"Brinmoor-WAVE without data, high quality, to FLAC", B, brinmoorBytes({}), ok,
                 "flac high", 0, "", 0},
                // Kept above full scale, and told.
                {"square wave at -0.1 dBFS, high quality", S, square, ok, "high", 0,
                 "values above full scale, up to 1"},
                {"Brinmoor-WAVE, 450 frames", B, brinmoorBytes(sine(450, 0.5)), ok, "", 0, "",
                 1807},
                {"standard, full scale", S, tone(44100, 44000), ok, "", 0, "", 39860, fromStandard},
                {"Brinmoor-WAVE, full scale", B, brinmoorBytes(sine(39000, 1.0)), ok, "", 0, "",
                 45159, toStandard},
                // Scaled down by its peak, not clipped: still a sine.
                {"Brinmoor-WAVE, peak 2.0", B, brinmoorBytes(sine(39000, 2.0)), ok, "", 0, "",
                 45159, toStandard},
                {"float, peak 2.0", S, floatWave(sine(44000, 2.0, 44100)), ok, "", 0, "", 39860,
                 fromStandard},
                // Its peak is measured first: a cancel or a cut there ends it.
                {"float, cancelled while its peak is measured", S,
                 floatWave(sine(44000, 2.0, 44100)), ConvertError::Cancelled, "cancel", 1},
                {"float, truncated while its peak is measured", S,
                 floatWave(sine(44000, 2.0, 44100)), ConvertError::Read, "truncate", 1},
                // NaN is silence, not a click: here where the sine crosses zero,
                // in the stretch whose peak is measured.
                {"float, NaN", S, floatNan, ok, "", 0, "1 damaged value", -1, 0.5 * fromStandard},
                {"CAF float, NaN", S, made(floatNan, "caf", ffmpeg({"-c:a", "pcm_f32be"})), ok, "",
                 0, "1 damaged value", -1, 0.5 * fromStandard},
                // Other formats are told by their content, not their name.
                {"CAF float, peak 2.0", S, caf, ok, "", 0, "", 39860, fromStandard},
                {"CAF float, cancelled while its peak is measured", S, caf, ConvertError::Cancelled,
                 "cancel", 1},
                {"FLAC source", S, flac, ok, "", 0, "", -1, fromStandard},
                // Other formats take the job's general loop: its cancel, and a
                // last block whose completing frame of silence adds no output.
                {"FLAC source, cancelled at the last block", S, flac, ConvertError::Cancelled,
                 "cancel", -1},
                {"FLAC source, 1199 frames", S, made(tone(44100, 1199), "flac"), ok, "", 0, "",
                 1949},
                {"FLAC source, damaged", S, damagedFlac, ConvertError::Read, "", 0, "cannot read"},
                {"AIFF source, truncated midway", S, aiff, ConvertError::Read, "truncate", 100},
                {"AIFF source, nothing behind its header", S, aiff.left(aiff.indexOf("SSND") + 16),
                 ConvertError::Read, "", 0, "no audio could be decoded"},
                // All that decodes is converted, whatever the stream's frame
                // count (its low 32 bits, big-endian) says.
                {"FLAC source, short of its frame count", S,
                 patched(flac, 22, QByteArray::fromHex("0002b110")), ok, "", 0,
                 "holds 88200 of the 176400 frames its header announces"},
                {"FLAC source, longer than its frame count", S,
                 patched(flac, 22, QByteArray::fromHex("000003e8")), ok, "", 0,
                 "holds 88200 frames, 87200 more than its header announces", -1, fromStandard},
                // Decoded to its end, where the estimate of its length falls
                // short, as another decoder decodes it.
                {"MP3 source without a length header", S, mp3, ok, "decoded", 0, "", -1, 0.0,
                 nullptr, made(mp3, "wav", ffmpeg({"-c:a", "pcm_f32le"}))},
                // A first frame whose bit rate is no bit rate: the rest decodes.
                {"MP3 source, its first frame damaged", S, patched(mp3Bare, 2, "\xf0"), ok},
                // A stream whose writer could not go back to count its frames.
                {"FLAC source, streamed", S,
                 made(standard, "flac",
                      {"sh", "-c", "ffmpeg -v error -i \"$0\" -f flac - >\"$1\"", "IN", "OUT"}),
                 ok, "", 0, "", -1, fromStandard},
                {"two bytes", S, "ab", ConvertError::SourceFormat},
                {"MP3 source, its tag alone", S, mp3Counted.left(20), ConvertError::SourceFormat,
                 "", 0, "no audio could be decoded"},
                {"MP3 source, cut short", S, mp3Counted.left(mp3Counted.size() / 2), ok, "", 0,
                 "of the 88200 frames its header announces"},
                // Tags are not audio.
                {"MP3 source, a tag of 20 KB behind its frames", S,
                 mp3Counted + "APETAGEX" + QByteArray(20000, 'x'), ok},
                {"MP3 source, a picture in a tag behind its frames", S, mp3Counted + apeTag, ok},
                // Flags the decoder cannot parse; its own decoder would say so on stderr.
                {"MP3 source, an ID3v2 tag with unknown flags", S,
                 patched(mp3Counted, 5, QByteArray::fromHex("5b")), ok},
                {"MP3 source, another stream joined on", S, mp3Counted + mp3, ok, "", 0,
                 "more than its header announces"},
                {"MP3 source, a stream at another rate joined on", S, mp3Counted + mp3Low, ok, "",
                 0, "of another sample rate or channel count than the stream's were left out"},
                {"Ogg Vorbis source, cut short", S, vorbis.chopped(1), ok, "", 0,
                 "without its last page"},
                {"Opus source, cut short", S, opus.left(opus.size() / 2), ok, "", 0,
                 "without its last page"},
                {"FLAC destination", B, brinmoorBytes(sine(39000, 0.5)), ok, "flac", 0, "", 45159,
                 0.5 * toStandard},
                {"Ogg destination", B, brinmoorBytes({}), ConvertError::DestinationFormat, "ogg", 0,
                 ".ogg files cannot be written"},
                {"recording named .flac", S, tone(44100, 400), ConvertError::DestinationFormat,
                 "flac", 0, "name the destination .wav"},
                {"standard, in two parts", S, tone(44100, longFrames), ok, "parts", 0, "", 120820},
                // The high-quality stage's state is its library's: one part.
                {"standard, long, in high quality", S, tone(44100, longFrames), ok, "high", 0,
                 "from the filter's ringing", 119927},
                // Every part reads the file first opened, whatever its name stands for since.
                {"float, in two parts, replaced during its peak scan", S,
                 floatWave(sine(longFrames, 0.5, 44100)), ok, "replace parts", 1, "", 120820, 0.0,
                 nullptr, floatWave(sine(longFrames, 0.5, 44100, 440))},
                {"Ogg Vorbis source, replaced during its peak scan", S, vorbis, ok, "replace", 1,
                 "", -1, 0.0, nullptr, made(floatWave(sine(toneFrames, 0.5, 44100, 440)), "ogg")},
                {"Brinmoor-WAVE, in two parts, replaced during its first pass", B,
                 brinmoorBytes(lateLoud), ok, "replace parts", 2, "", 153991, 0.0, nullptr,
                 brinmoorBytes(sine(longFrames, 0.5, 39062.5, 440))},
                // Above full scale only near its end.
                {"Brinmoor-WAVE, in two parts", B, brinmoorBytes(lateLoud), ok, "parts", 0, "",
                 153991},
                {"Brinmoor-WAVE, in two parts, damaged", B, twiceDamaged, ok, "parts", 0,
                 "2 damaged values", 153991},
        };
        // Containers of plain samples cut short: libsndfile counts only the
        // frames there, the header tells how many there were.
        for (const char *suffix : {"aiff", "aifc", "au", "w64"}) {
            const QByteArray plain = made(standard, suffix);
            table.push_back({QString("%1 source, cut short").arg(suffix), S,
                             plain.left(plain.size() - 4 * 38200), ok, "", 0,
                             "of the 88200 frames its header announces"});
        }
        const double level = 0.5 * toStandard; // of the Brinmoor-WAVE tone
        for (const Direction type : {S, B}) {
            const QByteArray &x = type == S ? standard : brinmoor;
            const QString t = type == S ? "standard, " : "Brinmoor-WAVE, ";
            for (const quint32 rate : {0u, 1u, 0xffffffffu})
                table.push_back({t + QString("rate %1").arg(rate), type, patched(x, 24, le32(rate)),
                                 ConvertError::UnsupportedRate});
            table.push_back({t + "rate 4294967295, high quality", type,
                             patched(x, 24, le32(0xffffffffu)), ConvertError::UnsupportedRate,
                             "high"});
            table.insert(
                    table.end(),
                    {{t + "unchanged", type, x, ok, "", 0, "", -1,
                      type == S ? fromStandard : level},
                     // A recording is told by its samples, whatever its header says.
                     {t + "0 channels", type, patched(x, 22, le16(0)), type == S ? format : ok},
                     {t + "blockAlign 0", type, patched(x, 32, le16(0)), ok},
                     {t + "data size 0xFFFFFFFF", type, patched(x, 40, le32(0xffffffffu)), ok, "",
                      0, type == S ? "" : "holds 88200 of the 536870911 frames"},
                     {t + "a FIFO", type, x, ConvertError::SourceOpen, "fifo", 0,
                      "not a regular file"},
                     {t + "destination a FIFO", type, x, ConvertError::DestinationOpen,
                      "fifo destination", 0, "not a regular file"},
                     {t + "destination a symlink to another file", type, x, ok,
                      "linked destination"},
                     {t + "destination name that cannot be encoded", type, x,
                      ConvertError::DestinationOpen, "unencodable", 0, "encoding"},
                     {t + "source name that cannot be encoded", type, x, ConvertError::SourceOpen,
                      "unencodable source", 0, "encoding"},
                     {t + "truncated midway", type, x, ConvertError::Read, "truncate", 100},
                     // The open file still reads whole: the conversion completes.
                     {t + "deleted midway", type, x, ok, "delete", 100, "", -1,
                      type == S ? fromStandard : level},
                     {t + "cancelled at the first block", type, x, ConvertError::Cancelled,
                      "cancel", 1},
                     {t + "cancelled at the last block", type, x, ConvertError::Cancelled, "cancel",
                      -1},
                     {t + "a directory", type, x, ConvertError::SourceOpen, "directory"},
                     {t + "missing", type, x, ConvertError::SourceOpen, "missing", 0,
                      "No such file or directory"},
                     {t + "no such destination directory", type, x, ConvertError::DestinationOpen,
                      "no directory", 0, "cannot write"},
                     {t + "destination the source spelled another way", type, x, same, "spelling",
                      0, "same file"},
                     {t + "destination a symlink to the source", type, x, same, "symlink"},
                     {t + "destination a hard link to the source", type, x, same, "hard link"}});
        }
        const QByteArray &s = standard;
        const QByteArray junk = "JUNK" + le32(0xffffffffu) + QByteArray(16, 'x');
        table.insert(
                table.end(),
                {{"rate 39062", S, patched(s, 24, le32(39062)), ok},
                 // No common factor with the destination rate: the largest filter.
                 {"rate 44099", S, patched(s, 24, le32(44099)), ok},
                 {"65535 channels", S, patched(s, 22, le16(65535)), ok, "", 0,
                  "65535 channels: only channels 1 and 2 are converted"},
                 {"fmt size 0xFFFFFFFF", S, patched(s, 16, le32(0xffffffffu)), format},
                 {"data size past the end", S, patched(s, 40, le32(quint32(s.size()))), ok, "", 0,
                  "holds 88200 of the 88211 frames its header announces"},
                 {"recording cut short", B, brinmoor.left(44 + 16 * 50000), ok, "", 0,
                  "holds 50000 of the 88200 frames its header announces"},
                 {"recording extended", B, brinmoor + brinmoor.mid(44, 16 * 1000), ok, "", 0,
                  "holds 89200 frames, 1000 more than its header announces"},
                 {"data before fmt", S, s.left(12) + s.mid(36) + s.mid(12, 24), ok},
                 {"chunk size 0xFFFFFFFF before data", S, s.left(36) + junk + s.mid(36), format},
                 // An odd-sized chunk is followed by a pad byte.
                 {"odd-sized chunk before data", S,
                  s.left(36) + "LIST" + le32(3) + "abc" + '\0' + s.mid(36), ok},
                 {"header only", S, s.left(44), ok, "", 0,
                  "holds 0 of the 88200 frames its header announces"},
                 {"cut inside the header", S, s.left(30), format},
                 {"text", S, "just some text, long enough to fill a header.\n", format, "", 0,
                  "source.wav"}});
        for (const int bits : {0, 12})
            table.push_back(
                    {QString("%1 bits").arg(bits), S, patched(s, 34, le16(quint16(bits))), format});
        const double inf = std::numeric_limits<double>::infinity();
        // Damage is limited and counted: one odd sample does not change the
        // level of the rest of the recording.
        for (const double v : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e308})
            table.push_back({QString("sample %1").arg(v), B,
                             patched(brinmoor, 44 + 16 * 100, le64(v)), ok, "", 0,
                             "1 damaged value (NaN, infinite or beyond \u00b116) was limited", -1,
                             level});
        // ... in a float source too, whose peak it must not set.
        table.push_back(
                {"float sample inf", S,
                 patched(floatWave(sine(44000, 0.5, 44100)), 44 + 8 * 100, le32(0x7f800000)), ok,
                 "", 0, "1 damaged value", -1, 0.5 * fromStandard});

        // The fuzzers' seeds and every input that once found a fault, through
        // their entry points: a fault found by fuzzing stays fixed.
        const std::pair<const char *, Entry> targets[] = {{"standardwave", &fuzz::standardWave},
                                                          {"brinmoorwave", &fuzz::brinmoorWave},
                                                          {"soundfile", &fuzz::soundFile},
                                                          {"convert", &fuzz::convert}};
        for (const auto &[target, entry] : targets) {
            for (const char *kind : {"corpus", "regressions"}) {
                const QDir inputs(QStringLiteral(FUZZ_INPUT_DIR "/%1/%2").arg(kind, target));
                for (const QString &name : inputs.entryList(QDir::Files, QDir::Name))
                    table.push_back({QString("%1/%2/%3").arg(kind, target, name), S,
                                     readFile(inputs.filePath(name)), ok, "", 0, "", -1, 0.0,
                                     entry});
            }
        }
        if (!table.back().entry)
            qFatal("no fuzz inputs under %s", FUZZ_INPUT_DIR);
        rows(table);
    }

    // A batch ends where a task was stopped: no later task runs, or fails.
    void batchStopsWhereATaskWasStopped()
    {
        QTemporaryDir work;
        const QString tone = work.filePath("tone.wav");
        QVERIFY(soxTone(tone, 44100, "1"));
        Batch batch({{tone, work.filePath("a.wav")},
                     {work.filePath("missing.wav"), work.filePath("b.wav")}});
        BatchOptions options;
        options.progress = [](size_t, double, const BatchProgress &) { return false; };
        std::vector<TaskOutcome> told;
        options.finished = [&told](size_t, const TaskEnd &end) { told.push_back(end.outcome); };
        runBatch(batch, options);
        QVERIFY(told == std::vector<TaskOutcome>{TaskOutcome::Stopped});
        QCOMPARE(batch.notStartedCount(), 2);
        QVERIFY(!QFileInfo::exists(work.filePath("a.wav")));
    }

    // one.wav and one.rec into one folder under -j 2: the later waits for the earlier, is refused
    // as written already, and the earlier's output stays. The earlier is held until the other
    // worker asks to stop, which it does under the batch's lock just before it takes the later: had
    // it not waited, it would have been checked before the earlier was counted.
    void batchTaskWaitsForAnEarlierOneWithItsDestination()
    {
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath("out") &&
                soxTone(work.filePath("one.wav"), 44100, "1000s") &&
                writeFile(work.filePath("one.rec"), brinmoorBytes(sine(1000, 0.5))));
        Batch batch = Batch::intoFolder({work.filePath("one.wav"), work.filePath("one.rec")},
                                        work.filePath("out"));
        int asks = 0; // under the batch's lock, before each task is taken
        std::promise<void> secondAsk;
        const std::future<void> asked = secondAsk.get_future();
        BatchOptions options;
        options.jobs = 2;
        options.stopRequested = [&] {
            if (++asks == 2)
                secondAsk.set_value();
            return false;
        };
        options.started = [&](size_t task) {
            if (task == 0)
                asked.wait();
        };
        std::vector<TaskEnd> told;
        options.finished = [&told](size_t, const TaskEnd &end) { told.push_back(end); };
        runBatch(batch, options);
        QVERIFY(told.size() == 2 && told[1].clash &&
                told[1].clash->kind == Batch::Clash::AlreadyWritten);
        QCOMPARE(recognizeWave(work.filePath("out/one.wav")).layout, WaveLayout::Brinmoor);
    }

    void jobs()
    {
        QFETCH(Job, row);
        convert(row);
    }

    // Libraries that cannot be loaded are told as such, and what needs none is converted without
    // them. A process binds each library once: each row runs in another one, whose loader first
    // finds files of the libraries' names that are no libraries, as where they are broken.
    void withoutLibraries_data()
    {
        // Such a process gives the tools it starts the search path they had:
        // its own loader keeps the one it started with.
        if (qEnvironmentVariableIsSet(brokenLibrariesVariable)) {
            const QByteArray path = qgetenv(brokenLibrariesVariable);
            path.isEmpty() ? qunsetenv("LD_LIBRARY_PATH") : qputenv("LD_LIBRARY_PATH", path);
        }
        const Direction S = Direction::StandardToBrinmoor;
        const Direction B = Direction::BrinmoorToStandard;
        const ConvertError missing = ConvertError::LibraryMissing;
        const QString wave = dir.filePath("library.wav");
        const QString flac = dir.filePath("library.flac");
        const QString mp3 = dir.filePath("library.mp3");
        QVERIFY(soxTone(wave, 44100, "400s", 16) && !output({"sox", "-R", wave, flac}).isNull() &&
                !output({"ffmpeg", "-v", "error", "-y", "-i", wave, "-c:a", "libmp3lame", mp3})
                         .isNull());
        const QByteArray recording = brinmoorBytes(sine(450, 0.5));
        rows<Job>({
                {"WAVE files", S, readFile(wave), ConvertError::None, "", 0, "", 1241},
                {"high quality", B, recording, missing, "high", 0,
                 "the high-quality mode is unavailable"},
                {"FLAC source", S, readFile(flac), missing, "", 0,
                 "source.wav: other audio formats are unavailable"},
                {"MP3 source", S, readFile(mp3), missing, "", 0,
                 "MP3 and other MPEG audio cannot be read"},
                {"FLAC destination", B, recording, missing, "flac", 0, "cannot write"},
                // An MP3 file needs only its own decoder, left whole ("mp3").
                {"MP3 source, its decoder there", S, readFile(mp3), ConvertError::None, "mp3"},
        });
    }

    void withoutLibraries()
    {
        QFETCH(Job, row);
        if (qEnvironmentVariableIsSet(brokenLibrariesVariable)) {
            convert(row);
            return;
        }
        QTemporaryDir broken;
        QStringList names{"libsoxr.so.0", "libsndfile.so.1"};
        if (row.act != "mp3")
            names << "libmpg123.so.0";
        for (const QString &name : names)
            QVERIFY(writeFile(broken.filePath(name), "no library"));
        // The other process passes quietly a row it does not find: it must
        // say that it passed this one.
        const QString path = qEnvironmentVariable("LD_LIBRARY_PATH");
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        const Run r =
                run({"env", "LD_LIBRARY_PATH=" + broken.path() + (path.isEmpty() ? "" : ":" + path),
                     QStringLiteral("%1=%2").arg(brokenLibrariesVariable, path),
                     QCoreApplication::applicationFilePath(), "withoutLibraries:" + tag});
        QVERIFY2(r.exitCode == 0 &&
                         r.out.contains("PASS   : TestConvertFile::withoutLibraries(" +
                                        tag.toUtf8() + ")"),
                 r.out + r.err);
    }

private:
    // Converts the row's source as the row says, and checks the result.
    void convert(Job row)
    {
        if (row.entry) {
            const QString fault = row.entry(row.bytes.constData(), std::size_t(row.bytes.size()));
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            return;
        }
        QTemporaryDir work;
        QString source = work.filePath(QStringLiteral("source.wav"));
        const QString out = work.filePath(QStringLiteral("out"));
        QString destination = out + QStringLiteral("/destination.wav");
        QVERIFY(writeFile(source, row.bytes) && QDir().mkdir(out));
        QVERIFY(writeFile(destination, "an earlier conversion"));
        const QString reference = work.filePath(QStringLiteral("reference.wav"));
        int calls = 0;
        ConvertOptions options;
        options.progress = [&calls](double) { return ++calls > 0; };
        if (row.act.contains("high"))
            options.quality = ResamplingQuality::High;
        const bool compared = row.act.startsWith("replace") || row.act == "parts";
        if (row.act == "delete" || compared || row.atCall < 0) {
            options.parallel = row.act != "parts";
            const ConvertResult made = convertFile(source, reference, row.type, options);
            QVERIFY2(made.ok(), qPrintable(made.reason));
            options.parallel = true;
            row.atCall = row.atCall < 0 ? calls : row.atCall;
        }
        if (row.act == "directory")
            QVERIFY(QFile::remove(source) && QDir().mkdir(source));
        else if (row.act == "missing")
            QVERIFY(QFile::remove(source));
        else if (row.act == "no directory")
            destination = out + "/missing/destination.wav";
        else if (row.act == "spelling")
            destination = out + "/../source.wav";
        else if (row.act == "symlink")
            QVERIFY(QFile::remove(destination) && QFile::link(source, destination));
        else if (row.act.startsWith("flac") || row.act == "ogg")
            QVERIFY(writeFile(destination = out + "/destination." + row.act.section(' ', 0, 0),
                              "an earlier one"));
        else if (row.act == "hard link")
            QVERIFY(QFile::remove(destination) &&
                    ::link(qPrintable(source), qPrintable(destination)) == 0);
        else if (row.act.startsWith("fifo"))
            QVERIFY(QFile::remove(row.act == "fifo" ? source : destination) &&
                    ::mkfifo(qPrintable(row.act == "fifo" ? source : destination), 0600) == 0);
        else if (row.act == "linked destination")
            QVERIFY(QFile::rename(destination, out + "/target.wav") &&
                    QFile::link(out + "/target.wav", destination));
        else if (row.act == "unencodable")
            destination = out + "/name" + QChar(0xd800) + ".wav";
        else if (row.act == "unencodable source")
            source = work.filePath(QStringLiteral("name") + QChar(0xd800) + ".wav");
        // Opening a FIFO to read it would wait for a writer.
        const QByteArray sourceBefore = row.act == "fifo" ? "" : readFile(source);
        const QByteArray destinationBefore =
                row.act.startsWith("fifo") ? "" : readFile(destination);
        const QStringList namesBefore = strayFiles(out);

        const QString other = work.filePath(QStringLiteral("other.wav"));
        QVERIFY(row.other.isEmpty() || writeFile(other, row.other));
        struct stat opened = {};
        QVERIFY(row.act.startsWith("fifo") || row.act == "missing" || row.act.endsWith("source") ||
                ::stat(qPrintable(source), &opened) == 0);
        // Two parts read the source at once through two descriptors.
        const bool parts = row.act.endsWith("parts");
        int mostDescriptors = 0;
        bool renamed = false;
        calls = 0;
        options.progress = [&](double) {
            if (parts)
                mostDescriptors = std::max(mostDescriptors, descriptorsOn(opened));
            if (++calls != row.atCall)
                return true;
            if (row.act.startsWith("replace"))
                renamed = ::rename(qPrintable(other), qPrintable(source)) == 0;
            if (row.act == "truncate")
                QFile::resize(source, 44 + 1000);
            else if (row.act == "delete")
                QFile::remove(source);
            return row.act != "cancel";
        };
        const long rssBefore = peakRssKiB();
        // What the libraries of other formats would print lands in a file,
        // which must stay empty: their words reach the user only in reasons.
        const bool library = !row.bytes.startsWith("RIFF");
        const QString printed = work.filePath(QStringLiteral("stderr"));
        const int terminal = library ? ::dup(STDERR_FILENO) : -1;
        if (library) {
            const int to = ::open(qPrintable(printed), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            QVERIFY(terminal >= 0 && to >= 0 && ::dup2(to, STDERR_FILENO) >= 0);
            ::close(to);
        }
        const ConvertResult result = convertFile(source, destination, row.type, options);
        if (library) {
            ::dup2(terminal, STDERR_FILENO);
            ::close(terminal);
            QCOMPARE(readFile(printed), QByteArray());
        }
        // The largest filter the stage designs takes some tens of megabytes.
        QVERIFY(peakRssKiB() - rssBefore < 256 * 1024);
        QCOMPARE(strayFiles(out, namesBefore), QStringList());
        QVERIFY2(result.error == row.error, qPrintable(result.reason));
        if (!result.ok()) {
            QVERIFY2(!result.reason.isEmpty() && result.reason.contains(row.reason),
                     qPrintable(result.reason));
            QCOMPARE(strayFiles(out), namesBefore);
            if (row.act.startsWith("fifo"))
                return;
            QCOMPARE(readFile(destination), destinationBefore);
            QVERIFY(row.act == "truncate" || readFile(source) == sourceBefore);
            return;
        }
        QStringList warnings;
        for (const Warning &warning : result.warnings)
            warnings << warningText(warning);
        QCOMPARE(warnings.join('\n'), warnings.value(0));
        QVERIFY2(row.reason.isEmpty() ? warnings.isEmpty() : warnings.value(0).contains(row.reason),
                 qPrintable(warnings.join('\n')));
        // Written through the link, which stays.
        QVERIFY(row.act != "linked destination" || QFileInfo(destination).isSymLink());
        // Output in proportion to the input: at most the recording plus the
        // filter's tail, resampled.
        QVERIFY(row.frames < 0 ? result.framesWritten <= 2 * (toneFrames + 1200)
                               : result.framesWritten == row.frames);
        // Converted in two parts at once (given two processors), byte for
        // byte as in one; a source replaced midway as if it had not been.
        QVERIFY(!compared || readFile(destination) == readFile(reference));
        // Within what two decoders of one stream differ by.
        if (row.act == "decoded") {
            QVERIFY(convertFile(other, reference, row.type, {}).ok());
            QCOMPARE(firstDifference(readBrinmoor(destination), readBrinmoor(reference), 1e-3),
                     QString());
        }
        QCOMPARE(renamed, row.act.startsWith("replace"));
        QVERIFY(!parts || QThread::idealThreadCount() < 2 || mostDescriptors == 2);
        const bool toStandard = row.type == Direction::BrinmoorToStandard;
        if (toStandard)
            QCOMPARE(soxi(destination), QString("%1 44100 2 24").arg(result.framesWritten));
        if (row.act.startsWith("flac")) {
            // A sound stream that decodes to the samples of the WAVE file.
            QCOMPARE(run({"flac", "-t", "-s", destination}).exitCode, 0);
            ConvertOptions same;
            same.quality = options.quality;
            QVERIFY(convertFile(source, reference, row.type, same).ok());
            QCOMPARE(soxDecode(destination), soxDecode(reference));
        } else if (toStandard) {
            QCOMPARE(readFile(destination).left(44),
                     canonicalHeader(24, 2, 44100, quint32(6 * result.framesWritten)));
        }
        // The high-quality filter has a tail of its own; its levels have a test of their own.
        if (row.act.contains("high"))
            return;
        const std::vector<Frame> output =
                toStandard ? framesOf(soxDecode(destination)) : readBrinmoor(destination);
        QCOMPARE(qint64(output.size()), result.framesWritten);
        const qint64 frames = result.framesWritten;
        // The flush behind the recording's last block: once the filter has taken in 8 frames of it,
        // silence (at least 870 frames at any rate). Away from the ends the level is the source's,
        // through the filter; the end carried out by the flush is no louder than the rest (beyond
        // the lowpass's own few per cent of overshoot).
        double sum = 0.0;
        double loudest = 0.0;
        for (qint64 i = 0; i < frames; ++i) {
            const Frame &f = output[size_t(i)];
            QVERIFY(std::isfinite(f.left) && std::isfinite(f.right));
            QVERIFY2(i < frames - 870 || (f.left == 0.0 && f.right == 0.0),
                     qPrintable(QString::number(i)));
            if (i >= 2000 && i < frames - 2000)
                sum += f.left * f.left + f.right * f.right;
            else if (i >= 2000)
                loudest = std::max({loudest, std::abs(f.left), std::abs(f.right)});
        }
        const double measured = std::sqrt(sum / double(2 * (frames - 4000)));
        QVERIFY2(row.rms == 0.0 ||
                         (std::abs(measured / row.rms - 1.0) < 0.005 &&
                          loudest < 1.1 * std::sqrt(2.0) * row.rms),
                 qPrintable(QStringLiteral("rms %1, peak %2").arg(measured).arg(loudest)));
    }

private slots:
    void highQualityTones_data()
    {
        using Depth = StandardFormat::Depth;
        constexpr Depth Bits16 = Depth::Bits16, Bits24 = Depth::Bits24, Bits32 = Depth::Bits32,
                        Float = Depth::Float;
        const Direction S = Direction::StandardToBrinmoor;
        const Direction B = Direction::BrinmoorToStandard;
        constexpr ResamplingQuality High = ResamplingQuality::High;
        constexpr ResamplingQuality Original = ResamplingQuality::Original;
        const StandardFormat at48000{Bits24, true, 48000}, at96000{Bits24, true, 96000};
        const double original = dB(0.33 * filterGainFrom39062);
        rows<Tone>({
                {"to Brinmoor-WAVE, 1 kHz", S, 1000, 0.5, 0},
                {"to Brinmoor-WAVE, 15.6 kHz", S, 15600, 0.5, 0},
                {"to Brinmoor-WAVE, 21 kHz", S, 21000, 0.5, NAN},
                {"to standard, 1 kHz", B, 1000, 0.5, 0},
                {"to standard, 15.6 kHz", B, 15600, 0.5, 0},
                // Scaled down by its peak into full scale, not clipped.
                {"to standard, peak 1.6", B, 1000, 1.6, dB(1 / 1.6)},
                // Other rates and depths of a standard destination (dithered at 16 bits).
                {"48000 Hz", B, 1000, 0.5, 0, at48000},
                // Images of the tone past 19.5 kHz, where the band ends.
                {"88200 Hz, 15.6 kHz", B, 15600, 0.5, 0, {Bits24, true, 88200}, "pcm_s24le", -110},
                {"96000 Hz, 32 bits", B, 1000, 0.5, 0, {Bits32, true, 96000}, "pcm_s32le"},
                // Dither and rounding are noise 96 dB below full scale.
                {"16 bits", B, 1000, 0.5, 0, {Bits16}, "pcm_s16le", -85},
                // Float keeps the recording above full scale, unscaled.
                {"float, +3 dBFS", B, 1000, 1.41, 0, {Float, true, 48000}, "pcm_f32le"},
                // The original filter at the other ratios: its gains, its spurious tones.
                {"original, 48000 Hz", B, 1000, 0.5, original, at48000, "pcm_s24le", -40, Original},
                {"original, 96000 Hz", B, 1000, 0.5, original, at96000, "pcm_s24le", -40, Original},
                // Telephony's and dictation's encodings, which libsndfile
                // decodes: their own noise lies 23 to 36 dB down.
                {"u-law source", S, 1000, 0.5, 0, StandardFormat(), "WAVE, \u00b5-law", -30, High,
                 "u-law", 0, 0.1},
                {"A-law source", S, 1000, 0.5, 0, StandardFormat(), "WAVE, A-law", -30, High,
                 "a-law", 0, 0.1},
                {"IMA ADPCM source", S, 1000, 0.5, 0, StandardFormat(), "WAVE, IMA ADPCM", -20,
                 High, "ima-adpcm", 120, 0.3},
                {"MS ADPCM source", S, 1000, 0.5, 0, StandardFormat(), "WAVE, MS ADPCM", -30, High,
                 "ms-adpcm", 0, 0.1},
                {"GSM 6.10 source", S, 1000, 0.5, 0, StandardFormat(), "WAVE, GSM 6.10", -30, High,
                 "gsm-full-rate", 160, 0.3},
        });
    }

    // Flat to 0.4 times the lower rate, spurious tones and aliases at least
    // 120 dB down, and exactly the source's length converted: no tail.
    void highQualityTones()
    {
        QFETCH(Tone, row);
        const bool toStandard = row.type == Direction::BrinmoorToStandard;
        const bool encoded = !row.encoding.isEmpty();
        const double sourceRate = toStandard ? 39062.5 : encoded ? 8000 : 44100;
        const double rate = toStandard ? row.format.rate : 39062.5;
        const int frames = int(1.5 * sourceRate);
        const QString source = dir.filePath("tone.src");
        const QString destination = dir.filePath("tone.out");
        QStringList sox{"sox", "-R", "-r", QString::number(sourceRate), "-c", encoded ? "1" : "2"};
        sox << "-n"
            << (encoded ? QStringList{"-e", row.encoding, "-t", "wav"}
                        : QStringList{"-b", "24", "-t", "wavpcm"})
            << source << "synth" << QString("%1s").arg(frames) << "sine"
            << QString::number(row.frequency) << "vol" << QString::number(row.amplitude);
        if (toStandard)
            QVERIFY(writeFile(source,
                              brinmoorBytes(sine(frames, row.amplitude, 39062.5, row.frequency))));
        else
            QVERIFY(!output(sox).isNull());
        QVERIFY(!encoded || recognizeWave(source).format == row.codec);
        ConvertOptions options;
        options.quality = row.quality;
        options.standard = row.format;
        QVERIFY(convertFile(source, destination, row.type, options).ok());
        // sox would clip float samples above full scale as it decodes them.
        const std::vector<Frame> output = !toStandard ? readBrinmoor(destination)
                : row.format.isFloat()
                ? framesOf(support::output(
                          {"ffmpeg", "-v", "error", "-i", destination, "-f", "f64le", "-"}))
                : framesOf(soxDecode(destination));
        const bool original = row.quality == ResamplingQuality::Original;
        // The original filter converts whole blocks and a tail of silence.
        const qint64 length = original
                ? qint64(std::ceil(double((frames + 199) / 200 * 200 + 1000) * rate / sourceRate))
                : std::llround((frames + row.padded) * rate / sourceRate);
        QCOMPARE(qint64(output.size()), length);
        if (toStandard)
            QCOMPARE(
                    ffprobe(destination, "codec_name,sample_rate,channels,duration_ts"),
                    QString("%1,%2,2,%3").arg(row.codec).arg(row.format.rate).arg(length).toUtf8());

        // The middle second, away from the filter's start and end.
        const auto [amplitude, rest] =
                fitSine(&output[output.size() / 2 - 20000], 40000, 2 * pi * row.frequency / rate);
        const bool passes = !std::isnan(row.levelDb);
        const double level = dB(amplitude / row.amplitude);
        const double spurious = dB(rest * std::sqrt(2.0) / (passes ? amplitude : row.amplitude));
        QVERIFY2((passes ? std::abs(level - row.levelDb) <=
                                  (row.frequency > 1000 ? 0.1 : row.toleranceDb)
                         : level < -120) &&
                         spurious < row.floorDb,
                 qPrintable(QString("level %1 dB, the rest %2 dB").arg(level).arg(spurious)));
    }

    // 16 bits: the dither is the same from run to run and however the file is written (in two
    // halves at once or not), and lies within a step of the plain rounding, which is what comes out
    // without it: the 32-bit samples of the same conversion rounded to their top 16 bits.
    void ditherRepeatsAndRoundsAsWithout()
    {
        // Long enough to be converted in two halves.
        std::vector<Frame> frames(4096, Frame{0.0, 0.0});
        const std::vector<Frame> tone = sine(1 << 18, 0.3);
        frames.insert(frames.end(), tone.begin(), tone.end());
        const QString source = dir.filePath("dither.rec");
        QVERIFY(writeFile(source, brinmoorBytes(frames)));
        const auto samples = [&](StandardFormat::Depth depth, bool dither, bool parallel) {
            ConvertOptions options;
            options.standard.depth = depth;
            options.standard.dither = dither;
            options.parallel = parallel;
            const QString out = dir.filePath("dither.wav");
            std::vector<qint32> values;
            if (!convertFile(source, out, Direction::BrinmoorToStandard, options).ok())
                return values;
            const QByteArray bytes = readFile(out).mid(44);
            const int width = depth == StandardFormat::Depth::Bits16 ? 2 : 4;
            for (int i = 0; i + width <= bytes.size(); i += width)
                values.push_back(width == 2 ? qint16(readLe16(bytes.constData() + i))
                                            : qint32(readLe32(bytes.constData() + i)));
            return values;
        };
        const std::vector<qint32> wide = samples(StandardFormat::Depth::Bits32, true, true);
        const std::vector<qint32> dithered = samples(StandardFormat::Depth::Bits16, true, true);
        QVERIFY(wide.size() > 500000);
        QCOMPARE(samples(StandardFormat::Depth::Bits16, true, false), dithered);
        const std::vector<qint32> plain = samples(StandardFormat::Depth::Bits16, false, true);
        QCOMPARE(plain.size(), wide.size());
        QCOMPARE(dithered.size(), wide.size());
        size_t differ = 0;
        for (size_t i = 0; i < wide.size(); ++i) {
            const double exact = double(wide[i]) / 65536.0;
            // Where truncating to 32 bits may have moved the half step.
            const bool tie = std::abs(exact - std::floor(exact) - 0.5) < 1e-4;
            QVERIFY2(tie || plain[i] == qint32(std::floor(exact + 0.5)),
                     qPrintable(QString("%1: %2 for %3").arg(i).arg(plain[i]).arg(exact)));
            QVERIFY(std::abs(dithered[i] - plain[i]) <= 1);
            differ += dithered[i] != plain[i];
        }
        // Digital silence without dither stays silent; with it, it does not.
        QVERIFY(std::all_of(plain.begin(), plain.begin() + 2 * 4000,
                            [](qint32 v) { return v == 0; }));
        QVERIFY(differ > wide.size() / 5);
    }
};

QTEST_GUILESS_MAIN(TestConvertFile)
#include "tst_convertfile.moc"
