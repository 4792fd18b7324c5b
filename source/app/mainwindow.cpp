#include "mainwindow.h"

#include "about.h"
#include "converter/batch.h"
#include "converter/convertfile.h"
#include "dialogflags.h"
#include "wave/wavelayout.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {

const QString settingsFileName = QStringLiteral("options.jcfg");
const QString keyMainWindow = QStringLiteral("Main window");
const QString keySource = QStringLiteral("Source");
const QString keyDestination = QStringLiteral("Destination");
const QString keyType = QStringLiteral("Type");
// Present only when the high-quality mode is chosen, so that a file saved in
// the original mode holds exactly the three keys it always held.
const QString keyResampling = QStringLiteral("Resampling");
const QString highQuality = QStringLiteral("high");

// The file dialogs' filters: WAVE first, as it always was, then every
// format a source may have, then anything.
QString fileFilters()
{
    return MainWindow::tr("File (*.wav)") + QStringLiteral(";;") +
            MainWindow::tr(
                    "Audio files (*.wav *.flac *.aif *.aiff *.ogg *.opus *.mp3 *.caf *.w64)") +
            QStringLiteral(";;") + MainWindow::tr("All files (*)");
}

// Resolution of the progress bar, per file.
constexpr int progressSteps = 1000;
// A conversion shorter than this finishes without showing progress.
constexpr int progressDelayMs = 500;
// A batch's summary names this many failures; the rest are in its details.
constexpr int failuresShown = 8;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// "1:02:03", "2:03.4" or "3.4 s".
QString formatDuration(double seconds)
{
    const qint64 tenths = qRound64(seconds * 10.0);
    const qint64 minutes = tenths / 600;
    const QString secondsText = QString::number(double(tenths % 600) / 10.0, 'f', 1);
    if (minutes == 0)
        return MainWindow::tr("%1 s").arg(secondsText);
    if (minutes < 60)
        return QStringLiteral("%1:%2").arg(minutes).arg(secondsText, 4, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
            .arg(minutes / 60)
            .arg(minutes % 60, 2, 10, QLatin1Char('0'))
            .arg((tenths % 600) / 10, 2, 10, QLatin1Char('0'));
}

// Why a source field that names something cannot be converted.
QString whyNoSource(const QFileInfo &source)
{
    if (source.isDir())
        return MainWindow::tr("%1 is a folder").arg(native(source.filePath()));
    if (source.exists())
        return MainWindow::tr("%1 is not a regular file").arg(native(source.filePath()));
    // The system's own words: missing, or a folder on the way not readable.
    QFile file(source.filePath());
    file.open(QIODevice::ReadOnly);
    return QStringLiteral("%1: %2").arg(native(source.filePath()), file.errorString());
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setupUi(this);
    aboutDialog = std::make_unique<About>(this);

    connect(tbSrc, &QToolButton::clicked, this, &MainWindow::openSrcFile);
    connect(tbDst, &QToolButton::clicked, this, &MainWindow::openDstFile);
    connect(pbConvert, &QPushButton::clicked, this, &MainWindow::convert);
    connect(pbAbout, &QPushButton::clicked, aboutDialog.get(), &QDialog::exec);

    // The resampling mode lives in the context menu, which leaves the form
    // as it always was.
    auto *resampling = new QActionGroup(this);
    originalResampling = resampling->addAction(tr("Resampling: original"));
    highQualityResampling = resampling->addAction(tr("Resampling: high quality"));
    originalResampling->setCheckable(true);
    highQualityResampling->setCheckable(true);
    originalResampling->setChecked(true);
    addActions(resampling->actions());
    setContextMenuPolicy(Qt::ActionsContextMenu);

    // Files dropped anywhere on the window name the source; the two fields
    // take them for themselves instead of inserting their URL as text.
    setAcceptDrops(true);
    leSource->installEventFilter(this);
    leDestination->installEventFilter(this);

    loadSettings();
}

MainWindow::~MainWindow() = default;

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The conversion runs inside convert(), further up this very stack:
    // the window has to stay until it has stopped, and closes then.
    if (converting) {
        event->ignore();
        if (quitWhenStopped)
            return;
        QMessageBox box(QMessageBox::Question, tr("Quorvia"), tr("Stop the conversion and quit?"),
                        QMessageBox::Yes | QMessageBox::No, this,
                        dialogFlags() | Qt::MSWindowsFixedSizeDialogHint);
        box.setDefaultButton(QMessageBox::No);
        quitWhenStopped = box.exec() == QMessageBox::Yes;
        return;
    }
    saveSettings();
}

