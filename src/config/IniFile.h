#pragma once
// A small INI file service, behaving like the Windows profile functions the settings were
// first kept with: section and key names match without regard to case, the first matching
// section (and key in it) counts, blanks around names and values are dropped and a value in
// matching quotes loses them. Every read goes to the file; every write rewrites the file at
// once, keeping all other sections, keys, comments and blank lines (line ends become CR LF).
// A missing file reads as empty and is created by the first write. Bytes on disk are GBK.
// Input/output failures throw AppError.

#include <QList>
#include <QString>
#include <QStringList>
#include <utility>

class IniFile {
public:
    explicit IniFile(const QString &path);

    QString path() const { return m_path; }

    // The value of key in section, or defaultValue when the section or key is missing.
    QString readString(const QString &section, const QString &key, const QString &defaultValue = QString()) const;

    // The value as an integer, read strictly (NumberText's parseInteger: leading blanks, an
    // optional sign, decimal digits or "$"/"0x" hexadecimal, nothing after them). A value that
    // is not such a number ("2400 baud", "abc", one beyond the int range) counts as missing:
    // like a missing key or an empty value it gives defaultValue.
    int readInteger(const QString &section, const QString &key, int defaultValue) const;

    // Every key = value pair of the section, in file order (keys as spelt in the file).
    QList<std::pair<QString, QString>> readSection(const QString &section) const;

    // Sets key in section and writes the file at once. An existing key keeps its spelling
    // and place; a new key goes after the last entry of its section; a new section goes at
    // the end of the file.
    void writeString(const QString &section, const QString &key, const QString &value);

private:
    QStringList readLines() const;

    QString m_path;
};
