#include "testsupport.h"

#include <QStorageInfo>

#include <unistd.h>

#include <csignal>

#include <sys/stat.h>

using namespace support;

namespace {

QStringList converter(const QStringList &arguments)
{
    return QStringList{QUORVIA_CONVERT} + arguments;
}

// One line of stderr per failure.
QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    result.removeAll(QByteArray());
    return result;
}

struct WriteFailure
{
    QString name;
    QString source;
    bool sizeLimit; // else a read-only directory
    bool existing;  // a destination to keep; else none may appear
    QString destination = "destination.wav";
    int blocks = 100; // the size limit in 512-byte blocks
};

// A command that is refused before anything is written, run in a folder of
// its own that holds the inputs; its stderr names what would work.
struct Refusal
{
    QString name;
    QString arguments; // as typed at the shell
    int exitCode;
    QByteArray says;
    QByteArray mustNotSay = "Unknown"; // Qt's own wording
};

// A signal at the moment a destination is renamed into place, before or
// after the rename: what is in place counts as converted.
struct LateSignal
{
    QString name;
    QString when; // "before" or "after" the rename
    int signal;
    QString sources; // converted with -j 1 into a new folder, in this order
    int exitCode;
    QString written; // in that folder
    QByteArray summary;
};

} // namespace

Q_DECLARE_METATYPE(WriteFailure)
Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(LateSignal)

class TestQuorviaConvert : public QObject
{
    Q_OBJECT

