#pragma once

#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <memory>

class About;
class QAction;
class QLineEdit;
class QMimeData;

// The program's only window: a source and a destination path, the direction
// of the conversion, and the buttons that open file dialogs, show the About
// dialog and convert. Its three inputs, and the resampling mode chosen in its
// context menu, are kept between runs in the settings file "options.jcfg",
// loaded when the window is built and saved when it is closed.
class MainWindow : public QMainWindow, private Ui::MainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // True while a conversion runs; the window then refuses to close and to
    // start another one.
    bool isConverting() const { return converting; }

protected:
    void closeEvent(QCloseEvent *event) override;
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
    // The local file that a drag carries, or an empty text.
    static QString droppedFile(const QMimeData *mime);
    bool acceptDrag(QDropEvent *event) const;
    void dropInto(QLineEdit *field, QDropEvent *event);

    void showMessage(QMessageBox::Icon icon, const QString &text,
                     const QString &details = QString());

    QString settingsPath;
    std::unique_ptr<About> aboutDialog;
    // The resampling mode, offered in the window's context menu; the window
    // owns both actions.
    QAction *specifiedResampling = nullptr;
    QAction *highQualityResampling = nullptr;
    bool converting = false;
};
