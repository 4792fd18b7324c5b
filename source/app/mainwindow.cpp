#include "mainwindow.h"

#include "about.h"
#include "converter/batch.h"
#include "converter/convertfile.h"
#include "converter/flacnames.h"
#include "dialogflags.h"
#include "wave/recognize.h"
#include "words/words.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>

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
// What standard destinations hold, each present only when it differs from
// the default (24 bits with dither for 16, 44100 Hz, batch outputs .wav).
const QString keyBits = QStringLiteral("Bits");
const QString keyDither = QStringLiteral("Dither");
const QString keyRate = QStringLiteral("Rate");
const QString keyBatchFormat = QStringLiteral("Batch format");
const QString flacFormat = QStringLiteral("flac");
// The depth actions' order, and their names in the settings file.
const StandardFormat::Depth depths[] = {
        StandardFormat::Depth::Bits16, StandardFormat::Depth::Bits24, StandardFormat::Depth::Bits32,
        StandardFormat::Depth::Float};
const char *const depthNames[] = {"16", "24", "32", "float"};
// Present only once a batch has chosen its folder.
const QString keyFolder = QStringLiteral("Folder");

// The rows of the Format list, a direction each; the core's Direction is
// taken from them here, at the window's edge.
enum FormatRow { BrinmoorToStandard = 0, StandardToBrinmoor = 1 };

Direction directionOf(int row)
{
    return row == BrinmoorToStandard ? Direction::BrinmoorToStandard
                                     : Direction::StandardToBrinmoor;
}

// The open dialog's filters: WAVE first, as it always was, then every
// format a source may have, then anything.
QString sourceFilters()
{
    return MainWindow::tr("File (*.wav)") + QStringLiteral(";;") +
            MainWindow::tr(
                    "Audio files (*.wav *.flac *.aif *.aiff *.ogg *.opus *.mp3 *.caf *.w64)") +
            QStringLiteral(";;") + MainWindow::tr("All files (*)");
}

// The save dialog offers what the direction writes: WAVE, and FLAC for a
// standard destination.
QStringList destinationFilters(int type)
{
    QStringList filters{MainWindow::tr("File (*.wav)")};
    if (type == BrinmoorToStandard)
        filters << MainWindow::tr("FLAC (*.flac)");
    return filters;
}

// Resolution of the progress bar, per file.
constexpr int progressSteps = 1000;
// A conversion shorter than this finishes without showing progress.
constexpr int progressDelayMs = 500;
// A box lists this many names; all of them are in its details.
constexpr int namesShown = 8;
// The width of a box's explanation, in average characters: room for a path
// before it wraps.
constexpr int explanationWidth = 60;

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

// "a.wav, b.wav, c.wav", or the first of them and how many more.
QString nameList(const QStringList &names)
{
    QString list = names.mid(0, namesShown).join(QStringLiteral(", "));
    if (names.size() > namesShown)
        list += MainWindow::tr(" and %1 more (Show Details...)").arg(names.size() - namesShown);
    return list;
}

