#pragma once
// Headless history reports from the command line, on the history window's own query, CSV and
// print code, so scheduled daily reports match what the window gives:
//   qzmonitor --export-csv FILE --from "yyyy-MM-dd HH:mm:ss" --to "yyyy-MM-dd HH:mm:ss"
//   qzmonitor --report-pdf FILE --from … --to …
// Both outputs may be asked for in one run; --home DIR chooses the program directory as for
// the window. The range is the window's: both ends inclusive, the end through its whole
// second. Exit status 0 when every file was written, 1 with a message on the error stream for
// a bad range, a missing or unreadable table or an unwritable file, 2 for a command line that
// cannot be understood. A PDF report whose writing fails, up to its last byte, is not left
// behind partly written (a file of the same name from before is kept).

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "ReportRules.h"

class QTextStream;

struct HistoryCommand {
    QString csvFile;   // --export-csv FILE
    QString pdfFile;   // --report-pdf FILE
    QString fromText;  // --from, as given
    QString toText;    // --to, as given
    QString home;      // --home DIR; empty: the default program directory
    QString error;     // the command line cannot be understood (exit status 2)
};

// True when the arguments ask for a headless report (--export-csv or --report-pdf). main()
// asks before it creates the application, to run without a display.
bool isHistoryCommandLine(const QStringList &arguments);
bool isHistoryCommandLine(int argc, char **argv);

// Reads the arguments (the first is the program). Unknown options, missing values and
// repeated options set `error`.
HistoryCommand parseHistoryCommand(const QStringList &arguments);
QString historyCommandUsage();


// Runs the report against wwdd in programDirectory(), with SysParams.ChannelCount from
// Sys_Para.Pf when that file is there (else 8; nothing is written besides the outputs).
// Messages go to `err`; the result is the exit status.
int runHistoryCommand(const HistoryCommand &command, QTextStream &err);
