#include "HistoryLayout.h"

#include "TTable.h"

QString historyFieldName(int channel) { return QStringLiteral("aa") + QString::number(channel); }

QString historyTablePath(const QString &programDir) { return db::tableFilePath(programDir, HistoryTableName); }
