#include "ValueAxisTicker.h"

#include <cmath>

QString ValueAxisTicker::valueText(double value, const QLocale &locale)
{
    if (!std::isfinite(value))
        return std::isnan(value) ? QStringLiteral("NAN") : (value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF"));
    QString digits = QString::number(std::abs(value), 'f', 3);
    // Drop the zeros of an inexact decimal part, then a bare point.
    while (digits.endsWith(QLatin1Char('0')))
        digits.chop(1);
    if (digits.endsWith(QLatin1Char('.')))
        digits.chop(1);
    const qsizetype point = digits.indexOf(QLatin1Char('.'));
    QString whole = point < 0 ? digits : digits.left(point);
    const QString fraction = point < 0 ? QString() : digits.mid(point);
    const bool negative = value < 0 && !(whole == QLatin1String("0") && fraction.isEmpty());
    const QString group = locale.groupSeparator();
    for (qsizetype at = whole.size() - 3; at > 0; at -= 3)
        whole.insert(at, group);
    const QString decimals = fraction.isEmpty() ? QString() : locale.decimalPoint() + fraction.mid(1);
    return (negative ? QStringLiteral("-") : QString()) + whole + decimals;
}

QString ValueAxisTicker::labelText(double value, const QLocale &locale)
{
    return valueText(value, locale) + QStringLiteral(" ℃ ");
}

QString ValueAxisTicker::getTickLabel(double tick, const QLocale &, QChar, int)
{
    // Tick steps are exact to far below a thousandth; a step of 0.1 may still land at
    // 0.30000000000000004, which three decimals hide.
    return labelText(tick);
}
