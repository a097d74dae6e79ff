#include "ScreenText.h"

#include <QRegularExpression>

QString screenNumber(const QString &text, const QLocale &locale)
{
    static const QRegularExpression plain(QStringLiteral("^\\s*[-+]?[0-9]+\\.[0-9]+\\s*$"));
    const QString point = locale.decimalPoint();
    if (point == QLatin1String(".") || !plain.match(text).hasMatch())
        return text;
    QString out = text;
    out.replace(QLatin1Char('.'), point);
    return out;
}

QString shortDateFormat(const QLocale &locale) { return locale.dateFormat(QLocale::ShortFormat); }

QString longTimeFormat(const QLocale &locale)
{
    QString format = locale.timeFormat(QLocale::LongFormat);
    // 't' (the zone) stands alone, before or after the time, with a blank between.
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b\\s*"));
    format.replace(zone, QStringLiteral(" "));
    return format.trimmed();
}

QString pickerDateFormat(const QLocale &locale)
{
    QString format = shortDateFormat(locale);
    static const QRegularExpression twoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    format.replace(twoDigitYear, QStringLiteral("yyyy"));
    return format;
}
