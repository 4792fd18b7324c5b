#include "../fuzz/fuzztargets.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// Replays every committed fuzz input, the seeds and each input that once
// found a fault, through the fuzzers' own entry points, so that a fault
// found by fuzzing stays fixed without a fuzzer.
class TestFuzzInputs : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

using Entry = QString (*)(const char *, std::size_t);
Q_DECLARE_METATYPE(Entry)

void TestFuzzInputs::replay_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QString>("path");

    const QDir fuzzDir(QStringLiteral(FUZZ_INPUT_DIR));
    const std::pair<const char *, Entry> targets[] = {
            {"standardwave", &fuzz::standardWave},
            {"brinmoorwave", &fuzz::brinmoorWave},
            {"convert", &fuzz::convert},
    };
    int rows = 0;
    for (const auto &[target, entry] : targets) {
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(fuzzDir.filePath(QStringLiteral("%1/%2").arg(kind, target)));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QTest::addRow("%s/%s/%s", target, kind, qPrintable(name))
                        << entry << dir.filePath(name);
                ++rows;
            }
        }
    }
    if (rows == 0)
        qFatal("no fuzz inputs under %s", qPrintable(fuzzDir.path()));
}

void TestFuzzInputs::replay()
{
    QFETCH(Entry, entry);
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QString fault = entry(bytes.constData(), std::size_t(bytes.size()));
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

QTEST_GUILESS_MAIN(TestFuzzInputs)
#include "tst_fuzzinputs.moc"
