#pragma once
// How values and times read on the screen: numbers with the system's decimal separator, dates
// and times in the system's short date and long time formats. The screen only: stored texts
// (wwdd's "%8.3F" values), the CSV exports, the site network's payloads and the printed table
// keep '.' and their own stamps, whatever the system's settings, because files and peers read
// them back.

#include <QLocale>
#include <QString>

// A number text ("25.300", "  -1000.000") with the locale's decimal separator in place of
// '.'; blanks stay. A text that is not a plain decimal number is returned as it is.
QString screenNumber(const QString &text, const QLocale &locale = QLocale::system());

// The locale's short date format.
QString shortDateFormat(const QLocale &locale = QLocale::system());
// The locale's long time format without the time zone (a wall clock shows local time).
QString longTimeFormat(const QLocale &locale = QLocale::system());
// The short date format for a date picker: a two-digit year is widened to four, so a date
// typed or stepped into another century cannot be misread.
QString pickerDateFormat(const QLocale &locale = QLocale::system());
