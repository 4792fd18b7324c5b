#pragma once

#include <QString>
#include <QStringList>

class QCoreApplication;

// The program's identity. The settings location is derived from the first
// two, so they must be set before the main window exists.
namespace Identity {
inline const QString applicationName = QStringLiteral("Quorvia");
inline const QString organizationName = QStringLiteral("Norvale");
inline const QString organizationDomain = QStringLiteral("norvale.example");
} // namespace Identity

// The toolkit's plug-in search paths with the program's own, relative to the
// working directory, in front: "accessible", "platforms", "imageformats", ".".
QStringList withLocalPluginPaths(const QStringList &toolkitPaths);

// Installs withLocalPluginPaths() of the current list. Called before the
// application object exists.
void installLocalPluginPaths();

// Names the application object and gives the program its identity.
void setIdentity(QCoreApplication &application);

// Start-up, event loop and tear-down; the result is the process exit code.
int runApplication(int argc, char **argv);
