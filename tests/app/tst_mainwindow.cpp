#include "apptest.h"
#include "converter/convertfile.h"
#include "mainwindow.h"
#include "wave/wavelayout.h"

#include <QComboBox>
#include <QDialog>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void form();
    void formCells_data();
    void formCells();
    void aboutDialog();

    void messages_data();
    void messages();
    void direction_data();
    void direction();
    void cancel_data();
    void cancel();

    void fileDialogs_data();
    void fileDialogs();
    void drop_data();
    void drop();

private:
    template<typename T>
    static T *child(QObject *parent, const char *name)
    {
        T *found = parent->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no %s named %s", T::staticMetaObject.className(), name);
        return found;
    }

    QWidget *central() const { return static_cast<QMainWindow *>(window.get())->centralWidget(); }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MainWindow> window;
    QString initialDirectory;
};

void TestMainWindow::initTestCase()
{
    useFreshSettings(QStringLiteral("mainwindow"));
    initialDirectory = QDir::currentPath();
}

void TestMainWindow::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    window = std::make_unique<MainWindow>();
    window->show();
}

void TestMainWindow::cleanup()
{
    window.reset();
    QDir::setCurrent(initialDirectory);
    tmp.reset();
}

void TestMainWindow::form()
{
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Tamsel"));
    for (QSize size : {window->size(), window->minimumSize(), window->maximumSize()})
        QCOMPARE(size, QSize(450, 123));
    QVERIFY(!window->findChild<QMenuBar *>() && !window->findChild<QStatusBar *>());
    QCOMPARE(central()->objectName(), QStringLiteral("centralWidget"));

    auto *grid = child<QGridLayout>(window.get(), "gridLayout");
    QCOMPARE(grid->parentWidget(), central());
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));

    auto *type = child<QComboBox>(window.get(), "cbType");
    QCOMPARE(type->count(), 2);
    QCOMPARE(type->itemText(0), QStringLiteral("Brinmoor-WAVE To Standart WAVE"));
    QCOMPARE(type->itemText(1), QStringLiteral("Standart WAVE To Brinmoor-WAVE"));
    QCOMPARE(type->minimumSize(), QSize(223, 0));
    QVERIFY(!child<QPushButton>(window.get(), "pbAbout")->icon().isNull());
    for (const char *name : {"label", "label_2", "label_3"})
        QCOMPARE(child<QLabel>(window.get(), name)->alignment(),
                 Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);

    // Each row of buttons stretches at its spacer.
    const std::pair<const char *, int> spacers[] = {{"horizontalLayout", 2},
                                                    {"horizontalLayout_2", 0}};
    for (auto [name, index] : spacers) {
        auto *row = child<QHBoxLayout>(window.get(), name);
        QCOMPARE(row->spacing(), 6);
        QVERIFY(row->itemAt(index)->spacerItem());
        QCOMPARE(row->itemAt(index)->sizeHint(), QSize(40, 20));
        QCOMPARE(row->itemAt(index)->expandingDirections(), Qt::Horizontal);
    }
}

void TestMainWindow::formCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QRect>("cell"); // column (or box index), row, column span, row span
    auto row = [](const char *name, const char *text, const char *layout, QRect cell) {
        QTest::newRow(name) << name << text << layout << cell;
    };
    row("horizontalLayout", "", "gridLayout", {0, 0, 4, 1});
    row("label", "Source file:", "gridLayout", {0, 1, 2, 1});
    row("leSource", "", "gridLayout", {2, 1, 1, 1});
    row("tbSrc", "...", "gridLayout", {3, 1, 1, 1});
    row("label_2", "Destinaton file:", "gridLayout", {0, 2, 2, 1});
    row("leDestination", "", "gridLayout", {2, 2, 1, 1});
    row("tbDst", "...", "gridLayout", {3, 2, 1, 1});
    row("horizontalLayout_2", "", "gridLayout", {0, 3, 4, 1});
    row("label_3", "Format:", "horizontalLayout", {0, 0, 1, 1});
    row("cbType", "Brinmoor-WAVE To Standart WAVE", "horizontalLayout", {1, 0, 1, 1});
    row("pbAbout", "", "horizontalLayout", {3, 0, 1, 1});
    row("pbConvert", "Convert", "horizontalLayout_2", {1, 0, 1, 1});
}

