#include "apptest.h"
#include "startup.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void pluginPaths();
    void identity();
    void resources_data();
    void resources();
};

void TestStartup::pluginPaths()
{
    const QStringList before = QCoreApplication::libraryPaths();
    installLocalPluginPaths();
    const QStringList after = QCoreApplication::libraryPaths();
    QCOMPARE(after.mid(0, 4), QStringList({"accessible", "platforms", "imageformats", "."}));
    QCOMPARE(after.mid(4), before);
}

void TestStartup::identity()
{
    setIdentity(*qApp);
    QCOMPARE(qApp->objectName(), QStringLiteral("application"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quorvia"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Norvale"));
    QVERIFY(QCoreApplication::organizationDomain().contains('.'));
}

void TestStartup::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("converter picture") << ":/images/converter.png" << QSize(256, 256);
    QTest::newRow("About button icon") << ":/images/about.png" << QSize(24, 24);
    QTest::newRow("window icon, small") << ":/icon/quorvia-128.png" << QSize(128, 128);
    QTest::newRow("window icon, large") << ":/icon/quorvia-256.png" << QSize(256, 256);
}

// The pictures are real images of their sizes, with transparent corners so
// that they sit on any background.
void TestStartup::resources()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QVERIFY(qAlpha(image.pixel(size.width() / 2, size.height() / 2)) > 0);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
