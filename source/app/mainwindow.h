#pragma once

#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <memory>

class About;
class QAction;
class QLineEdit;
class QMimeData;
class QProgressDialog;
class Batch;
struct ConvertResult;
enum class ResamplingQuality;
struct StandardFormat;
struct WaveInfo;

// The program's only window: a source and a destination path, the direction
// of the conversion, and the buttons that open file dialogs, show the About
// dialog and convert. Its three inputs, and the resampling mode and the
// standard destinations' depth, dither, rate and batch FLAC naming chosen in
// its context menu, are kept between runs in the settings file "options.jcfg",
// loaded when the window is built and saved when it is closed. Several sources
// at once (dropped, chosen together or named on the command line) are
// converted into a folder that the user picks; a folder among them stands
// for the recordings it holds, whose tree is kept there. No existing file is replaced
// without the user's say: a destination chosen in the save dialog has been
// asked about there; any other (remembered, typed, dropped) is asked about
// before converting.
class MainWindow : public QMainWindow, private Ui::MainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // True while a conversion runs; the form is disabled then, and closing
    // the window asks whether to stop it.
    bool isConverting() const { return converting; }

    // Files the program was started with: one becomes the source, several
    // (or folders) are converted into a folder.
    void openFiles(const QStringList &paths);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void openSrcFile();
    void openDstFile();
    void convert();

private:
    QString settingsDir() const;
    void loadSettings();
    void saveSettings();

    // Puts a chosen source in leSource and selects the direction that reads
    // it, when its layout is recognisable.
    void takeSource(const QString &path);
    // takeSource() for a source from the command line or a drop, whose
    // destination the form proposes: named after it, beside it, and new.
    void takeSourceAndPropose(const QString &path);
    void proposeDestination();
    // For a source whose layout cannot be told: asks which direction reads
    // it. The direction, or -1 when the user cancelled.
    int askDirection(const QString &source, const WaveInfo &info);
    // False when `destination` exists, has not been confirmed and the user
    // does not want it replaced.
    bool mayReplace(const QString &source, const QString &destination);
    // Asks for a folder and converts every source into it, each in the
    // direction its layout calls for; a source that is a folder stands for
    // every file under it, skipped when it is no recording.
    void convertMany(const QStringList &sources);
    QString chooseFolder(const QStringList &sources);
    // Asks what to do with outputs already in the folder; false on Cancel.
    // The tasks to skip are marked in *skip.
    bool askAboutExisting(const Batch &batch, const QString &folder, std::vector<bool> *skip);

    // The local files that a drag carries.
    static QStringList droppedFiles(const QMimeData *mime);
    bool acceptDrag(QDropEvent *event) const;
    void dropInto(QLineEdit *field, QDropEvent *event);

    // A progress dialog for `files` conversions, shown when they take long.
    std::unique_ptr<QProgressDialog> newProgress(const QString &text, int files);
    // Shows that file `index` of the progress dialog's files has done
    // `fraction` of its work, and lets events in. False when Cancel or a
    // confirmed close stops the conversion.
    bool showProgress(QProgressDialog &progress, int index, double fraction);
    ResamplingQuality quality() const;
    // What standard destinations hold, as the context menu says.
    StandardFormat standardFormat() const;
    // FLAC holds 16 or 24 bits: the choices that would ask it for more are
    // disabled while the other is chosen.
    void updateFormatActions();
    QList<QAction *> addChoiceMenu(const QString &title, const QStringList &choices, int checked);
    // After a run that a confirmed close stopped: closes the window and
    // returns true.
    bool closeIfAsked();

    void showMessage(QMessageBox::Icon icon, const QString &text,
                     const QString &informative = QString(), const QString &details = QString());
    // Why a conversion failed: a plain sentence, then the reason, or the
    // evidence under *details.
    QString whyFailed(const ConvertResult &result, int type, QString *details) const;

    QString settingsPath;
    std::unique_ptr<About> aboutDialog;
    // The resampling mode, offered in the window's context menu; the window
    // owns both actions.
    QAction *originalResampling = nullptr;
    QAction *highQualityResampling = nullptr;
    // Standard destinations: one action per depth (16, 24, 32 bits, float)
    // and per rate, checkable in their groups; the dither of 16 bits; batch
    // outputs named .flac.
    QList<QAction *> depthActions;
    QList<QAction *> rateActions;
    QAction *ditherAction = nullptr;
    QAction *flacBatchAction = nullptr;
    // The pair last chosen in the save dialog: its destination may be
    // replaced from that source without asking again.
    QString confirmedSource;
    QString confirmedDestination;
    // The destination the form last proposed; it follows the direction
    // while the user leaves it as it is.
    QString proposedDestination;
    QString batchFolder; // the folder of the last batch
    bool converting = false;
    bool quitWhenStopped = false; // the user asked to close during a conversion
};
