#pragma once
// Demo contents for wwdd: records every `intervalMs` from `start`, channels 1 … `channels`
// filled with slow waves ("%8.3F" like the storage tick), channel 3 interrupted (-1000.000)
// for two minutes every three hours. Written through SQLite in one transaction, so a
// 90-day table (1.55 million records) takes a minute rather than hours of per-record commits.

#include <QDateTime>
#include <QString>

// Creates wwdd in `dir` when missing and appends the records. Returns an error text, or an
// empty string.
QString writeDemoHistory(const QString &dir, const QDateTime &start, qint64 records, int intervalMs, int channels);

// The value of channel k (1-based) at record i, before formatting.
double demoValue(int channel, qint64 record, int intervalMs);
