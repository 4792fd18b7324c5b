#include "startup.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void pluginPathsAndIdentity()
    {
        const QStringList before = QCoreApplication::libraryPaths();
        installLocalPluginPaths();
        const QStringList after = QCoreApplication::libraryPaths();
        QCOMPARE(after.mid(0, 4), QStringList({"accessible", "platforms", "imageformats", "."}));
        QCOMPARE(after.mid(4), before);

        // The names that place the settings file.
        setIdentity(*qApp);
        QCOMPARE(qApp->objectName(), QStringLiteral("application"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quorvia"));
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Norvale"));
        QVERIFY(QCoreApplication::organizationDomain().contains('.'));
    }

    void resources_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("converter picture") << ":/images/converter.png" << QSize(256, 256);
        QTest::newRow("About button icon") << ":/images/about.png" << QSize(24, 24);
        QTest::newRow("window icon, small") << ":/icon/quorvia-128.png" << QSize(128, 128);
        QTest::newRow("window icon, large") << ":/icon/quorvia-256.png" << QSize(256, 256);
    }

    // Real images of their sizes, with transparent corners so that they sit on
    // any background.
    void resources()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QImage image(path);
        QCOMPARE(image.size(), size);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QVERIFY(qAlpha(image.pixel(size.width() / 2, size.height() / 2)) > 0);
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