void TestMainWindow::formCells()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, layout);
    QFETCH(QRect, cell);
    QObject *object = window->findChild<QObject *>(name);
    QVERIFY(object);
    if (auto *widget = qobject_cast<QWidget *>(object)) {
        QCOMPARE(widget->parentWidget(), central());
        QCOMPARE(widget->property(widget == child<QComboBox>(window.get(), "cbType") ? "currentText"
                                                                                     : "text")
                         .toString(),
                 text);
    }
    auto *parent = child<QLayout>(window.get(), qPrintable(layout));
    int index = -1;
    for (int i = 0; i < parent->count(); ++i) {
        QLayoutItem *item = parent->itemAt(i);
        if (item->widget() == object || item->layout() == object)
            index = i;
    }
    QVERIFY(index >= 0);
    QRect found(index, 0, 1, 1);
    if (auto *grid = qobject_cast<QGridLayout *>(parent)) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        found = QRect(column, row, columnSpan, rowSpan);
    }
    QCOMPARE(found, cell);
}

void TestMainWindow::aboutDialog()
{
    int shown = 0;
    ModalAnswerer answerer([&](QWidget *modal) {
        if (modal->objectName() != QLatin1String("About"))
            return;
        ++shown;
        QCOMPARE(modal->parentWidget(), window.get());
        QCOMPARE(modal->windowTitle(), QStringLiteral("About Tamsel"));
        QCOMPARE(modal->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        for (QSize size : {modal->size(), modal->minimumSize(), modal->maximumSize()})
            QCOMPARE(size, QSize(235, 251));

        // The 256-pixel picture drawn at 110 pixels.
        auto *picture = child<QLabel>(modal, "label");
        QCOMPARE(picture->size(), QSize(110, 110));
        QVERIFY(picture->hasScaledContents());
        QCOMPARE(picture->pixmap(Qt::ReturnByValue).size(), QSize(256, 256));

        const std::tuple<const char *, const char *, int, int> texts[] = {
                {"label_2", "Tamsel", 11, 75},
                {"label_3", "Version 1.0.1", 8, 50},
                {"label_4", nullptr, 8, 50},
        };
        for (auto [name, text, points, weight] : texts) {
            auto *label = child<QLabel>(modal, name);
            QCOMPARE(label->text().isEmpty(), false);
            if (text)
                QCOMPARE(label->text(), QString::fromLatin1(text));
            QCOMPARE(label->font().pointSize(), points);
            QCOMPARE(label->font().weight(), weight);
            QCOMPARE(label->alignment(), Qt::AlignCenter);
        }

        auto *ok = child<QPushButton>(modal, "pushButton");
        QCOMPARE(ok->text(), QStringLiteral("OK"));
        ok->click();
        QVERIFY(!modal->isVisible());
    });

    auto *about = child<QPushButton>(window.get(), "pbAbout");
    about->click(); // returns only when "OK" has ended the modal run
    QCOMPARE(shown, 1);
    about->click(); // the same dialog, shown again
    QCOMPARE(shown, 2);
    QVERIFY(answerer.boxes.isEmpty());
}

void TestMainWindow::messages_data()
{
    QTest::addColumn<QString>("source");      // a name in the temporary directory
    QTest::addColumn<QString>("destination"); // as typed into the field
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("text");

    auto row = [](const char *name, const char *source, const char *destination, int type,
                  QMessageBox::Icon icon, const char *text) {
        QTest::newRow(name) << source << destination << type << int(icon) << text;
    };
    const char *noSource = "Specify the source file!";
    row("both fields empty", "", "", 1, QMessageBox::Warning, noSource);
    row("source is a directory", "folder.wav", "out.wav", 1, QMessageBox::Warning, noSource);
    row("source missing", "missing.wav", "out.wav", 1, QMessageBox::Warning, noSource);
    row("destination empty", "tone.wav", "", 1, QMessageBox::Warning,
        "Specify the destination file!");
    row("not a recording", "takes/voice.take1.wav", "out.wav", 0, QMessageBox::Critical,
        "Can't convert voice!");
    row("destination is the source", "tone.wav", "tone.wav", 1, QMessageBox::Critical,
        "Can't convert tone!");
    row("blank destination", "tone.wav", "   ", 1, QMessageBox::Information,
        "Was successfully done.");
}

// Every path through convert() ends in one message box titled "Quorvia"
// with a single Ok button; the two refusals never reach the conversion.
void TestMainWindow::messages()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(int, type);
    QFETCH(int, icon);
    QFETCH(QString, text);

    const QDir dir(tmp->path());
    QVERIFY(QDir::setCurrent(dir.path())); // relative destinations land here
    QVERIFY(dir.mkpath("folder.wav") && dir.mkpath("takes"));
    QVERIFY(!makeTone(dir, "tone.wav", 0.2).isEmpty());
    QFile text1(dir.filePath("takes/voice.take1.wav"));
    QVERIFY(text1.open(QIODevice::WriteOnly) && text1.write("just some words\n") > 0);
    text1.close();
    const QByteArray toneBytes = [&] {
        QFile f(dir.filePath("tone.wav"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    child<QLineEdit>(window.get(), "leSource")
            ->setText(source.isEmpty() ? "" : dir.filePath(source));
    child<QLineEdit>(window.get(), "leDestination")->setText(destination);
    child<QComboBox>(window.get(), "cbType")->setCurrentIndex(type);

    ModalAnswerer answerer;
    child<QPushButton>(window.get(), "pbConvert")->click();

    QCOMPARE(answerer.boxes.size(), 1);
    const SeenBox box = answerer.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Quorvia"));
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // A failure says why; the refusals and success need no explanation.
    QCOMPARE(box.informativeText.isEmpty(), icon != QMessageBox::Critical);

    // The fields keep what the user typed, whatever happened.
    QCOMPARE(child<QLineEdit>(window.get(), "leDestination")->text(), destination);
    // Nothing was written where the conversion did not succeed, and the
    // source is never touched.
    QCOMPARE(QFileInfo::exists(dir.filePath("out.wav")), false);
    QFile tone(dir.filePath("tone.wav"));
    QVERIFY(tone.open(QIODevice::ReadOnly));
    QCOMPARE(tone.readAll(), toneBytes);
    if (icon == QMessageBox::Information) // the blank name was used as it stands
        QCOMPARE(detectWaveLayout(dir.filePath(destination)), WaveLayout::Brinmoor);
}

void TestMainWindow::direction_data()
{
    QTest::addColumn<bool>("brinmoorSource");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("layout");
    QTest::newRow("Brinmoor-WAVE to standard")
            << true << int(BrinmoorToStandard) << int(WaveLayout::Standard);
    QTest::newRow("standard to Brinmoor-WAVE")
            << false << int(StandardToBrinmoor) << int(WaveLayout::Brinmoor);
}

// The list's index decides what the conversion reads and writes; the
// destination's layout shows which direction the job was given.
void TestMainWindow::direction()
{
    QFETCH(bool, brinmoorSource);
    QFETCH(int, type);
    QFETCH(int, layout);

    const QDir dir(tmp->path());
    const double seconds = 1.0;
    const QString source = brinmoorSource ? makeBrinmoor(dir, "source.wav", seconds)
                                          : makeTone(dir, "source.wav", seconds);
    QVERIFY(!source.isEmpty());
    const QString destination = dir.filePath("result.wav");
    child<QLineEdit>(window.get(), "leSource")->setText(source);
    child<QLineEdit>(window.get(), "leDestination")->setText(destination);
    child<QComboBox>(window.get(), "cbType")->setCurrentIndex(type);

    ModalAnswerer answerer;
    child<QPushButton>(window.get(), "pbConvert")->click();
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().text, QStringLiteral("Was successfully done."));
    QCOMPARE(int(detectWaveLayout(destination)), layout);

    if (layout == int(WaveLayout::Standard)) {
        // sox reads what the window wrote: the fixed destination format,
        // the source's length plus the filter's tail, and the same tone.
        QString info;
        QVERIFY(runTool("soxi", {destination}, &info));
        QVERIFY2(info.contains(QRegularExpression("Channels\\s*:\\s*2")), qPrintable(info));
        QVERIFY2(info.contains(QRegularExpression("Sample Rate\\s*:\\s*44100")), qPrintable(info));
        QVERIFY2(info.contains(QRegularExpression("Precision\\s*:\\s*24-bit")), qPrintable(info));
        QString length;
        QVERIFY(runTool("soxi", {"-D", destination}, &length));
        QVERIFY2(qAbs(length.toDouble() - seconds) < 0.1, qPrintable(length));
        QString stat;
        QVERIFY(runTool("sox", {destination, "-n", "remix", "1", "stat"}, &stat));
        const QRegularExpressionMatch frequency =
                QRegularExpression("Rough\\s+frequency:\\s*(\\d+)").match(stat);
        QVERIFY2(frequency.hasMatch(), qPrintable(stat));
        QVERIFY2(qAbs(frequency.captured(1).toInt() - 1000) < 50, qPrintable(stat));
    } else {
        // 16 bytes a frame at 39062.5 frames per second, plus the tail.
        const qint64 frames = (QFileInfo(destination).size() - 44) / 16;
        QVERIFY2(qAbs(frames - qint64(seconds * 39062.5)) < 2000,
                 qPrintable(QString::number(frames)));
    }
}

void TestMainWindow::cancel_data()
{
    QTest::addColumn<bool>("destinationExists");
    QTest::newRow("new destination") << false;
    QTest::newRow("existing destination") << true;
}

// Cancel in the progress dialog stops the conversion, leaves no partial
// destination and keeps an existing one. While it runs, the window neither
// closes nor starts a second conversion.
void TestMainWindow::cancel()
{
    QFETCH(bool, destinationExists);
    const QDir dir(tmp->path());
    const QString source = makeTone(dir, "long.wav", 60);
    QVERIFY(!source.isEmpty());
    const QString destination = dir.filePath("result.wav");
    const QByteArray earlier = "an earlier file that must survive";
    if (destinationExists) {
        QFile file(destination);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(earlier) == earlier.size());
    }
    child<QLineEdit>(window.get(), "leSource")->setText(source);
    child<QLineEdit>(window.get(), "leDestination")->setText(destination);
    child<QComboBox>(window.get(), "cbType")->setCurrentIndex(StandardToBrinmoor);

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
        child<QPushButton>(window.get(), "pbConvert")->click();
        cancelled = true;
        progress->findChild<QPushButton *>()->click(); // its only button: Cancel
    });
    slow.start(0);

    ModalAnswerer answerer;
    child<QPushButton>(window.get(), "pbConvert")->click();
    slow.stop();

    QVERIFY(cancelled);
    QVERIFY(!closed);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isConverting());
    QVERIFY(!QFileInfo::exists(settingsFile())); // the refused close saved nothing
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(int(answerer.boxes.first().icon), int(QMessageBox::Information));
    QCOMPARE(answerer.boxes.first().text, QStringLiteral("Conversion cancelled."));

    QStringList expected{"long.wav"};
    if (destinationExists) {
        expected.append("result.wav");
        QFile file(destination);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), earlier);
    }
    QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