    QTemporaryDir dir; // the inputs

private slots:
    void initTestCase()
    {
        QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "2"));
        QVERIFY(soxTone(dir.filePath("short.wav"), 44100, "10000s"));
        QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(80000, 0.7))));
        QVERIFY(writeFile(dir.filePath("short.rec"), brinmoorBytes(sine(20000, 0.7))));
        QVERIFY(writeFile(dir.filePath("silence.rec"),
                          brinmoorBytes(std::vector<Frame>(20000, Frame{0.0, 0.0}))));
        // Long enough to be converted in two halves at once.
        QVERIFY(soxTone(dir.filePath("five.wav"), 44100, "5"));
        QVERIFY(writeFile(dir.filePath("long.rec"), brinmoorBytes(sine(200000, 0.7))));
        QVERIFY(writeFile(dir.filePath("text.wav"), "RIFF? no, just text.\n"));
        QVERIFY(!output({"sox", "-R", dir.filePath("short.wav"), dir.filePath("short.flac")})
                         .isNull());
        const QByteArray recording = readFile(dir.filePath("short.rec"));
        QVERIFY(writeFile(dir.filePath("cut.wav"), recording.left(44 + 16 * 15000)));
        QVERIFY(writeFile(dir.filePath("twelve.wav"),
                          canonicalHeader(12, 2, 44100, 400) + QByteArray(400, '\1')));
        QVERIFY(writeFile(dir.filePath("x%2.wav"),
                          canonicalHeader(16, 2, 1, 400) + QByteArray(400, '\1')));
    }

    void refusals_data()
    {
        rows<Refusal>({
                {"unknown option", "--bogus short.wav x.wav", 2,
                 "quorvia-convert: unknown option --bogus"},
                {"--peak without --info", "--peak short.wav x.wav", 2, "--peak goes with --info"},
                {"empty folder name", "-o '' short.flac", 2, "empty name was given to -o"},
                {"-r without -o", "-r short.wav x.wav", 2, "-r goes with -o or --info"},
                {"-r with --peak", "--info -r --peak .", 2, "without -r"},
                {"-n with --info", "--info -n short.wav", 2, "-n goes with converting"},
                {"folder without -r", "--info .", 1, ". is a folder; -r converts the"},
                {"empty destination name", "short.wav ''", 2, "empty name was given"},
                {"FLAC read as a recording", "--to standard short.flac x.wav", 1,
                 "short.flac: it is a standard source (FLAC, 24-bit), as every file but PCM WAVE "
                 "is; use --to brinmoor",
                 "RIFF"},
                {"FLAC destination of a standard source", "short.wav x.flac", 1,
                 "x.flac: FLAC is written only as a standard destination", "cannot be written"},
                {"--bits of another value", "--bits 20 short.rec x.wav", 2,
                 "--bits takes 16, 24, 32 or float, not \"20\""},
                {"--rate of another value", "--rate 32000 short.rec x.wav", 2,
                 "--rate takes 44100, 48000, 88200 or 96000, not \"32000\""},
                // FLAC holds integers of up to 24 bits: refused before anything is written.
                {"FLAC destination at 32 bits", "--bits 32 short.rec x.flac", 1,
                 "x.flac: FLAC holds samples of 16 or 24 bits, not 32 bits"},
                {"FLAC destination in float", "--bits float short.rec x.flac", 1,
                 "x.flac: FLAC holds samples of 16 or 24 bits, not 32-bit float"},
                {"--flac in float", "--flac --bits float -o out short.rec", 2,
                 "--flac takes --bits 16 or 24"},
                {"--flac without -o", "--flac short.rec x.wav", 2,
                 "--flac names the outputs of -o"},
                {"a name with %2", "x%2.wav x.rec", 1,
                 "x%2.wav: the sample rate of 1 Hz is not supported", "x1"},
        });
    }

    void refusals()
    {
        QFETCH(Refusal, row);
        QTemporaryDir work;
        const QStringList inputs{"short.wav", "short.flac", "x%2.wav", "short.rec"};
        for (const QString &name : inputs)
            QVERIFY(QFile::copy(dir.filePath(name), work.filePath(name)));
        const Run r = run({"sh", "-c", "cd \"$0\" && exec \"$1\" " + row.arguments, work.path(),
                           QUORVIA_CONVERT});
        QCOMPARE(r.exitCode, row.exitCode);
        QVERIFY2(r.err.contains(row.says) && !r.err.contains(row.mustNotSay) &&
                         lines(r.err).size() == 1,
                 r.err);
        QCOMPARE(strayFiles(work.path(), inputs), QStringList());
    }

    void signalsWhileTheDestinationIsPutInPlace_data()
    {
        const QByteArray one = "1 converted, 0 failed\n";
        const QByteArray after = "1 converted, 0 failed, 1 not started\n";
        rows<LateSignal>({
                {"SIGINT before the rename", "before", SIGINT, "short.wav", 0, "short.wav", one},
                {"SIGTERM after the rename", "after", SIGTERM, "short.rec", 0, "short.wav", one},
                {"SIGTERM after the first of two", "after", SIGTERM, "short.rec standard.wav", 143,
                 "short.wav", after},
                {"SIGINT before the first of two is renamed", "before", SIGINT,
                 "standard.wav short.rec", 130, "standard.wav", after},
        });
    }

    void signalsWhileTheDestinationIsPutInPlace()
    {
        QFETCH(LateSignal, row);
        QTemporaryDir work;
        const QString out = work.filePath("new/out"); // made as by mkdir -p
        QStringList sources;
        for (const QString &name : row.sources.split(' '))
            sources << dir.filePath(name);
        // The sanitizers' runtime must otherwise come first of all.
        const QString asan = qEnvironmentVariable("ASAN_OPTIONS");
        const Run r = run(QStringList{"env", "LD_PRELOAD=" SIGNAL_SHIM,
                                      QStringLiteral("QUORVIA_TEST_SIGNAL=%1").arg(row.signal),
                                      "QUORVIA_TEST_WHEN=" + row.when,
                                      "ASAN_OPTIONS=" + asan + ":verify_asan_link_order=0"} +
                          converter(QStringList{"-j", "1", "-o", out} + sources));
        QCOMPARE(r.exitCode, row.exitCode);
        QVERIFY2(r.err.endsWith(row.summary), r.err);
        QCOMPARE(treeOf(out), row.written);
        for (const QString &name : row.written.split(' '))
            QVERIFY(QFileInfo(out + "/" + name).size() > 44);
    }

    // --flac names the standard outputs of a batch .flac, at the depth and rate asked for; a
    // Brinmoor-WAVE output stays .wav. Without dither, digital silence stays silent at 16 bits.
    void flacBatchOutputs()
    {
        QTemporaryDir work;
        const QString out = work.filePath("out");
        const Run r = run(converter({"--flac", "--bits", "16", "--rate", "48000", "--no-dither",
                                     "-o", out, dir.filePath("short.rec"),
                                     dir.filePath("short.wav"), dir.filePath("silence.rec")}));
        QVERIFY2(r.exitCode == 0, r.err);
        QCOMPARE(treeOf(out), QString("short.flac short.wav silence.flac"));
        // 20000 frames at 39062.5 Hz, the original filter's blocks and tail.
        QCOMPARE(soxi(out + "/short.flac"), QString("25805 48000 2 16"));
        QCOMPARE(QString(output({"soxi", "-t", out + "/short.flac"}).trimmed()), QString("flac"));
        QCOMPARE(soxi(out + "/short.wav"), QString("9744 39062 2 32"));
        const QByteArray silence = soxDecode(out + "/silence.flac");
        QVERIFY(silence.size() > 40000 && silence.count('\0') == silence.size());
    }

    // Also the automatic direction: each layout goes to the other, in the high-quality mode, whose
    // output is exactly as long as the source. Each failure and each warning is one line of stderr,
    // with the reader's own reason and no hint toward the other layout; a summary ends the run.
    void batchConvertsWhatItCanAndOverwritesNoSource()
    {
        QTemporaryDir work;
        const QDir top(work.path());
        QVERIFY(top.mkpath("a") && top.mkpath("b") && top.mkpath("out"));
        const QStringList inputs{"standard.wav", "brinmoor.wav", "standard.wav", "",
                                 "text.wav",     "cut.wav",      "twelve.wav",   "",
                                 "short.flac"};
        const QStringList names{"a/one.wav",     "a/two.rec",  "b/one.wav",
                                "a/missing.wav", "a/text",     "a/cut.wav",
                                "a/twelve.wav",  "a/fifo.wav", "a/three.flac"};
        // b/one.wav's output is taken; the last, a name that would become another file's. The tones
        // start and end at full scale: the filter rings above it.
        const QList<QByteArray> errParts{"a/one.wav: 4 values above full scale",
                                         "b/one.wav",
                                         "missing.wav",
                                         "a/text",
                                         "holds 15000 of the 20000 frames",
                                         "twelve.wav: unsupported sample size: 12 bits",
                                         "not a regular file",
                                         "three.flac: 6 values above full scale",
                                         "not valid in the system's file name encoding",
                                         ": 4 converted, 6 failed"};
        QStringList arguments{"--quality", "high", "-j", "2", "-o", top.filePath("out")};
        QVERIFY(::mkfifo(qPrintable(top.filePath("a/fifo.wav")), 0600) == 0);
        for (int i = 0; i < names.size(); ++i) {
            QVERIFY(inputs[i].isEmpty() ||
                    QFile::copy(dir.filePath(inputs[i]), top.filePath(names[i])));
            arguments << top.filePath(names[i]);
        }
        const QString lossy = QString("exec \"$0\" \"$@\" \"$(printf '%1/x\\377.wav')\"");

        Run r = run(QStringList{"sh", "-c", lossy.arg(top.filePath("a"))} + converter(arguments));
        QCOMPARE(r.exitCode, 1);
        QList<QByteArray> errLines = lines(r.err);
        QCOMPARE(errLines.size(), errParts.size());
        for (int i = 0; i < errLines.size(); ++i)
            QVERIFY2(errLines[i].contains(errParts[i]) && !errLines[i].contains("--to"),
                     errLines[i]);
        QCOMPARE(strayFiles(top.filePath("out"), {"one.wav", "two.wav", "cut.wav", "three.wav"}),
                 QStringList());
        QVERIFY(!readBrinmoor(top.filePath("out/three.wav")).empty());
        QVERIFY(!readBrinmoor(top.filePath("out/one.wav")).empty());
        QCOMPARE(soxi(top.filePath("out/two.wav")), QStringLiteral("90317 44100 2 24"));

        // b/one.wav would go over a/one.wav, a source of the same run, and a/one.wav over itself.
        const QByteArray kept = readFile(top.filePath("a/one.wav"));
        const QStringList inA = strayFiles(top.filePath("a"));
        r = run(converter({"--quiet", "-o", top.filePath("a"), top.filePath("b/one.wav"),
                           top.filePath("a/one.wav")}));
        QCOMPARE(r.exitCode, 1);
        errLines = lines(r.err);
        QCOMPARE(errLines.size(), 2); // no summary
        QVERIFY(errLines[1].contains("same file"));
        QCOMPARE(readFile(top.filePath("a/one.wav")), kept);
        QCOMPARE(strayFiles(top.filePath("a")), inA);

        // "-" means a pipe, which is not supported: no file of that name is
        // looked for, and nothing else is converted.
        r = run(converter({"-o", top.filePath("b"), top.filePath("a/one.wav"), "-"}));
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(strayFiles(top.filePath("b"), {"one.wav"}), QStringList());

        // --info describes each file, measuring its peak when asked; a size left as a placeholder
        // is told from one of 0, and a length that only decoding checks from one a header gives.
        QByteArray placeholder = readFile(dir.filePath("standard.wav"));
        placeholder.replace(40, 4, le32(0xffffffffu));
        QVERIFY(writeFile(top.filePath("a/placeholder.wav"), placeholder));
        r = run(converter({"--info", "--peak", top.filePath("a/cut.wav"),
                           top.filePath("a/three.flac"), top.filePath("a/text"),
                           top.filePath("a/placeholder.wav")}));
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.contains("cut short: holds 15000 of the 20000") &&
                         r.out.contains("Encoding    : FLAC, 24-bit\n") &&
                         r.out.count("Peak") == 3 &&
                         r.out.contains("Data        : as its container announces, which only "
                                        "decoding checks\n") &&
                         r.out.contains("never finished (size 0xFFFFFFFF, a placeholder)"),
                 r.out);
        QCOMPARE(lines(r.err).size(), 1);
        QVERIFY(r.err.contains("a/text: not a RIFF WAVE file"));
    }

    // -r converts every recording under a folder into the same relative path under -o's folder,
    // which lies inside it here and is never read; files that are no recordings (text, nothing, a
    // FIFO) are skipped and counted, a damaged one fails, a link to a file is followed and one to a
    // folder (a loop) is not. -n leaves what is there alone, so that a run again finishes the
    // batch; --info -r lists what a batch will meet.
    void foldersKeepTheirTree()
    {
        QTemporaryDir work;
        const QDir rec(work.filePath("rec"));
        QVERIFY(rec.mkpath("2019/june") && rec.mkpath("2020") && rec.mkpath("out/2019"));
        const std::pair<const char *, const char *> copies[] = {
                {"short.wav", "2019/a.wav"},       {"short.flac", "2019/june/b.flac"},
                {"short.rec", "2020/c.rec"},       {"cut.wav", "2020/cut.wav"},
                {"twelve.wav", "2020/twelve.wav"}, {"text.wav", "2020/notes.txt"}};
        for (const auto &[from, to] : copies)
            QVERIFY(QFile::copy(dir.filePath(from), rec.filePath(to)));
        QVERIFY(writeFile(rec.filePath("2020/empty.wav"), ""));
        QVERIFY(::mkfifo(qPrintable(rec.filePath("2020/pipe.wav")), 0600) == 0);
        QVERIFY(QFile::link("..", rec.filePath("2020/loop")));
        QVERIFY(QFile::link("../2019/a.wav", rec.filePath("2020/alias.wav")));
        const QByteArray earlier = "an earlier conversion";
        QVERIFY(writeFile(rec.filePath("out/2019/a.wav"), earlier));
        // A name that would become another file's once decoded.
        QVERIFY(rec.mkpath("2021") &&
                run({"sh", "-c", "cp \"$0\" \"$1/$(printf 'x\\377.wav')\"",
                     dir.filePath("short.wav"), rec.filePath("2021")})
                                .exitCode == 0);

        // The earlier output is no recording either.
        const Run info = run(converter({"--info", "-r", rec.path()}));
        QCOMPARE(info.exitCode, 1); // twelve.wav cannot be read
        QCOMPARE(QString(info.out).remove(rec.path() + "/"),
                 QString("2019/a.wav: standard WAVE, 00:00:00.227\n"
                         "2019/june/b.flac: standard (FLAC, 24-bit), 00:00:00.227\n"
                         "2020/alias.wav: standard WAVE, 00:00:00.227\n"
                         "2020/c.rec: Brinmoor-WAVE, 00:00:00.512\n"
                         "2020/cut.wav: Brinmoor-WAVE, 00:00:00.384; holds 15000 of the 20000 "
                         "frames its header announces\n"
                         "2020/twelve.wav: unsupported sample size: 12 bits\n"
                         "2021/x\uFFFD.wav: the name is not valid in the system's file name "
                         "encoding, and would name another file\n"
                         "7 recordings, 00:00:01.576 in all, 3 with problems, 4 skipped (not "
                         "recordings)\n"));

        const QStringList tree{"-r", "-j", "2", "-o", rec.filePath("out"), rec.path()};
        Run r = run(converter(QStringList{"-n"} + tree));
        QCOMPARE(r.exitCode, 1);
        QList<QByteArray> errLines = lines(r.err);
        QCOMPARE(errLines.size(), 4);
        QVERIFY2(errLines[0].contains("cut.wav: holds 15000 of the 20000") &&
                         errLines[1].contains("twelve.wav: unsupported sample size") &&
                         errLines[2].contains("not valid in the system's file name encoding"),
                 r.err);
        QCOMPARE(errLines[3],
                 "quorvia-convert: 4 converted, 2 failed, 3 skipped (not "
                 "recordings), 1 skipped (exist)");
        QCOMPARE(readFile(rec.filePath("out/2019/a.wav")), earlier);
        QCOMPARE(treeOf(rec.filePath("out")),
                 QString("2019/ 2019/a.wav 2019/june/ 2019/june/b.wav 2020/ 2020/alias.wav "
                         "2020/c.wav 2020/cut.wav"));
        QCOMPARE(readBrinmoor(rec.filePath("out/2020/alias.wav")).size(),
                 readBrinmoor(rec.filePath("out/2019/june/b.wav")).size());
        QCOMPARE(soxi(rec.filePath("out/2020/c.wav")), QStringLiteral("23709 44100 2 24"));
        QCOMPARE(soxi(rec.filePath("out/2020/cut.wav")), QStringLiteral("18064 44100 2 24"));

        // Run again with nothing left to fail, it changes nothing.
        QVERIFY(QFile::remove(rec.filePath("2020/twelve.wav")));
        QCOMPARE(run({"rm", "-r", rec.filePath("2021")}).exitCode, 0);
        const QByteArray converted = readFile(rec.filePath("out/2020/c.wav"));
        r = run(converter(QStringList{"-n"} + tree));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err,
                 "quorvia-convert: 0 converted, 0 failed, 3 skipped (not recordings), "
                 "5 skipped (exist)\n");
        QCOMPARE(readFile(rec.filePath("out/2020/c.wav")), converted);

        r = run(converter(tree));
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.endsWith(": 5 converted, 0 failed, 3 skipped (not recordings)\n"), r.err);
        QCOMPARE(readFile(rec.filePath("out/2019/a.wav")),
                 readFile(rec.filePath("out/2020/alias.wav")));

        // A folder made for a file that then fails is not left behind.
        QByteArray damaged = readFile(dir.filePath("short.flac"));
        for (int i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i)
            damaged[i] = char(damaged[i] ^ 0x5a);
        QVERIFY(rec.mkpath("2022/deep") && writeFile(rec.filePath("2022/deep/bad.flac"), damaged));
        r = run(converter({"-r", "-o", work.filePath("fresh"), rec.filePath("2022")}));
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("cannot read " + rec.filePath("2022/deep/bad.flac").toUtf8()),
                 r.err);
        QCOMPARE(treeOf(work.filePath("fresh")), QString());
        r = run(converter({"-o", work.filePath("fresh"), rec.filePath("2022")}));
        QVERIFY2(r.exitCode == 1 && r.err.contains("2022 is a folder; -r converts the"), r.err);
    }

    // On a terminal, one line follows the whole batch, also when files
    // convert at once on several threads.
    void progressOnATerminal()
    {
        QTemporaryDir work;
        QString command =
                QStringLiteral("exec '%1' -j 2 -o '%2'").arg(QUORVIA_CONVERT, work.filePath("out"));
        for (const char *name : {"standard.wav", "short.rec", "brinmoor.wav"})
            command += QStringLiteral(" '%1'").arg(dir.filePath(name));
        const Run r = run({"script", "-qec", command, "/dev/null"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("] 100% 3 of 3 files, 0:04 of 0:04\r\n") &&
                         r.out.endsWith("3 converted, 0 failed\r\n"),
                 r.out.right(300));
    }

    // Measuring the peak of a recording far longer than the test can wait for, or converting it,
    // stops at once on a signal, which ends the run with 128 + its number as the shell reports a
    // command the signal killed; the destination never appears, and the summary says that the file
    // was not started. Its 109 GB destination must not take the disk's free space as it is written.
    void signalsStopThePeakScan()
    {
        QTemporaryDir work;
        const QString source = work.filePath("long.wav");
        QVERIFY(writeFile(source, readFile(dir.filePath("short.rec"))));
        QVERIFY(QFile::resize(source, qint64(1) << 38)); // sparse: a 48-day recording
        QVERIFY(QDir(work.path()).mkdir("out"));
        for (const auto &[options, signal] :
             {std::pair{QStringList{"--info", "--peak"}, SIGINT},
              std::pair{QStringList{"-o", work.filePath("out")}, SIGTERM}}) {
            QProcess process;
            process.start(QUORVIA_CONVERT, options + QStringList{source});
            QVERIFY(process.waitForStarted());
            QTest::qWait(500);
            QVERIFY(process.state() == QProcess::Running);
            QVERIFY(QStorageInfo(work.path()).bytesAvailable() > (32 << 20));
            QElapsedTimer sinceSignal;
            sinceSignal.start();
            ::kill(pid_t(process.processId()), signal);
            QVERIFY(process.waitForFinished(5000) && sinceSignal.elapsed() < 2000);
            QCOMPARE(process.exitCode(), 128 + signal);
            QCOMPARE(strayFiles(work.path(), {"long.wav", "out"}), QStringList());
            QCOMPARE(strayFiles(work.filePath("out")), QStringList());
            QVERIFY(signal == SIGINT ||
                    process.readAllStandardError().endsWith(
                            "0 converted, 0 failed, 1 not started\n"));
        }
    }

    void writeFailuresKeepTheDestination_data()
    {
        // A 50 KiB limit. The writers buffer 256 KiB, so a short output fails
        // only when close() writes out the rest. The converter itself must
        // ignore SIGXFSZ, or the limit kills it with its temporary file left.
        rows<WriteFailure>({
                {"to Brinmoor-WAVE, limit while writing", "standard.wav", true, true},
                {"to Brinmoor-WAVE, limit at close", "short.wav", true, false},
                {"to Brinmoor-WAVE, no room for the header", "short.wav", true, true,
                 "destination.wav", 0},
                {"to standard, limit while writing", "brinmoor.wav", true, false},
                {"to standard, limit at close", "short.rec", true, true},
                // Limits in the later half: at 2.3 of 3.1 MB, at 1.0 of 1.35 MB,
                // and 1 KB before its end, which only the last write meets.
                {"to Brinmoor-WAVE, limit in the later half", "five.wav", true, true,
                 "destination.wav", 4500},
                {"to standard, limit in the later half", "long.rec", true, true, "destination.wav",
                 2000},
                {"to standard, limit at the later half's close", "long.rec", true, false,
                 "destination.wav", 2644},
                {"to FLAC, limit while writing", "brinmoor.wav", true, true, "destination.flac"},
                {"read-only directory", "standard.wav", false, true},
                {"read-only directory, new file", "brinmoor.wav", false, false},
                {"read-only directory, FLAC", "brinmoor.wav", false, true, "destination.flac"},
        });
    }

    void writeFailuresKeepTheDestination()
    {
        QFETCH(WriteFailure, row);
        const auto [name, source, sizeLimit, existing, destinationName, blocks] = row;
#if defined(__SANITIZE_THREAD__)
        // The thread sanitizer's runtime lets SIGXFSZ kill the converter at a limit of 0 blocks,
        // though it ignores the signal; the normal and the address-sanitized builds run this row.
        if (sizeLimit && blocks == 0)
            QSKIP("the thread sanitizer's runtime does not let SIGXFSZ be ignored here");
#endif
        QTemporaryDir work;
        const QString out = work.filePath("out");
        const QString destination = out + "/" + destinationName;
        QVERIFY(QDir().mkdir(out) &&
                (!existing || writeFile(destination, "an earlier conversion")));
        QVERIFY(QFile::copy(dir.filePath(source),
                            work.filePath("source"))); // where nobody reads it
        QStringList command = converter({work.filePath("source"), destination});
        const auto reachable =
                QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
        // A coverage build writes its counts when the converter ends, where the failure made here
        // would refuse or cut them short: they go to a directory of their own, which anybody may
        // write, and ./test.sh --coverage adds them to the others' (QUORVIA_COVERAGE_COUNTS).
        const QString kept = qEnvironmentVariable("QUORVIA_COVERAGE_COUNTS");
        QTemporaryDir countsDir(kept.isEmpty() ? work.filePath("counts") : kept + "/run");
        countsDir.setAutoRemove(kept.isEmpty());
        const QString counts = countsDir.path();
        QVERIFY(countsDir.isValid() &&
                QFile::setPermissions(counts, reachable | QFile::WriteOwner | QFile::WriteOther));
        command =
                QStringList{"env", "GCOV_PREFIX=" + counts, "GCOV_ERROR_FILE=/dev/null"} + command;
        // sh is dash, whose limit counts 512-byte blocks. The directory is
        // written by the user nobody when the tests run as root, whom
        // permissions do not bind; its parent is opened up for nobody.
        if (sizeLimit)
            command = QStringList{"sh", "-c",
                                  QStringLiteral("ulimit -f %1; exec \"$0\" \"$@\"").arg(blocks)} +
                    command;
        else if (::geteuid() == 0)
            command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} +
                    command;
        QVERIFY(sizeLimit ||
                (QFile::setPermissions(work.path(), reachable | QFile::WriteOwner) &&
                 QFile::setPermissions(out, reachable)));
        const Run r = run(command);
        QFile::setPermissions(out, reachable | QFile::WriteOwner);
        QCOMPARE(r.exitCode, 1);
        const QList<QByteArray> errLines = lines(r.err);
        QCOMPARE(errLines.size(), 1);
        QVERIFY2(errLines[0].contains(sizeLimit ? "File too large" : "Permission denied") &&
                         errLines[0].contains(destinationName.toUtf8()),
                 r.err);
        QCOMPARE(readFile(destination), QByteArray(existing ? "an earlier conversion" : ""));
        QCOMPARE(strayFiles(out), existing ? QStringList{destinationName} : QStringList());
    }
};

QTEST_GUILESS_MAIN(TestQuorviaConvert)
#include "tst_quorviaconvert.moc"
