#pragma once
// The one error type of the table engine. Its text names the file, the operation and the
// reason (SQLite's own message where there is one), so the standard error box says enough.

#include "AppError.h"

namespace db {

class DbError : public AppError {
public:
    DbError(const QString &file, const QString &operation, const QString &reason);

    QString file() const { return m_file; }
    QString operation() const { return m_operation; }
    QString reason() const { return m_reason; }

private:
    QString m_file;
    QString m_operation;
    QString m_reason;
};

} // namespace db