// A Brinmoor-WAVE and a standard recording and a text file, to be chosen.
static void makeChoices(const QDir &dir)
{
    QVERIFY(!makeBrinmoor(dir, "brinmoor.wav", 0.1).isEmpty());
    QVERIFY(!makeTone(dir, "standard.wav", 0.1).isEmpty());
    QFile notes(dir.filePath("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not sound") > 0);
}

void TestMainWindow::fileDialogs_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("pick"); // empty: cancel the dialog
    QTest::addColumn<int>("typeBefore");
    QTest::addColumn<int>("typeAfter");
    auto row = [](const char *name, const char *button, const char *pick, int before, int after) {
        QTest::newRow(name) << button << pick << before << after;
    };
    row("cancel source", "tbSrc", "", 1, 1);
    row("cancel destination", "tbDst", "", 1, 1);
    row("pick Brinmoor-WAVE source", "tbSrc", "brinmoor.wav", 1, 0);
    row("pick standard source", "tbSrc", "standard.wav", 0, 1);
    row("pick destination", "tbDst", "new.wav", 1, 1);
}

// A cancelled dialog empties its field; a picked source also selects the
// direction that reads it.
void TestMainWindow::fileDialogs()
{
    QFETCH(QString, button);
    QFETCH(QString, pick);
    QFETCH(int, typeBefore);
    QFETCH(int, typeAfter);
    const QDir dir(tmp->path());
    makeChoices(dir);
    auto *edit = child<QLineEdit>(window.get(), button == "tbSrc" ? "leSource" : "leDestination");
    edit->setText(dir.filePath("earlier.wav"));
    child<QComboBox>(window.get(), "cbType")->setCurrentIndex(typeBefore);

    bool answered = false;
    ModalAnswerer answerer([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog || answered)
            return;
        answered = true;
        QCOMPARE(dialog->nameFilters(), QStringList("File (*.wav)"));
        QCOMPARE(dialog->windowTitle(), button == "tbSrc" ? "Open File" : "Save File");
        QCOMPARE(QDir(dialog->directory()), dir); // starts where the field points
        if (!pick.isEmpty())
            dialog->selectFile(dir.filePath(pick));
        QMetaObject::invokeMethod(dialog, pick.isEmpty() ? "reject" : "accept");
    });
    child<QToolButton>(window.get(), qPrintable(button))->click();

    QVERIFY(answered);
    QCOMPARE(edit->text(), pick.isEmpty() ? QString() : dir.filePath(pick));
    QCOMPARE(child<QComboBox>(window.get(), "cbType")->currentIndex(), typeAfter);
}

