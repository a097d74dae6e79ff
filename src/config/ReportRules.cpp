#include "ReportRules.h"

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool isInvertedRange(const QDateTime &start, const QDateTime &end) { return start > end; }

QDateTime inclusiveEnd(const QDateTime &end)
{
    const QTime t = end.time();
    return QDateTime(end.date(), QTime(t.hour(), t.minute(), t.second(), 999));
}

QString parseCommandOptions(const QStringList &arguments, const QList<CommandOption> &options)
{
    QList<bool> seen(options.size(), false);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        qsizetype found = -1;
        QString value;
        bool inlineValue = false;
        for (qsizetype k = 0; k < options.size(); ++k) {
            const QLatin1String name = options.at(k).name;
            if (a == name) {
                found = k;
            } else if (a.startsWith(name + QLatin1Char('='))) {
                found = k;
                value = a.mid(name.size() + 1);
                inlineValue = true;
            }
        }
        if (found < 0)
            return a.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option: ") + a
                                                  : QStringLiteral("unexpected argument: ") + a;
        const QLatin1String name = options.at(found).name;
        if (seen.at(found))
            return QStringLiteral("%1 given twice").arg(name);
        if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return QStringLiteral("%1 needs a value").arg(name);
            value = arguments.at(++i);
        }
        if (value.isEmpty())
            return QStringLiteral("%1 needs a value").arg(name);
        seen[found] = true;
        *options.at(found).value = value;
    }
    return QString();
}

QString parseCommandRange(const QString &fromText, const QString &toText, QDateTime *from, QDateTime *to)
{
    const QString bad = QStringLiteral("时间范围有误。bad range: ");
    if (fromText.isEmpty() || toText.isEmpty())
        return bad + QStringLiteral("--from and --to are both needed");
    *from = parseCommandDateTime(fromText);
    if (!from->isValid())
        return bad + QStringLiteral("--from \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss").arg(fromText);
    *to = parseCommandDateTime(toText);
    if (!to->isValid())
        return bad + QStringLiteral("--to \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss").arg(toText);
    if (isInvertedRange(*from, *to))
        return bad + QStringLiteral("--from %1 lies after --to %2").arg(fromText, toText);
    return QString();
}

QDateTime parseCommandDateTime(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() == 19 && t.at(10) == QLatin1Char('T'))
        t[10] = QLatin1Char(' ');
    const QDateTime at = QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return at.isValid() && at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) == t ? at : QDateTime();
}
