#include "SqlText.h"

#include <QSet>

namespace db {

namespace {

bool isWordStart(QChar c) { return c.isLetter() || c == u'_'; }
bool isWordChar(QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'$'; }

// Words that end a FROM clause.
const QSet<QString> &clauseEndWords()
{
    static const QSet<QString> words = {
        QStringLiteral("WHERE"),   QStringLiteral("GROUP"),     QStringLiteral("ORDER"),
        QStringLiteral("LIMIT"),   QStringLiteral("UNION"),     QStringLiteral("EXCEPT"),
        QStringLiteral("INTERSECT"), QStringLiteral("WINDOW"),  QStringLiteral("HAVING"),
        QStringLiteral("RETURNING"),
    };
    return words;
}

// Words that may follow a table name and are no alias.
const QSet<QString> &clauseWords()
{
    static const QSet<QString> words = {
        QStringLiteral("WHERE"),   QStringLiteral("GROUP"),     QStringLiteral("ORDER"),
        QStringLiteral("LIMIT"),   QStringLiteral("UNION"),     QStringLiteral("EXCEPT"),
        QStringLiteral("INTERSECT"), QStringLiteral("ON"),      QStringLiteral("USING"),
        QStringLiteral("JOIN"),    QStringLiteral("INNER"),     QStringLiteral("LEFT"),
        QStringLiteral("RIGHT"),   QStringLiteral("FULL"),      QStringLiteral("CROSS"),
        QStringLiteral("NATURAL"), QStringLiteral("OUTER"),     QStringLiteral("WINDOW"),
        QStringLiteral("HAVING"),  QStringLiteral("FROM"),      QStringLiteral("SELECT"),
        QStringLiteral("INDEXED"), QStringLiteral("NOT"),       QStringLiteral("RETURNING"),
    };
    return words;
}

enum class FromState { None, ExpectTable, AfterTable, AfterAs };

} // namespace

QString quoteIdentifier(const QString &name)
{
    QString escaped = name;
    escaped.replace(u'"', QStringLiteral("\"\""));
    return u'"' + escaped + u'"';
}

ScannedSql scanSql(const QString &sql, const std::function<QString(const QString &)> &resolveTable)
{
    ScannedSql out;
    out.text.reserve(sql.size());
    FromState state = FromState::None;
    // Parenthesis depths at which a FROM clause is open: a comma there starts the next table,
    // also after a join condition.
    QList<int> fromDepths;
    int depth = 0;
    bool firstWord = true;
    const qsizetype n = sql.size();
    qsizetype i = 0;

    // A table name seen where the FROM list expects one.
    auto tableSeen = [&](const QString &name, const QString &written) {
        if (!out.tables.contains(name, Qt::CaseInsensitive))
            out.tables.append(name);
        const QString replacement = resolveTable ? resolveTable(name) : QString();
        out.text += replacement.isEmpty() ? written : replacement;
        state = FromState::AfterTable;
    };

    while (i < n) {
        const QChar c = sql.at(i);
        // String literal: copied as is.
        if (c == u'\'') {
            qsizetype j = i + 1;
            while (j < n) {
                if (sql.at(j) == u'\'') {
                    if (j + 1 < n && sql.at(j + 1) == u'\'') {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            j = qMin(j + 1, n);
            out.text += sql.mid(i, j - i);
            i = j;
            firstWord = false;
            if (state == FromState::AfterTable || state == FromState::AfterAs)
                state = FromState::None;
            continue;
        }
        // Comments: copied as is.
        if (c == u'-' && i + 1 < n && sql.at(i + 1) == u'-') {
            qsizetype j = sql.indexOf(u'\n', i);
            j = j < 0 ? n : j;
            out.text += sql.mid(i, j - i);
            i = j;
            continue;
        }
        if (c == u'/' && i + 1 < n && sql.at(i + 1) == u'*') {
            qsizetype j = sql.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? n : j + 2;
            out.text += sql.mid(i, j - i);
            i = j;
            continue;
        }
        // Quoted identifier: "x", [x] or `x`.
        if (c == u'"' || c == u'[' || c == u'`') {
            const QChar close = c == u'[' ? u']' : c;
            qsizetype j = i + 1;
            QString name;
            while (j < n) {
                if (sql.at(j) == close) {
                    if (close != u']' && j + 1 < n && sql.at(j + 1) == close) {
                        name += close;
                        j += 2;
                        continue;
                    }
                    break;
                }
                name += sql.at(j);
                ++j;
            }
            j = qMin(j + 1, n);
            const QString written = sql.mid(i, j - i);
            i = j;
            firstWord = false;
            if (state == FromState::ExpectTable) {
                tableSeen(name, written);
            } else {
                out.text += written;
                if (state == FromState::AfterAs)
                    state = FromState::AfterTable;
            }
            continue;
        }
        // Named parameter.
        if (c == u':' && i + 1 < n && isWordStart(sql.at(i + 1))) {
            qsizetype j = i + 1;
            while (j < n && isWordChar(sql.at(j)))
                ++j;
            out.parameters.append(sql.mid(i + 1, j - i - 1));
            out.text += u'?';
            i = j;
            continue;
        }
        // Word: keyword, name, or a dotted name (schema.table, or a table name with extension).
        if (isWordStart(c)) {
            qsizetype j = i + 1;
            while (j < n) {
                if (isWordChar(sql.at(j))) {
                    ++j;
                } else if (sql.at(j) == u'.' && j + 1 < n && isWordStart(sql.at(j + 1))) {
                    j += 2;
                } else {
                    break;
                }
            }
            const QString word = sql.mid(i, j - i);
            const QString upper = word.toUpper();
            i = j;
            if (firstWord) {
                out.readOnly = upper == QLatin1String("SELECT") || upper == QLatin1String("WITH")
                    || upper == QLatin1String("VALUES");
                firstWord = false;
            }
            if (upper == QLatin1String("FROM") || upper == QLatin1String("JOIN")) {
                out.text += word;
                state = FromState::ExpectTable;
                if (upper == QLatin1String("FROM") && (fromDepths.isEmpty() || fromDepths.last() != depth))
                    fromDepths.append(depth);
                continue;
            }
            if (!fromDepths.isEmpty() && fromDepths.last() == depth && clauseEndWords().contains(upper))
                fromDepths.removeLast();
            switch (state) {
            case FromState::ExpectTable:
                tableSeen(word, word);
                continue;
            case FromState::AfterTable:
                if (upper == QLatin1String("AS"))
                    state = FromState::AfterAs;
                else if (clauseWords().contains(upper))
                    state = FromState::None;
                break;
            case FromState::AfterAs:
                state = FromState::AfterTable;
                break;
            case FromState::None:
                break;
            }
            out.text += word;
            continue;
        }
        // Punctuation.
        if (c == u'(') {
            ++depth;
        } else if (c == u')') {
            while (!fromDepths.isEmpty() && fromDepths.last() >= depth)
                fromDepths.removeLast();
            depth = qMax(0, depth - 1);
        } else if (c == u';') {
            fromDepths.clear();
            depth = 0;
        }
        if (c == u',' && (state == FromState::AfterTable
                          || (!fromDepths.isEmpty() && fromDepths.last() == depth)))
            state = FromState::ExpectTable;
        else if (!c.isSpace() && state != FromState::None)
            state = FromState::None; // '(' starts a sub-query, ')' or ';' ends the list
        if (!c.isSpace())
            firstWord = false;
        out.text += c;
        ++i;
    }
    return out;
}

} // namespace db