// Every box of the window: modal, titled "Quorvia", its explanation wrapped
// in a column wide enough to read.
void prepareBox(QMessageBox &box, const QString &informative, const QString &details)
{
    box.setWindowFlags(dialogFlags() | Qt::MSWindowsFixedSizeDialogHint);
    box.setInformativeText(informative);
    box.setDetailedText(details);
    if (auto *label = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setMinimumWidth(label->fontMetrics().averageCharWidth() * explanationWidth);
}

// Takes a typed name of a folder that is not there yet as the wish to make
// it, rather than refusing it as not found. (A platform's own dialog, when
// one is used, has its own way to make a folder.)
class FolderDialog : public QFileDialog
{
public:
    FolderDialog(QWidget *parent, const QString &caption)
        : QFileDialog(parent, caption)
    {
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
    }

    void accept() override
    {
        const QString typed = selectedFiles().value(0);
        if (isNewFolder(typed) && !QDir().mkdir(typed)) {
            QMessageBox box(QMessageBox::Warning, MainWindow::tr("Quorvia"),
                            MainWindow::tr("Cannot make the folder %1.").arg(native(typed)),
                            QMessageBox::Ok, this);
            prepareBox(box, QString(), QString());
            box.exec();
            return;
        }
        QFileDialog::accept();
    }

protected:
    void showEvent(QShowEvent *event) override
    {
        QFileDialog::showEvent(event);
        // The toolkit's dialog offers its button only for a folder that
        // exists; it is offered here for a new one too, after the dialog's
        // own verdict on every change of the name.
        auto *name = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        auto *buttons = findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        QPushButton *choose = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
        if (!name || !choose || offersNewFolders)
            return;
        offersNewFolders = true;
        const auto offer = [this, choose] {
            if (isNewFolder(selectedFiles().value(0)))
                choose->setEnabled(true);
        };
        connect(name, &QLineEdit::textChanged, this, offer);
        offer();
    }

private:
    // A name of nothing yet, in a folder that exists.
    static bool isNewFolder(const QString &path)
    {
        const QFileInfo wanted(path);
        return !path.isEmpty() && !wanted.exists() && !wanted.isSymLink() && wanted.dir().exists();
    }

    bool offersNewFolders = false;
};

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
    connect(cbType, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        if (!proposedDestination.isEmpty() && leDestination->text() == proposedDestination)
            proposeDestination();
    });

    // The resampling mode lives in the context menu, which leaves the form
    // as it always was.
    auto *resampling = new QActionGroup(this);
    originalResampling = resampling->addAction(tr("Resampling: original"));
    highQualityResampling = resampling->addAction(tr("Resampling: high quality"));
    originalResampling->setCheckable(true);
    highQualityResampling->setCheckable(true);
    originalResampling->setChecked(true);
    addActions(resampling->actions());

    // What a standard destination holds, beside it.
    auto *separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    depthActions =
            addChoiceMenu(tr("Standard depth"),
                          {tr("16 bits"), tr("24 bits"), tr("32 bits"), tr("32-bit float")}, 1);
    ditherAction = new QAction(tr("Dither at 16 bits"), this);
    ditherAction->setCheckable(true);
    ditherAction->setChecked(true);
    addAction(ditherAction);
    QStringList rateTexts;
    for (const int rate : StandardFormat::rates)
        rateTexts << tr("%1 Hz").arg(rate);
    rateActions = addChoiceMenu(tr("Standard rate"), rateTexts, 0);
    for (int i = 0; i < rateActions.size(); ++i)
        rateActions[i]->setData(StandardFormat::rates[i]);
    flacBatchAction = new QAction(tr("Batch outputs as FLAC"), this);
    flacBatchAction->setCheckable(true);
    addAction(flacBatchAction);
    for (QAction *action : depthActions)
        connect(action, &QAction::triggered, this, &MainWindow::updateFormatActions);
    connect(flacBatchAction, &QAction::toggled, this, &MainWindow::updateFormatActions);
    updateFormatActions();
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
    if (absolute.size() == 1 && !QFileInfo(absolute.first()).isDir())
        takeSourceAndPropose(native(absolute.first()));
    else if (!absolute.isEmpty())
        // Once the window is up, so that the folder dialog has a parent to
        // stand on.
        QTimer::singleShot(0, this, [this, absolute] { convertMany(absolute); });
}

void MainWindow::openSrcFile()
{
    if (converting)
        return;
    const QStringList paths =
            QFileDialog::getOpenFileNames(this, tr("Open File"), leSource->text(), sourceFilters());
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
    QFileDialog dialog(this, tr("Save File"), leDestination->text());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(destinationFilters(cbType->currentIndex()));
    // A name typed without a suffix gets the chosen filter's.
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
        dialog.setDefaultSuffix(filter.contains(QLatin1String("*.flac")) ? QStringLiteral("flac")
                                                                         : QStringLiteral("wav"));
    });
    const QString path =
            dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    leDestination->setText(path);
    // The dialog has asked about replacing it.
    confirmedSource = leSource->text();
    confirmedDestination = path;
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

