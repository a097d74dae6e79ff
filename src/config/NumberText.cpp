#include "NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

int hexValue(QChar c)
{
    if (isDigit(c))
        return c.unicode() - u'0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return -1;
}

int skipBlanks(const QString &text)
{
    int i = 0;
    while (i < text.size() && text.at(i) == u' ')
        ++i;
    return i;
}

// The longest well-formed decimal number at the start of text (after blanks).
struct NumberScan {
    int end = 0;           // index after the number; 0 when there is none
    bool found = false;    // at least one mantissa digit
    std::string ascii;     // the number without blanks and '+', for from_chars
    long long magnitude = 0; // rough decimal exponent of the leading digit (underflow test)
};

NumberScan scanNumber(const QString &text)
{
    NumberScan s;
    int i = skipBlanks(text);
    std::string out;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) {
        if (text.at(i) == u'-')
            out += '-';
        ++i;
    }
    int digits = 0;
    long long leadPos = 0; // decimal exponent of the first non-zero digit
    bool seenNonZero = false;
    int intDigits = 0;
    while (i < text.size() && isDigit(text.at(i))) {
        if (!seenNonZero && text.at(i) != u'0') {
            seenNonZero = true;
            intDigits = 0;
        }
        if (seenNonZero)
            ++intDigits;
        out += char(text.at(i).unicode());
        ++i;
        ++digits;
    }
    if (seenNonZero)
        leadPos = intDigits - 1;
    int end = i;
    if (i < text.size() && text.at(i) == u'.') {
        std::string frac;
        int j = i + 1;
        int fracPos = 0;
        while (j < text.size() && isDigit(text.at(j))) {
            ++fracPos;
            if (!seenNonZero && text.at(j) != u'0') {
                seenNonZero = true;
                leadPos = -fracPos;
            }
            frac += char(text.at(j).unicode());
            ++j;
        }
        if (digits + int(frac.size()) > 0) {
            digits += int(frac.size());
            out += '.';
            out += frac;
            end = j;
        }
    }
    if (digits == 0)
        return s;
    // An exponent counts only when at least one digit follows it.
    if (end < text.size() && (text.at(end) == u'e' || text.at(end) == u'E')) {
        int j = end + 1;
        bool negative = false;
        if (j < text.size() && (text.at(j) == u'+' || text.at(j) == u'-')) {
            negative = text.at(j) == u'-';
            ++j;
        }
        long long exponent = 0;
        std::string expText;
        while (j < text.size() && isDigit(text.at(j))) {
            exponent = std::min<long long>(exponent * 10 + (text.at(j).unicode() - u'0'), 1000000000LL);
            expText += char(text.at(j).unicode());
            ++j;
        }
        if (!expText.empty()) {
            out += 'e';
            if (negative)
                out += '-';
            out += expText;
            leadPos += negative ? -exponent : exponent;
            end = j;
        }
    }
    s.end = end;
    s.found = true;
    s.ascii = out;
    s.magnitude = seenNonZero ? leadPos : 0;
    return s;
}

