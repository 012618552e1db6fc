#pragma once

#include <QString>

class QApplication;
class QCommandLineParser;

// The three ways the manager runs: the connection manager, or one bookmark's session brought up from
// an ssh or web connection given on the command line.
enum class LaunchMode { Manager, Ssh, Web };

// Which mode a command line asks for: ssh is tested first; unknown options are ignored.
LaunchMode launchModeOf(const QStringList& arguments);

int runConnectionManager(QApplication& application);
int runSshLaunch(QApplication& application, const QStringList& arguments);
int runWebLaunch(QApplication& application, const QStringList& arguments);

// The first-start import of one older folder into the user connection folder. True when at least one
// file was imported, or when the folder held no candidate files.
bool importOlderFolder(const QString& source, const QString& destination, bool* hadCandidates = nullptr);
// Creates "MyConnections" and imports the older folders into it once; keeps the import for the next
// start when older files exist but none could be imported.
void firstStartImport(const QString& userDataFolder);