// Return anywhere on the form that does not use it itself (the fields, the
// list, the tool buttons) presses Convert, as in a dialog.
void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        pbConvert->isEnabled()) {
        pbConvert->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::openFiles(const QStringList &paths)
{
    QStringList absolute;
    for (const QString &path : paths)
        absolute << QFileInfo(path).absoluteFilePath();
    if (absolute.size() == 1)
        takeSource(native(absolute.first()));
    else if (absolute.size() > 1)
        // Once the window is up, so that the folder dialog has a parent to
        // stand on.
        QTimer::singleShot(0, this, [this, absolute] { convertMany(absolute); });
}

void MainWindow::openSrcFile()
{
    if (converting)
        return;
    const QStringList paths =
            QFileDialog::getOpenFileNames(this, tr("Open File"), leSource->text(), fileFilters());
    if (paths.isEmpty())
        leSource->clear();
    else if (paths.size() == 1)
        takeSource(paths.first());
    else
        convertMany(paths);
}

void MainWindow::openDstFile()
{
    if (converting)
        return;
    leDestination->setText(QFileDialog::getSaveFileName(this, tr("Save File"),
                                                        leDestination->text(), fileFilters()));
}

std::unique_ptr<QProgressDialog> MainWindow::newProgress(const QString &text, int files)
{
    // Not modal: a modal dialog would keep the window from even receiving
    // the request to close. The form is disabled instead.
    auto progress = std::make_unique<QProgressDialog>(text, tr("Cancel"), 0, files * progressSteps,
                                                      this, dialogFlags());
    progress->setWindowTitle(tr("Quorvia"));
    progress->setAutoReset(false);
    progress->setAutoClose(false);
    progress->setMinimumDuration(progressDelayMs);
    progress->setValue(0);
    return progress;
}

ConvertResult MainWindow::runConversion(const QString &source, const QString &destination, int type,
                                        QProgressDialog &progress, int index)
{
    ConvertOptions options;
    options.progress = [this, &progress, index](double fraction) {
        progress.setValue(index * progressSteps +
                          qBound(0, qRound(fraction * progressSteps), progressSteps));
        QCoreApplication::processEvents();
        return !progress.wasCanceled() && !quitWhenStopped;
    };
    if (highQualityResampling->isChecked())
        options.quality = ResamplingQuality::High;
    return convertFile(source, destination, type, options);
}

bool MainWindow::closeIfAsked()
{
    if (!quitWhenStopped)
        return false;
    quitWhenStopped = false;
    close();
    return true;
}

// Runs `work` with the form disabled and restores the focus afterwards.
template<typename Work>
static void whileConverting(bool &converting, QWidget *form, Work work)
{
    QPointer<QWidget> focused = QApplication::focusWidget();
    QScopedValueRollback<bool> busy(converting, true);
    form->setEnabled(false);
    work();
    form->setEnabled(true);
    if (focused)
        focused->setFocus();
}

void MainWindow::convert()
{
    // The conversion lets the event loop run, which can deliver another
    // click on Convert before the form is disabled.
    if (converting)
        return;

    const QFileInfo source(leSource->text());
    if (!source.isFile()) {
        showMessage(QMessageBox::Warning, tr("Specify the source file!"),
                    leSource->text().isEmpty() ? QString() : whyNoSource(source));
        return;
    }
    if (leDestination->text().isEmpty()) {
        showMessage(QMessageBox::Warning, tr("Specify the destination file!"));
        return;
    }

    const int type = cbType->currentIndex();
    const QString destination = leDestination->text();
    ConvertResult result;
    whileConverting(converting, Ui::MainWindow::centralWidget, [&] {
        const auto progress = newProgress(tr("Converting %1 ...").arg(source.fileName()), 1);
        result = runConversion(leSource->text(), destination, type, *progress, 0);
    });
    if (closeIfAsked())
        return;

    if (result.ok()) {
        QStringList facts{
                tr("Destination: %1").arg(native(QFileInfo(destination).absoluteFilePath())),
                tr("Duration: %1")
                        .arg(formatDuration(result.destinationRate > 0
                                                    ? double(result.framesWritten) /
                                                            result.destinationRate
                                                    : 0.0))};
        facts << result.warnings;
        showMessage(QMessageBox::Information, tr("Was successfully done."), facts.join('\n'));
        return;
    }
    if (result.error == ConvertError::Cancelled) {
        showMessage(QMessageBox::Information, tr("Conversion cancelled."));
        return;
    }
    // A source clearly of the other layout: name the direction that reads it.
    QString details = result.reason;
    const WaveLayout other =
            type == BrinmoorToStandard ? WaveLayout::Standard : WaveLayout::Brinmoor;
    if (result.error == ConvertError::SourceFormat && result.source.layout == other)
        details += tr("; choose \"%1\"")
                           .arg(cbType->itemText(type == BrinmoorToStandard ? StandardToBrinmoor
                                                                            : BrinmoorToStandard));
    showMessage(QMessageBox::Critical, tr("Can't convert ") + source.baseName() + "!", details);
}

void MainWindow::convertMany(const QStringList &sources)
{
    if (converting)
        return;
    const QString folder = QFileDialog::getExistingDirectory(
            this, tr("Folder for the %1 Converted Files").arg(sources.size()),
            QFileInfo(sources.first()).absolutePath());
    if (folder.isEmpty())
        return;

    Batch batch = Batch::intoFolder(sources, folder);
    const std::vector<BatchTask> &tasks = batch.tasks();
    const int count = int(tasks.size());
    bool cancelled = false;
    whileConverting(converting, Ui::MainWindow::centralWidget, [&] {
        const auto progress = newProgress(QString(), count);
        for (int i = 0; i < count && !cancelled; ++i) {
            const BatchTask &task = tasks[size_t(i)];
            progress->setLabelText(tr("%1 of %2: %3")
                                           .arg(i + 1)
                                           .arg(count)
                                           .arg(QFileInfo(task.source).fileName()));
            progress->setValue(i * progressSteps);
            QString failure = batch.refusal(size_t(i));
            const int type = failure.isEmpty()
                    ? directionFor(task.source, &failure,
                                   tr("convert it alone, choosing the direction"))
                    : -1;
            if (type >= 0) {
                const ConvertResult result =
                        runConversion(task.source, task.destination, type, *progress, i);
                cancelled = result.error == ConvertError::Cancelled;
                if (result.ok())
                    batch.converted(size_t(i));
                else if (!cancelled)
                    batch.failed(failureLine(task.source, result));
            } else {
                batch.failed(failure);
            }
        }
    });
    if (closeIfAsked())
        return;

    const QString summary = batch.summary() + QLatin1Char('.');
    const QString where = tr("Folder: %1").arg(native(folder));
    if (cancelled) {
        showMessage(QMessageBox::Information, tr("Conversion cancelled."),
                    summary + QLatin1Char('\n') + where);
    } else if (batch.failedCount() == 0) {
        showMessage(QMessageBox::Information, tr("Was successfully done."),
                    summary + QLatin1Char('\n') + where);
    } else {
        const QStringList &failures = batch.failureLines();
        QStringList shown = failures.mid(0, failuresShown);
        if (failures.size() > failuresShown)
            shown << tr("... and %1 more (Show Details...)").arg(failures.size() - failuresShown);
        showMessage(QMessageBox::Warning, summary,
                    where + QStringLiteral("\n\n") + shown.join('\n'),
                    failures.size() > failuresShown ? failures.join('\n') : QString());
    }
}

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &text,
                             const QString &informative, const QString &details)
{
    QMessageBox box(icon, tr("Quorvia"), text, QMessageBox::Ok, this,
                    dialogFlags() | Qt::MSWindowsFixedSizeDialogHint);
    box.setInformativeText(informative);
    box.setDetailedText(details);
    // Paths are broken at their slashes into a narrow column otherwise; the
    // box wraps them itself when they would make it wider than the screen.
    if (auto *informativeLabel =
                box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informativeLabel->setWordWrap(false);
    box.exec();
}

void MainWindow::takeSource(const QString &path)
{
    leSource->setText(path);
    // Only a clear verdict chooses; an ambiguous file keeps the user's choice.
    switch (recognizeWave(path).layout) {
    case WaveLayout::Brinmoor:
        cbType->setCurrentIndex(BrinmoorToStandard);
        break;
    case WaveLayout::Standard:
        cbType->setCurrentIndex(StandardToBrinmoor);
        break;
    case WaveLayout::NotWave:
    case WaveLayout::Ambiguous:
        break;
    }
}

QStringList MainWindow::droppedFiles(const QMimeData *mime)
{
    QStringList files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            files << native(url.toLocalFile());
    }
    return files;
}

