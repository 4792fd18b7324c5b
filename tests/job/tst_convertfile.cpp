#include "testsupport.h"

#include "converter/convertfile.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <unistd.h>

using namespace support;

Q_DECLARE_METATYPE(ConvertError)

// The stage's filter passes low frequencies about 2.75 times too loud (its
// window's normalisation is never divided out); at 1 kHz it is within
// 0.05 % of that: 2.7506 from 44100 Hz, 2.7503 from 39062.5 Hz.
constexpr double filterGainFrom44100 = 2.7506;
constexpr double filterGainFrom39062 = 2.7503;

class TestConvertFile : public QObject
{
    Q_OBJECT

private slots:
    void conversions_data();
    void conversions();
    void failuresLeaveDestinationAsItWas_data();
    void failuresLeaveDestinationAsItWas();
    void twoPartsGiveTheSameBytes();
    void windowFormKeepsEventsFlowing();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestConvertFile::conversions_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("sourceRate"); // 0: a Brinmoor-WAVE source
    QTest::addColumn<int>("sourceFrames");
    QTest::addColumn<int>("bits");         // of a standard source
    QTest::addColumn<double>("amplitude"); // of a Brinmoor-WAVE source's sine
    QTest::addColumn<int>("frames");
    QTest::addColumn<double>("rms"); // 0: not measured
    const auto row = [](const char *name, int type, int sourceRate, int sourceFrames, int bits,
                        double amplitude, int frames, double rms = 0.0) {
        QTest::newRow(name) << type << sourceRate << sourceFrames << bits << amplitude << frames
                            << rms;
    };
    // ceil((200 * ceil(N / 200) + 1000) * destination rate / source rate)
    row("44100 Hz, 400 frames", 1, 44100, 400, 24, 0, 1241);
    row("type -1, 401 frames", -1, 44100, 401, 24, 0, 1418);
    row("48000 Hz, 16-bit", 1, 48000, 1000, 16, 0, 1628);
    row("22050 Hz, 32-bit", 1, 22050, 150, 32, 0, 2126);
    row("8000 Hz, one frame", 1, 8000, 1, 24, 0, 5860);
    row("standard without data", 1, 44100, 0, 24, 0, 886);
    row("Brinmoor-WAVE without data", 0, 0, 0, 0, 0.5, 1129);
    row("Brinmoor-WAVE, 450 frames", 0, 0, 450, 0, 0.5, 1807);
    // A sine's RMS is its amplitude / sqrt(2). sox's full scale is the
    // largest 24-bit value, a hair below 1. Whole blocks, so that the end of
    // the recording leaves the filter in the flush.
    const double sineRms = 1.0 / std::sqrt(2.0);
    const double toStandard = sineRms * 0.33 * filterGainFrom39062;
    row("standard, full scale", 1, 44100, 44000, 24, 0, 39860, sineRms * 0.3 * filterGainFrom44100);
    row("Brinmoor-WAVE, full scale", 0, 0, 39000, 0, 1.0, 45159, toStandard);
    row("Brinmoor-WAVE, half scale", 0, 0, 39000, 0, 0.5, 45159, 0.5 * toStandard);
    // Scaled down by its peak, not clipped: still a sine.
    row("Brinmoor-WAVE, peak 2.0", 0, 0, 39000, 0, 2.0, 45159, toStandard);
}

void TestConvertFile::conversions()
{
    QFETCH(int, type);
    QFETCH(int, sourceRate);
    QFETCH(int, sourceFrames);
    QFETCH(int, bits);
    QFETCH(double, amplitude);
    QFETCH(int, frames);
    QFETCH(double, rms);
    const QString source = path("conversion.src");
    const QString destination = path("conversion.wav");
    if (sourceRate == 0)
        QVERIFY(writeFile(source, brinmoorBytes(sine(sourceFrames, amplitude))));
    else if (sourceFrames == 0)
        QVERIFY(writeFile(source, canonicalHeader(24, 2, 44100, 0)));
    else
        QVERIFY(soxTone(source, sourceRate, QStringLiteral("%1s").arg(sourceFrames), bits));

    std::vector<double> fractions;
    ConvertOptions options;
    options.progress = [&fractions](double f) {
        fractions.push_back(f);
        return true;
    };
    const ConvertResult result = convertFile(source, destination, type, options);
    QVERIFY2(result.ok(), qPrintable(result.reason));
    QCOMPARE(result.framesWritten, qint64(frames));
    QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
    QCOMPARE(fractions.empty() ? 1.0 : fractions.back(), 1.0);
    if (type == BrinmoorToStandard) {
        QCOMPARE(soxi(destination), QStringLiteral("%1 44100 2 24").arg(frames));
        const QByteArray bytes = readFile(destination);
        QCOMPARE(bytes.size(), 44 + 6 * frames);
        QCOMPARE(bytes.left(44), canonicalHeader(24, 2, 44100, quint32(6 * frames)));
    }
    const std::vector<Frame> output = type == BrinmoorToStandard ? framesOf(soxDecode(destination))
                                                                 : readBrinmoor(destination);
    QCOMPARE(int(output.size()), frames);
    if (rms == 0.0)
        return;

    // The middle, away from the filter's start and end, holds whole periods
    // to well within the tolerance. The end of the recording, carried out of
    // the filter by the flush, must come out no louder than the rest (beyond
    // the lowpass's own few per cent of overshoot).
    double sum = 0.0;
    double loudest = 0.0;
    for (int i = 0; i < frames; ++i) {
        const Frame &f = output[size_t(i)];
        if (i >= 2000 && i < frames - 2000)
            sum += f.left * f.left + f.right * f.right;
        loudest = std::max({loudest, std::abs(f.left), std::abs(f.right)});
    }
    const double measured = std::sqrt(sum / double(2 * (frames - 4000)));
    QVERIFY2(std::abs(measured / rms - 1.0) < 0.005 && loudest < 1.1 * std::sqrt(2.0) * rms,
             qPrintable(QStringLiteral("rms %1, peak %2, expected rms %3")
                                .arg(measured)
                                .arg(loudest)
                                .arg(rms)));
}

