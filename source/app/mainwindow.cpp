#include "mainwindow.h"

#include "about.h"
#include "converter/convertfile.h"
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
#include <QMimeData>
#include <QProgressDialog>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QStandardPaths>
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

// Resolution of the progress bar.
constexpr int progressSteps = 1000;
// A conversion shorter than this finishes without showing progress.
constexpr int progressDelayMs = 500;

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
    specifiedResampling = resampling->addAction(tr("Resampling: as specified"));
    highQualityResampling = resampling->addAction(tr("Resampling: high quality"));
    specifiedResampling->setCheckable(true);
    highQualityResampling->setCheckable(true);
    specifiedResampling->setChecked(true);
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
    // the window has to stay until it returns.
    if (converting) {
        event->ignore();
        return;
    }
    saveSettings();
}

void MainWindow::openSrcFile()
{
    if (converting)
        return;
    const QString path =
            QFileDialog::getOpenFileName(this, tr("Open File"), leSource->text(), fileFilters());
    if (path.isEmpty())
        leSource->clear();
    else
        takeSource(path);
}

void MainWindow::openDstFile()
{
    if (converting)
        return;
    leDestination->setText(QFileDialog::getSaveFileName(this, tr("Save File"),
                                                        leDestination->text(), fileFilters()));
}

void MainWindow::convert()
{
    // The conversion lets the event loop run, which can deliver another
    // click on Convert before the progress dialog blocks the window.
    if (converting)
        return;

    const QFileInfo source(leSource->text());
    if (!source.isFile()) {
        showMessage(QMessageBox::Warning, tr("Specify the source file!"));
        return;
    }
    if (leDestination->text().isEmpty()) {
        showMessage(QMessageBox::Warning, tr("Specify the destination file!"));
        return;
    }

    const int type = cbType->currentIndex();
    ConvertResult result;
    {
        QScopedValueRollback<bool> busy(converting, true);
        QProgressDialog progress(tr("Converting %1 ...").arg(source.fileName()), tr("Cancel"), 0,
                                 progressSteps, this);
        progress.setWindowTitle(tr("Quorvia"));
        progress.setWindowModality(Qt::WindowModal);
        progress.setAutoReset(false);
        progress.setAutoClose(false);
        progress.setMinimumDuration(progressDelayMs);
        progress.setValue(0);

        ConvertOptions options;
        options.progress = [&progress](double fraction) {
            progress.setValue(qBound(0, qRound(fraction * progressSteps), progressSteps));
            QCoreApplication::processEvents();
            return !progress.wasCanceled();
        };
        if (highQualityResampling->isChecked())
            options.quality = ResamplingQuality::High;
        result = convertFile(leSource->text(), leDestination->text(), type, options);
    }

    if (result.ok()) {
        showMessage(QMessageBox::Information, tr("Was successfully done."),
                    result.warnings.join(QLatin1Char('\n')));
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

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &text, const QString &details)
{
    QMessageBox box(icon, tr("Quorvia"), text, QMessageBox::Ok, this);
    box.setInformativeText(details);
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

QString MainWindow::droppedFile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return QString();
    const QList<QUrl> urls = mime->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return QString();
    return QDir::toNativeSeparators(urls.first().toLocalFile());
}

bool MainWindow::acceptDrag(QDropEvent *event) const
{
    if (converting || droppedFile(event->mimeData()).isEmpty())
        return false;
    event->acceptProposedAction();
    return true;
}

void MainWindow::dropInto(QLineEdit *field, QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (field == leSource)
        takeSource(path);
    else
        field->setText(path);
    event->acceptProposedAction();
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