bool MainWindow::acceptDrag(QDropEvent *event) const
{
    if (converting || droppedFiles(event->mimeData()).isEmpty())
        return false;
    event->acceptProposedAction();
    return true;
}

void MainWindow::dropInto(QLineEdit *field, QDropEvent *event)
{
    const QStringList files = droppedFiles(event->mimeData());
    event->acceptProposedAction();
    if (files.size() > 1)
        // After the drop has ended: the drag's source waits for it.
        QTimer::singleShot(0, this, [this, files] { convertMany(files); });
    else if (field == leSource)
        takeSource(files.first());
    else
        field->setText(files.first());
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    acceptDrag(event);
}

void MainWindow::dropEvent(QDropEvent *event)
{
    if (acceptDrag(event))
        dropInto(leSource, event);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    auto *field = qobject_cast<QLineEdit *>(watched);
    if (!field)
        return QMainWindow::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
        return acceptDrag(static_cast<QDropEvent *>(event));
    case QEvent::Drop:
        if (!acceptDrag(static_cast<QDropEvent *>(event)))
            return false;
        dropInto(field, static_cast<QDropEvent *>(event));
        return true;
    default:
        return QMainWindow::eventFilter(watched, event);
    }
}

QString MainWindow::settingsDir() const
{
    // The application's own configuration directory, so that the settings
    // file's plain name cannot meet another program's file.
    const QStringList locations =
            QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation);
    if (locations.isEmpty())
        return QCoreApplication::applicationDirPath();
    QDir().mkpath(locations.first());
    return locations.first();
}

