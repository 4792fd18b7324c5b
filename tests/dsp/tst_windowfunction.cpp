#include "converter/windowfunction.h"

#include <QtTest>

#include <cmath>

class TstWindowFunction : public QObject
{
    Q_OBJECT

private slots:
    void shapes_data();
    void shapes();
    void blackmanNuttallOfEight();
    void badLengthKeepsWindowAndApplyStaysInside();
};

void TstWindowFunction::shapes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QVector<double>>("points"); // before normalisation
    QTest::addColumn<double>("divisor");

    const double e = std::exp(-0.5);
    const double g3 = std::exp(-0.5 / 1.44);
    QTest::newRow("rectangular") << 0 << QVector<double>{1, 1, 1, 1} << 1.0;
    QTest::newRow("kind above 13") << 14 << QVector<double>{1, 1, 1} << 1.0;
    QTest::newRow("negative kind") << -1 << QVector<double>{1, 1} << 1.0;
    QTest::newRow("sine") << 1 << QVector<double>{0, 1, 0} << 0.6360628048372603;
    QTest::newRow("sinc-type odd") << 2
                                   << QVector<double>{std::sin(1.0), 2 * std::sin(0.5), 1,
                                                      2 * std::sin(0.5), std::sin(1.0)}
                                   << 0.8413951416451951;
    QTest::newRow("triangle odd") << 3 << QVector<double>{0, 0.5, 1, 0.5, 0} << 0.5011872336272722;
    QTest::newRow("triangle even") << 3 << QVector<double>{0.5, 1, 0.5, 0} << 0.5011872336272722;
    QTest::newRow("hann") << 4 << QVector<double>{0, 0.5, 1, 0.5, 0} << 0.5011872336272722;
    QTest::newRow("hamming") << 5 << QVector<double>{0.08, 1, 0.08} << 0.5388898453732869;
    QTest::newRow("blackman") << 6 << QVector<double>{0, 1, 0} << 0.41975898399100753;
    QTest::newRow("blackman-harris") << 7 << QVector<double>{6e-5, 1, 6e-5} << 0.35850894827655494;
    QTest::newRow("nuttall") << 8 << QVector<double>{0, 1, 0} << 0.35481338923357547;
    QTest::newRow("flat top") << 10 << QVector<double>{0.004, 4.64, 0.004} << 1.1220184543019633;
    QTest::newRow("gaussian 0.3") << 11
                                  << QVector<double>{std::exp(-0.5 / 0.09), 1,
                                                     std::exp(-0.5 / 0.09)}
                                  << 0.19952623149688797;
    QTest::newRow("gaussian 0.5 odd")
            << 12 << QVector<double>{e * e * e * e, e, 1, e, e * e * e * e} << 0.3357376142429546;
    QTest::newRow("gaussian 0.5 even, centred left")
            << 12 << QVector<double>{e * e * e * e, e, 1, e, e * e * e * e, std::exp(-4.5)}
            << 0.3357376142429546;
    QTest::newRow("gaussian 1.2") << 13 << QVector<double>{g3, 1, g3} << 0.5035006087879048;
    // Lengths too short for the shape: the centre value, or the narrowest
    // Gaussian's limit.
    QTest::newRow("one-point hann") << 4 << QVector<double>{1} << 0.5011872336272722;
    QTest::newRow("one-point sinc-type") << 2 << QVector<double>{1} << 0.8413951416451951;
    QTest::newRow("one-point flat top") << 10 << QVector<double>{4.64} << 1.1220184543019633;
    QTest::newRow("one-point triangle") << 3 << QVector<double>{1} << 0.5011872336272722;
    QTest::newRow("two-point gaussian") << 11 << QVector<double>{1, 0} << 0.19952623149688797;
}

void TstWindowFunction::shapes()
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

void TstWindowFunction::blackmanNuttallOfEight()
{
    WindowFunction window;
    QCOMPARE(window.generate(9, 8), 1);
    const float *w = window.values();
    QCOMPARE(w[0], float((0.3635819 - 0.4891775 + 0.1365995 - 0.0106411) / 0.3630780547701013));
    QVERIFY(std::abs(w[0] - 0.000999) < 5e-7);
    QVERIFY(std::abs(w[3] - 2.4564) < 5e-5);
    for (int j = 0; j < 8; ++j)
        QCOMPARE(w[j], w[7 - j]);
}

void TstWindowFunction::badLengthKeepsWindowAndApplyStaysInside()
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

QTEST_APPLESS_MAIN(TstWindowFunction)
#include "tst_windowfunction.moc"
