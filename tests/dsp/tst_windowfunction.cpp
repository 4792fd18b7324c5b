#include "converter/windowfunction.h"

#include <QtTest>

#include <cmath>

class TstWindowFunction : public QObject
{
    Q_OBJECT

private slots:
    void shapes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QVector<double>>("points"); // before normalisation
        QTest::addColumn<double>("divisor");
        const auto row = [](const char *name, int kind, QVector<double> points, double divisor) {
            QTest::newRow(name) << kind << points << divisor;
        };

        const double e = std::exp(-0.5);
        const double g03 = std::exp(-0.5 / 0.09);
        const double g12 = std::exp(-0.5 / 1.44);
        const double s = std::sin(1.0);
        const double s2 = 2 * std::sin(0.5);
        row("rectangular", 0, {1, 1, 1, 1}, 1.0);
        row("kind above 13", 14, {1, 1, 1}, 1.0);
        row("negative kind", -1, {1, 1}, 1.0);
        row("sine", 1, {0, 1, 0}, 0.6360628048372603);
        row("sinc-type odd", 2, {s, s2, 1, s2, s}, 0.8413951416451951);
        row("triangle odd", 3, {0, 0.5, 1, 0.5, 0}, 0.5011872336272722);
        row("triangle even", 3, {0.5, 1, 0.5, 0}, 0.5011872336272722);
        row("hann", 4, {0, 0.5, 1, 0.5, 0}, 0.5011872336272722);
        row("hamming", 5, {0.08, 1, 0.08}, 0.5388898453732869);
        row("blackman", 6, {0, 1, 0}, 0.41975898399100753);
        row("blackman-harris", 7, {6e-5, 1, 6e-5}, 0.35850894827655494);
        row("nuttall", 8, {0, 1, 0}, 0.35481338923357547);
        // The filter design's window: its first point is 0.000999, its peak 2.4564.
        row("blackman-nuttall of 8", 9,
            {0.0003628, 0.0377758, 0.3427276, 0.8918519, 0.8918519, 0.3427276, 0.0377758,
             0.0003628},
            0.3630780547701013);
        row("flat top", 10, {0.004, 4.64, 0.004}, 1.1220184543019633);
        row("gaussian 0.3", 11, {g03, 1, g03}, 0.19952623149688797);
        row("gaussian 0.5 odd", 12, {e * e * e * e, e, 1, e, e * e * e * e}, 0.3357376142429546);
        row("gaussian 0.5 even, centred left", 12,
            {e * e * e * e, e, 1, e, e * e * e * e, std::exp(-4.5)}, 0.3357376142429546);
        row("gaussian 1.2", 13, {g12, 1, g12}, 0.5035006087879048);
        // Lengths too short for the shape: the centre value, or the narrowest
        // Gaussian's limit.
        row("one-point hann", 4, {1}, 0.5011872336272722);
        row("one-point flat top", 10, {4.64}, 1.1220184543019633);
        row("one-point triangle", 3, {1}, 0.5011872336272722);
        row("two-point gaussian", 11, {1, 0}, 0.19952623149688797);
    }

    void shapes()
    {
        QFETCH(int, kind);
        QFETCH(QVector<double>, points);
        QFETCH(double, divisor);

        WindowFunction window;
        QCOMPARE(window.generate(kind, points.size()), 1);
        QCOMPARE(window.length(), points.size());
        for (int j = 0; j < points.size(); ++j) {
            const double expected = points[j] / divisor;
            QVERIFY2(std::abs(window.values()[j] - expected) <= 1e-6 * std::max(1.0, expected),
                     qPrintable(QString("point %1: %2, not %3")
                                        .arg(j)
                                        .arg(window.values()[j])
                                        .arg(expected)));
        }
    }

    void badLengthKeepsWindowAndApplyStaysInside()
    {
        WindowFunction window;
        QCOMPARE(window.generate(4, 5), 1);
        QCOMPARE(window.generate(9, 0), 0);
        QCOMPARE(window.generate(9, -3), 0);
        QCOMPARE(window.kind(), 4);
        QCOMPARE(window.length(), 5);

        float data[7] = {2, 2, 2, 2, 2, 2, 2};
        QCOMPARE(window.apply(data, 0), 0);
        QCOMPARE(data[0], 2.0f);
        QCOMPARE(window.apply(data, 7), 5);
        QCOMPARE(data[2], float(2 / 0.5011872336272722));
        QCOMPARE(data[4], 0.0f);
        QCOMPARE(data[5], 2.0f);
    }
};

QTEST_APPLESS_MAIN(TstWindowFunction)
#include "tst_windowfunction.moc"