void MainWindow::loadSettings()
{
    settingsPath = settingsDir() + QLatin1Char('/') + settingsFileName;
    if (!QFileInfo(settingsPath).isFile())
        return;
    QFile file(settingsPath);
    if (!file.open(QIODevice::ReadOnly))
        return;

    // Anything unreadable counts as absent: the form keeps its defaults.
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (!root.contains(keyMainWindow))
        return;
    const QJsonObject values = root.value(keyMainWindow).toObject();
    if (values.contains(keySource))
        leSource->setText(values.value(keySource).toString());
    if (values.contains(keyDestination))
        leDestination->setText(values.value(keyDestination).toString());
    if (values.contains(keyType)) {
        const int type = values.value(keyType).toInt(0);
        if (type >= 0 && type < cbType->count())
            cbType->setCurrentIndex(type);
    }
    if (values.value(keyResampling).toString() == highQuality)
        highQualityResampling->setChecked(true);
}

void MainWindow::saveSettings()
{
    settingsPath = settingsDir() + QLatin1Char('/') + settingsFileName;
    QJsonObject values{
            {keySource, leSource->text()},
            {keyDestination, leDestination->text()},
            {keyType, cbType->currentIndex()},
    };
    if (highQualityResampling->isChecked())
        values.insert(keyResampling, highQuality);
    const QJsonObject root{{keyMainWindow, values}};

    // Written beside the old file and renamed over it, so that a crash or a
    // full disk leaves the previous settings rather than a truncated file.
    // A short write (a file-size limit, a full disk) is not an error to the
    // device and would be committed as a truncated file: unbuffered, the
    // count tells.
    QSaveFile file(settingsPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return;
    const QByteArray json = QJsonDocument(root).toJson();
    if (file.write(json) != json.size()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}
