#pragma once
// Reading a station's files from a test while the station (another thread or process) writes
// them: one statement on a read-only connection of its own, as reports and backups read.

#include <QString>
#include <QStringList>

// The first column of each row of `statement` on `file`; one "error: …" line when it fails.
QStringList sqlColumn(const QString &file, const QString &statement);

// Records of wwdd in a program directory; -1 when there is no table to count.
int recordCount(const QString &home);
// Records whose channel 1 holds a measured value (not the interruption marker); -1 likewise.
int measuredCount(const QString &home);
