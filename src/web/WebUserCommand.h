#pragma once
// The accounts of the web view from the command line, for qzmonitor and qzstation alike:
//
//   --web-user NAME [--home DIR]            sets NAME's password (the account is made if new)
//   --web-user NAME --remove [--home DIR]   removes the account
//   --web-users [--home DIR]                lists the accounts
//
// The password is read from the terminal without echo (asked twice), or, when standard input
// is not a terminal, as its first line (for scripts: printf '%s\n' "$pw" | qzstation --web-user
// NAME). Exit status 0 on success, 1 when the file cannot be written or the name or password is
// refused, 2 for a command line that cannot be understood.

#include <QString>
#include <QStringList>
#include <cstdio>

// Whether the command line asks for this command (--web-user or --web-users anywhere).
bool isWebUserCommandLine(const QStringList &arguments);
QString webUserCommandUsage();

// Runs it; defaultHome is the program directory when --home is not given.
int runWebUserCommand(const QStringList &arguments, const QString &defaultHome, std::FILE *in, std::FILE *out,
                      std::FILE *err);
