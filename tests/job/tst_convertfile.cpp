#include "audiotestfiles.h"

#include "converter/convertfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>

#include <unistd.h>

using namespace testfiles;

Q_DECLARE_METATYPE(ConvertError)

namespace {

// The stage's filter passes low frequencies about 2.75 times too loud (its
// window's normalisation is never divided out); at 1 kHz it is within
// 0.05 % of that: 2.7506 from 44100 Hz, 2.7503 from 39062.5 Hz.
constexpr double filterGainFrom44100 = 2.7506;
constexpr double filterGainFrom39062 = 2.7503;
constexpr double filterDcGain = 2.7515;

WaveHeader headerOf(const QString &path)
{
    const QByteArray bytes = contents(path);
    WaveHeader header = WaveHeader::standardDefaults();
    header.assignFromBytes(bytes.constData(), bytes.size());
    return header;
}

} // namespace

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
    void windowFormReportsAndKeepsEventsFlowing();

private:
    QTemporaryDir dir;
};

void TestConvertFile::frameCounts_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("sourceRate"); // 0: a Brinmoor-WAVE source
    QTest::addColumn<int>("sourceFrames");
    QTest::addColumn<int>("bits");
    QTest::addColumn<qint64>("expected");

    // ceil((200 * ceil(N / 200) + 1000) * destination rate / source rate)
    QTest::newRow("standard 44100 Hz, 400 frames") << 1 << 44100 << 400 << 24 << qint64(1241);
    QTest::newRow("type 2 converts to Brinmoor-WAVE") << 2 << 44100 << 400 << 24 << qint64(1241);
    QTest::newRow("type -1, 401 frames") << -1 << 44100 << 401 << 24 << qint64(1418);
    QTest::newRow("standard 48000 Hz, 16-bit") << 1 << 48000 << 1000 << 16 << qint64(1628);
    QTest::newRow("standard 22050 Hz, 32-bit") << 1 << 22050 << 150 << 32 << qint64(2126);
    QTest::newRow("standard 8000 Hz, one frame") << 1 << 8000 << 1 << 24 << qint64(5860);
    QTest::newRow("standard without data") << 1 << 44100 << 0 << 24 << qint64(886);
    QTest::newRow("Brinmoor-WAVE without data") << 0 << 0 << 0 << 0 << qint64(1129);
    QTest::newRow("Brinmoor-WAVE, 450 frames") << 0 << 0 << 450 << 0 << qint64(1807);
}

void TestConvertFile::frameCounts()
{
    QFETCH(int, type);
    QFETCH(int, sourceRate);
    QFETCH(int, sourceFrames);
    QFETCH(int, bits);
    QFETCH(qint64, expected);

    const QString source = dir.filePath(QStringLiteral("counts-source.wav"));
    const QString destination = dir.filePath(QStringLiteral("counts-destination.wav"));
    QFile::remove(destination);
    if (sourceRate == 0) {
        QVERIFY(writeBrinmoor(source, soxSine(39062.5, sourceFrames, 0.5)));
    } else if (sourceFrames == 0) {
        const WaveHeader::Bytes empty = WaveHeader::standardDefaults().toBytes();
        QVERIFY(writeContents(source, QByteArray(empty.data(), WaveHeader::size)));
    } else {
        QVERIFY(makeStandard(source, sourceRate, QStringLiteral("%1s").arg(sourceFrames),
                             QStringLiteral("sine 1000"), bits));
    }

    std::vector<double> fractions;
    ConvertOptions options;
    options.progress = [&fractions](double f) {
        fractions.push_back(f);
        return true;
    };
    const ConvertResult result = convertFile(source, destination, type, options);
    QVERIFY2(result.ok(), qPrintable(result.reason));
    QCOMPARE(result.framesWritten, expected);
    QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
    if (sourceFrames > 0)
        QCOMPARE(fractions.back(), 1.0);

    if (type == BrinmoorToStandard) {
        QCOMPARE(soxiField(destination, "-s"), expected);
        QCOMPARE(soxiField(destination, "-r"), qint64(44100));
        QCOMPARE(soxiField(destination, "-c"), qint64(2));
        QCOMPARE(soxiField(destination, "-b"), qint64(24));
        QCOMPARE(QFileInfo(destination).size(), 44 + 6 * expected);
        QCOMPARE(qint64(headerOf(destination).dataSize), 6 * expected);
        QCOMPARE(qint64(headerOf(destination).riffSize), 6 * expected + 36);
    } else {
        WaveHeader header;
        std::vector<Frame> frames;
        QVERIFY(readBrinmoor(destination, &header, &frames));
        QCOMPARE(qint64(frames.size()), expected);
        QCOMPARE(QFileInfo(destination).size(), 44 + 16 * expected);
        QCOMPARE(qint64(header.dataSize), 8 * expected);
        QCOMPARE(qint64(header.riffSize), 8 * expected + 40);
        QCOMPARE(header.sampleRate, quint32(39062));
        QCOMPARE(header.numChannels, quint16(2));
        QCOMPARE(header.blockAlign, quint16(8));
        QCOMPARE(header.bitsPerSample, quint16(32));
    }
}

