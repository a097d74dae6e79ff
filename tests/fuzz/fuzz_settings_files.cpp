// Fuzz harness: the settings files and the number text rules.
//
// Input: [mode] [argument] then the bytes of a file or a text:
//   mode 0  Sys_Para.Pf       LoadSysParams, then save and load again
//   mode 1  SystemPv.Pf       LoadChannelSettings(argument % 33) with SystemAlm.Pf missing
//   mode 2  SystemAlm.Pf      LoadChannelSettings(argument % 33) with a default SystemPv.Pf
//   mode 3  KTcom.ini         ReadCommSettings, ReadDeviceMap, then a rewrite of COM and Bps
//   mode 4  number text       the strict and loose readers against their rules, the formats
//   mode 5  any line file     readTextLines, writeTextLines, readTextLines
// (mode taken modulo 6). The bytes go to disk as they are: GBK and invalid GBK, CR, LF and
// CR LF in any mix, lines of any length.
//
// Checked beyond "no crash":
// - the loaders take every file without an error and keep their ranges (channel count
//   1 … 32, finite limits and alarm values); what they load is saved and loaded back equal
//   (names and units exactly, numbers to the 7 significant digits of the general format);
// - a line file read and written back reads the same lines, and is the same bytes when it
//   was written the station's way (CR LF after every line);
// - a rewrite of KTcom.ini keeps every section and key it read, and changes only COM and Bps;
// - parseNumber, parseSingle and parseInteger accept exactly the texts of their grammar, with
//   the value the C library gives; the loose readers take the longest such prefix;
//   formatGeneral writes at most 7 significant digits in the general form and reads back.

#include "AppError.h"
#include "FuzzSupport.h"
#include "IniFile.h"
#include "NumberText.h"
#include "PfFile.h"
#include "SettingsFiles.h"
#include "WindowState.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

