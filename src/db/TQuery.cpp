#include "TQuery.h"

#include "Connection.h"
#include "DateTimeText.h"
#include "SqlText.h"
#include "TTable.h"

#include <QFileInfo>
#include <QSet>
#include <QSqlDriver>
#include <memory>
#include <sqlite3.h>
#include <charconv>
#include <cmath>
#include <limits>

namespace db {

namespace {

const QString OpenOperation = QStringLiteral("open query");

QString paramKey(const QString &name)
{
    QString key = name.trimmed();
    if (key.startsWith(u':'))
        key.remove(0, 1);
    return key.toLower();
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool parseNumber(QByteArrayView text, double *value)
{
    const char *p = text.data();
    const char *end = p + text.size();
    while (p < end && isBlank(*p))
        ++p;
    while (end > p && isBlank(end[-1]))
        --end;
    if (p < end && *p == '+')
        ++p;
    if (p == end)
        return false;
    double v = 0;
    const auto result = std::from_chars(p, end, v);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

} // namespace

TQuery::TQuery() = default;

TQuery::~TQuery() = default;

DbError TQuery::error(const QString &operation, const QString &reason) const
{
    return DbError(m_dir.isEmpty() ? QStringLiteral(".") : m_dir, operation, reason);
}

void TQuery::setDatabaseName(const QString &dir)
{
    if (dir == m_dir)
        return;
    if (m_active)
        throw error(QStringLiteral("change the directory"), QStringLiteral("the query is open"));
    m_dir = dir;
}

void TQuery::setParamDateTime(const QString &name, const QDateTime &value)
{
    m_params.insert(paramKey(name), value.isValid() ? QVariant(dateTimeToText(value)) : QVariant());
}

void TQuery::clearParams() { m_params.clear(); }

void TQuery::open()
{
    if (m_active)
        return;

    // Which tables the text reads, and the files they come from.
    struct Attached {
        QString file;
        QString schema;
    };
    QList<Attached> attached;
    const ScannedSql scanned = scanSql(SQL.join(u'\n'), [&](const QString &name) -> QString {
        const QString file = tableFilePath(m_dir, name);
        if (!QFileInfo(file).isFile())
            return {}; // not a table of the directory; SQLite will say so if it is needed
        const QString inner = tableInnerName(name);
        bool known = false;
        for (const Attached &a : attached)
            known = known || a.schema.compare(inner, Qt::CaseInsensitive) == 0;
        if (!known)
            attached.append({file, inner});
        // "PrintData.Dat" reads as schema.table in SQL; name the table inside the file instead.
        return inner == name ? QString() : quoteIdentifier(inner);
    });
    if (!scanned.readOnly)
        throw error(OpenOperation, QStringLiteral("the query text is not a SELECT statement"));
    QVariantList values;
    for (const QString &p : scanned.parameters) {
        const auto it = m_params.constFind(paramKey(p));
        if (it == m_params.constEnd())
            throw error(OpenOperation, QStringLiteral("the parameter \"%1\" has no value").arg(p));
        values.append(it.value());
    }

    Connection conn(m_dir);
    conn.openMemory(OpenOperation);
    for (const Attached &a : attached)
        conn.exec(QStringLiteral("ATTACH DATABASE ? AS %1").arg(quoteIdentifier(a.schema)),
                  OpenOperation, {a.file});
    try {
        fetch(conn, scanned.text, values);
    } catch (...) {
        close();
        throw;
    }
    conn.close(); // every row is in memory: the files are free again

    m_active = true;
    first();
}

// The rows are read through SQLite's own interface on the connection QtSql opened: QSqlQuery
// turns every column of every row into a QVariant, which makes a 30-day history (518,400
// rows of 33 fields) take four times as long as reading the stored bytes directly.
void TQuery::fetch(const Connection &conn, const QString &sql, const QVariantList &values)
{
    const QVariant handle = conn.database().driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        throw error(OpenOperation, QStringLiteral("the SQLite driver gives no connection handle"));
    sqlite3 *h = *static_cast<sqlite3 *const *>(handle.constData());
    auto fail = [&](const QString &step) {
        const int code = sqlite3_errcode(h);
        QString reason = QString::fromUtf8(sqlite3_errmsg(h));
        if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
            reason = QStringLiteral("the table is in use by another program (%1)").arg(reason);
        return error(OpenOperation, step.isEmpty() ? reason : step + QStringLiteral(": ") + reason);
    };

    const QByteArray text = sql.toUtf8();
    sqlite3_stmt *raw = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(h, text.constData(), int(text.size()), &raw, &tail) != SQLITE_OK)
        throw fail(QString());
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> stmt(raw, sqlite3_finalize);
    if (!stmt)
        throw error(OpenOperation, QStringLiteral("the query text is empty"));
    if (!QByteArray(tail).trimmed().isEmpty() && QByteArray(tail).trimmed() != ";")
        throw error(OpenOperation, QStringLiteral("the query text holds more than one statement"));
    if (!sqlite3_stmt_readonly(stmt.get()))
        throw error(OpenOperation, QStringLiteral("the query text is not a SELECT statement"));
    for (qsizetype i = 0; i < values.size(); ++i) {
        const int rc = values.at(i).isNull()
            ? sqlite3_bind_null(stmt.get(), int(i + 1))
            : sqlite3_bind_text(stmt.get(), int(i + 1), values.at(i).toString().toUtf8().constData(), -1,
                                SQLITE_TRANSIENT);
        if (rc != SQLITE_OK)
            throw fail(QStringLiteral("parameter %1").arg(i + 1));
    }

    // Date-time fields are known by their declared type, also under another name ("datim as t").
    const int columns = sqlite3_column_count(stmt.get());
    QList<RowStore::Kind> kinds;
    for (int i = 0; i < columns; ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(stmt.get(), i));
        const char *declared = sqlite3_column_decltype(stmt.get(), i);
        const bool dateTime = declared && QByteArray(declared).toUpper().contains("DATETIME");
        m_fieldNames.append(name);
        m_fieldTypes.append(dateTime ? FieldType::DateTime : FieldType::Text);
        if (!m_fieldIndex.contains(name.toLower()))
            m_fieldIndex.insert(name.toLower(), i);
        kinds.append(dateTime ? RowStore::Kind::DateTime : RowStore::Kind::Text);
    }
    m_rows.reset(kinds);