void TestConvertFile::levels_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("expectedRms");

    const double sineRms = 1.0 / std::sqrt(2.0);
    // Full scale from sox is the largest 24-bit value, a hair below 1.
    QTest::newRow("standard, full scale") << 1 << 1.0 << sineRms * 0.3 * filterGainFrom44100;
    QTest::newRow("Brinmoor-WAVE, full scale") << 0 << 1.0 << sineRms * 0.33 * filterGainFrom39062;
    QTest::newRow("Brinmoor-WAVE, half scale")
            << 0 << 0.5 << 0.5 * sineRms * 0.33 * filterGainFrom39062;
    // Scaled down by its peak, not clipped: still a sine.
    QTest::newRow("Brinmoor-WAVE, peak 2.0") << 0 << 2.0 << sineRms * 0.33 * filterGainFrom39062;
}

void TestConvertFile::levels()
{
    QFETCH(int, type);
    QFETCH(double, amplitude);
    QFETCH(double, expectedRms);

    const QString source = dir.filePath(QStringLiteral("levels-source.wav"));
    const QString destination = dir.filePath(QStringLiteral("levels-destination.wav"));
    std::vector<Frame> output;
    if (type == BrinmoorToStandard) {
        QVERIFY(writeBrinmoor(source, soxSine(39062.5, 39062, amplitude)));
        QVERIFY(convertFile(source, destination, type, {}).ok());
        output = decodeWithSox(destination);
    } else {
        QVERIFY(makeStandard(source, 44100, QStringLiteral("1")));
        QVERIFY(convertFile(source, destination, type, {}).ok());
        WaveHeader header;
        QVERIFY(readBrinmoor(destination, &header, &output));
    }
    QVERIFY(output.size() > 20000);
    // Leave out the filter's start and end; the middle holds whole periods
    // to well within the tolerance.
    const double measured = rms(output, 2000, output.size() - 2000);
    QVERIFY2(std::abs(measured / expectedRms - 1.0) < 0.005,
             qPrintable(QStringLiteral("rms %1, expected %2").arg(measured).arg(expectedRms)));
}

void TestConvertFile::endOfRecordingKeepsItsLevel()
{
    // A constant level up to the last frame: the filter's tail that the
    // flush carries out must not come out louder than the recording itself
    // (beyond the lowpass's own few per cent of overshoot).
    const QString source = dir.filePath(QStringLiteral("tail-source.wav"));
    const QString destination = dir.filePath(QStringLiteral("tail-destination.wav"));
    QVERIFY(writeBrinmoor(source, std::vector<Frame>(3000, Frame{0.5, -0.5})));
    QVERIFY(convertFile(source, destination, BrinmoorToStandard, {}).ok());

    const std::vector<Frame> output = decodeWithSox(destination);
    QVERIFY(output.size() > 3000);
    const double steady = 0.5 * 0.33 * filterDcGain;
    QVERIFY(std::abs(output[output.size() / 2].left / steady - 1.0) < 0.001);
    double loudest = 0.0;
    for (const Frame &f : output)
        loudest = std::max({loudest, std::abs(f.left), std::abs(f.right)});
    QVERIFY2(loudest < 1.1 * steady,
             qPrintable(QStringLiteral("peak %1, steady %2").arg(loudest).arg(steady)));
}

void TestConvertFile::failuresLeaveDestinationAsItWas_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("destinationExists");
    QTest::addColumn<ConvertError>("error");
    QTest::addColumn<QString>("reasonPart");

    const auto row = [](const char *name, const char *scenario, int type, bool exists,
                        ConvertError error, const char *reason) {
        QTest::newRow(name) << QString::fromLatin1(scenario) << type << exists << error
                            << QString::fromLatin1(reason);
    };
    row("missing source, to standard", "missing", 0, true, ConvertError::SourceOpen,
        "No such file or directory");
    row("missing source, to Brinmoor", "missing", 1, false, ConvertError::SourceOpen,
        "No such file or directory");
    row("text file, to standard", "text", 0, true, ConvertError::SourceFormat, "source.wav");
    row("text file, to Brinmoor", "text", 1, true, ConvertError::SourceFormat, "source.wav");
    row("no destination directory", "no-directory", 1, false, ConvertError::DestinationOpen,
        "cannot write");
    row("read-only directory", "read-only", 0, true, ConvertError::DestinationOpen,
        "Permission denied");
    row("same path", "same", 0, true, ConvertError::SameFile, "same file");
    row("another spelling", "spelling", 1, true, ConvertError::SameFile, "same file");
    row("symlink to the source", "symlink", 0, true, ConvertError::SameFile, "same file");
    row("hard link to the source", "hardlink", 1, true, ConvertError::SameFile, "same file");
    row("rate too low for one call", "rate-100", 1, true, ConvertError::UnsupportedRate,
        "not supported");
    row("rate 0", "rate-0", 1, false, ConvertError::UnsupportedRate, "not supported");
    row("cancelled at half, to standard", "cancel", 0, true, ConvertError::Cancelled, "cancelled");
    row("cancelled at half, to Brinmoor", "cancel", 1, false, ConvertError::Cancelled, "cancelled");
}