void writeBytes(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    FUZZ_REQUIRE(f.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write %s", qPrintable(name));
    f.write(bytes);
}

QByteArray readBytes(const QString &name)
{
    QFile f(name);
    FUZZ_REQUIRE(f.open(QIODevice::ReadOnly), "cannot read %s", qPrintable(name));
    return f.readAll();
}

void clearDirectory()
{
    QDir dir(QDir::currentPath());
    for (const QString &entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(entry);
}

// Runs fn; an AppError is a failed check (the loaders must take any file).
template<typename Fn>
void mustNotThrow(const char *what, Fn fn)
{
    try {
        fn();
    } catch (const AppError &e) {
        FUZZ_REQUIRE(false, "%s threw: %s", what, qPrintable(e.text()));
    }
}

// Two single-precision values that went through the 7-digit general format.
bool sameToSevenDigits(float a, float b)
{
    if (a == b)
        return true;
    return std::fabs(double(a) - double(b)) <= std::fabs(double(a)) * 6e-7;
}

// ---- number grammar, written out independently of NumberText.cpp

const QRegularExpression &numberGrammar()
{
    static const QRegularExpression re(QStringLiteral("^ *[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?"));
    return re;
}

const QRegularExpression &integerGrammar()
{
    static const QRegularExpression re(QStringLiteral("^ *[+-]?(?:\\$[0-9A-Fa-f]+|0[xX][0-9A-Fa-f]+|[0-9]+)"));
    return re;
}

// The longest prefix of text the grammar matches; empty when none.
QString grammarPrefix(const QRegularExpression &re, const QString &text)
{
    const auto m = re.match(text);
    return m.hasMatch() ? m.captured(0) : QString();
}

// strtod of a well-formed number text (C locale digits only).
double cValue(const QString &number)
{
    QByteArray a = number.trimmed().toLatin1();
    if (a.startsWith('+'))
        a.remove(0, 1);
    return std::strtod(a.constData(), nullptr);
}

// Integer value of a well-formed integer text; false beyond the 64-bit range.
bool referenceInteger(const QString &number, qint64 *out)
{
    QString t = number.trimmed();
    bool negative = false;
    if (t.startsWith(u'+') || t.startsWith(u'-')) {
        negative = t.startsWith(u'-');
        t.remove(0, 1);
    }
    int base = 10;
    if (t.startsWith(u'$')) {
        base = 16;
        t.remove(0, 1);
    } else if (t.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive) && t.size() > 2) {
        base = 16;
        t.remove(0, 2);
    }
    __int128 v = 0;
    for (QChar c : t) {
        v = v * base + QString(c).toInt(nullptr, 16);
        if (v > (__int128(1) << 64))
            v = __int128(1) << 64; // saturate: out of range either way
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<qint64>::min() || v > std::numeric_limits<qint64>::max())
        return false;
    *out = qint64(v);
    return true;
}

void checkNumberRules(const QString &text)
{
    const QString numberPrefix = grammarPrefix(numberGrammar(), text);
    const bool wellFormed = !numberPrefix.isEmpty() && numberPrefix.size() == text.size();
    const double c = wellFormed ? cValue(text) : 0.0;
    double v = 0.0;
    const bool accepted = parseNumber(text, &v);
    FUZZ_REQUIRE(accepted == (wellFormed && std::isfinite(c)), "parseNumber(\"%s\") gave %d", qPrintable(text),
                 int(accepted));
    if (accepted) {
        // A value below the double range may read as zero.
        const bool underflow = std::fabs(c) < DBL_MIN;
        FUZZ_REQUIRE(v == c || (underflow && v == 0.0), "parseNumber(\"%s\") = %.17g, C library %.17g",
                     qPrintable(text), v, c);
        float f = 0.0f;
        const bool single = parseSingle(text, &f);
        FUZZ_REQUIRE(single == std::isfinite(float(v)), "parseSingle(\"%s\") gave %d", qPrintable(text), int(single));
        if (single)
            FUZZ_REQUIRE(f == float(v), "parseSingle(\"%s\") = %.9g", qPrintable(text), double(f));
    }

    const QString intPrefix = grammarPrefix(integerGrammar(), text);
    qint64 ref = 0, i = 0;
    const bool intWellFormed = !intPrefix.isEmpty() && intPrefix.size() == text.size() && referenceInteger(text, &ref);
    const bool intAccepted = parseInteger(text, &i);
    FUZZ_REQUIRE(intAccepted == intWellFormed, "parseInteger(\"%s\") gave %d", qPrintable(text), int(intAccepted));
    if (intAccepted)
        FUZZ_REQUIRE(i == ref, "parseInteger(\"%s\") = %lld, expected %lld", qPrintable(text), i, ref);

    // Loose readers: the longest well-formed prefix, 0 without one, clamped or zeroed out of range.
    qint64 looseRef = 0;
    const QString looseIntPrefix = intPrefix.isEmpty() ? QString() : intPrefix;
    if (!looseIntPrefix.isEmpty() && !referenceInteger(looseIntPrefix, &looseRef))
        looseRef = looseIntPrefix.trimmed().startsWith(u'-') ? std::numeric_limits<qint64>::min()
                                                               : std::numeric_limits<qint64>::max();
    const qint64 clamped = std::clamp<qint64>(looseRef, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
    FUZZ_REQUIRE(readLooseInteger(text) == clamped, "readLooseInteger(\"%s\") = %d, expected %lld", qPrintable(text),
                 readLooseInteger(text), clamped);
    const double looseC = numberPrefix.isEmpty() ? 0.0 : cValue(numberPrefix);
    const float looseExpected = std::isfinite(looseC) && std::isfinite(float(looseC)) ? float(looseC) : 0.0f;
    const float loose = readLooseSingle(text);
    FUZZ_REQUIRE(loose == looseExpected || (std::fabs(looseC) < DBL_MIN && loose == 0.0f),
                 "readLooseSingle(\"%s\") = %.9g, expected %.9g", qPrintable(text), double(loose), double(looseExpected));
}

int significantDigits(const QString &mantissa)
{
    QString d = mantissa;
    d.remove(u'-');
    d.remove(u'.');
    while (d.startsWith(u'0') && d.size() > 1)
        d.remove(0, 1);
    return int(d.size());
}

void checkGeneralFormat(double value)
{
    const QString text = formatGeneral(value);
    if (!std::isfinite(value)) {
        FUZZ_REQUIRE(text == QStringLiteral("NAN") || text == QStringLiteral("INF") || text == QStringLiteral("-INF"),
                     "formatGeneral of a non-finite value gave \"%s\"", qPrintable(text));
        return;
    }
    static const QRegularExpression fixed(QStringLiteral("^-?(0|[1-9][0-9]{0,6})(\\.[0-9]*[1-9])?$"));
    static const QRegularExpression sci(QStringLiteral("^-?[1-9](\\.[0-9]*[1-9])?E[+-][0-9]{2,3}$"));
    const bool isFixed = fixed.match(text).hasMatch();
    FUZZ_REQUIRE(isFixed || sci.match(text).hasMatch(), "formatGeneral(%.17g) = \"%s\"", value, qPrintable(text));
    const QString mantissa = isFixed ? text : text.left(text.indexOf(u'E'));
    FUZZ_REQUIRE(significantDigits(mantissa) <= 7 || (isFixed && text.contains(u'.') == false),
                 "formatGeneral(%.17g) = \"%s\" has more than 7 significant digits", value, qPrintable(text));
    // Within a hair of the double range the rounded text lies beyond it; the settings only
    // ever hold single-precision numbers.
    if (std::fabs(value) > 1e308)
        return;
    double back = 0.0;
    FUZZ_REQUIRE(parseNumber(text, &back), "formatGeneral(%.17g) = \"%s\" does not read back", value, qPrintable(text));
    FUZZ_REQUIRE(std::fabs(back - value) <= std::fabs(value) * 5.000001e-7 || (value != 0 && std::fabs(value) < 1e-300),
                 "formatGeneral(%.17g) = \"%s\" reads back %.17g", value, qPrintable(text), back);
    // Fixed notation exactly while the rounded value has 1 … 7 integer digits or is at least 0.00001.
    if (back != 0.0) {
        const double m = std::fabs(back);
        FUZZ_REQUIRE(isFixed == (m >= 0.00001 && m < 9999999.5), "formatGeneral(%.17g) = \"%s\": wrong notation",
                     value, qPrintable(text));
    }
    if (!std::isfinite(float(value)))
        return; // the 23-character form is written for alarm values, single precision
    const QString sci23 = formatScientific23(value);
    FUZZ_REQUIRE(sci23.size() == 23, "formatScientific23(%.17g) = \"%s\"", value, qPrintable(sci23));
    FUZZ_REQUIRE(parseNumber(sci23, &back) && std::fabs(back - value) <= std::fabs(value) * 1e-14,
                 "formatScientific23(%.17g) = \"%s\" reads back %.17g", value, qPrintable(sci23), back);
}

// ---- files

void checkSysPara(const QByteArray &bytes)
{
    writeBytes(SysParaFileName, bytes);
    mustNotThrow("LoadSysParams", [] { LoadSysParams(); });
    FUZZ_REQUIRE(SysParams.ChannelCount >= 1 && SysParams.ChannelCount <= MaxChannels, "channel count %d",
                 SysParams.ChannelCount);
    const TSysParams loaded = SysParams;
    mustNotThrow("SaveSysParams", [] { SaveSysParams(); });
    SysParams = {};
    mustNotThrow("LoadSysParams (saved)", [] { LoadSysParams(); });
    FUZZ_REQUIRE(SysParams.ChannelCount == loaded.ChannelCount && SysParams.StorageIntervalMs == loaded.StorageIntervalMs,
                 "Sys_Para.Pf saved %d/%d, loaded back %d/%d", loaded.ChannelCount, loaded.StorageIntervalMs,
                 SysParams.ChannelCount, SysParams.StorageIntervalMs);
}

void checkChannelFiles(int count)
{
    mustNotThrow("LoadChannelSettings", [count] { LoadChannelSettings(count); });
    const TOption loaded = Option;
    for (int i = 0; i < count; ++i) {
        FUZZ_REQUIRE(std::isfinite(loaded.LowerLimits[size_t(i)]) && std::isfinite(loaded.UpperLimits[size_t(i)])
                         && std::isfinite(loaded.AlarmValues[size_t(i)]),
                     "channel %d loaded a non-finite number", i + 1);
    }
    mustNotThrow("SaveChannelSettings", [count] { SaveChannelSettings(count); });
    mustNotThrow("SaveAlarmSettings", [count] { SaveAlarmSettings(count); });
    resetSharedState();
    mustNotThrow("LoadChannelSettings (saved)", [count] { LoadChannelSettings(count); });
    for (size_t i = 0; i < size_t(count); ++i) {
        FUZZ_REQUIRE(Option.Names[i] == loaded.Names[i] && Option.Units[i] == loaded.Units[i],
                     "channel %d: name or unit changed on save", int(i) + 1);
        FUZZ_REQUIRE(sameToSevenDigits(loaded.LowerLimits[i], Option.LowerLimits[i])
                         && sameToSevenDigits(loaded.UpperLimits[i], Option.UpperLimits[i])
                         && sameToSevenDigits(loaded.AlarmValues[i], Option.AlarmValues[i]),
                     "channel %d: limits or alarm value changed beyond 7 digits on save", int(i) + 1);
        FUZZ_REQUIRE(Option.AlarmModes[i] == loaded.AlarmModes[i], "channel %d: alarm mode changed on save", int(i) + 1);
    }
}

// Section names as a reader of the file sees them: "[name]" lines, in file order.
QStringList sectionNames(const QStringList &lines)
{
    QStringList names;
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (!t.startsWith(u'['))
            continue;
        const qsizetype close = t.indexOf(u']');
        const QString name = (close < 0 ? t.mid(1) : t.mid(1, close - 1)).trimmed();
        bool seen = false;
        for (const QString &n : names)
            seen = seen || n.compare(name, Qt::CaseInsensitive) == 0;
        if (!seen)
            names << name;
    }
    return names;
}

void checkIni(const QByteArray &bytes, uint8_t argument)
{
    writeBytes(CommIniFileName, bytes);
    const IniFile ini(CommIniFileName);
    QStringList lines;
    mustNotThrow("readTextLines", [&] { lines = readTextLines(CommIniFileName); });
    // Every read goes to the file, so a file of many sections is checked on its first 64.
    const QStringList names = sectionNames(lines).mid(0, 64);
    QList<QList<std::pair<QString, QString>>> before;
    mustNotThrow("readSection", [&] {
        for (const QString &name : names)
            before << ini.readSection(name);
    });

    CommSettings comm;
    mustNotThrow("ReadCommSettings", [&] { comm = ReadCommSettings(QDir::currentPath()); });
    FUZZ_REQUIRE(!comm.port.isEmpty() && SupportedBps.contains(comm.speed), "ReadCommSettings gave \"%s\" %d",
                 qPrintable(comm.port), comm.speed);
    mustNotThrow("ReadDeviceMap", [] {
        const QMap<int, QString> map = ReadDeviceMap(QDir::currentPath());
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            FUZZ_REQUIRE(it.key() > 0 && !it.value().isEmpty(), "device map entry %d", it.key());
    });

    // The dialog's rewrite of both keys.
    const QString port = QStringLiteral("COM%1").arg(argument % 16 + 1);
    const int speed = SupportedBps.at(argument % SupportedBps.size());
    mustNotThrow("WriteCommSettings", [&] { WriteCommSettings(QDir::currentPath(), port, speed); });
    const CommSettings saved = ReadSavedCommSettings(QDir::currentPath());
    FUZZ_REQUIRE(saved.port == port && saved.speed == speed, "rewrite read back \"%s\" %d", qPrintable(saved.port),
                 saved.speed);

    // Every other section as it was; [communication] with COM and Bps set (first occurrences
    // replaced in place, missing ones added at its end).
    const QString comSection = QStringLiteral("communication");
    for (int s = 0; s < names.size(); ++s) {
        QList<std::pair<QString, QString>> expected = before.at(s);
        if (names.at(s).compare(comSection, Qt::CaseInsensitive) == 0) {
            for (const auto &[key, value] : {std::pair{QStringLiteral("COM"), port},
                                             std::pair{QStringLiteral("Bps"), QString::number(speed)}}) {
                bool replaced = false;
                for (auto &kv : expected) {
                    if (kv.first.compare(key, Qt::CaseInsensitive) == 0) {
                        kv.second = value;
                        replaced = true;
                        break;
                    }
                }
                if (!replaced)
                    expected.append({key, value});
            }
        }
        const auto after = ini.readSection(names.at(s));
        FUZZ_REQUIRE(after == expected, "section [%s] changed on rewrite: %d pairs before, %d after",
                     qPrintable(names.at(s)), int(expected.size()), int(after.size()));
    }
}

void checkLineFile(const QByteArray &bytes)
{
    const QString name = QStringLiteral("lines.Pf");
    writeBytes(name, bytes);
    QStringList lines;
    mustNotThrow("readTextLines", [&] { lines = readTextLines(name); });
    for (const QString &line : lines)
        FUZZ_REQUIRE(!line.contains(u'\n'), "a line holds a line end");
    mustNotThrow("writeTextLines", [&] { writeTextLines(name, lines); });
    QStringList again;
    mustNotThrow("readTextLines (written)", [&] { again = readTextLines(name); });
    FUZZ_REQUIRE(again == lines, "lines changed on rewrite: %d lines, %d read back", int(lines.size()), int(again.size()));
    // A file written the station's way comes back byte for byte.
    if (bytes.isEmpty() || bytes.endsWith("\r\n")) {
        bool crlfOnly = true;
        for (qsizetype i = 0; i < bytes.size(); ++i)
            crlfOnly = crlfOnly && (bytes[i] != '\n' || (i > 0 && bytes[i - 1] == '\r'));
        if (crlfOnly)
            FUZZ_REQUIRE(readBytes(name) == bytes, "a CR LF file changed bytes on rewrite");
    }
}

} // namespace

int fuzzSettingsFiles(const uint8_t *data, size_t size)
{
    fuzz::ensureApplication();
    const fuzz::ScratchDirectory scratch;
    clearDirectory();
    resetSharedState();
    if (size < 2)
        return 0;
    const uint8_t mode = data[0] % 6;
    const uint8_t argument = data[1];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    switch (mode) {
    case 0:
        checkSysPara(bytes);
        break;
    case 1:
        writeBytes(SystemPvFileName, bytes);
        checkChannelFiles(argument % (MaxChannels + 1));
        break;
    case 2:
        writeBytes(SystemAlmFileName, bytes);
        checkChannelFiles(argument % (MaxChannels + 1));
        break;
    case 3:
        checkIni(bytes, argument);
        break;
    case 4: {
        const QString text = QString::fromUtf8(bytes);
        checkNumberRules(text);
        if (bytes.size() >= 8) {
            double v;
            std::memcpy(&v, bytes.constData(), sizeof v);
            checkGeneralFormat(v);
            checkGeneralFormat(double(float(v)));
        }
        break;
    }
    case 5:
        checkLineFile(bytes);
        break;
    }
    return 0;
}

QZ_FUZZ_TARGET(fuzzSettingsFiles)
