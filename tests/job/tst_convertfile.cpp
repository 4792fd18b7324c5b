#include "fuzztargets.h"
#include "testsupport.h"

#include "converter/convertfile.h"

#include <cmath>
#include <limits>

#include <sys/resource.h>
#include <unistd.h>

using namespace support;

namespace {

// The stage's filter passes low frequencies about 2.75 times too loud (its
// window's normalisation is never divided out); at 1 kHz it is within
// 0.05 % of that: 2.7506 from 44100 Hz, 2.7503 from 39062.5 Hz.
constexpr double filterGainFrom44100 = 2.7506;
constexpr double filterGainFrom39062 = 2.7503;

// More than the readers buffer, so that a source cut short midway is
// noticed.
constexpr int toneFrames = 88200;

struct Conversion
{
    QString name;
    int type;
    int sourceRate; // 0: a Brinmoor-WAVE source
    int sourceFrames;
    int bits;         // of a standard source
    double amplitude; // of a Brinmoor-WAVE source's sine
    int frames;
    double rms = 0.0; // 0: not measured
};

using Entry = QString (*)(const char *, std::size_t);

struct Fault
{
    QString name;
    int type;
    QByteArray bytes;
    ConvertError error;
    // What is done to the source or the destination before the run, or at
    // progress call atCall (from 1; -1: the last) during it.
    QString act = {};
    int atCall = 0;
    QString reason = {};   // part of the reason given
    Entry entry = nullptr; // a committed fuzz input, through a fuzz entry point
};

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

Q_DECLARE_METATYPE(Conversion)
Q_DECLARE_METATYPE(Fault)

// The conversion job end to end with real files: sox makes the inputs and
// checks the standard outputs. Sources that lie, are cut short, taken away
// or cancelled, and destinations that cannot be written, are converted
// soundly or refused with a reason; a failure leaves the destination as it
// was, and nothing is ever left beside it.
class TestConvertFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QByteArray standard; // 16-bit stereo 44100 Hz, canonical header
    QByteArray brinmoor;

private slots:
    void initTestCase()
    {
        const QString path = dir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(soxTone(path, 44100, QStringLiteral("%1s").arg(toneFrames), 16));
        standard = readFile(path);
        QCOMPARE(standard.mid(36, 4), QByteArray("data"));
        brinmoor = brinmoorBytes(sine(toneFrames, 0.5));
    }

    void conversions_data()
    {
        // A sine's RMS is its amplitude / sqrt(2). sox's full scale is the
        // largest 24-bit value, a hair below 1. Whole blocks, so that the end of
        // the recording leaves the filter in the flush.
        const double sineRms = 1.0 / std::sqrt(2.0);
        const double toStandard = sineRms * 0.33 * filterGainFrom39062;
        const int S = StandardToBrinmoor;
        const int B = BrinmoorToStandard;
        // frames: ceil((200 * ceil(N / 200) + 1000) * destination rate / source rate)
        rows<Conversion>({
                {"44100 Hz, 400 frames", S, 44100, 400, 24, 0, 1241},
                {"type -1, 401 frames", -1, 44100, 401, 24, 0, 1418},
                {"8000 Hz, one frame", S, 8000, 1, 24, 0, 5860},
                {"standard without data", S, 44100, 0, 24, 0, 886},
                {"Brinmoor-WAVE without data", B, 0, 0, 0, 0.5, 1129},
                {"Brinmoor-WAVE, 450 frames", B, 0, 450, 0, 0.5, 1807},
                {"standard, full scale", S, 44100, 44000, 24, 0, 39860,
                 sineRms * 0.3 * filterGainFrom44100},
                {"Brinmoor-WAVE, full scale", B, 0, 39000, 0, 1.0, 45159, toStandard},
                // Scaled down by its peak, not clipped: still a sine.
                {"Brinmoor-WAVE, peak 2.0", B, 0, 39000, 0, 2.0, 45159, toStandard},
        });
    }