bool MainWindow::showProgress(QProgressDialog &progress, int index, double fraction)
{
    progress.setValue(index * progressSteps +
                      qBound(0, qRound(fraction * progressSteps), progressSteps));
    QCoreApplication::processEvents();
    return !progress.wasCanceled() && !quitWhenStopped;
}

ResamplingQuality MainWindow::quality() const
{
    return highQualityResampling->isChecked() ? ResamplingQuality::High
                                              : ResamplingQuality::Original;
}

StandardFormat MainWindow::standardFormat() const
{
    StandardFormat format;
    for (int i = 0; i < depthActions.size(); ++i)
        if (depthActions[i]->isChecked())
            format.depth = depths[i];
    format.dither = ditherAction->isChecked();
    for (const QAction *action : rateActions)
        if (action->isChecked())
            format.rate = action->data().toInt();
    return format;
}

// A submenu of the context menu whose choices exclude each other.
QList<QAction *> MainWindow::addChoiceMenu(const QString &title, const QStringList &choices,
                                           int checked)
{
    auto *menu = new QMenu(title, this);
    auto *group = new QActionGroup(menu);
    for (const QString &text : choices)
        group->addAction(text)->setCheckable(true);
    group->actions().at(checked)->setChecked(true);
    menu->addActions(group->actions());
    addAction(menu->menuAction());
    return group->actions();
}