    LocalMsecs clock;
    for (;;) {
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW)
            throw fail(QString());
        m_rows.beginRow();
        for (int i = 0; i < columns; ++i) {
            if (sqlite3_column_type(stmt.get(), i) == SQLITE_NULL) {
                m_rows.addNull();
                continue;
            }
            // Texts as stored; a number another program stored reads as its text.
            const char *bytes = reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), i));
            const int length = sqlite3_column_bytes(stmt.get(), i);
            if (kinds.at(i) == RowStore::Kind::Text) {
                m_rows.addText(bytes, length);
                continue;
            }
            QDate date;
            QTime time;
            if (bytes && parseDateTimeText(bytes, length, &date, &time))
                m_rows.addMsecs(clock.toMsecs(date, time));
            else
                m_rows.addMsecs(RowStore::NullMsecs); // not a time this engine wrote
        }
        m_rows.endRow();
    }
}

void TQuery::close()
{
    m_active = false;
    m_rows.clear();
    m_rows.reset({});
    m_fieldNames.clear();
    m_fieldTypes.clear();
    m_fieldIndex.clear();
    m_row = -1;
    m_eof = true;
}

void TQuery::first()
{
    m_row = m_rows.rowCount() > 0 ? 0 : -1;
    m_eof = m_row < 0;
}

void TQuery::next()
{
    if (m_eof)
        return;
    if (m_row + 1 < m_rows.rowCount())
        ++m_row;
    else
        m_eof = true;
}

bool TQuery::eof() const { return !m_active || m_eof; }

int TQuery::recordCount() const { return m_rows.rowCount(); }

int TQuery::currentRow() const { return m_row; }

