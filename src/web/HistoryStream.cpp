#include "HistoryStream.h"

#include "DateTimeText.h"
#include "HistoryExport.h"
#include "HistoryLayout.h"
#include "RecordBreaks.h"
#include "ReportRules.h"
#include "RowStore.h"
#include "SharedState.h"
#include "SitePayload.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <charconv>
#include <cmath>
#include <limits>
#include <sqlite3.h>

namespace {

constexpr int RowsPerSlice = 2000;

QByteArray storedTimeText(const QDateTime &t) { return db::dateTimeToText(t).toUtf8(); }

} // namespace

HistoryReader::HistoryReader(const QString &file, const QDateTime &from, const QDateTime &to)
    : m_file(file), m_fromText(storedTimeText(from)), m_toText(storedTimeText(inclusiveEnd(to)))
{
}

HistoryReader::~HistoryReader()
{
    if (m_slice)
        sqlite3_finalize(m_slice);
    if (m_db)
        sqlite3_close(m_db);
}

QString HistoryReader::lastError() const
{
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("not open");
}

bool HistoryReader::open(QString *error)
{
    if (!QFile::exists(m_file)) {
        *error = QStringLiteral("%1: no such file").arg(m_file);
        return false;
    }
    if (sqlite3_open_v2(QFile::encodeName(m_file).constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(m_file, lastError());
        return false;
    }
    // The station's commits are short; a reader that meets one waits this long at most.
    sqlite3_busy_timeout(m_db, 200);
    const QByteArray table = HistoryTableName.toUtf8();
    const QByteArray time = HistoryTimeField.toUtf8();
    // (datim, rowid) is the position: the datim index holds the rowid, so each slice starts
    // right where the last one ended.
    const QByteArray sql = "SELECT rowid, * FROM " + table + " WHERE (" + time + ", rowid) > (?1, ?2) AND " + time
        + " <= ?3 ORDER BY " + time + ", rowid LIMIT ?4";
    if (sqlite3_prepare_v3(m_db, sql.constData(), -1, SQLITE_PREPARE_PERSISTENT, &m_slice, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(m_file, lastError());
        return false;
    }
    const int columns = sqlite3_column_count(m_slice);
    for (int i = 1; i < columns; ++i) {
        m_names.append(QString::fromUtf8(sqlite3_column_name(m_slice, i)));
        const char *declared = sqlite3_column_decltype(m_slice, i);
        m_dateTime.append(declared && QByteArray(declared).toUpper().contains("DATETIME"));
    }
    m_lastDatim = m_fromText;
    return true;
}

int HistoryReader::fieldIndex(const QString &name) const
{
    for (qsizetype i = 0; i < m_names.size(); ++i)
        if (m_names.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

int HistoryReader::timeField() const
{
    const int byName = fieldIndex(HistoryTimeField);
    return byName >= 0 ? byName : 0;
}

qint64 HistoryReader::Row::msecs(int field) const
{
    return field >= 0 && size_t(field) < m_msecs.size() ? m_msecs[size_t(field)] : db::RowStore::NullMsecs;
}

QByteArrayView HistoryReader::Row::text(int field) const
{
    if (field < 0 || field >= m_reader->m_names.size())
        return {};
    sqlite3_stmt *st = m_reader->m_slice;
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(st, field + 1));
    return bytes ? QByteArrayView(bytes, sqlite3_column_bytes(st, field + 1)) : QByteArrayView();
}

bool HistoryReader::Row::isNull(int field) const
{
    return field < 0 || field >= m_reader->m_names.size()
        || sqlite3_column_type(m_reader->m_slice, field + 1) == SQLITE_NULL;
}

bool HistoryReader::readSlice(int limit, const std::function<void(const Row &)> &fn, QString *error)
{
    if (m_atEnd)
        return true;
    sqlite3_bind_text(m_slice, 1, m_lastDatim.constData(), int(m_lastDatim.size()), SQLITE_TRANSIENT);
    // The first slice takes every row stamped at the start itself.
    sqlite3_bind_int64(m_slice, 2, m_first ? std::numeric_limits<qint64>::min() : m_lastRowid);
    sqlite3_bind_text(m_slice, 3, m_toText.constData(), int(m_toText.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(m_slice, 4, limit);
    Row row;
    row.m_reader = this;
    row.m_msecs.assign(size_t(m_names.size()), db::RowStore::NullMsecs);
    db::LocalMsecs clock;
    int count = 0;
    int rc;
    while ((rc = sqlite3_step(m_slice)) == SQLITE_ROW) {
        ++count;
        for (qsizetype i = 0; i < m_names.size(); ++i) {
            if (!m_dateTime.at(i))
                continue;
            const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(m_slice, int(i + 1)));
            QDate date;
            QTime time;
            row.m_msecs[size_t(i)] = bytes && db::parseDateTimeText(bytes, sqlite3_column_bytes(m_slice, int(i + 1)), &date, &time)
                ? clock.toMsecs(date, time)
                : db::RowStore::NullMsecs;
        }
        fn(row);
        m_lastRowid = sqlite3_column_int64(m_slice, 0);
        const int timeColumn = timeField() + 1;
        const auto *datim = reinterpret_cast<const char *>(sqlite3_column_text(m_slice, timeColumn));
        m_lastDatim = datim ? QByteArray(datim, sqlite3_column_bytes(m_slice, timeColumn)) : QByteArray();
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(m_file, lastError());
    sqlite3_reset(m_slice); // ends this slice's read
    m_first = false;
    m_atEnd = !ok || count < limit;
    return ok;
}

QByteArray storedNumberJson(QByteArrayView stored)
{
    QByteArrayView text = stored.trimmed();
    if (text.startsWith('+'))
        text = text.sliced(1);
    if (text.isEmpty())
        return {};
    double v = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size() || !std::isfinite(v)
        || v == double(InterruptionMarker))
        return {};
    char buf[32];
    const auto out = std::to_chars(buf, buf + sizeof buf, v);
    return QByteArray(buf, out.ptr - buf);
}

namespace {

class HistoryJson : public BodySource {
public:
    HistoryJson(std::unique_ptr<HistoryReader> reader, const QList<HistoryChannel> &channels, const QDateTime &from,
                const QDateTime &to)
        : m_reader(std::move(reader)), m_channels(channels), m_from(from), m_to(to)
    {
        for (const HistoryChannel &c : channels)
            m_fields.append(m_reader->fieldIndex(historyFieldName(c.channel)));
        m_timeField = m_reader->timeField();
    }

    Step next(QByteArray &out) override
    {
        if (!m_started) {
            m_started = true;
            QJsonArray channels;
            for (const HistoryChannel &c : std::as_const(m_channels))
                channels.append(QJsonObject{{QStringLiteral("channel"), c.channel},
                                            {QStringLiteral("name"), c.name},
                                            {QStringLiteral("unit"), c.unit}});
            QJsonObject head{{QStringLiteral("from"), isoWithOffset(m_from)},
                             {QStringLiteral("to"), isoWithOffset(inclusiveEnd(m_to))},
                             {QStringLiteral("channels"), channels}};
            QByteArray text = QJsonDocument(head).toJson(QJsonDocument::Compact);
            text.chop(1); // the closing brace: the records follow
            out += text + ",\"records\":[";
            return Step::More;
        }
        if (m_reader->atEnd()) {
            // Where the curves stop because nothing was stored: the history window's rule, on
            // the times of the records sent.
            out += "\n],\"breaks\":[";
            const QVector<qsizetype> breaks = RecordBreaks::breaksAfter(m_keys);
            for (qsizetype i = 0; i < breaks.size(); ++i) {
                if (i > 0)
                    out += ',';
                out += QByteArray::number(breaks.at(i));
            }
            out += "]}\n";
            return Step::Done;
        }
        const bool ok = m_reader->readSlice(
            RowsPerSlice,
            [this, &out](const HistoryReader::Row &row) {
                const qint64 ms = row.msecs(m_timeField);
                if (ms == db::RowStore::NullMsecs)
                    return; // a record without a readable time has no place on a time axis
                out += m_rows++ ? ",\n[" : "\n[";
                out += QByteArray::number(ms);
                m_keys.append(double(ms) / 1000.0);
                for (const int f : std::as_const(m_fields)) {
                    const QByteArray v = f >= 0 ? storedNumberJson(row.text(f)) : QByteArray();
                    out += ',';
                    out += v.isEmpty() ? QByteArray("null") : v;
                }
                out += ']';
            },
            &m_error);
        return ok ? Step::More : Step::Failed;
    }
    QString error() const override { return m_error; }

private:
    std::unique_ptr<HistoryReader> m_reader;
    QList<HistoryChannel> m_channels;
    QList<int> m_fields;
    int m_timeField = 0;
    QDateTime m_from, m_to;
    bool m_started = false;
    qint64 m_rows = 0;
    QVector<double> m_keys; // seconds, for the breaks (8 bytes a record, not the record)
    QString m_error;
};

class HistoryCsv : public BodySource {
public:
    explicit HistoryCsv(std::unique_ptr<HistoryReader> reader) : m_reader(std::move(reader)) {}

    Step next(QByteArray &out) override
    {
        if (!m_started) {
            m_started = true;
            out += csvByteOrderMark() + csvHeaderOf(m_reader->fieldNames(), m_reader->timeField()).toUtf8() + "\r\n";
            return Step::More;
        }
        if (m_reader->atEnd())
            return Step::Done;
        const int fields = int(m_reader->fieldNames().size());
        const bool ok = m_reader->readSlice(
            RowsPerSlice,
            [this, &out, fields](const HistoryReader::Row &row) {
                for (int f = 0; f < fields; ++f) {
                    if (f > 0)
                        out += ',';
                    if (m_reader->isDateTime(f)) {
                        const qint64 ms = row.msecs(f);
                        if (ms != db::RowStore::NullMsecs)
                            m_stamps.append(ms, out);
                        continue;
                    }
                    appendCsvText(row.text(f), out);
                }
                out += "\r\n";
            },
            &m_error);
        return ok ? Step::More : Step::Failed;
    }
    QString error() const override { return m_error; }

private:
    std::unique_ptr<HistoryReader> m_reader;
    CsvStampText m_stamps;
    bool m_started = false;
    QString m_error;
};

} // namespace

std::unique_ptr<BodySource> historyJsonSource(std::unique_ptr<HistoryReader> reader, const QList<HistoryChannel> &channels,
                                              const QDateTime &from, const QDateTime &to)
{
    return std::make_unique<HistoryJson>(std::move(reader), channels, from, to);
}

std::unique_ptr<BodySource> historyCsvSource(std::unique_ptr<HistoryReader> reader)
{
    return std::make_unique<HistoryCsv>(std::move(reader));
}