void MainWindow::updateFormatActions()
{
    const StandardFormat format = standardFormat();
    flacBatchAction->setEnabled(format.flacHolds());
    depthActions[2]->setEnabled(!flacBatchAction->isChecked());
    depthActions[3]->setEnabled(!flacBatchAction->isChecked());
    ditherAction->setEnabled(format.depth == StandardFormat::Depth::Bits16);
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

    int type = cbType->currentIndex();
    const WaveInfo info = recognizeWave(source.filePath());
    if (info.layout == WaveLayout::Ambiguous) {
        type = askDirection(source.filePath(), info);
        if (type < 0)
            return;
        // Also proposes the destination anew, when it was proposed.
        cbType->setCurrentIndex(type);
    }
    const QString destination = leDestination->text();
    if (!mayReplace(source.filePath(), destination))
        return;

    ConvertResult result;
    whileConverting(converting, Ui::MainWindow::centralWidget, [&] {
        const auto progress = newProgress(tr("Converting %1 ...").arg(source.fileName()), 1);
        ConvertOptions options;
        options.progress = [this, &progress](double fraction) {
            return showProgress(*progress, 0, fraction);
        };
        options.quality = quality();
        options.standard = standardFormat();
        result = convertFile(leSource->text(), destination, directionOf(type), options);
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
        for (const Warning &warning : result.warnings)
            facts << warningText(warning);
        showMessage(QMessageBox::Information, tr("Was successfully done."), facts.join('\n'));
        return;
    }
    if (result.error == ConvertError::Cancelled) {
        showMessage(QMessageBox::Information, tr("Conversion cancelled."));
        return;
    }
    QString details;
    const QString why = whyFailed(result, type, &details);
    showMessage(QMessageBox::Critical, tr("Can't convert ") + source.baseName() + "!", why,
                details);
}

QString MainWindow::whyFailed(const ConvertResult &result, int type, QString *details) const
{
    switch (result.error) {
    case ConvertError::SourceFormat: {
        // The evidence is long and technical; what to do about it is not.
        *details = result.reason;
        const int other = type == BrinmoorToStandard ? StandardToBrinmoor : BrinmoorToStandard;
        const QString choose = tr("Choose \"%1\" in Format.").arg(cbType->itemText(other));
        if (type == BrinmoorToStandard && result.source.layout == WaveLayout::Standard)
            return tr("It is a standard WAVE file, not a Brinmoor-WAVE recording.") + ' ' + choose;
        if (type != BrinmoorToStandard && result.source.layout == WaveLayout::Brinmoor)
            return tr("It is a Brinmoor-WAVE recording.") + ' ' + choose;
        return tr("It is not a recording that this direction reads.");
    }
    case ConvertError::SourceOpen:
        return tr("The source cannot be read:") + '\n' + result.reason;
    case ConvertError::SameFile:
        return tr("The source and the destination are the same file.");
    case ConvertError::UnsupportedRate:
        return tr("Its sample rate cannot be converted:") + '\n' + result.reason;
    case ConvertError::LibraryMissing:
        return tr("A library this conversion needs cannot be loaded:") + '\n' + result.reason;
    case ConvertError::Resampling:
        return tr("The resampling failed midway:") + '\n' + result.reason;
    case ConvertError::DestinationOpen:
        return tr("The destination cannot be written:") + '\n' + result.reason;
    case ConvertError::DestinationFormat:
        // A .flac destination of a recording is refused only for a depth
        // FLAC cannot hold.
        if (type == BrinmoorToStandard && !standardFormat().flacHolds() &&
            QFileInfo(leDestination->text()).suffix().toLower() == QLatin1String("flac"))
            return tr("FLAC holds 16 or 24 bits: name the destination .wav, or choose 16 or 24 "
                      "bits in the window's context menu.") +
                    '\n' + result.reason;
        return (type == BrinmoorToStandard ? tr("Name the destination .wav or .flac.")
                                           : tr("Name the destination .wav.")) +
                '\n' + result.reason;
    case ConvertError::Read:
        return tr("Reading the source failed midway:") + '\n' + result.reason;
    case ConvertError::Write:
        return tr("Writing the destination failed; an earlier file of that name is left as it "
                  "was:") +
                '\n' + result.reason;
    case ConvertError::None:
    case ConvertError::Cancelled:
        break;
    }
    return result.reason;
}

int MainWindow::askDirection(const QString &source, const WaveInfo &info)
{
    QMessageBox box(
            QMessageBox::Question, tr("Quorvia"),
            tr("%1 could be a recording of either layout.").arg(QFileInfo(source).fileName()),
            QMessageBox::Cancel, this);
    prepareBox(box, tr("Which direction reads it?"),
               tr("Cannot tell its layout: %1").arg(info.evidence));
    QPushButton *const directions[] = {
            box.addButton(cbType->itemText(BrinmoorToStandard), QMessageBox::AcceptRole),
            box.addButton(cbType->itemText(StandardToBrinmoor), QMessageBox::AcceptRole)};
    box.setDefaultButton(directions[cbType->currentIndex() == BrinmoorToStandard ? 0 : 1]);
    box.exec();
    for (int type : {BrinmoorToStandard, StandardToBrinmoor}) {
        if (box.clickedButton() == directions[type])
            return type;
    }
    return -1;
}

bool MainWindow::mayReplace(const QString &source, const QString &destination)
{
    const QFileInfo existing(destination);
    // Nothing to replace, or nothing the conversion would replace.
    if (!existing.exists() || existing.isDir() || isSameFile(source, destination))
        return true;
    if (source == confirmedSource && destination == confirmedDestination)
        return true;
    QMessageBox box(QMessageBox::Question, tr("Quorvia"),
                    tr("%1 already exists. Do you want to replace it?").arg(existing.fileName()),
                    QMessageBox::Yes | QMessageBox::No, this);
    prepareBox(box, tr("It is in %1.").arg(native(existing.absolutePath())), QString());
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::convertMany(const QStringList &sources)
{
    if (converting)
        return;
    const QString folder = chooseFolder(sources);
    if (folder.isEmpty())
        return;
    batchFolder = folder;

    // Folders stand for what they hold, their tree kept in the folder chosen
    // (and that folder left out, when it lies inside).
    std::vector<BatchTask> planned = Batch::intoFolder(sources, folder, true).tasks();
    if (flacBatchAction->isChecked())
        planned = withFlacNames(std::move(planned), std::nullopt);
    Batch batch(std::move(planned));
    const std::vector<BatchTask> &tasks = batch.tasks();
    const int count = int(tasks.size());
    std::vector<bool> skip(tasks.size(), false);
    if (!askAboutExisting(batch, folder, &skip))
        return;
    // The form still holds a pair of its own; after a batch that confirmed
    // replacements, Return must not repeat it unasked.
    confirmedSource.clear();
    confirmedDestination.clear();
    bool cancelled = false;
    QStringList failedNames;
    BatchOptions options;
    options.jobs = QThread::idealThreadCount();
    options.oneAtATime = true;
    options.quality = quality();
    options.standard = standardFormat();
    options.skip = skip;
    QStringList failureLines;
    options.finished = [&](size_t task, const TaskEnd &end) {
        cancelled = cancelled || end.outcome == TaskOutcome::Stopped;
        if (end.outcome == TaskOutcome::Failed) {
            failedNames << QFileInfo(tasks[task].source).fileName();
            failureLines << taskFailureText(tasks[task], end,
                                            tr("convert it alone, choosing the direction"));
        }
    };
    whileConverting(converting, Ui::MainWindow::centralWidget, [&] {
        const auto progress = newProgress(QString(), count);
        options.started = [&](size_t task) {
            progress->setLabelText(tr("%1 of %2: %3")
                                           .arg(task + 1)
                                           .arg(count)
                                           .arg(QFileInfo(tasks[task].source).fileName()));
            progress->setValue(int(task) * progressSteps);
        };
        options.progress = [&](size_t task, double fraction, const BatchProgress &) {
            return showProgress(*progress, int(task), fraction);
        };
        runBatch(batch, options);
    });
    if (closeIfAsked())
        return;

    const QString summary = batchSummaryText(batch) + QLatin1Char('.');
    const QString where = tr("Folder: %1").arg(native(folder));
    if (cancelled) {
        showMessage(QMessageBox::Information, tr("Conversion cancelled."),
                    summary + QLatin1Char('\n') + where);
    } else if (batch.failedCount() == 0) {
        showMessage(QMessageBox::Information, tr("Was successfully done."),
                    summary + QLatin1Char('\n') + where);
    } else {
        // The names here, the reasons (long, with their evidence) below.
        showMessage(QMessageBox::Warning, summary,
                    where + QStringLiteral("\n\n") +
                            tr("Not converted: %1").arg(nameList(failedNames)),
                    failureLines.join('\n'));
    }
}

QString MainWindow::chooseFolder(const QStringList &sources)
{
    // The sources' own folder would have each output replace its source:
    // the last folder used, or a new one beside the sources.
    const bool folders = std::any_of(sources.begin(), sources.end(), [](const QString &source) {
        return QFileInfo(source).isDir();
    });
    FolderDialog dialog(this,
                        folders ? tr("Folder for the Converted Files")
                                : tr("Folder for the %1 Converted Files").arg(sources.size()));
    const QString sourceFolder = QFileInfo(sources.first()).absolutePath();
    if (QFileInfo(batchFolder).isDir() && !isSameFile(batchFolder, sourceFolder)) {
        dialog.setDirectory(batchFolder);
    } else {
        dialog.setDirectory(sourceFolder);
        dialog.selectFile(tr("converted"));
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

bool MainWindow::askAboutExisting(const Batch &batch, const QString &folder,
                                  std::vector<bool> *skip)
{
    const std::vector<BatchTask> &tasks = batch.tasks();
    QStringList names;
    std::vector<size_t> existing;
    for (size_t i = 0; i < tasks.size(); ++i) {
        const BatchTask &task = tasks[i];
        // An output that would replace a source is refused anyway.
        if (!task.folderError.isEmpty() || !QFileInfo::exists(task.destination) || batch.clash(i) ||
            isSameFile(task.source, task.destination))
            continue;
        existing.push_back(i);
        // As found in the folder: a folder's tree keeps its subfolders.
        const QString name = native(QDir(folder).relativeFilePath(task.destination));
        if (!names.contains(name))
            names << name;
    }
    if (names.isEmpty())
        return true;

    const bool one = names.size() == 1;
    QMessageBox box(QMessageBox::Question, tr("Quorvia"),
                    one ? tr("%1 already exists in %2.").arg(names.first(), native(folder))
                        : tr("%1 files already exist in %2.").arg(names.size()).arg(native(folder)),
                    QMessageBox::Cancel, this);
    prepareBox(
            box,
            (one ? QString() : nameList(names) + QStringLiteral("\n\n")) +
                    (one ? tr("Do you want to replace it?") : tr("Do you want to replace them?")),
            names.size() > namesShown ? names.join('\n') : QString());
    const QPushButton *replace = box.addButton(tr("Replace"), QMessageBox::AcceptRole);
    QPushButton *skipThem =
            box.addButton(one ? tr("Skip It") : tr("Skip Them"), QMessageBox::AcceptRole);
    box.setDefaultButton(skipThem);
    box.exec();
    if (box.clickedButton() != replace && box.clickedButton() != skipThem)
        return false;
    for (size_t i : existing)
        (*skip)[i] = box.clickedButton() == skipThem;
    return true;
}

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &text,
                             const QString &informative, const QString &details)
{
    QMessageBox box(icon, tr("Quorvia"), text, QMessageBox::Ok, this);
    prepareBox(box, informative, details);
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

void MainWindow::takeSourceAndPropose(const QString &path)
{
    takeSource(path);
    proposeDestination();
}

void MainWindow::proposeDestination()
{
    // "take-standard.wav" for a recording read into a standard file, then
    // "take-standard-2.wav" and so on, until a name is free.
    const QFileInfo source(leSource->text());
    const QString stem = source.completeBaseName() +
            (cbType->currentIndex() == BrinmoorToStandard ? QStringLiteral("-standard")
                                                          : QStringLiteral("-brinmoor"));
    const QDir folder = source.absoluteDir();
    const auto taken = [&folder](const QString &name) {
        const QFileInfo file(folder, name);
        return file.exists() || file.isSymLink();
    };
    QString name = stem + QStringLiteral(".wav");
    for (int n = 2; taken(name); ++n)
        name = QStringLiteral("%1-%2.wav").arg(stem).arg(n);
    proposedDestination = native(folder.filePath(name));
    leDestination->setText(proposedDestination);
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
    // A folder stands for the recordings it holds.
    if (files.size() > 1 || QFileInfo(files.first()).isDir())
        // After the drop has ended: the drag's source waits for it.
        QTimer::singleShot(0, this, [this, files] { convertMany(files); });
    else if (field == leSource)
        takeSourceAndPropose(files.first());
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
    for (int i = 0; i < depthActions.size(); ++i)
        if (values.value(keyBits).toString() == QLatin1String(depthNames[i]))
            depthActions[i]->setChecked(true);
    if (values.value(keyDither) == QJsonValue(false))
        ditherAction->setChecked(false);
    for (QAction *action : rateActions)
        if (values.value(keyRate).toInt() == action->data().toInt())
            action->setChecked(true);
    // FLAC names only with a depth FLAC holds: a hand-edited file may ask
    // for both.
    flacBatchAction->setChecked(values.value(keyBatchFormat).toString() == flacFormat &&
                                standardFormat().flacHolds());
    updateFormatActions();
    batchFolder = values.value(keyFolder).toString();
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
    const StandardFormat format = standardFormat();
    for (int i = 0; i < depthActions.size(); ++i)
        if (depthActions[i]->isChecked() && format.depth != StandardFormat().depth)
            values.insert(keyBits, QLatin1String(depthNames[i]));
    if (!format.dither)
        values.insert(keyDither, false);
    if (format.rate != StandardFormat().rate)
        values.insert(keyRate, format.rate);
    if (flacBatchAction->isChecked())
        values.insert(keyBatchFormat, flacFormat);
    if (!batchFolder.isEmpty())
        values.insert(keyFolder, batchFolder);
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