// Converts a scanned number; false when it is beyond the double range. A value too small for
// a double reads as zero.
bool convert(const NumberScan &s, double *value)
{
    double v = 0.0;
    const auto r = std::from_chars(s.ascii.data(), s.ascii.data() + s.ascii.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        if (s.magnitude >= 0)
            return false;
        v = 0.0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool fitsSingle(double v)
{
    return std::isfinite(float(v));
}

} // namespace

QString formatGeneral(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (value == 0.0)
        return QStringLiteral("0");

    // Round to 7 significant digits first; the rounded exponent decides the notation
    // (9999999.5 becomes 1E+07).
    const QString sci = QString::number(value, 'e', 6); // "-1.234568e+05"
    const bool negative = sci.startsWith(u'-');
    const qsizetype ePos = sci.indexOf(u'e');
    QString digits = sci.mid(negative ? 1 : 0, ePos - (negative ? 1 : 0));
    digits.remove(u'.');
    const int exponent = sci.mid(ePos + 1).toInt();
    while (digits.size() > 1 && digits.endsWith(u'0'))
        digits.chop(1);

    QString result;
    if (exponent <= 6 && exponent >= -5) {
        if (exponent >= 0) {
            QString intPart = digits.left(exponent + 1);
            while (intPart.size() < exponent + 1)
                intPart += u'0';
            const QString frac = digits.mid(exponent + 1);
            result = frac.isEmpty() ? intPart : intPart + u'.' + frac;
        } else {
            result = QStringLiteral("0.") + QString(-exponent - 1, u'0') + digits;
        }
    } else {
        result = digits.left(1);
        if (digits.size() > 1)
            result += u'.' + digits.mid(1);
        result += exponent < 0 ? QStringLiteral("E-") : QStringLiteral("E+");
        result += QString::number(std::abs(exponent)).rightJustified(2, u'0');
    }
    return negative ? u'-' + result : result;
}

bool parseNumber(const QString &text, double *value)
{
    const NumberScan s = scanNumber(text);
    if (!s.found || s.end != text.size())
        return false;
    return convert(s, value);
}

bool parseSingle(const QString &text, float *value)
{
    double v = 0.0;
    if (!parseNumber(text, &v) || !fitsSingle(v))
        return false;
    *value = float(v);
    return true;
}

bool parseInteger(const QString &text, qint64 *value)
{
    int i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text.at(i) == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text.at(i) == u'0' && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')) {
        base = 16;
        i += 2;
    }
    const int first = i;
    quint64 magnitude = 0;
    const quint64 limit = negative ? quint64(std::numeric_limits<qint64>::max()) + 1
                                   : quint64(std::numeric_limits<qint64>::max());
    for (; i < text.size(); ++i) {
        const int d = base == 16 ? hexValue(text.at(i)) : (isDigit(text.at(i)) ? text.at(i).unicode() - u'0' : -1);
        if (d < 0)
            return false; // anything trailing
        if (magnitude > (limit - quint64(d)) / quint64(base))
            return false; // beyond the 64-bit range
        magnitude = magnitude * quint64(base) + quint64(d);
    }
    if (i == first)
        return false; // no digits
    *value = negative ? qint64(0 - magnitude) : qint64(magnitude);
    return true;
}

qint32 readLooseInteger(const QString &text)
{
    int i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    int base = 10;
    if (i + 1 < text.size() && text.at(i) == u'$' && hexValue(text.at(i + 1)) >= 0) {
        base = 16;
        ++i;
    } else if (i + 2 < text.size() && text.at(i) == u'0' && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')
               && hexValue(text.at(i + 2)) >= 0) {
        base = 16;
        i += 2;
    }
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const int d = base == 16 ? hexValue(text.at(i)) : (isDigit(text.at(i)) ? text.at(i).unicode() - u'0' : -1);
        if (d < 0)
            break;
        magnitude = std::min<qint64>(magnitude * base + d, qint64(1) << 40); // clamped below anyway
    }
    const qint64 v = negative ? -magnitude : magnitude;
    return qint32(std::clamp<qint64>(v, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()));
}

float readLooseSingle(const QString &text)
{
    const NumberScan s = scanNumber(text);
    double v = 0.0;
    if (!s.found || !convert(s, &v) || !fitsSingle(v))
        return 0.0f;
    return float(v);
}

QString formatPv3(double value) { return QString::asprintf("%.3F", value); }

QString formatRecord(double value) { return QString::asprintf("%8.3F", value); }

QString formatScientific23(double value)
{
    if (!std::isfinite(value))
        return formatGeneral(value).rightJustified(23, u' ');
    const QString sci = QString::number(value, 'E', 14); // "8.00000000000000E+01"
    const qsizetype ePos = sci.indexOf(u'E');
    const int exponent = sci.mid(ePos + 1).toInt();
    const QString text = sci.left(ePos) + (exponent < 0 ? QStringLiteral("E-") : QStringLiteral("E+"))
        + QString::number(std::abs(exponent)).rightJustified(4, u'0');
    return text.rightJustified(23, u' ');
}
