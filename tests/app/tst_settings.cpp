#include "apptest.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QtTest>

// The window keeps its source, destination and direction in options.jcfg:
// read once when it is built, written whole when it is closed.
class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void load_data();
    void load();
    void save_data();
    void save();
    void restoredAtNextStart();
    void directoryInPlaceOfFile();

private:
    static void writeSettings(const QByteArray &content);
    static QByteArray readSettings();
    static QString text(MainWindow &window, const char *name)
    {
        return window.findChild<QLineEdit *>(name)->text();
    }
    static QComboBox *type(MainWindow &window) { return window.findChild<QComboBox *>("cbType"); }
};

void TestSettings::initTestCase()
{
    useFreshSettings(QStringLiteral("settings"));
}

void TestSettings::init()
{
    QDir(QFileInfo(settingsFile()).path()).removeRecursively();
}

void TestSettings::writeSettings(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(settingsFile()).path()));
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray TestSettings::readSettings()
{
    QFile file(settingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSettings::load_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("index");

    QTest::newRow("no file") << QByteArray() << ""
                             << "" << 0;
    QTest::newRow("all three")
            << QByteArray(
                       R"({"Main window":{"Source":"/a/in.wav","Destination":"C:\\out.wav","Type":1}})")
            << "/a/in.wav"
            << "C:\\out.wav" << 1;
    QTest::newRow("keys in any order, extra keys ignored")
            << QByteArray(R"({"Other":5,"Main window":{"Type":1,"Colour":"red","Source":"x"}})")
            << "x"
            << "" << 1;
    QTest::newRow("without Destination")
            << QByteArray(R"({"Main window":{"Source":"s.wav","Type":1}})") << "s.wav"
            << "" << 1;
    QTest::newRow("Type 2 out of range") << QByteArray(R"({"Main window":{"Type":2}})") << ""
                                         << "" << 0;
    QTest::newRow("Type -1 out of range") << QByteArray(R"({"Main window":{"Type":-1}})") << ""
                                          << "" << 0;
    QTest::newRow("Type as a string") << QByteArray(R"({"Main window":{"Type":"1"}})") << ""
                                      << "" << 0;
    QTest::newRow("Type not whole") << QByteArray(R"({"Main window":{"Type":1.5}})") << ""
                                    << "" << 0;
    // 2^32 + 1 would wrap to 1 if it were cut to 32 bits.
    QTest::newRow("Type beyond int") << QByteArray(R"({"Main window":{"Type":4294967297}})") << ""
                                     << "" << 0;
    QTest::newRow("Source as a number")
            << QByteArray(R"({"Main window":{"Source":12,"Destination":"d","Type":1}})") << ""
            << "d" << 1;
    QTest::newRow("Main window not an object")
            << QByteArray(R"({"Main window":["Source","x"]})") << ""
            << "" << 0;
    QTest::newRow("top level an array") << QByteArray("[]") << ""
                                        << "" << 0;
    QTest::newRow("not JSON") << QByteArray("Source=x\nType=1\n") << ""
                              << "" << 0;
    QTest::newRow("cut short") << QByteArray(R"({"Main window":{"Source":"x","Type":1)") << ""
                               << "" << 0;
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe{\x01", 5) << ""
                                    << "" << 0;
}

void TestSettings::load()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(int, index);
    if (!content.isEmpty())
        writeSettings(content);

    MainWindow window;
    QCOMPARE(text(window, "leSource"), source);
    QCOMPARE(text(window, "leDestination"), destination);
    QCOMPARE(type(window)->currentIndex(), index);
}

void TestSettings::save_data()
{
    QTest::addColumn<QByteArray>("before"); // what the file held at start-up
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("empty fields") << QByteArray() << ""
                                  << "" << 0
                                  << QByteArray("{\n"
                                                "    \"Main window\": {\n"
                                                "        \"Destination\": \"\",\n"
                                                "        \"Source\": \"\",\n"
                                                "        \"Type\": 0\n"
                                                "    }\n"
                                                "}\n");
    QTest::newRow("values that name no file, over garbage")
            << QByteArray("[]") << "/nowhere/\"quoted\" ä.wav"
            << "   " << 1
            << QByteArray("{\n"
                          "    \"Main window\": {\n"
                          "        \"Destination\": \"   \",\n"
                          "        \"Source\": \"/nowhere/\\\"quoted\\\" \xc3\xa4.wav\",\n"
                          "        \"Type\": 1\n"
                          "    }\n"
                          "}\n");
    QTest::newRow("extra keys dropped")
            << QByteArray(R"({"Extra":1,"Main window":{"Colour":"red","Type":1}})") << "a"
            << "b" << 0
            << QByteArray("{\n"
                          "    \"Main window\": {\n"
                          "        \"Destination\": \"b\",\n"
                          "        \"Source\": \"a\",\n"
                          "        \"Type\": 0\n"
                          "    }\n"
                          "}\n");
}

void TestSettings::save()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(int, index);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        writeSettings(before);

    {
        MainWindow window;
        window.show();
        window.findChild<QLineEdit *>("leSource")->setText(source);
        window.findChild<QLineEdit *>("leDestination")->setText(destination);
        type(window)->setCurrentIndex(index);
        QCOMPARE(readSettings(), before); // nothing is written before the close
        QVERIFY(window.close());
    }
    QCOMPARE(readSettings(), after);
    // Nothing but the settings file is left in its directory.
    QCOMPARE(QDir(QFileInfo(settingsFile()).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList("options.jcfg"));
}

void TestSettings::restoredAtNextStart()
{
    {
        MainWindow window;
        window.show();
        window.findChild<QLineEdit *>("leSource")->setText("/music/take.wav");
        window.findChild<QLineEdit *>("leDestination")->setText("/music/take-std.wav");
        type(window)->setCurrentIndex(1);
        window.close();
    }
    {
        // Deleting a window without closing it saves nothing.
        MainWindow window;
        window.findChild<QLineEdit *>("leSource")->setText("changed");
    }
    MainWindow window;
    QCOMPARE(text(window, "leSource"), QStringLiteral("/music/take.wav"));
    QCOMPARE(text(window, "leDestination"), QStringLiteral("/music/take-std.wav"));
    QCOMPARE(type(window)->currentIndex(), 1);
}

void TestSettings::directoryInPlaceOfFile()
{
    QVERIFY(QDir().mkpath(settingsFile()));
    MainWindow window;
    window.show();
    QCOMPARE(text(window, "leSource"), QString());
    window.findChild<QLineEdit *>("leSource")->setText("x");
    QVERIFY(window.close()); // the save fails quietly
    QVERIFY(QFileInfo(settingsFile()).isDir());
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
