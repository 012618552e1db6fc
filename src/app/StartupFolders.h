#pragma once

#include <QString>

// How the program was installed, from marker entries beside the executable. Only Portable changes
// behaviour: the user's data then lives beside the program.
enum InstallType { Standard = 1, Local = 2, Portable = 4 };

// "localinstall" gives Local (also when "flashinstall" is there too), "flashinstall" alone Portable.
InstallType installType(const QString& executableFolder);
InstallType installType();

// Where the user's connections and the older folders live: the executable's folder when portable,
// else the user's data folder + "Halvane/Velnor3" (the current directory when there is none).
QString userDataFolder(InstallType type, const QString& executableFolder);
// The machine-wide data folder: the second of the platform's application-data locations; empty
// when the platform lists fewer than two.
QString systemDataDirectory();

QString userConnectionFolder(const QString& userDataFolder);
// Empty when there is no system data folder.
QString systemConnectionFolder(const QString& systemDataFolder);
