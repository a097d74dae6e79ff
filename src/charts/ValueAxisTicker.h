#pragma once
// Ticker of the history chart's value axis: the usual tick steps, labels written
// "#,##0.### ℃ " (thousands grouped, at most three decimals, a blank, the degree sign and a
// trailing blank), so "1,000 ℃ " and "-12.5 ℃ ", with the system's group and decimal
// separators ("1.000,5 ℃ " where the system writes a decimal comma).

#include "CustomPlot.h"

#include <QLocale>

class ValueAxisTicker : public QCPAxisTicker {
public:
    // "#,##0.###": grouped integer part, up to three decimals, trailing zeros dropped; -0 reads 0.
    static QString valueText(double value, const QLocale &locale = QLocale::system());
    // valueText followed by " ℃ ".
    static QString labelText(double value, const QLocale &locale = QLocale::system());

protected:
    QString getTickLabel(double tick, const QLocale &locale, QChar formatChar, int precision) override;
};
