#include "converter/convertfile.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "wave/wavelayout.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

using namespace support;

namespace {

// Answers every message box that turns up while it lives, recording it as
// "title icon Ok: text", with " (why)" when it explains. It polls, because
// the boxes run their own event loops inside the code under test.
struct ModalAnswerer : QTimer
{
    ModalAnswerer()
    {
        connect(this, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            boxes << QString("%1 %2 %3: %4%5")
                             .arg(box->windowTitle(),
                                  QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()),
                                  box->standardButtons() == QMessageBox::Ok ? "Ok" : "buttons",
                                  box->text(), box->informativeText().isEmpty() ? "" : " (why)");
            box->done(0);
        });
        start(10);
    }
    QStringList boxes;
};

QString settingsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString settingsFile()
{
    return settingsDir() + "/options.jcfg";
}

struct Message
{
    QString name;
    QString source;      // a name in the temporary directory
    QString destination; // as typed into the field
    int direction;
    QString box;
    WaveLayout written = WaveLayout::NotWave; // what the destination holds then
};

struct Drop
{
    QString name;
    QString target; // the field dropped on; empty: the window
    QString file;
    QString field; // that takes it; empty: the drop is refused
    int typeBefore;
    int typeAfter;
};

// What keeps the settings from being saved when the window closes.
enum class Block { None, SizeLimit, FileForDirectory, DirectoryForFile };

struct Setting
{
    QString name;
    QByteArray content; // of the settings file before; empty: none
    QString source;     // what the window then shows
    QString destination;
    int index;
    Block block = Block::None;
};

} // namespace

