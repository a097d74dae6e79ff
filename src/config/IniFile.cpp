#include "IniFile.h"

#include "NumberText.h"
#include "PfFile.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {

// "[name]" (blanks allowed around) gives name; anything else is not a section header.
bool sectionName(const QString &line, QString *name)
{
    const QString t = line.trimmed();
    if (!t.startsWith(u'['))
        return false;
    const qsizetype close = t.indexOf(u']');
    *name = (close < 0 ? t.mid(1) : t.mid(1, close - 1)).trimmed();
    return true;
}

bool isComment(const QString &line)
{
    const QString t = line.trimmed();
    return t.startsWith(u';') || t.startsWith(u'#');
}

// "key = value" gives key and value; false for lines without '=' and comments.
bool keyValue(const QString &line, QString *key, QString *value)
{
    if (isComment(line))
        return false;
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return false;
    *key = line.left(eq).trimmed();
    QString v = line.mid(eq + 1).trimmed();
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    *value = v;
    return !key->isEmpty();
}

// Index of the header line of the first section named `section`, or -1.
int findSection(const QStringList &lines, const QString &section)
{
    for (int i = 0; i < lines.size(); ++i) {
        QString name;
        if (sectionName(lines.at(i), &name) && name.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

// Index after the last line of the section whose header is at `header`.
int sectionEnd(const QStringList &lines, int header)
{
    int i = header + 1;
    QString name;
    while (i < lines.size() && !sectionName(lines.at(i), &name))
        ++i;
    return i;
}

} // namespace

IniFile::IniFile(const QString &path) : m_path(path) {}

QStringList IniFile::readLines() const
{
    if (!QFileInfo::exists(m_path))
        return {};
    return readTextLines(m_path);
}

QString IniFile::readString(const QString &section, const QString &key, const QString &defaultValue) const
{
    const QStringList lines = readLines();
    const int header = findSection(lines, section);
    if (header < 0)
        return defaultValue;
    const int end = sectionEnd(lines, header);
    for (int i = header + 1; i < end; ++i) {
        QString k, v;
        if (keyValue(lines.at(i), &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0)
            return v;
    }
    return defaultValue;
}

int IniFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    qint64 value = 0;
    if (!parseInteger(readString(section, key, QString()), &value) || value < std::numeric_limits<int>::min()
        || value > std::numeric_limits<int>::max())
        return defaultValue;
    return int(value);
}

QList<std::pair<QString, QString>> IniFile::readSection(const QString &section) const
{
    QList<std::pair<QString, QString>> pairs;
    const QStringList lines = readLines();
    const int header = findSection(lines, section);
    if (header < 0)
        return pairs;
    const int end = sectionEnd(lines, header);
    for (int i = header + 1; i < end; ++i) {
        QString k, v;
        if (keyValue(lines.at(i), &k, &v))
            pairs.append({k, v});
    }
    return pairs;
}

void IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QStringList lines = readLines();
    const int header = findSection(lines, section);
    if (header < 0) {
        if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
            lines.append(QString());
        lines.append(u'[' + section + u']');
        lines.append(key + u'=' + value);
    } else {
        const int end = sectionEnd(lines, header);
        bool replaced = false;
        int lastEntry = header;
        for (int i = header + 1; i < end; ++i) {
            QString k, v;
            if (keyValue(lines.at(i), &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
                lines[i] = k + u'=' + value;
                replaced = true;
                break;
            }
            if (!lines.at(i).trimmed().isEmpty())
                lastEntry = i;
        }
        if (!replaced)
            lines.insert(lastEntry + 1, key + u'=' + value);
    }
    writeTextLines(m_path, lines);
}
