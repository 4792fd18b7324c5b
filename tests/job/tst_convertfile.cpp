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
constexpr double filterDcGain = 2.7515;

class TestConvertFile : public QObject
{
    Q_OBJECT

private slots:
    void frameCounts_data();
    void frameCounts();
    void levels_data();
    void levels();
    void endOfRecordingKeepsItsLevel();
    void failuresLeaveDestinationAsItWas_data();
    void failuresLeaveDestinationAsItWas();
    void windowFormKeepsEventsFlowing();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestConvertFile::frameCounts_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("sourceRate"); // 0: a Brinmoor-WAVE source
    QTest::addColumn<int>("sourceFrames");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("expected");
    // ceil((200 * ceil(N / 200) + 1000) * destination rate / source rate)
    QTest::newRow("44100 Hz, 400 frames") << 1 << 44100 << 400 << 24 << 1241;
    QTest::newRow("type -1, 401 frames") << -1 << 44100 << 401 << 24 << 1418;
    QTest::newRow("48000 Hz, 16-bit") << 1 << 48000 << 1000 << 16 << 1628;
    QTest::newRow("22050 Hz, 32-bit") << 1 << 22050 << 150 << 32 << 2126;
    QTest::newRow("8000 Hz, one frame") << 1 << 8000 << 1 << 24 << 5860;
    QTest::newRow("standard without data") << 1 << 44100 << 0 << 24 << 886;
    QTest::newRow("Brinmoor-WAVE without data") << 0 << 0 << 0 << 0 << 1129;
    QTest::newRow("Brinmoor-WAVE, 450 frames") << 0 << 0 << 450 << 0 << 1807;
}

void TestConvertFile::frameCounts()
{
    QFETCH(int, type);
    QFETCH(int, sourceRate);
    QFETCH(int, sourceFrames);
    QFETCH(int, bits);
    QFETCH(int, expected);
    const QString source = path("counts.src");
    const QString destination = path("counts.wav");
    if (sourceRate == 0)
        QVERIFY(writeFile(source, brinmoorBytes(sine(sourceFrames, 0.5))));
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
    QCOMPARE(result.framesWritten, qint64(expected));
    QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
    QCOMPARE(fractions.empty() ? 1.0 : fractions.back(), 1.0);
    if (type == BrinmoorToStandard) {
        QCOMPARE(soxi(destination), QStringLiteral("%1 44100 2 24").arg(expected));
        const QByteArray bytes = readFile(destination);
        QCOMPARE(bytes.size(), 44 + 6 * expected);
        QCOMPARE(bytes.left(44), canonicalHeader(24, 2, 44100, quint32(6 * expected)));
    } else {
        QCOMPARE(int(readBrinmoor(destination).size()), expected);
    }
}

void TestConvertFile::levels_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("expectedRms");
    // A sine's RMS is its amplitude / sqrt(2). sox's full scale is the
    // largest 24-bit value, a hair below 1.
    const double sineRms = 1.0 / std::sqrt(2.0);
    const double toStandard = sineRms * 0.33 * filterGainFrom39062;
    QTest::newRow("standard, full scale") << 1 << 1.0 << sineRms * 0.3 * filterGainFrom44100;
    QTest::newRow("Brinmoor-WAVE, full scale") << 0 << 1.0 << toStandard;
    QTest::newRow("Brinmoor-WAVE, half scale") << 0 << 0.5 << 0.5 * toStandard;
    // Scaled down by its peak, not clipped: still a sine.
    QTest::newRow("Brinmoor-WAVE, peak 2.0") << 0 << 2.0 << toStandard;
}

void TestConvertFile::levels()
{
    QFETCH(int, type);
    QFETCH(double, amplitude);
    QFETCH(double, expectedRms);
    const QString source = path("levels.src");
    const QString destination = path("levels.wav");
    if (type == BrinmoorToStandard)
        QVERIFY(writeFile(source, brinmoorBytes(sine(39062, amplitude))));
    else
        QVERIFY(soxTone(source, 44100, "1"));
    QVERIFY(convertFile(source, destination, type, {}).ok());
    const std::vector<Frame> output = type == BrinmoorToStandard ? framesOf(soxDecode(destination))
                                                                 : readBrinmoor(destination);
    QVERIFY(output.size() > 30000);
    // The middle, away from the filter's start and end, holds whole periods
    // to well within the tolerance.
    double sum = 0.0;
    for (size_t i = 2000; i < output.size() - 2000; ++i)
        sum += output[i].left * output[i].left + output[i].right * output[i].right;
    const double measured = std::sqrt(sum / double(2 * (output.size() - 4000)));
    QVERIFY2(std::abs(measured / expectedRms - 1.0) < 0.005,
             qPrintable(QStringLiteral("rms %1, expected %2").arg(measured).arg(expectedRms)));
}

void TestConvertFile::endOfRecordingKeepsItsLevel()
{
    // A constant level up to the last frame: the filter's tail, carried out
    // by the flush, must not come out louder than the recording (beyond the
    // lowpass's own few per cent of overshoot).
    QVERIFY(writeFile(path("tail.src"), brinmoorBytes(std::vector<Frame>(3000, {0.5, -0.5}))));
    QVERIFY(convertFile(path("tail.src"), path("tail.wav"), BrinmoorToStandard, {}).ok());
    const std::vector<Frame> output = framesOf(soxDecode(path("tail.wav")));
    QVERIFY(output.size() > 3000);
    const double steady = 0.5 * 0.33 * filterDcGain;
    QVERIFY(std::abs(output[1500].left / steady - 1.0) < 0.001);
    double loudest = 0.0;
    for (const Frame &f : output)
        loudest = std::max({loudest, std::abs(f.left), std::abs(f.right)});
    QVERIFY2(loudest < 1.1 * steady, qPrintable(QString::number(loudest / steady)));
}

// Cancellation and failures while reading or writing are made to happen in
// the reliability and command-line tests.
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
    row("rate 100 Hz", 1, ConvertError::UnsupportedRate, "not supported");
    row("rate 0 Hz", 1, ConvertError::UnsupportedRate, "not supported");
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
    } else if (scenario.startsWith("rate")) {
        QByteArray bytes = readFile(source);
        bytes.replace(24, 4, le32(quint32(scenario.mid(5).toInt())));
        QVERIFY(writeFile(source, bytes));
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