    void conversions()
    {
        QFETCH(Conversion, row);
        const QString source = dir.filePath("conversion.src");
        const QString destination = dir.filePath("conversion.wav");
        if (row.sourceRate == 0)
            QVERIFY(writeFile(source, brinmoorBytes(sine(row.sourceFrames, row.amplitude))));
        else if (row.sourceFrames == 0)
            QVERIFY(writeFile(source, canonicalHeader(24, 2, 44100, 0)));
        else
            QVERIFY(soxTone(source, row.sourceRate, QStringLiteral("%1s").arg(row.sourceFrames),
                            row.bits));

        std::vector<double> fractions;
        ConvertOptions options;
        options.progress = [&fractions](double f) {
            fractions.push_back(f);
            return true;
        };
        const ConvertResult result = convertFile(source, destination, row.type, options);
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(result.framesWritten, qint64(row.frames));
        QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
        QCOMPARE(fractions.empty() ? 1.0 : fractions.back(), 1.0);
        const bool toStandard = row.type == BrinmoorToStandard;
        if (toStandard) {
            QCOMPARE(soxi(destination), QStringLiteral("%1 44100 2 24").arg(row.frames));
            QCOMPARE(readFile(destination).left(44),
                     canonicalHeader(24, 2, 44100, quint32(6 * row.frames)));
        }
        const std::vector<Frame> output =
                toStandard ? framesOf(soxDecode(destination)) : readBrinmoor(destination);
        QCOMPARE(int(output.size()), row.frames);
        // Once the filter has taken in 8 frames of the silence behind the
        // recording (read in whole blocks), the output is silent.
        const double ratio = toStandard ? 44100 / 39062.5 : 39062.5 / row.sourceRate;
        for (int i = int(ratio * (200 * std::ceil(row.sourceFrames / 200.0) + 8)); i < row.frames;
             ++i)
            QVERIFY2(output[size_t(i)].left == 0.0 && output[size_t(i)].right == 0.0,
                     qPrintable(QString::number(i)));
        if (row.rms == 0.0)
            return;

        // The middle, away from the filter's start and end, holds whole periods
        // to well within the tolerance. The end of the recording, carried out of
        // the filter by the flush, must come out no louder than the rest (beyond
        // the lowpass's own few per cent of overshoot).
        double sum = 0.0;
        double loudest = 0.0;
        for (int i = 0; i < row.frames; ++i) {
            const Frame &f = output[size_t(i)];
            if (i >= 2000 && i < row.frames - 2000)
                sum += f.left * f.left + f.right * f.right;
            loudest = std::max({loudest, std::abs(f.left), std::abs(f.right)});
        }
        const double measured = std::sqrt(sum / double(2 * (row.frames - 4000)));
        QVERIFY2(std::abs(measured / row.rms - 1.0) < 0.005 &&
                         loudest < 1.1 * std::sqrt(2.0) * row.rms,
                 qPrintable(QStringLiteral("rms %1, peak %2").arg(measured).arg(loudest)));
    }

    void faults_data()
    {
        const int S = StandardToBrinmoor;
        const int B = BrinmoorToStandard;
        const ConvertError ok = ConvertError::None;
        const ConvertError format = ConvertError::SourceFormat;
        const ConvertError same = ConvertError::SameFile;
        std::vector<Fault> table;
        for (const int type : {S, B}) {
            const QByteArray &x = type == S ? standard : brinmoor;
            const QString t = type == S ? "standard, " : "Brinmoor-WAVE, ";
            for (const quint32 rate : {0u, 1u, 0xffffffffu})
                table.push_back({t + QString("rate %1").arg(rate), type, patched(x, 24, le32(rate)),
                                 ConvertError::UnsupportedRate});
            table.insert(
                    table.end(),
                    {{t + "unchanged", type, x, ok},
                     {t + "0 channels", type, patched(x, 22, le16(0)), format},
                     {t + "blockAlign 0", type, patched(x, 32, le16(0)), type == S ? ok : format},
                     {t + "data size 0xFFFFFFFF", type, patched(x, 40, le32(0xffffffffu)),
                      type == S ? ok : format},
                     {t + "truncated midway", type, x, ConvertError::Read, "truncate", 100},
                     // The open file still reads whole: the conversion completes.
                     {t + "deleted midway", type, x, ok, "delete", 100},
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
                 {"65535 channels", S, patched(s, 22, le16(65535)), ok},
                 {"fmt size 0xFFFFFFFF", S, patched(s, 16, le32(0xffffffffu)), format},
                 {"data size past the end", S, patched(s, 40, le32(quint32(s.size()))), ok},
                 {"data before fmt", S, s.left(12) + s.mid(36) + s.mid(12, 24), ok},
                 {"chunk size 0xFFFFFFFF before data", S, s.left(36) + junk + s.mid(36), format},
                 // An odd-sized chunk is followed by a pad byte.
                 {"odd-sized chunk before data", S,
                  s.left(36) + "LIST" + le32(3) + "abc" + '\0' + s.mid(36), ok},
                 {"header only", S, s.left(44), ok},
                 {"cut inside the header", S, s.left(30), format},
                 {"text", S, "just some text, long enough to fill a header.\n", format, "", 0,
                  "source.wav"}});
        for (const int bits : {0, 12})
            table.push_back(
                    {QString("%1 bits").arg(bits), S, patched(s, 34, le16(quint16(bits))), format});
        const double inf = std::numeric_limits<double>::infinity();
        for (const double v : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e308})
            table.push_back({QString("sample %1").arg(v), B,
                             patched(brinmoor, 44 + 16 * 100, le64(v)), ok});

        // Every committed fuzz input, the seeds and each input that once found a
        // fault, through the fuzzers' own entry points, so that a fault found by
        // fuzzing stays fixed without a fuzzer.
        const std::pair<const char *, Entry> targets[] = {{"standardwave", &fuzz::standardWave},
                                                          {"brinmoorwave", &fuzz::brinmoorWave},
                                                          {"convert", &fuzz::convert}};
        for (const auto &[target, entry] : targets) {
            for (const char *kind : {"corpus", "regressions"}) {
                const QDir inputs(QStringLiteral(FUZZ_INPUT_DIR "/%1/%2").arg(kind, target));
                for (const QString &name : inputs.entryList(QDir::Files, QDir::Name))
                    table.push_back({QString("%1/%2/%3").arg(kind, target, name), S,
                                     readFile(inputs.filePath(name)), ok, "", 0, "", entry});
            }
        }
        if (!table.back().entry)
            qFatal("no fuzz inputs under %s", FUZZ_INPUT_DIR);
        rows(table);
    }

