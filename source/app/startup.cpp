#include "startup.h"

#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

#include <memory>

QStringList withLocalPluginPaths(const QStringList &toolkitPaths)
{
    QStringList paths = toolkitPaths;
    // Each goes in front of the one before, so the last one put there leads.
    for (const char *local : {".", "imageformats", "platforms", "accessible"})
        paths.prepend(QString::fromLatin1(local));
    return paths;
}

void installLocalPluginPaths()
{
    QCoreApplication::setLibraryPaths(withLocalPluginPaths(QCoreApplication::libraryPaths()));
}

void setIdentity(QCoreApplication &application)
{
    application.setObjectName(QStringLiteral("application"));
    QCoreApplication::setApplicationName(Identity::applicationName);
    QCoreApplication::setOrganizationName(Identity::organizationName);
    QCoreApplication::setOrganizationDomain(Identity::organizationDomain);
}

int runApplication(int argc, char **argv)
{
    installLocalPluginPaths();
    QApplication application(argc, argv);
    setIdentity(application);
#ifndef Q_OS_WIN
    // Windows takes the icon from the executable's resources; elsewhere the
    // window has to be told.
    QIcon icon;
    icon.addFile(QStringLiteral(":/icon/quorvia-128.png"), QSize(128, 128));
    icon.addFile(QStringLiteral(":/icon/quorvia-256.png"), QSize(256, 256));
    QApplication::setWindowIcon(icon);
#endif
    // The window goes before the application object, which it needs while
    // it is torn down.
    auto window = std::make_unique<MainWindow>();
    window->show();
    // What is left after the toolkit took its own options: files to
    // convert, as a file manager's "Open with" passes them.
    window->openFiles(QApplication::arguments().mid(1));
    const int result = QApplication::exec();
    window.reset();
    return result;
}
