#include "DbError.h"

namespace db {

namespace {
QString composeText(const QString &file, const QString &operation, const QString &reason)
{
    if (file.isEmpty())
        return QStringLiteral("%1 failed: %2").arg(operation, reason);
    return QStringLiteral("%1 failed for %2: %3").arg(operation, file, reason);
}
} // namespace

DbError::DbError(const QString &file, const QString &operation, const QString &reason)
    : ui::AppError(composeText(file, operation, reason)), m_file(file), m_operation(operation),
      m_reason(reason)
{
}

} // namespace db
