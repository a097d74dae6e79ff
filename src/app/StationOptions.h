#pragma once
// Command-line options of qzmonitor and where the program directory is.

#include <QString>
#include <QStringList>

struct StationOptions {
    QString home;        // --home DIR; empty: the default program directory
    bool start = false;  // --start: begin the run at start-up
    bool help = false;
    bool version = false;
    QString error;       // set when the command line cannot be understood
};

StationOptions parseStationOptions(const QStringList &arguments);
QString stationUsage();

// Whether an executable in executableDir is an installed program rather than one in a build
// tree: its directory is installBinDir (the bin directory of the configured install prefix),
// a system bin directory (/usr/bin, /usr/local/bin, ...), or a bin directory beside the
// share/applications/qzmonitor.desktop of an install tree moved elsewhere.
bool isInstalledProgramDirectory(const QString &executableDir, const QString &installBinDir);

// The program directory when --home is not given: the per-user data directory
// (~/.local/share/qzmonitor) for an installed program, whose directory is shared by every user
// and writable only by root; otherwise the executable's directory when writable, else the
// per-user data directory.
QString defaultProgramDirectory(const QString &executableDir, const QString &installBinDir);
QString defaultProgramDirectory(const QString &executableDir);

// Makes dir the program directory and the working directory (created when missing).
// Returns an error text, or an empty string on success.
QString enterProgramDirectory(const QString &dir);
