#pragma once
// Command-line options of qzmonitor and where the program directory is.

#include <QString>
#include <QStringList>

#include "ProgramDirectory.h"

struct StationOptions : CommonOptions {
    bool start = false;  // --start: begin the run at start-up
};

StationOptions parseStationOptions(const QStringList &arguments);
QString stationUsage();

// Makes dir the program directory (WindowState.h) and the working directory (created when
// missing).
// Returns an error text, or an empty string on success.
QString enterProgramDirectory(const QString &dir);
