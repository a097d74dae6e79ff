#pragma once
// Where a station keeps its files (KTcom.ini, the .Pf files, wwdd, Data/), for the window and
// the headless station alike.

#include <QString>
#include <QStringList>

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

// Makes dir (created when missing) the working directory, so the .Pf files, opened by bare
// name, live beside KTcom.ini. Returns an error text, or an empty string with *absolute set.
QString enterDirectory(const QString &dir, QString *absolute = nullptr);

// The options both programs take: --home DIR (or --home=DIR, never empty), --help (-h) and
// --version.
struct CommonOptions {
    QString home;        // --home DIR; empty: the default program directory
    bool help = false;
    bool version = false;
    QString error;       // set when the command line cannot be understood
};

// Takes arguments[*i] when it is one of the common options (moving *i past the directory of
// "--home DIR"); returns false, changing nothing, for any other argument. A missing or empty
// directory sets o.error.
bool takeCommonOption(const QStringList &arguments, int *i, CommonOptions &o);
// What is said of an argument no program option takes.
QString unexpectedArgument(const QString &argument);