// Cancellation, hostile headers and failures while reading or writing are
// made to happen in the reliability and command-line tests.
void TestConvertFile::failuresLeaveDestinationAsItWas_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("type");
    QTest::addColumn<ConvertError>("error");
    QTest::addColumn<QString>("reasonPart");
    const auto row = [](const char *scenario, int type, ConvertError error, const char *reason) {
        QTest::newRow(scenario) << QString(scenario) << type << error << QString(reason);
    };
    row("missing source", 1, ConvertError::SourceOpen, "No such file or directory");
    row("text file", 0, ConvertError::SourceFormat, "source.wav");
    row("no such directory", 1, ConvertError::DestinationOpen, "cannot write");
    row("another spelling", 1, ConvertError::SameFile, "same file");
    row("symlink", 0, ConvertError::SameFile, "same file");
    row("hard link", 1, ConvertError::SameFile, "same file");
}

void TestConvertFile::failuresLeaveDestinationAsItWas()
{
    QFETCH(QString, scenario);
    QFETCH(int, type);
    QFETCH(ConvertError, error);
    QFETCH(QString, reasonPart);

    QTemporaryDir work;
    const QDir top(work.path());
    QVERIFY(top.mkdir("out"));
    const QString source = top.filePath("source.wav");
    QString destination = top.filePath("out/destination.wav");
    // Type 0 rows start with a destination that must keep its content, the
    // others without one, which must stay absent.
    if (type == BrinmoorToStandard) {
        QVERIFY(writeFile(source, brinmoorBytes(sine(40000, 0.8))));
        QVERIFY(writeFile(destination, "what the destination held before"));
    } else {
        QVERIFY(soxTone(source, 44100, "1"));
    }
    if (scenario == "missing source") {
        QVERIFY(QFile::remove(source));
    } else if (scenario == "text file") {
        QVERIFY(writeFile(source, "just some text, long enough to fill a header.\n"));
    } else if (scenario == "no such directory") {
        destination = top.filePath("out/missing/destination.wav");
    } else if (scenario == "another spelling") {
        destination = top.filePath("out/../source.wav");
    } else if (scenario == "symlink") {
        QVERIFY(QFile::remove(destination) && QFile::link(source, destination));
    } else if (scenario == "hard link") {
        QCOMPARE(::link(qPrintable(source), qPrintable(destination)), 0);
    }
    const QByteArray sourceBefore = readFile(source);
    const QByteArray destinationBefore = readFile(destination);
    const bool existedBefore = QFileInfo::exists(destination);
    const QString outDir = QFileInfo(destination).absolutePath();
    const QStringList namesBefore = strayFiles(outDir);

    const ConvertResult result = convertFile(source, destination, type, {});
    QVERIFY2(result.error == error, qPrintable(result.reason));
    QVERIFY2(result.reason.contains(reasonPart), qPrintable(result.reason));
    QCOMPARE(readFile(source), sourceBefore);
    QCOMPARE(readFile(destination), destinationBefore);
    QCOMPARE(QFileInfo::exists(destination), existedBefore);
    QCOMPARE(strayFiles(outDir, namesBefore), QStringList());
}

// A long recording is converted in two parts at once (on a machine with more
// than one processor), byte for byte as in one, also when a peak above full
// scale late in it makes the conversion start again, scaled.
void TestConvertFile::twoPartsGiveTheSameBytes()
{
    const int frames = (1 << 20) + 4321;
    QVERIFY(soxTone(path("long.wav"), 44100, QStringLiteral("%1s").arg(frames)));
    std::vector<Frame> late = sine(frames, 0.5);
    for (size_t i = late.size() * 9 / 10; i < late.size(); ++i)
        late[i].left *= 3.0;
    QVERIFY(writeFile(path("long.rec"), brinmoorBytes(late)));
    for (auto [source, type] : {std::pair{"long.wav", 1}, {"long.rec", 0}}) {
        QByteArray bytes[2];
        for (bool parallel : {false, true}) {
            ConvertOptions options;
            options.parallel = parallel;
            QVERIFY(convertFile(path(source), path("parts.wav"), type, options).ok());
            bytes[parallel] = readFile(path("parts.wav"));
        }
        QVERIFY2(bytes[0] == bytes[1], source);
    }
}

void TestConvertFile::windowFormKeepsEventsFlowing()
{
    QVERIFY(soxTone(path("long.src"), 44100, "30", 16));
    bool timerRan = false;
    QTimer::singleShot(0, this, [&timerRan] { timerRan = true; });
    QCOMPARE(convertFile(path("long.src"), path("long.wav"), 1), 0);
    QVERIFY(timerRan);
    QCOMPARE(convertFile(path("absent"), path("long.src"), 1), -1);
}

QTEST_GUILESS_MAIN(TestConvertFile)
#include "tst_convertfile.moc"
