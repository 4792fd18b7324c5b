#include "converter/convertfile.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "wave/wavelayout.h"

#include <QAction>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
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
// "icon: text", with " (why)" when it explains. It polls, because the boxes
// run their own event loops inside the code under test.
struct ModalAnswerer : QTimer
{
    ModalAnswerer()
    {
        connect(this, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            boxes << QString("%1: %2%3")
                             .arg(QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()),
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

struct Drop
{
    QString name;
    QString target; // the field dropped on; empty: the window
    QString file;
    QString field; // that takes it; empty: the drop is refused
    int typeBefore;
    int typeAfter;
    QString box = {}; // when converted after the drop; "": not converted
};

// What keeps the settings from being saved when the window closes.
enum class Block { None, SizeLimit, FileForDirectory };

struct Setting
{
    QString name;
    QByteArray content; // of the settings file before; empty: none
    QString source;     // what the window then shows
    QString destination;
    int index;
    Block block = Block::None;
    bool highQuality = false; // the resampling mode the window then shows checked
};

} // namespace

Q_DECLARE_METATYPE(Drop)
Q_DECLARE_METATYPE(Setting)

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QDir dir;
    std::unique_ptr<MainWindow> window;

    QLineEdit *field(const char *name) const { return window->findChild<QLineEdit *>(name); }
    QComboBox *type() const { return window->findChild<QComboBox *>("cbType"); }
    QPushButton *convertButton() const { return window->findChild<QPushButton *>("pbConvert"); }
    void fill(const QString &source, const QString &destination, int direction) const
    {
        field("leSource")->setText(source);
        field("leDestination")->setText(destination);
        type()->setCurrentIndex(direction);
    }
    void newWindow()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }
    // A Brinmoor-WAVE recording whole and cut short, a standard one, a text
    // file and a folder.
    void makeChoices() const
    {
        QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "0.2", 16));
        QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(8000, 0.5))));
        QVERIFY(writeFile(dir.filePath("cut.wav"), brinmoorBytes(sine(8000, 0.5)).left(60044)));
        QVERIFY(writeFile(dir.filePath("voice.take1.wav"), "just some words\n"));
        QVERIFY(!output({"sox", dir.filePath("standard.wav"), dir.filePath("take.flac")}).isNull());
        QVERIFY(dir.mkpath("folder.wav"));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Norvale");
        QCoreApplication::setApplicationName("Quorvia-mainwindow");
        QVERIFY(settingsDir().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        // A file-size limit makes writes fail instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void init()
    {
        QDir(settingsDir()).removeRecursively();
        QFile::remove(settingsDir());
        tmp = std::make_unique<QTemporaryDir>();
        dir = QDir(tmp->path());
        newWindow();
    }

    void cleanup()
    {
        window.reset();
        tmp.reset();
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
            convertButton()->click();
            cancelled = true;
            progress->findChild<QPushButton *>()->click(); // its only button: Cancel
        });
        slow.start(0);

        ModalAnswerer answerer;
        convertButton()->click();
        slow.stop();

        QVERIFY(cancelled && !closed && window->isVisible() && !window->isConverting());
        QVERIFY(!QFileInfo::exists(settingsFile())); // the refused close saved nothing
        QCOMPARE(answerer.boxes, QStringList("Information: Conversion cancelled."));
        QCOMPARE(readFile(destination), earlier);
        QCOMPARE(strayFiles(dir.path()), QStringList({"long.wav", "result.wav"}));
    }

    void drop_data()
    {
        rows<Drop>({
                {"Brinmoor-WAVE on the window", "", "brinmoor.wav", "leSource", 1, 0},
                {"standard on the source", "leSource", "standard.wav", "leSource", 0, 1},
                {"unknown layout on the window", "", "voice.take1.wav", "leSource", 0, 0},
                {"FLAC on the window", "", "take.flac", "leSource", 0, 1},
                {"web address", "", "http://example.com/a.wav", "", 1, 1},
                // What the user should know comes with the success.
                {"recording cut short, converted", "", "cut.wav", "leSource", 1, 0,
                 "Information: Was successfully done. (why)"},
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
        QWidget *receiver = row.target.isEmpty() ? static_cast<QWidget *>(window.get())
                                                 : field(qPrintable(row.target));
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
            QCOMPARE(field(name)->text(), name == row.field ? taken : earlier);
        QCOMPARE(type()->currentIndex(), row.typeAfter);
        if (row.box.isEmpty())
            return;
        ModalAnswerer answerer;
        convertButton()->click();
        QCOMPARE(answerer.boxes, QStringList(row.box));
    }

    // The window's context menu chooses the resampling mode of the next
    // conversion.
    void resamplingMenu()
    {
        QCOMPARE(window->contextMenuPolicy(), Qt::ActionsContextMenu);
        QStringList shown;
        for (QAction *action : window->actions())
            shown << action->text() + (action->isChecked() ? " (checked)" : "");
        QCOMPARE(shown,
                 QStringList({"Resampling: as specified (checked)", "Resampling: high quality"}));
        window->actions().last()->trigger();
        // 400 frames at 44100 Hz as specified would give 1241.
        QVERIFY(soxTone(dir.filePath("short.wav"), 44100, "400s"));
        fill(dir.filePath("short.wav"), dir.filePath("out.wav"), StandardToBrinmoor);
        ModalAnswerer answerer;
        convertButton()->click();
        QCOMPARE(readBrinmoor(dir.filePath("out.wav")).size(), size_t(354));
    }

    void settings_data()
    {
        const QByteArray all =
                R"({"Main window":{"Source":"/a/in.wav","Destination":"C:\\o.wav","Type":1}})";
        rows<Setting>({
                {"no file", "", "", "", 0},
                {"all three", all, "/a/in.wav", "C:\\o.wav", 1},
                {"Type -1 out of range", R"({"Main window":{"Type":-1}})", "", "", 0},
                // Only "high" chooses the high-quality mode, which is kept by
                // itself beside the three.
                {"high quality", R"({"Main window":{"Resampling":"high"}})", "", "", 0, Block::None,
                 true},
                {"Resampling of another value", R"({"Main window":{"Resampling":"High"}})", "", "",
                 0},
                // When the settings cannot be saved, the window still closes, the
                // previous file stays as it was and nothing is left beside it.
                {"file-size limit", all, "/a/in.wav", "C:\\o.wav", 1, Block::SizeLimit},
                {"a file in place of the directory", all, "", "", 0, Block::FileForDirectory},
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
        } else if (!row.content.isEmpty()) {
            QVERIFY(writeFile(kept, row.content));
            QCOMPARE(::link(qPrintable(kept), qPrintable(earlier)), 0);
        }
        newWindow();
        QCOMPARE(field("leSource")->text(), row.source);
        QCOMPARE(field("leDestination")->text(), row.destination);
        QCOMPARE(type()->currentIndex(), row.index);
        QCOMPARE(window->actions().last()->isChecked(), row.highQuality);

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
            QJsonObject values{{"Source", row.source},
                               {"Destination", row.destination + "2"},
                               {"Type", 1 - row.index}};
            if (row.highQuality)
                values.insert("Resampling", "high");
            QCOMPARE(QJsonDocument::fromJson(readFile(kept)).object(),
                     QJsonObject({{"Main window", values}}));
            QCOMPARE(readFile(earlier), row.content); // replaced, not rewritten in place
        } else {
            QCOMPARE(readFile(kept), row.content);
        }
        if (row.block != Block::FileForDirectory)
            QCOMPARE(strayFiles(settingsDir()), names);
    }
};

QUORVIA_TEST_MAIN(TestMainWindow, QApplication)
#include "tst_mainwindow.moc"