void TestConvertFile::failuresLeaveDestinationAsItWas()
{
    QFETCH(QString, scenario);
    QFETCH(int, type);
    QFETCH(bool, destinationExists);
    QFETCH(ConvertError, error);
    QFETCH(QString, reasonPart);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QDir top(work.path());
    QVERIFY(top.mkdir(QStringLiteral("out")));
    QString source = top.filePath(QStringLiteral("source.wav"));
    QString destination = top.filePath(QStringLiteral("out/destination.wav"));
    const QByteArray earlier("what the destination held before");

    if (type == BrinmoorToStandard)
        QVERIFY(writeBrinmoor(source, soxSine(39062.5, 40000, 0.8)));
    else
        QVERIFY(makeStandard(source, 44100, QStringLiteral("1")));
    const QByteArray sourceBytes = contents(source);

    if (scenario == QLatin1String("missing")) {
        QVERIFY(QFile::remove(source));
    } else if (scenario == QLatin1String("text")) {
        QVERIFY(writeContents(source, "just some text, long enough to fill a header.\n"));
    } else if (scenario == QLatin1String("no-directory")) {
        destination = top.filePath(QStringLiteral("out/missing/destination.wav"));
    } else if (scenario == QLatin1String("read-only")) {
        if (::geteuid() == 0)
            QSKIP("permissions do not bind root; the command-line tests cover this as nobody");
        QVERIFY(QFile::setPermissions(top.filePath(QStringLiteral("out")),
                                      QFile::ReadOwner | QFile::ExeOwner));
    } else if (scenario == QLatin1String("same")) {
        destination = source;
    } else if (scenario == QLatin1String("spelling")) {
        destination = top.filePath(QStringLiteral("out/../source.wav"));
    } else if (scenario == QLatin1String("symlink")) {
        destination = top.filePath(QStringLiteral("out/link.wav"));
        QVERIFY(QFile::link(source, destination));
    } else if (scenario == QLatin1String("hardlink")) {
        destination = top.filePath(QStringLiteral("out/hard.wav"));
        QCOMPARE(::link(QFile::encodeName(source).constData(),
                        QFile::encodeName(destination).constData()),
                 0);
    } else if (scenario.startsWith(QLatin1String("rate-"))) {
        const int rate = scenario.mid(5).toInt();
        QVERIFY(makeStandard(source, 8000, QStringLiteral("400s")));
        QByteArray bytes = contents(source);
        writeLe32(bytes.data() + 24, quint32(rate));
        QVERIFY(writeContents(source, bytes));
    }
    const bool sameFile = destination == source || scenario == QLatin1String("spelling") ||
            scenario == QLatin1String("symlink") || scenario == QLatin1String("hardlink");
    if (destinationExists && !sameFile)
        QVERIFY(writeContents(destination, earlier));
    const QString destinationDir = QFileInfo(destination).absolutePath();
    const QStringList before =
            QDir(destinationDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    ConvertOptions options;
    double cancelledAt = -1.0;
    if (scenario == QLatin1String("cancel")) {
        options.progress = [&cancelledAt](double fraction) {
            if (fraction < 0.5)
                return true;
            cancelledAt = fraction;
            return false;
        };
    }
    const ConvertResult result = convertFile(source, destination, type, options);
    QFile::setPermissions(top.filePath(QStringLiteral("out")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(result.error, error);
    QVERIFY2(result.reason.contains(reasonPart), qPrintable(result.reason));
    QCOMPARE(result.framesWritten > 0, false);
    if (scenario == QLatin1String("cancel"))
        QVERIFY(cancelledAt >= 0.5 && cancelledAt < 0.51);
    if (sameFile)
        QCOMPARE(contents(source), sourceBytes);
    else if (destinationExists)
        QCOMPARE(contents(destination), earlier);
    else
        QVERIFY(!QFileInfo::exists(destination));
    if (QFileInfo::exists(destinationDir))
        QCOMPARE(strayFiles(destinationDir, before), QStringList());
}

void TestConvertFile::windowFormReportsAndKeepsEventsFlowing()
{
    const QString source = dir.filePath(QStringLiteral("long-source.wav"));
    const QString destination = dir.filePath(QStringLiteral("long-destination.wav"));
    QVERIFY(makeStandard(source, 44100, QStringLiteral("30"), QStringLiteral("sine 1000"), 16));

    bool timerRan = false;
    QTimer::singleShot(0, this, [&timerRan] { timerRan = true; });
    QCOMPARE(convertFile(source, destination, StandardToBrinmoor), 0);
    QVERIFY(timerRan);

    QCOMPARE(convertFile(dir.filePath(QStringLiteral("absent.wav")), destination,
                         StandardToBrinmoor),
             -1);
}

QTEST_GUILESS_MAIN(TestConvertFile)
#include "tst_convertfile.moc"