Q_DECLARE_METATYPE(Message)
Q_DECLARE_METATYPE(Drop)
Q_DECLARE_METATYPE(Setting)

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QDir dir;
    std::unique_ptr<MainWindow> window;
    QString initialDirectory;

    template<typename T = QWidget>
    T *child(const char *name) const
    {
        T *found = window->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no %s named %s", T::staticMetaObject.className(), name);
        return found;
    }
    QComboBox *type() const { return child<QComboBox>("cbType"); }
    void fill(const QString &source, const QString &destination, int direction) const
    {
        child<QLineEdit>("leSource")->setText(source);
        child<QLineEdit>("leDestination")->setText(destination);
        type()->setCurrentIndex(direction);
    }
    void newWindow()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }
    // A Brinmoor-WAVE and a standard recording, a text file and a folder.
    void makeChoices() const
    {
        QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "0.2", 16));
        QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(8000, 0.5))));
        QVERIFY(writeFile(dir.filePath("voice.take1.wav"), "just some words\n"));
        QVERIFY(dir.mkpath("folder.wav"));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Norvale");
        QCoreApplication::setApplicationName("Quorvia-mainwindow");
        QVERIFY(settingsDir().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        initialDirectory = QDir::currentPath();
        // A file-size limit makes writes fail instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void init()
    {
        QDir(settingsDir()).removeRecursively();
        QFile::remove(settingsDir());
        tmp = std::make_unique<QTemporaryDir>();
        dir = QDir(tmp->path());
        QVERIFY(QDir::setCurrent(dir.path())); // relative destinations land here
        newWindow();
    }

    void cleanup()
    {
        window.reset();
        QDir::setCurrent(initialDirectory);
        tmp.reset();
    }

    void messages_data()
    {
        const QString noSource = "Quorvia Warning Ok: Specify the source file!";
        const QString done = "Quorvia Information Ok: Was successfully done.";
        rows<Message>({
                {"source is a folder", "folder.wav", "out.wav", 1, noSource},
                {"destination empty", "standard.wav", "", 1,
                 "Quorvia Warning Ok: Specify the destination file!"},
                {"not a recording", "voice.take1.wav", "out.wav", 0,
                 "Quorvia Critical Ok: Can't convert voice! (why)"},
                // The destination's layout shows which direction the conversion was given.
                {"Brinmoor-WAVE to standard", "brinmoor.wav", "out.wav", BrinmoorToStandard, done,
                 WaveLayout::Standard},
        });
    }

    // Every path through convert() ends in one message box; the two refusals
    // never reach the conversion.
    void messages()
    {
        QFETCH(Message, row);
        makeChoices();
        const QByteArray sourceBytes = readFile(dir.filePath(row.source));
        fill(row.source.isEmpty() ? "" : dir.filePath(row.source), row.destination, row.direction);

        ModalAnswerer answerer;
        child<QPushButton>("pbConvert")->click();

        QCOMPARE(answerer.boxes, QStringList(row.box));
        QCOMPARE(child<QLineEdit>("leDestination")->text(), row.destination);
        QCOMPARE(readFile(dir.filePath(row.source)), sourceBytes);
        if (row.written == WaveLayout::NotWave)
            QVERIFY(!QFileInfo::exists(dir.filePath("out.wav")));
        else
            QCOMPARE(detectWaveLayout(dir.filePath(row.destination)), row.written);
    }

    // Cancel in the progress dialog stops the conversion and keeps the
    // existing destination, with nothing left beside it. While it runs, the
    // window neither closes nor starts a second conversion.
    void cancel()
    {
        const QString source = dir.filePath("long.wav");
        QVERIFY(soxTone(source, 44100, "60", 16));
        const QString destination = dir.filePath("result.wav");
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(writeFile(destination, earlier));
        fill(source, destination, StandardToBrinmoor);

        bool closed = true;
        bool cancelled = false;
        // Each tick sleeps a little, as a slow machine would, so that the
        // conversion outlasts the moment the progress dialog appears.
        QTimer slow;
        connect(&slow, &QTimer::timeout, this, [&] {
            QThread::msleep(5);
            auto *progress = window->findChild<QProgressDialog *>();
            if (cancelled || !progress || !progress->isVisible())
                return;
            QVERIFY(window->isConverting());
            closed = window->close();
            child<QPushButton>("pbConvert")->click();
            cancelled = true;
            progress->findChild<QPushButton *>()->click(); // its only button: Cancel
        });
        slow.start(0);

        ModalAnswerer answerer;
        child<QPushButton>("pbConvert")->click();
        slow.stop();

        QVERIFY(cancelled && !closed && window->isVisible() && !window->isConverting());
        QVERIFY(!QFileInfo::exists(settingsFile())); // the refused close saved nothing
        QCOMPARE(answerer.boxes, QStringList("Quorvia Information Ok: Conversion cancelled."));
        QCOMPARE(readFile(destination), earlier);
        QCOMPARE(strayFiles(dir.path()), QStringList({"long.wav", "result.wav"}));
    }

    void drop_data()
    {
        rows<Drop>({
                {"Brinmoor-WAVE on the window", "", "brinmoor.wav", "leSource", 1, 0},
                {"standard on the source", "leSource", "standard.wav", "leSource", 0, 1},
                {"unknown layout on the window", "", "voice.take1.wav", "leSource", 1, 1},
                {"web address", "", "http://example.com/a.wav", "", 1, 1},
        });
    }

    // A dropped file fills a field; a source also selects the direction
    // that reads it.
    void drop()
    {
        QFETCH(Drop, row);
        makeChoices();
        const QString earlier = dir.filePath("folder.wav/earlier.wav");
        fill(earlier, earlier, row.typeBefore);

        QMimeData mime;
        mime.setUrls({row.file.contains("://") ? QUrl(row.file)
                                               : QUrl::fromLocalFile(dir.filePath(row.file))});
        QWidget *receiver = row.target.isEmpty() ? window.get() : child(qPrintable(row.target));
        const QPoint at = receiver->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(receiver, &enter);
        QCOMPARE(enter.isAccepted(), !row.field.isEmpty());
        if (enter.isAccepted()) {
            QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(receiver, &dropped);
            QVERIFY(dropped.isAccepted());
        }
        const QString taken = QDir::toNativeSeparators(dir.filePath(row.file));
        for (const char *name : {"leSource", "leDestination"})
            QCOMPARE(child<QLineEdit>(name)->text(), name == row.field ? taken : earlier);
        QCOMPARE(type()->currentIndex(), row.typeAfter);
    }

    void settings_data()
    {
        const QByteArray all =
                R"({"Main window":{"Source":"/a/in.wav","Destination":"C:\\o.wav","Type":1}})";
        rows<Setting>({
                {"no file", "", "", "", 0},
                {"all three", all, "/a/in.wav", "C:\\o.wav", 1},
                {"Type -1 out of range", R"({"Main window":{"Type":-1}})", "", "", 0},
                // When the settings cannot be saved, the window still closes, the
                // previous file stays as it was and nothing is left beside it.
                {"file-size limit", all, "/a/in.wav", "C:\\o.wav", 1, Block::SizeLimit},
                {"a file in place of the directory", all, "", "", 0, Block::FileForDirectory},
                {"a directory in place of the file", "", "", "", 0, Block::DirectoryForFile},
        });
    }

    // The window reads options.jcfg when it is built, keeping its defaults
    // for anything it cannot use, and writes it whole when it is closed: into
    // a new file that replaces the old one, so that a failed write never
    // leaves half a file.
    void settings()
    {
        QFETCH(Setting, row);
        // Settings cannot be kept below a regular file, whoever runs this.
        const QString kept = row.block == Block::FileForDirectory ? settingsDir() : settingsFile();
        const QString earlier = settingsFile() + ".earlier";
        if (row.block == Block::FileForDirectory) {
            QVERIFY(QDir(settingsDir()).removeRecursively() && writeFile(kept, row.content));
        } else if (row.block == Block::DirectoryForFile) {
            QVERIFY(QDir().mkpath(kept));
        } else if (!row.content.isEmpty()) {
            QVERIFY(writeFile(kept, row.content));
            QCOMPARE(::link(qPrintable(kept), qPrintable(earlier)), 0);
        }
        newWindow();
        QCOMPARE(child<QLineEdit>("leSource")->text(), row.source);
        QCOMPARE(child<QLineEdit>("leDestination")->text(), row.destination);
        QCOMPARE(type()->currentIndex(), row.index);

        fill(row.source, row.destination + "2", 1 - row.index);
        QCOMPARE(readFile(kept), row.content); // nothing is written before the close
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit tiny = before;
        tiny.rlim_cur = 16;
        QVERIFY(row.block != Block::SizeLimit || setrlimit(RLIMIT_FSIZE, &tiny) == 0);
        const bool closed = window->close();
        setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(closed);

        QStringList names{"options.jcfg"};
        if (QFileInfo::exists(earlier))
            names << "options.jcfg.earlier";
        if (row.block == Block::None) {
            const auto quoted = [](QString text) {
                return text.replace("\\", "\\\\").replace("\"", "\\\"").toUtf8();
            };
            const QByteArray after = "{\n    \"Main window\": {\n        \"Destination\": \"" +
                    quoted(row.destination + "2") + "\",\n        \"Source\": \"" +
                    quoted(row.source) +
                    "\",\n        \"Type\": " + QByteArray::number(1 - row.index) + "\n    }\n}\n";
            QCOMPARE(readFile(kept), after);
            QCOMPARE(readFile(earlier), row.content); // replaced, not rewritten in place
        } else {
            QCOMPARE(readFile(kept), row.content);
        }
        if (row.block != Block::FileForDirectory)
            QCOMPARE(strayFiles(settingsDir()), names);
        QCOMPARE(QFileInfo(kept).isDir(), row.block == Block::DirectoryForFile);
    }
};

QUORVIA_TEST_MAIN(TestMainWindow, QApplication)
#include "tst_mainwindow.moc"
