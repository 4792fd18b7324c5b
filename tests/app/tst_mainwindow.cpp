#include "converter/convertfile.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "wave/recognize.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QToolButton>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

using namespace support;

namespace {

// The Format list's row that converts a standard file to Brinmoor-WAVE.
constexpr int toBrinmoorRow = 1;

// Answers every modal window that turns up while it lives. Message boxes are recorded as
// "icon: text" in `boxes`, their explanations in `why` and `details`, and answered with the button
// whose text is `choose`, else with `answer` when they offer it; anything else goes to `other`. It
// polls, because the modal windows run their own event loops inside the code under test.
struct ModalAnswerer : QTimer
{
    explicit ModalAnswerer(std::function<void(QWidget *)> other = {})
    {
        connect(this, &QTimer::timeout, [this, other] {
            QWidget *modal = QApplication::activeModalWidget();
            auto *box = qobject_cast<QMessageBox *>(modal);
            if (box && box->isVisible()) {
                boxes << QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()) +
                                QString(": ") + box->text();
                why << box->informativeText();
                details << box->detailedText();
                for (QAbstractButton *button : box->buttons()) {
                    if (button->text().remove('&') == choose)
                        return button->click();
                }
                box->done(box->standardButtons() & answer ? answer : 0);
            } else if (modal && modal->isVisible() && other) {
                other(modal);
            }
        });
        start(10);
    }
    QStringList boxes;
    QStringList why;
    QStringList details;
    QString choose;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
};

QString settingsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString settingsFile()
{
    return settingsDir() + "/options.jcfg";
}

// How a conversion ends, besides running to the end.
enum class Stop { None, Cancel, CloseRefused, CloseAndQuit };

struct Conversion
{
    QString name;
    QString source; // in a batch, the second of three: standard, it, Brinmoor-WAVE
    Stop stop;
    QString entry;         // how the batch comes in; empty: one file, Return in the form
    bool existing = false; // an earlier destination; else none
};

struct Drop
{
    QString name;
    QString target; // the field dropped on; empty: the window
    QString file;
    QString field; // that takes it; empty: the drop is refused
    int typeBefore;
    int typeAfter;
    QString proposed; // the destination then proposed; empty: none
    QString box = {}; // when converted after the drop; "": not converted
    QString why = {}; // part of its informative text
};

struct Ask
{
    QString name;
    QString source;   // of makeChoices()
    int direction;    // chosen before
    QString named;    // how an existing destination was named; empty: it is new
    QString answer;   // to every question
    QString asked;    // the window's question; empty: none
    QString outcome;  // the box that follows; empty: none
    int bits;         // per sample in the destination after; 0: the earlier file; -1: none
    QString why = {}; // part of the last box's explanation
};

struct Existing
{
    QString name;
    bool existing; // standard.wav and take.wav are in the folder already
    QString answer;
    QString summary; // the start of the success's explanation; empty: no success
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
    // The standard format's keys that the window keeps (and saves again).
    QByteArray format = {};
};

