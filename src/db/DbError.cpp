#include "DbError.h"

namespace db {

namespace {

// The operator reads Chinese: one sentence on what went wrong, from the operation and the
// commonest causes; SQLite's own words follow as the detail.
QString chineseSentence(const QString &operation, const QString &reason)
{
    QString what;
    if (operation.startsWith(QLatin1String("open table")))
        what = QStringLiteral("数据表无法打开");
    else if (operation == QLatin1String("open query") || operation.startsWith(QLatin1String("read")))
        what = QStringLiteral("数据表无法查询");
    else if (operation == QLatin1String("post") || operation == QLatin1String("append")
             || operation == QLatin1String("set field"))
        what = QStringLiteral("记录无法保存");
    else if (operation == QLatin1String("empty table"))
        what = QStringLiteral("数据表无法清空");
    else if (operation == QLatin1String("create table"))
        what = QStringLiteral("数据表无法创建");
    else
        what = QStringLiteral("数据表操作失败");

    const QString r = reason.toLower();
    QString why;
    if (r.contains(QLatin1String("disk is full")) || r.contains(QLatin1String("disk full")))
        why = QStringLiteral("：磁盘已满");
    else if (r.contains(QLatin1String("in use by another program")))
        why = QStringLiteral("：正被另一个程序使用");
    else if (r.contains(QLatin1String("does not exist")))
        why = QStringLiteral("：数据表不存在");
    else if (r.contains(QLatin1String("not a database")) || r.contains(QLatin1String("malformed"))
             || r.contains(QLatin1String("no table")))
        why = QStringLiteral("：文件不是本系统的数据表或已损坏");
    else if (r.contains(QLatin1String("readonly")) || r.contains(QLatin1String("read-only"))
             || r.contains(QLatin1String("unable to open")) || r.contains(QLatin1String("cannot be written")))
        why = QStringLiteral("：文件或目录无法读写");
    return what + why + QStringLiteral("。");
}

QString composeText(const QString &file, const QString &operation, const QString &reason)
{
    const QString detail = file.isEmpty() ? QStringLiteral("%1 failed: %2").arg(operation, reason)
                                          : QStringLiteral("%1 failed for %2: %3").arg(operation, file, reason);
    return chineseSentence(operation, reason) + u'\n' + detail;
}

} // namespace

DbError::DbError(const QString &file, const QString &operation, const QString &reason)
    : AppError(composeText(file, operation, reason)), m_file(file), m_operation(operation),
      m_reason(reason)
{
}

} // namespace db
