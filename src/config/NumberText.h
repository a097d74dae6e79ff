#pragma once
// Number text of the settings files and displays. Everything here is locale-independent:
// '.' is the decimal separator whatever the system locale says.

#include <QString>
#include <QtGlobal>

// The "general" format the settings files and grids use: at most 7 significant digits,
// trailing zeros and a trailing point dropped. Fixed notation while the value has at most
// 7 integer digits and is not below 0.00001 in magnitude (zero is "0"), otherwise scientific
// with at least two exponent digits ("1.5E+10", "1E-06"). NaN and infinities read "NAN",
// "INF", "-INF".
QString formatGeneral(double value);

// Strict number reader: optional leading blanks, optional sign, digits with an optional
// '.' and fraction (at least one digit in all, "5." and ".5" are fine), optional exponent
// "E"/"e" with optional sign and at least one digit. Nothing may follow: "5 ", "1,5" and ""
// fail. A value beyond the double range fails. *value is written only on success.
bool parseNumber(const QString &text, double *value);

// parseNumber for a single-precision field: also fails when the value does not fit a float
// (it would turn into an infinity). *value is the number rounded to single precision.
bool parseSingle(const QString &text, float *value);

// Strict integer reader: optional leading blanks, optional sign, decimal digits, or
// hexadecimal after a "$" or "0x"/"0X" prefix ("$1F", "-0x10"). Nothing may follow.
// A value beyond the 64-bit range fails. *value is written only on success.
bool parseInteger(const QString &text, qint64 *value);

// Loose readers for the alarm file's mode and value lines: they take the longest
// well-formed number at the start of the line (after blanks) and never fail. A line with
// no number at its start (an empty line too) gives 0; "-1 " gives -1; "75.5x" gives 75.5.
// An integer beyond the 32-bit range is clamped; a number beyond the float range gives 0.
qint32 readLooseInteger(const QString &text);
float readLooseSingle(const QString &text);

// "%.3F": the value text of a tile ("25.300").
QString formatPv3(double value);
// "%8.3F": the value text of history records, right-aligned in at least 8 characters
// ("  25.300", "-1000.000").
QString formatRecord(double value);
// The 23-character scientific value line: one digit, '.', 14 digits, 'E', exponent sign and
// four exponent digits, right-aligned in 23 characters (" 8.00000000000000E+0001").
QString formatScientific23(double value);