void TQuery::seek(int row)
{
    const int count = m_rows.rowCount();
    if (count == 0) {
        first();
        return;
    }
    m_row = qBound(0, row, count - 1);
    m_eof = row >= count;
}

int TQuery::fieldCount() const { return int(m_fieldNames.size()); }

QStringList TQuery::fieldNames() const { return m_fieldNames; }

int TQuery::fieldIndex(const QString &name) const { return m_fieldIndex.value(name.toLower(), -1); }

FieldType TQuery::fieldType(int field) const
{
    return field >= 0 && field < m_fieldTypes.size() ? m_fieldTypes.at(field) : FieldType::Text;
}

int TQuery::requireField(const QString &name) const
{
    const int i = fieldIndex(name);
    if (i < 0)
        throw error(QStringLiteral("read field"), QStringLiteral("the query has no field \"%1\"").arg(name));
    return i;
}

QDateTime TQuery::fieldDateTime(const QString &name) const { return dateTimeAt(m_row, requireField(name)); }

QString TQuery::fieldText(const QString &name) const { return textAt(m_row, requireField(name)); }

bool TQuery::fieldIsNull(const QString &name) const { return isNullAt(m_row, requireField(name)); }

bool TQuery::isNullAt(int row, int field) const { return m_rows.isNull(row, field); }

qint64 TQuery::msecsAt(int row, int field) const { return m_rows.msecs(row, field); }

QDateTime TQuery::dateTimeAt(int row, int field) const
{
    if (field < 0 || field >= fieldCount())
        return {};
    if (m_fieldTypes.at(field) == FieldType::DateTime) {
        const qint64 ms = m_rows.msecs(row, field);
        return ms == RowStore::NullMsecs ? QDateTime() : QDateTime::fromMSecsSinceEpoch(ms);
    }
    const QByteArrayView text = m_rows.text(row, field);
    QDate date;
    QTime time;
    if (!parseDateTimeText(text.data(), text.size(), &date, &time))
        return {};
    return QDateTime(date, time);
}

QString TQuery::textAt(int row, int field) const
{
    if (field < 0 || field >= fieldCount())
        return {};
    if (m_fieldTypes.at(field) == FieldType::DateTime)
        return dateTimeToText(dateTimeAt(row, field));
    const QByteArrayView text = m_rows.text(row, field);
    return QString::fromUtf8(text.data(), text.size());
}

QByteArrayView TQuery::textBytesAt(int row, int field) const
{
    if (field < 0 || field >= fieldCount() || m_fieldTypes.at(field) != FieldType::Text)
        return {};
    return m_rows.text(row, field);
}

QList<double> TQuery::columnNumbers(int field, double notANumber) const
{
    QList<double> out;
    if (field < 0 || field >= fieldCount())
        return out;
    const int rows = m_rows.rowCount();
    out.reserve(rows);
    for (int r = 0; r < rows; ++r) {
        double v = notANumber;
        if (m_fieldTypes.at(field) == FieldType::Text && !parseNumber(m_rows.text(r, field), &v))
            v = notANumber;
        out.append(v);
    }
    return out;
}

QList<double> TQuery::columnSeconds(int field) const
{
    QList<double> out;
    if (field < 0 || field >= fieldCount())
        return out;
    const int rows = m_rows.rowCount();
    out.reserve(rows);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (m_fieldTypes.at(field) == FieldType::DateTime) {
        for (int r = 0; r < rows; ++r) {
            const qint64 ms = m_rows.msecs(r, field);
            out.append(ms == RowStore::NullMsecs ? nan : double(ms) / 1000.0);
        }
        return out;
    }
    LocalMsecs clock;
    for (int r = 0; r < rows; ++r) {
        const QByteArrayView text = m_rows.text(r, field);
        QDate date;
        QTime time;
        out.append(parseDateTimeText(text.data(), text.size(), &date, &time)
                       ? double(clock.toMsecs(date, time)) / 1000.0
                       : nan);
    }
    return out;
}

} // namespace db
