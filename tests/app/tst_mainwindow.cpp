#include "converter/convertfile.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "wave/wavelayout.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <unistd.h>

using namespace support;

namespace {

// Answers every modal window that turns up while it lives: message boxes are
// recorded as "title icon Ok: text", with " (why)" when they explain (the
// explanation goes to `why`), and answered with `answer` when they offer it;
// anything else goes to `other`. It polls, because the modal windows run
// their own event loops inside the code under test.
struct ModalAnswerer : QTimer
{
    explicit ModalAnswerer(std::function<void(QWidget *)> other = {})
    {
        connect(this, &QTimer::timeout, [this, other] {
            QWidget *modal = QApplication::activeModalWidget();
            auto *box = qobject_cast<QMessageBox *>(modal);
            if (box && box->isVisible()) {
                boxes << QString("%1 %2 %3: %4%5")
                                 .arg(box->windowTitle(),
                                      QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(
                                              box->icon()),
                                      box->standardButtons() == QMessageBox::Ok ? "Ok" : "buttons",
                                      box->text(),
                                      box->informativeText().isEmpty() ? "" : " (why)");
                why << box->informativeText();
                box->done(box->standardButtons() & answer ? answer : 0);
            } else if (modal && modal->isVisible() && other) {
                other(modal);
            }
        });
        start(10);
    }
    QStringList boxes;
    QStringList why;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
};

QString settingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/options.jcfg";
}

} // namespace

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
        // Settings in a private, empty place of this program's own.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("Norvale");
        QCoreApplication::setApplicationName("Quorvia-mainwindow");
        initialDirectory = QDir::currentPath();
    }

    void init()
    {
        QDir(QFileInfo(settingsFile()).path()).removeRecursively();
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

    void form_data()
    {
        QTest::addColumn<QString>("path"); // object names from the window down
        QTest::addColumn<QString>("text"); // title, the list's items, or the text
        QTest::addColumn<QSize>("size");   // fixed, when given
        const auto row = [](const char *path, const char *text, QSize size = {}) {
            QTest::newRow(path) << QString(path) << QString(text) << size;
        };
        row("", "Tamsel", {450, 123});
        row("centralWidget/label", "Source file:");
        row("centralWidget/label_2", "Destinaton file:");
        row("centralWidget/label_3", "Format:");
        row("centralWidget/cbType",
            "Brinmoor-WAVE To Standart WAVE|Standart WAVE To Brinmoor-WAVE");
        row("centralWidget/tbSrc", "...");
        row("centralWidget/tbDst", "...");
        row("centralWidget/pbConvert", "Convert");
        row("About", "About Tamsel", {235, 251});
        row("About/label_2", "Tamsel");
        row("About/label_3", "Version 1.0.1");
        row("About/pushButton", "OK");
    }

    void form()
    {
        QFETCH(QString, path);
        QFETCH(QString, text);
        QFETCH(QSize, size);
        QWidget *widget = window.get();
        for (const QString &name : path.split('/', Qt::SkipEmptyParts))
            QVERIFY2((widget = widget->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly)),
                     qPrintable(name));
        QString shown =
                widget->isWindow() ? widget->windowTitle() : widget->property("text").toString();
        if (auto *box = qobject_cast<QComboBox *>(widget)) {
            QStringList items;
            for (int i = 0; i < box->count(); ++i)
                items << box->itemText(i);
            shown = items.join('|');
        }
        QCOMPARE(shown, text);
        for (QSize fixed : {widget->size(), widget->minimumSize(), widget->maximumSize()})
            QCOMPARE(size.isValid() ? fixed : size, size);
    }

    // Tab goes through the form as it reads: top row, source, destination,
    // Convert, and round again.
    void tabOrder()
    {
        QStringList order;
        QWidget *widget = type();
        do {
            if (widget->focusPolicy() & Qt::TabFocus)
                order << widget->objectName();
        } while ((widget = widget->nextInFocusChain()) != type());
        QCOMPARE(order.join(' '), "cbType pbAbout leSource tbSrc leDestination tbDst pbConvert");
    }

    void about()
    {
        QStringList shown;
        ModalAnswerer answerer([&](QWidget *modal) {
            shown << modal->objectName();
            modal->findChild<QPushButton *>("pushButton")->click();
            shown << (modal->isVisible() ? "visible" : "hidden");
        });
        child<QPushButton>("pbAbout")->click(); // returns only when OK has ended the modal run
        QCOMPARE(shown, QStringList({"About", "hidden"}));
        child<QPushButton>("pbAbout")->click(); // the same dialog, shown again
        QCOMPARE(shown, QStringList({"About", "hidden", "About", "hidden"}));
        QVERIFY(answerer.boxes.isEmpty());
    }

    void messages_data()
    {
        QTest::addColumn<QString>("source");      // a name in the temporary directory
        QTest::addColumn<QString>("destination"); // as typed into the field
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("returnIn"); // where Return is pressed; empty: click Convert
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("why"); // part of the explanation; "@" is the directory
        QTest::addColumn<int>("written"); // what the destination holds then
        const auto row = [](const char *name, const char *source, const char *destination,
                            int direction, const char *returnIn, const char *box, const char *why,
                            WaveLayout written = WaveLayout::NotWave) {
            QTest::newRow(name) << source << destination << direction << returnIn << box << why
                                << int(written);
        };
        const char *noSource = "Quorvia Warning Ok: Specify the source file!";
        const char *done = "Quorvia Information Ok: Was successfully done. (why)";
        row("both fields empty", "", "", 1, "", noSource, "");
        row("source is a folder", "folder.wav", "out.wav", 1, "leSource",
            "Quorvia Warning Ok: Specify the source file! (why)", "@/folder.wav is a folder");
        row("source missing", "missing.wav", "out.wav", 1, "cbType",
            "Quorvia Warning Ok: Specify the source file! (why)",
            "@/missing.wav: No such file or directory");
        row("destination empty", "standard.wav", "", 1, "leDestination",
            "Quorvia Warning Ok: Specify the destination file!", "");
        row("not a recording", "voice.take1.wav", "out.wav", 0, "",
            "Quorvia Critical Ok: Can't convert voice! (why)", "voice.take1.wav");
        // The destination's layout shows which direction the conversion was given.
        row("Brinmoor-WAVE to standard", "brinmoor.wav", "out.wav", BrinmoorToStandard, "tbDst",
            done, "Destination: @/out.wav\nDuration: 0.2 s", WaveLayout::Standard);
        row("standard to Brinmoor-WAVE, blank name used as it stands", "standard.wav", "   ",
            StandardToBrinmoor, "", done, "Duration: 0.2 s", WaveLayout::Brinmoor);
    }

    // Every path through convert() ends in one message box; the two refusals
    // never reach the conversion. Return anywhere on the form but on a push
    // button presses Convert.
    void messages()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(int, direction);
        QFETCH(QString, returnIn);
        QFETCH(QString, box);
        QFETCH(QString, why);
        QFETCH(int, written);
        makeChoices();
        const QByteArray sourceBytes = readFile(dir.filePath(source));
        fill(source.isEmpty() ? "" : dir.filePath(source), destination, direction);

        ModalAnswerer answerer;
        if (returnIn.isEmpty())
            child<QPushButton>("pbConvert")->click();
        else
            QTest::keyClick(child(qPrintable(returnIn)), Qt::Key_Return);

        QCOMPARE(answerer.boxes, QStringList(box));
        QVERIFY2(answerer.why.first().contains(QString(why).replace("@", dir.path())),
                 qPrintable(answerer.why.first()));
        QCOMPARE(child<QLineEdit>("leDestination")->text(), destination);
        QCOMPARE(readFile(dir.filePath(source)), sourceBytes);
        if (written == int(WaveLayout::NotWave))
            QVERIFY(!QFileInfo::exists(dir.filePath("out.wav")));
        else
            QCOMPARE(int(detectWaveLayout(dir.filePath(destination))), written);
    }

    void cancel_data()
    {
        QTest::addColumn<bool>("destinationExists");
        QTest::addColumn<int>("closeAnswer"); // to "Stop the conversion and quit?"; none: no close
        QTest::addColumn<bool>("batch");      // a short file, then the long one, then another
        const auto row = [](const char *name, bool exists, QMessageBox::StandardButton answer,
                            bool batch = false) {
            QTest::newRow(name) << exists << int(answer) << batch;
        };
        row("Cancel, new destination", false, QMessageBox::NoButton);
        row("close refused, then Cancel", true, QMessageBox::No);
        row("close: stop and quit", false, QMessageBox::Yes);
        row("close: stop and quit, existing destination", true, QMessageBox::Yes);
        row("Cancel in the second of three files", true, QMessageBox::NoButton, true);
    }

    // Cancel in the progress dialog, or closing the window and saying Yes,
    // stops the conversion, leaves no partial destination and keeps an
    // existing one; in a batch the files before stay converted and the rest
    // are not started. Only a close saves the settings.
    void cancel()
    {
        QFETCH(bool, destinationExists);
        QFETCH(int, closeAnswer);
        QFETCH(bool, batch);
        const QString source = dir.filePath("long.wav");
        QVERIFY(soxTone(source, 44100, "60", 16));
        QVERIFY(dir.mkpath("out"));
        const QString destination = dir.filePath(batch ? "out/long.wav" : "result.wav");
        const QByteArray earlier = "an earlier file that must survive";
        QVERIFY(!destinationExists || writeFile(destination, earlier));
        fill(source, destination, StandardToBrinmoor);
        makeChoices();

        ModalAnswerer answerer([&](QWidget *modal) { // the batch's folder
            modal->findChild<QLineEdit *>("fileNameEdit")->setText(dir.filePath("out"));
            QMetaObject::invokeMethod(modal, "accept");
        });
        bool stopped = false;
        // Each tick sleeps a little, as a slow machine would, so that the
        // conversion outlasts the moment the progress dialog appears.
        QTimer slow;
        connect(&slow, &QTimer::timeout, this, [&] {
            QThread::msleep(5);
            auto *progress = window->findChild<QProgressDialog *>();
            if (stopped || !progress || !progress->isVisible() ||
                !progress->labelText().contains(batch ? "2 of 3: long.wav" : "long.wav"))
                return;
            QVERIFY(window->isConverting());
            child<QPushButton>("pbConvert")->click(); // not a second conversion
            stopped = true;
            answerer.answer = QMessageBox::StandardButton(closeAnswer);
            if (closeAnswer != QMessageBox::NoButton)
                QVERIFY(!window->close()); // asks, and stays until the conversion has stopped
            if (closeAnswer != QMessageBox::Yes)
                progress->findChild<QPushButton *>()->click(); // its only button: Cancel
        });
        slow.start(0);

        if (batch) {
            window->openFiles({dir.filePath("standard.wav"), source, dir.filePath("brinmoor.wav")});
            QTRY_VERIFY_WITH_TIMEOUT(!answerer.boxes.isEmpty(), 60000);
        } else {
            child<QPushButton>("pbConvert")->click();
        }
        slow.stop();

        const bool quit = closeAnswer == QMessageBox::Yes;
        QVERIFY(stopped && window->isVisible() != quit && !window->isConverting());
        QCOMPARE(QFileInfo::exists(settingsFile()), quit);
        QStringList boxes;
        if (closeAnswer != QMessageBox::NoButton)
            boxes << "Quorvia Question buttons: Stop the conversion and quit?";
        if (!quit)
            boxes << QString("Quorvia Information Ok: Conversion cancelled.%1")
                             .arg(batch ? " (why)" : "");
        QCOMPARE(answerer.boxes, boxes);
        QCOMPARE(readFile(destination), destinationExists ? earlier : QByteArray());
        QCOMPARE(strayFiles(dir.filePath("out"),
                            batch ? QStringList{"long.wav", "standard.wav"} : QStringList()),
                 QStringList());
        QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden).size(),
                 (destinationExists && !batch ? 5 : 4));
        if (batch)
            QVERIFY(answerer.why.last().startsWith("1 converted, 0 failed, 2 not started."));
    }

    void batch_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("dropped on the window") << "drop";
        QTest::newRow("chosen together in the source dialog") << "tbSrc";
        QTest::newRow("named on the command line") << "arguments";
    }

    // Several sources go into one folder, each in the direction its layout
    // calls for and named as quorvia-convert -o names them; the summary says
    // which failed and why. The form keeps its contents.
    void batch()
    {
        QFETCH(QString, entry);
        makeChoices();
        QVERIFY(dir.mkpath("out"));
        QStringList sources;
        for (const char *name : {"standard.wav", "brinmoor.wav", "voice.take1.wav"})
            sources << dir.filePath(name);
        fill("in.wav", "out.wav", 0);

        ModalAnswerer answerer([&](QWidget *modal) { // the source dialog, then the folder's
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            const bool files = dialog->fileMode() == QFileDialog::ExistingFiles;
            dialog->findChild<QLineEdit *>("fileNameEdit")
                    ->setText(files ? '"' + sources.join("\" \"") + '"' : dir.filePath("out"));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        if (entry == "arguments") {
            window->openFiles(sources);
        } else if (entry == "tbSrc") {
            child<QAbstractButton>("tbSrc")->click();
        } else {
            QMimeData mime;
            for (const QString &source : sources)
                mime.setUrls(mime.urls() << QUrl::fromLocalFile(source));
            QDragEnterEvent enter({10, 10}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.get(), &enter);
            QDropEvent dropped({10, 10}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.get(), &dropped);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!answerer.boxes.isEmpty(), 60000);

        QCOMPARE(answerer.boxes, QStringList("Quorvia Warning Ok: 2 converted, 1 failed. (why)"));
        QVERIFY(answerer.why.first().contains(QDir::toNativeSeparators(sources.last())));
        QCOMPARE(strayFiles(dir.filePath("out"), {"standard.wav", "brinmoor.wav"}), QStringList());
        QCOMPARE(detectWaveLayout(dir.filePath("out/standard.wav")), WaveLayout::Brinmoor);
        QCOMPARE(detectWaveLayout(dir.filePath("out/brinmoor.wav")), WaveLayout::Standard);
        QCOMPARE(child<QLineEdit>("leSource")->text(), "in.wav");
    }

    void choose_data()
    {
        QTest::addColumn<QString>("target"); // a button opens its dialog; empty: the window
        QTest::addColumn<QString>("file");   // dropped or picked; empty: cancel the dialog
        QTest::addColumn<QString>("field");  // that takes it; empty: the drop is refused
        QTest::addColumn<int>("typeBefore");
        QTest::addColumn<int>("typeAfter");
        const auto row = [](const char *name, const char *target, const char *file,
                            const char *field, int before, int after) {
            QTest::newRow(name) << target << file << field << before << after;
        };
        row("cancel the source dialog", "tbSrc", "", "leSource", 1, 1);
        row("pick a Brinmoor-WAVE source", "tbSrc", "brinmoor.wav", "leSource", 1, 0);
        row("pick a destination", "tbDst", "new.wav", "leDestination", 1, 1);
        row("Brinmoor-WAVE on the window", "", "brinmoor.wav", "leSource", 1, 0);
        row("standard on the source", "leSource", "standard.wav", "leSource", 0, 1);
        row("Brinmoor-WAVE on the destination", "leDestination", "brinmoor.wav", "leDestination", 1,
            1);
        row("unknown layout on the window", "", "voice.take1.wav", "leSource", 1, 1);
        row("web address", "", "http://example.com/a.wav", "", 1, 1);
    }

    // A file dialog or a dropped file fills a field; a cancelled dialog
    // empties it. A source also selects the direction that reads it.
    void choose()
    {
        QFETCH(QString, target);
        QFETCH(QString, file);
        QFETCH(QString, field);
        QFETCH(int, typeBefore);
        QFETCH(int, typeAfter);
        makeChoices();
        const QString earlier = dir.filePath("folder.wav/earlier.wav");
        fill(earlier, earlier, typeBefore);

        if (target.startsWith("tb")) {
            QStringList seen; // what the dialog was like when it opened
            ModalAnswerer answerer([&](QWidget *modal) {
                auto *dialog = qobject_cast<QFileDialog *>(modal);
                if (!dialog || !seen.isEmpty())
                    return;
                seen << dialog->windowTitle() << dialog->nameFilters()
                     << dialog->directory().path();
                // Typed, as a whole path: selectFile() races with the
                // dialog's loading of the folder it started in.
                if (!file.isEmpty())
                    dialog->findChild<QLineEdit *>("fileNameEdit")->setText(dir.filePath(file));
                QMetaObject::invokeMethod(dialog, file.isEmpty() ? "reject" : "accept");
            });
            child<QAbstractButton>(qPrintable(target))->click();
            // It starts where the field points.
            QCOMPARE(seen,
                     QStringList({target == "tbSrc" ? "Open File" : "Save File", "File (*.wav)",
                                  dir.filePath("folder.wav")}));
        } else {
            QMimeData mime;
            mime.setUrls(
                    {file.contains("://") ? QUrl(file) : QUrl::fromLocalFile(dir.filePath(file))});
            QWidget *receiver = target.isEmpty() ? window.get() : child(qPrintable(target));
            const QPoint at = receiver->rect().center();
            QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(receiver, &enter);
            QCOMPARE(enter.isAccepted(), !field.isEmpty());
            if (enter.isAccepted()) {
                QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                QApplication::sendEvent(receiver, &dropped);
                QVERIFY(dropped.isAccepted());
            }
        }
        const QString taken = file.isEmpty() ? "" : QDir::toNativeSeparators(dir.filePath(file));
        for (const char *name : {"leSource", "leDestination"})
            QCOMPARE(child<QLineEdit>(name)->text(), name == field ? taken : earlier);
        QCOMPARE(type()->currentIndex(), typeAfter);
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<int>("index");
        const auto row = [](const char *name, const char *values, const char *source,
                            const char *destination, int index) {
            QTest::newRow(name) << QByteArray(values) << source << destination << index;
        };
        row("no file", "", "", "", 0);
        row("all three",
            R"({"Main window":{"Source":"/a/in.wav","Destination":"C:\\o.wav","Type":1}})",
            "/a/in.wav", "C:\\o.wav", 1);
        row("quotes, blanks and umlauts",
            "{\"Main window\":{\"Source\":\"/\\\"q\\\" ä.wav\",\"Destination\":\"   "
            "\",\"Type\":1}}",
            "/\"q\" ä.wav", "   ", 1);
        row("keys in any order, extra keys dropped",
            R"({"Other":5,"Main window":{"Type":1,"Colour":"red","Source":"x"}})", "x", "", 1);
        row("Type 2 out of range", R"({"Main window":{"Type":2}})", "", "", 0);
        row("Type -1 out of range", R"({"Main window":{"Type":-1}})", "", "", 0);
        row("Type as a string", R"({"Main window":{"Type":"1"}})", "", "", 0);
        row("Type not whole", R"({"Main window":{"Type":1.5}})", "", "", 0);
        // 2^32 + 1 would wrap to 1 if it were cut to 32 bits.
        row("Type beyond int", R"({"Main window":{"Type":4294967297}})", "", "", 0);
        row("Source as a number", R"({"Main window":{"Source":12,"Destination":"d","Type":1}})", "",
            "d", 1);
        row("Main window not an object", R"({"Main window":["Source","x"]})", "", "", 0);
        row("cut short", R"({"Main window":{"Source":"x","Type":1)", "", "", 0);
    }

    // The window reads options.jcfg when it is built, keeping its defaults
    // for anything it cannot use, and writes it whole when it is closed: into
    // a new file that replaces the old one, so that a failed write never
    // leaves half a file.
    void settings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(int, index);
        const QString earlier = settingsFile() + ".earlier";
        if (!content.isEmpty()) {
            QVERIFY(writeFile(settingsFile(), content));
            QCOMPARE(::link(qPrintable(settingsFile()), qPrintable(earlier)), 0);
        }
        newWindow();
        QCOMPARE(child<QLineEdit>("leSource")->text(), source);
        QCOMPARE(child<QLineEdit>("leDestination")->text(), destination);
        QCOMPARE(type()->currentIndex(), index);

        fill(source, destination + "2", 1 - index);
        QCOMPARE(readFile(settingsFile()), content); // nothing is written before the close
        QVERIFY(window->close());
        const auto quoted = [](QString text) {
            return text.replace("\\", "\\\\").replace("\"", "\\\"").toUtf8();
        };
        const QByteArray after = "{\n    \"Main window\": {\n        \"Destination\": \"" +
                quoted(destination + "2") + "\",\n        \"Source\": \"" + quoted(source) +
                "\",\n        \"Type\": " + QByteArray::number(1 - index) + "\n    }\n}\n";
        QCOMPARE(readFile(settingsFile()), after);
        QCOMPARE(readFile(earlier), content); // replaced, not rewritten in place
        QCOMPARE(
                QDir(QFileInfo(settingsFile()).path()).entryList(QDir::Files | QDir::Hidden).size(),
                content.isEmpty() ? 1 : 2);
    }

    void settingsPathIsADirectory()
    {
        QVERIFY(QDir().mkpath(settingsFile()));
        newWindow();
        QCOMPARE(child<QLineEdit>("leSource")->text(), QString());
        child<QLineEdit>("leSource")->setText("x");
        QVERIFY(window->close()); // the save fails quietly
        QVERIFY(QFileInfo(settingsFile()).isDir());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
