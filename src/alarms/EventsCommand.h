#pragma once
// The event journal from the command line, without a window:
//   qzmonitor [--home DIR] --export-events FILE --from "yyyy-MM-dd HH:mm:ss" --to "yyyy-MM-dd HH:mm:ss"
// writes the events of the range (both ends included, the end through its whole second) as
// CSV (EventsExport.h). It reads Data/events.db as a reader, so it runs while the station
// writes. Exit status as for the history reports: 0 when the file was written, 1 with a
// message on the error stream for a bad range, a missing or unreadable journal or a file that
// cannot be written, 2 for a command line that cannot be understood.

#include <QString>
#include <QStringList>

class QTextStream;

struct EventsCommand {
    QString file;     // --export-events FILE
    QString fromText; // --from, as given
    QString toText;   // --to, as given
    QString home;     // --home DIR; empty: the default program directory
    QString error;    // the command line cannot be understood (exit status 2)
};

// True when the arguments (the first is the program) ask for --export-events.
bool isEventsCommandLine(const QStringList &arguments);

EventsCommand parseEventsCommand(const QStringList &arguments);
QString eventsCommandUsage();

// Runs the export against Data/events.db of programDir. Messages go to `err`; the result is
// the exit status.
int runEventsCommand(const EventsCommand &command, const QString &programDir, QTextStream &err);