    void faults()
    {
        QFETCH(Fault, row);
        if (row.entry) {
            const QString fault = row.entry(row.bytes.constData(), std::size_t(row.bytes.size()));
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            return;
        }
        QTemporaryDir work;
        const QString source = work.filePath(QStringLiteral("source.wav"));
        const QString out = work.filePath(QStringLiteral("out"));
        QString destination = out + QStringLiteral("/destination.wav");
        QVERIFY(writeFile(source, row.bytes) && QDir().mkdir(out));
        QVERIFY(writeFile(destination, "an earlier conversion"));
        const QString reference = work.filePath(QStringLiteral("reference.wav"));
        int calls = 0;
        ConvertOptions options;
        options.progress = [&calls](double) { return ++calls > 0; };
        if (row.act == "delete" || row.atCall < 0) {
            QVERIFY(convertFile(source, reference, row.type, options).ok());
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
        else if (row.act == "hard link")
            QVERIFY(QFile::remove(destination) &&
                    ::link(qPrintable(source), qPrintable(destination)) == 0);
        const QByteArray sourceBefore = readFile(source);
        const QByteArray destinationBefore = readFile(destination);
        const QStringList namesBefore = strayFiles(out);

        calls = 0;
        options.progress = [&](double) {
            if (++calls != row.atCall)
                return true;
            if (row.act == "truncate")
                QFile::resize(source, 44 + 1000);
            else if (row.act == "delete")
                QFile::remove(source);
            return row.act != "cancel";
        };
        const long rssBefore = peakRssKiB();
        const ConvertResult result = convertFile(source, destination, row.type, options);
        // The largest filter the stage designs takes some tens of megabytes.
        QVERIFY2(peakRssKiB() - rssBefore < 256 * 1024,
                 qPrintable(QStringLiteral("%1 KiB more").arg(peakRssKiB() - rssBefore)));
        QCOMPARE(strayFiles(out, namesBefore), QStringList());
        QVERIFY2(result.error == row.error, qPrintable(result.reason));
        if (!result.ok()) {
            QVERIFY2(!result.reason.isEmpty() && result.reason.contains(row.reason),
                     qPrintable(result.reason));
            QCOMPARE(readFile(destination), destinationBefore);
            QCOMPARE(strayFiles(out), namesBefore);
            QVERIFY(row.act == "truncate" || readFile(source) == sourceBefore);
            return;
        }
        if (row.act == "delete") // the same as when nothing happened
            QVERIFY(readFile(destination) == readFile(reference));
        // Output in proportion to the input: at most the recording plus the
        // filter's tail, resampled.
        QVERIFY(result.framesWritten <= 2 * (toneFrames + 1200));
        const std::vector<Frame> frames = row.type == StandardToBrinmoor
                ? readBrinmoor(destination)
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
        QVERIFY2(row.type == StandardToBrinmoor || row.name.contains("e+308") || level > 0.05,
                 qPrintable(QString::number(level)));
    }
};

QTEST_GUILESS_MAIN(TestConvertFile)
#include "tst_convertfile.moc"