void TestMainWindow::drop_data()
{
    QTest::addColumn<QString>("target"); // empty: the window itself
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("field"); // empty: the drop is refused
    QTest::addColumn<int>("typeBefore");
    QTest::addColumn<int>("typeAfter");
    auto row = [](const char *name, const char *target, const char *file, const char *field,
                  int before,
                  int after) { QTest::newRow(name) << target << file << field << before << after; };
    row("Brinmoor-WAVE on the window", "", "brinmoor.wav", "leSource", 1, 0);
    row("standard on the source", "leSource", "standard.wav", "leSource", 0, 1);
    row("Brinmoor-WAVE on the destination", "leDestination", "brinmoor.wav", "leDestination", 1, 1);
    row("unknown layout on the window", "", "notes.txt", "leSource", 1, 1);
    row("web address", "", "http://example.com/a.wav", "", 1, 1);
}

void TestMainWindow::drop()
{
    QFETCH(QString, target);
    QFETCH(QString, file);
    QFETCH(QString, field);
    QFETCH(int, typeBefore);
    QFETCH(int, typeAfter);
    const QDir dir(tmp->path());
    makeChoices(dir);
    child<QComboBox>(window.get(), "cbType")->setCurrentIndex(typeBefore);

    const QUrl url = file.contains("://") ? QUrl(file) : QUrl::fromLocalFile(dir.filePath(file));
    QMimeData mime;
    mime.setUrls({url});
    QWidget *receiver = target.isEmpty() ? static_cast<QWidget *>(window.get())
                                         : child<QLineEdit>(window.get(), qPrintable(target));
    const QPoint at = receiver->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(receiver, &enter);
    QCOMPARE(enter.isAccepted(), !field.isEmpty());
    if (enter.isAccepted()) {
        QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(receiver, &dropped);
        QVERIFY(dropped.isAccepted());
    }

    for (const char *name : {"leSource", "leDestination"}) {
        const QString expected =
                name == field ? QDir::toNativeSeparators(dir.filePath(file)) : QString();
        QCOMPARE(child<QLineEdit>(window.get(), name)->text(), expected);
    }
    QCOMPARE(child<QComboBox>(window.get(), "cbType")->currentIndex(), typeAfter);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