// The window's context-menu action (or its submenu's) named `text`.
QAction *menuAction(QWidget *window, const QString &text)
{
    for (QAction *action : window->actions()) {
        if (action->text() == text)
            return action;
        if (action->menu())
            for (QAction *inner : action->menu()->actions())
                if (inner->text() == text)
                    return inner;
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(Conversion)
Q_DECLARE_METATYPE(Drop)
Q_DECLARE_METATYPE(Ask)
Q_DECLARE_METATYPE(Existing)
Q_DECLARE_METATYPE(Setting)

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QDir dir;
    std::unique_ptr<MainWindow> window;

    QLineEdit *field(const char *name) const { return window->findChild<QLineEdit *>(name); }
    QComboBox *type() const { return window->findChild<QComboBox *>("cbType"); }
    // Drags `urls` onto `receiver` and drops them there if it takes them; true if it took them.
    static bool dragAndDrop(QWidget *receiver, const QList<QUrl> &urls)
    {
        QMimeData mime;
        mime.setUrls(urls);
        const QPoint at = receiver->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(receiver, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(receiver, &dropped);
        return dropped.isAccepted();
    }
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
    // A Brinmoor-WAVE recording whole and cut short, a standard one, a text file and a folder.
    void makeChoices() const
    {
        QVERIFY(soxTone(dir.filePath("standard.wav"), 44100, "0.2", 16));
        QVERIFY(writeFile(dir.filePath("brinmoor.wav"), brinmoorBytes(sine(8000, 0.5))));
        QVERIFY(writeFile(dir.filePath("cut.wav"), brinmoorBytes(sine(8000, 0.5)).left(60044)));
        QVERIFY(writeFile(dir.filePath("voice.take1.wav"), "just some words\n"));
        // Digital silence behind a header that fits both layouts.
        QVERIFY(writeFile(dir.filePath("silence.wav"),
                          canonicalHeader(32, 2, 44100, 0) + QByteArray(1600, '\0')));
        QVERIFY(!output({"sox", "-R", dir.filePath("standard.wav"), dir.filePath("take.flac")})
                         .isNull());
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

    void conversion_data()
    {
        rows<Conversion>({
                {"to the end", "standard.wav", Stop::None, "", true},
                {"Cancel", "long.wav", Stop::Cancel, "", false},
                {"close refused, then Cancel", "long.wav", Stop::CloseRefused, "", true},
                {"close: stop and quit", "long.wav", Stop::CloseAndQuit, "", true},
                {"several dropped, one of either layout", "silence.wav", Stop::None, "drop"},
                {"several opened, Cancel in the second", "long.wav", Stop::Cancel, "arguments",
                 true},
        });
    }

    // Return in the form converts and the outcome says where and how long. Cancel, or closing the
    // window and saying Yes, stops the conversion, leaves no partial destination and keeps an
    // existing one; in a batch the files before stay converted and the rest are not started. While
    // it runs, the window starts no second conversion; only a close saves the settings.
    void conversion()
    {
        QFETCH(Conversion, row);
        makeChoices();
        const bool batch = !row.entry.isEmpty();
        const bool stopped = row.stop != Stop::None;
        const bool quit = row.stop == Stop::CloseAndQuit;
        QVERIFY(soxTone(dir.filePath("long.wav"), 44100, "60", 16));
        const QString source = dir.filePath(row.source);
        QVERIFY(dir.mkpath("out"));
        const QString destination =
                dir.filePath("out/" + (batch ? QFileInfo(source).fileName() : "result.wav"));
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(!row.existing || writeFile(destination, earlier));
        fill(source, destination, toBrinmoorRow);

        ModalAnswerer answerer([&](QWidget *modal) { // the batch's folder
            modal->findChild<QLineEdit *>("fileNameEdit")->setText(dir.filePath("out"));
            QMetaObject::invokeMethod(modal, "accept");
        });
        answerer.answer = QMessageBox::Yes; // replace the earlier destination
        answerer.choose = "Replace";        // in a batch
        bool asked = false;
        // Each tick sleeps a little, as a slow machine would, so that the
        // conversion outlasts the moment the progress dialog appears.
        QTimer slow;
        connect(&slow, &QTimer::timeout, this, [&] {
            QThread::msleep(5);
            auto *progress = window->findChild<QProgressDialog *>();
            if (!stopped || asked || !progress || !progress->isVisible() ||
                !progress->labelText().contains("long.wav")) // in a batch, the second file
                return;
            QVERIFY(window->isConverting());
            convertButton()->click(); // not a second conversion
            asked = true;
            answerer.answer = quit ? QMessageBox::Yes : QMessageBox::No;
            if (row.stop != Stop::Cancel)
                QVERIFY(!window->close()); // asks, and stays until the conversion has stopped
            if (!quit)
                progress->findChild<QPushButton *>()->click(); // its only button: Cancel
        });
        slow.start(0);

        const QStringList sources{dir.filePath("standard.wav"), source,
                                  dir.filePath("brinmoor.wav")};
        if (row.entry == "arguments") {
            window->openFiles(sources);
        } else if (batch) {
            QList<QUrl> urls;
            for (const QString &file : sources)
                urls << QUrl::fromLocalFile(file);
            QVERIFY(dragAndDrop(window.get(), urls));
        } else {
            QTest::keyClick(field("leDestination"), Qt::Key_Return);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!answerer.boxes.isEmpty(), 60000); // a batch starts later
        slow.stop();

        QVERIFY(asked == stopped && window->isVisible() != quit && !window->isConverting());
        QCOMPARE(QFileInfo::exists(settingsFile()), quit);
        QStringList boxes;
        if (row.existing)
            boxes << (batch ? "Question: long.wav already exists in " +
                                      QDir::toNativeSeparators(dir.filePath("out")) + "."
                            : "Question: result.wav already exists. Do you want to replace it?");
        if (row.stop == Stop::CloseRefused || quit)
            boxes << "Question: Stop the conversion and quit?";
        if (stopped && !quit)
            boxes << "Information: Conversion cancelled.";
        else if (batch)
            boxes << "Warning: 2 converted, 1 failed.";
        else if (!quit)
            boxes << "Information: Was successfully done.";
        QCOMPARE(answerer.boxes, boxes);
        const QString said = answerer.why.last();
        if (stopped) {
            QCOMPARE(readFile(destination), row.existing ? earlier : QByteArray());
            QVERIFY2(!batch || said.startsWith("1 converted, 0 failed, 2 not started."),
                     qPrintable(said));
        } else if (batch) {
            QVERIFY2(said.endsWith("Not converted: silence.wav"), qPrintable(said));
            QVERIFY(answerer.details.last().contains(QDir::toNativeSeparators(source) +
                                                     ": cannot tell its layout"));
            QCOMPARE(recognizeWave(dir.filePath("out/brinmoor.wav")).layout, WaveLayout::Standard);
        } else {
            QCOMPARE(said,
                     "Destination: " + QDir::toNativeSeparators(destination) + "\nDuration: 0.2 s");
            QCOMPARE(recognizeWave(destination).layout, WaveLayout::Brinmoor);
        }
        if (batch) // the file before is converted; after a stop, the one after is not started
            QCOMPARE(recognizeWave(dir.filePath("out/standard.wav")).layout, WaveLayout::Brinmoor);
        QCOMPARE(strayFiles(dir.filePath("out"),
                            {"standard.wav", "long.wav", "brinmoor.wav", "result.wav"}),
                 QStringList());
        QCOMPARE(QFileInfo::exists(dir.filePath("out/brinmoor.wav")), batch && !stopped);
    }

    void drop_data()
    {
        rows<Drop>({
                {"Brinmoor-WAVE on the window", "", "brinmoor.wav", "leSource", 1, 0,
                 "brinmoor-standard.wav"},
                // standard-brinmoor.wav is there already.
                {"standard on the source", "leSource", "standard.wav", "leSource", 0, 1,
                 "standard-brinmoor-2.wav"},
                {"unknown layout on the window", "", "voice.take1.wav", "leSource", 0, 0,
                 "voice.take1-standard.wav"},
                {"FLAC on the window", "", "take.flac", "leSource", 0, 1, "take-brinmoor.wav"},
                {"standard on the destination", "leDestination", "standard.wav", "leDestination", 0,
                 0, ""},
                {"web address", "", "http://example.com/a.wav", "", 1, 1, ""},
                // What the user should know comes with the success.
                {"recording cut short, converted", "", "cut.wav", "leSource", 1, 0,
                 "cut-standard.wav", "Information: Was successfully done.",
                 "holds 3750 of the 8000 frames"},
        });
    }

    // A dropped file fills a field; a source also selects the direction
    // that reads it, and proposes a new destination beside it.
    void drop()
    {
        QFETCH(Drop, row);
        makeChoices();
        QVERIFY(writeFile(dir.filePath("standard-brinmoor.wav"), "an earlier conversion"));
        const QString earlier = dir.filePath("folder.wav/earlier.wav");
        fill(earlier, earlier, row.typeBefore);

        const QUrl url = row.file.contains("://") ? QUrl(row.file)
                                                  : QUrl::fromLocalFile(dir.filePath(row.file));
        QCOMPARE(dragAndDrop(row.target.isEmpty() ? static_cast<QWidget *>(window.get())
                                                  : field(qPrintable(row.target)),
                             {url}),
                 !row.field.isEmpty());
        const QString taken = QDir::toNativeSeparators(dir.filePath(row.file));
        const QString proposed = QDir::toNativeSeparators(dir.filePath(row.proposed));
        QCOMPARE(field("leSource")->text(), row.field == "leSource" ? taken : earlier);
        QCOMPARE(field("leDestination")->text(),
                 row.field == "leDestination"     ? taken
                         : row.proposed.isEmpty() ? earlier
                                                  : proposed);
        QCOMPARE(type()->currentIndex(), row.typeAfter);
        if (row.box.isEmpty())
            return;
        ModalAnswerer answerer;
        convertButton()->click();
        QCOMPARE(answerer.boxes, QStringList(row.box));
        QVERIFY2(answerer.why.last().contains(row.why), qPrintable(answerer.why.last()));
    }

    void questions_data()
    {
        const QString replace = "Question: out.wav already exists. Do you want to replace it?";
        const QString which = "Question: silence.wav could be a recording of either layout.";
        const QString done = "Information: Was successfully done.";
        rows<Ask>({
                {"typed or remembered destination, No", "standard.wav", 1, "typed", "No", replace,
                 "", 0},
                {"typed or remembered destination, Yes", "standard.wav", 1, "typed", "Yes", replace,
                 done, 32},
                // The dialog has asked already.
                {"destination chosen in the save dialog", "standard.wav", 1, "save dialog", "Yes",
                 "", done, 32},
                {"layout unknown, read as Brinmoor-WAVE", "silence.wav", 1, "",
                 "Brinmoor-WAVE To Standart WAVE", which, done, 24},
                {"layout unknown, Cancel", "silence.wav", 0, "", "Cancel", which, "", -1},
                {"standard file read as Brinmoor-WAVE", "standard.wav", 0, "", "", "",
                 "Critical: Can't convert standard!", -1,
                 "Choose \"Standart WAVE To Brinmoor-WAVE\" in Format."},
        });
    }

    // Before a conversion replaces a file that the user has not confirmed,
    // or reads a source whose layout cannot be told, the window asks.
    void questions()
    {
        QFETCH(Ask, row);
        makeChoices();
        const QString destination = dir.filePath("out.wav");
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(row.named.isEmpty() || writeFile(destination, earlier));
        fill(dir.filePath(row.source), row.named == "typed" ? destination : "", row.direction);
        ModalAnswerer answerer([&](QWidget *modal) { // the save dialog
            modal->findChild<QLineEdit *>("fileNameEdit")->setText(destination);
            // Queued: it asks a question of its own, which the answerer's
            // timer must be free to answer.
            QMetaObject::invokeMethod(modal, "accept", Qt::QueuedConnection);
        });
        answerer.choose = row.answer;
        if (row.named == "save dialog")
            window->findChild<QToolButton *>("tbDst")->click();
        else if (row.named.isEmpty())
            field("leDestination")->setText(destination);
        convertButton()->click();

        // The save dialog's own question is the toolkit's.
        QStringList boxes{row.asked, row.outcome};
        boxes.removeAll("");
        QCOMPARE(answerer.boxes.filter(QRegularExpression("^(?!Warning: )")), boxes);
        const QByteArray after = readFile(destination);
        if (row.bits > 0)
            QCOMPARE(int(after.at(34)), row.bits);
        else
            QCOMPARE(after, row.bits == 0 ? earlier : QByteArray());
        QVERIFY2(answerer.why.last().contains(row.why), qPrintable(answerer.why.last()));
    }

    void existing_data()
    {
        rows<Existing>({
                {"into a new folder", false, "", "3 converted, 0 failed."},
                {"two there, Replace", true, "Replace", "3 converted, 0 failed."},
                {"two there, Skip Them", true, "Skip Them",
                 "1 converted, 0 failed, 2 skipped (exist)."},
                {"two there, Cancel", true, "Cancel", ""},
        });
    }

    // A batch's folder dialog starts beside the sources with a new folder
    // typed, which it makes, and next time in the folder last used. Files
    // already there are replaced, or skipped, only after one question.
    void existing()
    {
        QFETCH(Existing, row);
        makeChoices();
        const QDir out(dir.filePath("converted"));
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(!row.existing ||
                (dir.mkpath("converted") && writeFile(out.filePath("standard.wav"), earlier) &&
                 writeFile(out.filePath("take.wav"), earlier)));
        bool again = false;
        QStringList started; // where the folder dialog started, and what it had typed
        ModalAnswerer answerer([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            started << dialog->directory().absolutePath() + ": " +
                            dialog->findChild<QLineEdit *>("fileNameEdit")->text();
            QMetaObject::invokeMethod(dialog, again ? "reject" : "accept");
        });
        answerer.choose = row.answer;
        const QStringList sources{dir.filePath("standard.wav"), dir.filePath("brinmoor.wav"),
                                  dir.filePath("take.flac")};
        window->openFiles(sources);
        QTRY_VERIFY(!window->isConverting() &&
                    answerer.boxes.size() == row.existing + !row.summary.isEmpty());

        QStringList boxes;
        if (row.existing)
            boxes << "Question: 2 files already exist in " + QDir::toNativeSeparators(out.path()) +
                            ".";
        if (!row.summary.isEmpty())
            boxes << "Information: Was successfully done.";
        QCOMPARE(answerer.boxes, boxes);
        QVERIFY(!row.existing || answerer.why.first().startsWith("standard.wav, take.wav\n"));
        QVERIFY(row.summary.isEmpty() || answerer.why.last().startsWith(row.summary));
        const bool replaced = row.answer != "Skip Them" && row.answer != "Cancel";
        QCOMPARE(readFile(out.filePath("standard.wav")) == earlier, row.existing && !replaced);
        QCOMPARE(QFileInfo::exists(out.filePath("brinmoor.wav")), row.answer != "Cancel");

        QVERIFY(window->close());
        newWindow();
        again = true;
        window->openFiles(sources);
        QTRY_COMPARE(started.size(), 2);
        QCOMPARE(started, QStringList({dir.path() + ": converted", out.path() + ": "}));
    }

    // A dropped folder stands for the recordings under it: converted into the folder chosen (here
    // inside it, and not read) with its tree kept; what is no recording is skipped and counted, a
    // link to a folder is not followed, and what is there already is asked about.
    void droppedFolder()
    {
        makeChoices();
        const QDir tree(dir.filePath("tree"));
        QVERIFY(tree.mkpath("a") && tree.mkpath("b/c") && tree.mkpath("converted/a"));
        QVERIFY(QFile::copy(dir.filePath("standard.wav"), tree.filePath("a/standard.wav")) &&
                QFile::copy(dir.filePath("brinmoor.wav"), tree.filePath("b/c/brinmoor.wav")) &&
                QFile::copy(dir.filePath("voice.take1.wav"), tree.filePath("b/notes.wav")) &&
                QFile::link("..", tree.filePath("b/loop")));
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(writeFile(tree.filePath("converted/a/standard.wav"), earlier));
        ModalAnswerer answerer([&](QWidget *modal) {
            modal->findChild<QLineEdit *>("fileNameEdit")->setText(tree.filePath("converted"));
            QMetaObject::invokeMethod(modal, "accept");
        });
        answerer.choose = "Skip It";
        QVERIFY(dragAndDrop(window.get(), {QUrl::fromLocalFile(tree.path())}));
        QTRY_VERIFY(!window->isConverting() && answerer.boxes.size() == 2);

        const QString out = QDir::toNativeSeparators(tree.filePath("converted"));
        QCOMPARE(answerer.boxes,
                 QStringList({"Question: " + QDir::toNativeSeparators("a/standard.wav") +
                                      " already exists in " + out + ".",
                              "Information: Was successfully done."}));
        QVERIFY2(answerer.why.last().startsWith(
                         "1 converted, 0 failed, 1 skipped (not recordings), 1 skipped (exist)."),
                 qPrintable(answerer.why.last()));
        QCOMPARE(readFile(tree.filePath("converted/a/standard.wav")), earlier);
        QCOMPARE(recognizeWave(tree.filePath("converted/b/c/brinmoor.wav")).layout,
                 WaveLayout::Standard);
        QCOMPARE(treeOf(tree.filePath("converted")),
                 QString("a/ a/standard.wav b/ b/c/ b/c/brinmoor.wav"));
    }

    // The window's context menu chooses the resampling mode and what a standard destination holds
    // for the next conversion; FLAC names go only with a depth FLAC holds.
    void resamplingMenu()
    {
        // The defaults: the original filter, 24 bits, 44100 Hz, .wav names.
        QCOMPARE(window->contextMenuPolicy(), Qt::ActionsContextMenu);
        for (const char *checked : {"Resampling: original", "24 bits", "44100 Hz"})
            QVERIFY(menuAction(window.get(), checked)->isChecked());
        QVERIFY(!menuAction(window.get(), "Batch outputs as FLAC")->isChecked());
        QVERIFY(!menuAction(window.get(), "Dither at 16 bits")->isEnabled());
        menuAction(window.get(), "32-bit float")->trigger();
        QVERIFY(!menuAction(window.get(), "Batch outputs as FLAC")->isEnabled());
        menuAction(window.get(), "16 bits")->trigger();
        menuAction(window.get(), "Batch outputs as FLAC")->trigger();
        QVERIFY(!menuAction(window.get(), "32 bits")->isEnabled());
        QVERIFY(menuAction(window.get(), "Dither at 16 bits")->isEnabled());
        menuAction(window.get(), "48000 Hz")->trigger();

        menuAction(window.get(), "Resampling: high quality")->trigger();
        // 400 frames at 44100 Hz with the original filter would give 1241.
        QVERIFY(soxTone(dir.filePath("short.wav"), 44100, "400s"));
        fill(dir.filePath("short.wav"), dir.filePath("out.wav"), toBrinmoorRow);
        ModalAnswerer answerer;
        convertButton()->click();
        QCOMPARE(readBrinmoor(dir.filePath("out.wav")).size(), size_t(354));
        fill(dir.filePath("out.wav"), dir.filePath("back.wav"), 0);
        convertButton()->click();
        QCOMPARE(soxi(dir.filePath("back.wav")), QString("435 48000 2 16"));
        // FLAC cannot hold 32 bits: the window says what would do.
        menuAction(window.get(), "Batch outputs as FLAC")->trigger();
        menuAction(window.get(), "32 bits")->trigger();
        fill(dir.filePath("out.wav"), dir.filePath("back.flac"), 0);
        convertButton()->click();
        QVERIFY2(answerer.why.last().startsWith("FLAC holds 16 or 24 bits: name the destination "
                                                ".wav, or choose 16 or 24 bits"),
                 qPrintable(answerer.why.join('|')));
        QVERIFY(!QFileInfo::exists(dir.filePath("back.flac")));
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
                // The standard format's choices, each kept only when it is not the default.
                {"16 bits undithered, 96000 Hz, FLAC batches",
                 R"({"Main window":{"Bits":"16","Dither":false,"Rate":96000,"Batch format":"flac"}})",
                 "", "", 0, Block::None, false,
                 R"({"Bits":"16","Dither":false,"Rate":96000,"Batch format":"flac"})"},
                {"float drops FLAC batches, an odd rate is ignored",
                 R"({"Main window":{"Bits":"float","Rate":32000,"Batch format":"flac"}})", "", "",
                 0, Block::None, false, R"({"Bits":"float"})"},
                // When the settings cannot be saved, the window still closes, the
                // previous file stays as it was and nothing is left beside it.
                {"file-size limit", all, "/a/in.wav", "C:\\o.wav", 1, Block::SizeLimit},
                {"a file in place of the directory", all, "", "", 0, Block::FileForDirectory},
        });
    }

    // The window reads options.jcfg when it is built, keeping its defaults for anything it cannot
    // use, and writes it whole when it is closed: into a new file that replaces the old one, so
    // that a failed write never leaves half a file.
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
        QCOMPARE(menuAction(window.get(), "Resampling: high quality")->isChecked(),
                 row.highQuality);

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
            const QJsonObject format = QJsonDocument::fromJson(row.format).object();
            for (auto i = format.begin(); i != format.end(); ++i)
                values.insert(i.key(), i.value());
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
