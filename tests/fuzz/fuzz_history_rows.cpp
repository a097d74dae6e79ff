// Fuzz harness: rows read back from wwdd, through the history window's grid, chart, CSV and
// print paths.
//
// The table is written with SQLite directly, so it holds what a damaged or foreign table may
// hold: NULLs, numbers, blobs, texts with any bytes (invalid UTF-8, NUL, quotes, commas, line
// breaks), very long texts, time stamps that are not times, and layouts other than the
// station's (fewer or more channel fields, a time field not declared as a date-time).
//
// Input: [flags] [channel count] [range: base in bits 0–1, span (bits 2–7) × 10 minutes]
// then cells, row after row (datim, then the channel fields of the layout), until the input
// ends or 200 rows are written. Each cell is a kind byte and its payload:
//   0 NULL   1 text (length byte)   2 integer (8 bytes)   3 real (8 bytes)
//   4 blob (length byte)   5 a time stamp the station would write, 2 bytes of seconds from
//   a base time (its kind byte's high bits pick the base)   6 a value "%8.3F" of a float
//   (4 bytes)   7 long text (2 length bytes)
// flags: bits 0–1 layout (station, 3 channels, 40 channels, time field declared TEXT);
// bit 2 print the table to PDF; bit 3 render the chart; bit 4 query the whole table rather
// than the range the range byte picks.
//
// Checked beyond "no crash": the query takes every row in range and never fails; the grid has
// a row per record and a column per field; the CSV has the header and one record per row,
// each with one field per query field, time stamps as the query reads them and channel texts
// as stored without their padding blanks; curves have finite keys, one per row with a
// readable time stamp; the chart takes them; printing ends with a PDF.

#include "FuzzSupport.h"
#include "HistoryChart.h"
#include "HistoryExport.h"
#include "HistoryGridModel.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "TQuery.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPdfWriter>
#include <QPixmap>
#include <cmath>
#include <ctime>
#include <sqlite3.h>

namespace {

// The four layouts: field names and declared types of the channel fields.
struct Layout {
    int channels;
    const char *timeType;
};
constexpr Layout Layouts[4] = {{32, "DATETIME"}, {3, "DATETIME"}, {40, "DATETIME"}, {32, "TEXT"}};

const QDateTime &baseTime(int which)
{
    // Around the spring and autumn clock changes, far in the past and far ahead.
    static const QDateTime bases[4] = {
        QDateTime(QDate(2024, 3, 31), QTime(1, 0)), QDateTime(QDate(2024, 10, 27), QTime(1, 0)),
        QDateTime(QDate(1901, 1, 1), QTime(0, 0)), QDateTime(QDate(9999, 12, 31), QTime(0, 0))};
    return bases[which & 3];
}

void exec(sqlite3 *db, const QByteArray &sql)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, &message);
    FUZZ_REQUIRE(rc == SQLITE_OK, "%s: %s", sql.constData(), message ? message : "?");
    sqlite3_free(message);
}

// Writes wwdd.db in dir from the input; returns the number of rows written.
int writeTable(const QString &dir, const Layout &layout, fuzz::Cursor &in)
{
    const QString path = QDir(dir).filePath(QStringLiteral("wwdd.db"));
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(path + QLatin1String(suffix));

    sqlite3 *db = nullptr;
    FUZZ_REQUIRE(sqlite3_open(path.toUtf8().constData(), &db) == SQLITE_OK, "cannot create %s", qPrintable(path));
    QByteArray create = QByteArray("CREATE TABLE wwdd (datim ") + layout.timeType;
    for (int k = 1; k <= layout.channels; ++k)
        create += ", aa" + QByteArray::number(k) + " VARCHAR(16)";
    create += ")";
    exec(db, create);
    exec(db, "CREATE INDEX wwdd_datim ON wwdd (datim)");
    exec(db, "BEGIN");

    QByteArray insert = "INSERT INTO wwdd VALUES (?";
    for (int k = 1; k <= layout.channels; ++k)
        insert += ",?";
    insert += ")";
    sqlite3_stmt *stmt = nullptr;
    FUZZ_REQUIRE(sqlite3_prepare_v2(db, insert.constData(), -1, &stmt, nullptr) == SQLITE_OK, "prepare");

    int rows = 0;
    while (!in.atEnd() && rows < 200) {
        sqlite3_reset(stmt);
        for (int column = 1; column <= layout.channels + 1; ++column) {
            const uint8_t kind = in.byte();
            size_t got = 0;
            switch (kind & 7) {
            case 0:
                sqlite3_bind_null(stmt, column);
                break;
            case 1:
            case 4: {
                const char *p = in.take(in.byte(), &got);
                if ((kind & 7) == 1)
                    sqlite3_bind_text(stmt, column, p, int(got), SQLITE_TRANSIENT);
                else
                    sqlite3_bind_blob(stmt, column, p, int(got), SQLITE_TRANSIENT);
                break;
            }
            case 2: {
                const uint64_t v = uint64_t(in.u16()) << 48 | uint64_t(in.u16()) << 32 | uint64_t(in.u16()) << 16 | in.u16();
                sqlite3_bind_int64(stmt, column, sqlite3_int64(v));
                break;
            }
            case 3: {
                const uint64_t bits = uint64_t(in.u16()) << 48 | uint64_t(in.u16()) << 32 | uint64_t(in.u16()) << 16 | in.u16();
                double v;
                std::memcpy(&v, &bits, sizeof v);
                sqlite3_bind_double(stmt, column, v);
                break;
            }
            case 5: {
                const QDateTime at = baseTime(kind >> 3).addSecs(in.u16()).addMSecs((kind >> 5) * 125);
                const QByteArray text = at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1();
                sqlite3_bind_text(stmt, column, text.constData(), int(text.size()), SQLITE_TRANSIENT);
                break;
            }
            case 6: {
                const QByteArray text = historyValueText(in.f32()).toUtf8();
                sqlite3_bind_text(stmt, column, text.constData(), int(text.size()), SQLITE_TRANSIENT);
                break;
            }
            case 7: {
                const char *p = in.take(in.u16(), &got);
                sqlite3_bind_text(stmt, column, p, int(got), SQLITE_TRANSIENT);
                break;
            }
            }
        }
        FUZZ_REQUIRE(sqlite3_step(stmt) == SQLITE_DONE, "insert: %s", sqlite3_errmsg(db));
        ++rows;
    }
    sqlite3_finalize(stmt);
    exec(db, "COMMIT");
    sqlite3_close(db);
    return rows;
}

// RFC 4180 records of a CSV text (quoted fields may hold commas, quotes and line breaks).
QList<QList<QByteArray>> parseCsv(const QByteArray &csv)
{
    QList<QList<QByteArray>> records;
    QList<QByteArray> record;
    QByteArray field;
    bool quoted = false;
    for (qsizetype i = 0; i < csv.size(); ++i) {
        const char c = csv[i];
        if (quoted) {
            if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            FUZZ_REQUIRE(field.isEmpty(), "a quote inside an unquoted CSV field");
            quoted = true;
        } else if (c == ',') {
            record << field;
            field.clear();
        } else if (c == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n') {
            record << field;
            field.clear();
            records << record;
            record.clear();
            ++i;
        } else {
            FUZZ_REQUIRE(c != '\r' && c != '\n', "a bare line break in an unquoted CSV field");
            field += c;
        }
    }
    FUZZ_REQUIRE(!quoted && field.isEmpty() && record.isEmpty(), "the CSV does not end with a whole record");
    return records;
}

void checkCsv(const db::TQuery &query)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    FUZZ_REQUIRE(writeHistoryCsv(query, buffer), "writeHistoryCsv failed");
    QByteArray csv = buffer.data();
    FUZZ_REQUIRE(csv.startsWith("\xEF\xBB\xBF"), "no byte-order mark");
    csv.remove(0, 3);
    const QList<QList<QByteArray>> records = parseCsv(csv);
    FUZZ_REQUIRE(records.size() == query.recordCount() + 1, "%d CSV records for %d rows", int(records.size()),
                 query.recordCount());
    const int fields = query.fieldCount();
    for (int r = 0; r < records.size(); ++r)
        FUZZ_REQUIRE(records.at(r).size() == qMax(fields, 1), "CSV record %d has %d fields, the query %d", r,
                     int(records.at(r).size()), fields);
    for (int row = 0; row < query.recordCount(); ++row) {
        const QList<QByteArray> &rec = records.at(row + 1);
        for (int f = 0; f < fields; ++f) {
            if (query.fieldType(f) == db::FieldType::DateTime) {
                const QDateTime at = query.dateTimeAt(row, f);
                const QByteArray expected = at.isValid()
                    ? at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1() : QByteArray();
                FUZZ_REQUIRE(rec.at(f) == expected, "row %d: time \"%s\" written as \"%s\"", row, expected.constData(),
                             rec.at(f).constData());
            } else {
                const QString stored = QString::fromUtf8(query.textBytesAt(row, f).trimmed());
                FUZZ_REQUIRE(QString::fromUtf8(rec.at(f)) == stored, "row %d field %d: text changed in the CSV", row, f);
            }
        }
    }
}

void checkGrid(const db::TQuery &query)
{
    HistoryGridModel model(&query);
    model.queryAboutToChange();
    model.queryChanged();
    model.setTimeTitle(CsvTimeTitle);
    FUZZ_REQUIRE(model.rowCount() == query.recordCount() && model.columnCount() == query.fieldCount(),
                 "grid %dx%d for %d rows and %d fields", model.rowCount(), model.columnCount(), query.recordCount(),
                 query.fieldCount());
    for (int c = 0; c < model.columnCount(); ++c) {
        FUZZ_REQUIRE(!model.headerData(c, Qt::Horizontal).toString().isEmpty() || c > 0, "column 0 has no title");
        model.headerData(c, Qt::Horizontal, Qt::FontRole);
    }
    for (int r = 0; r < qMin(model.rowCount(), 64); ++r) {
        for (int c = 0; c < model.columnCount(); ++c) {
            const QModelIndex index = model.index(r, c);
            model.data(index, Qt::DisplayRole);
            model.data(index, Qt::TextAlignmentRole);
        }
    }
}

void checkChart(const db::TQuery &query, int channels, bool render)
{
    HistoryChart chart;
    chart.resize(400, 300);
    const int timeField = timeFieldOf(query);
    int readableStamps = 0;
    for (int row = 0; row < query.recordCount(); ++row)
        readableStamps += query.msecsAt(row, timeField) != db::RowStore::NullMsecs ? 1 : 0;
    for (int k = 1; k <= channels; ++k) {
        const Curve curve = curveOfField(query, historyFieldName(k));
        FUZZ_REQUIRE(curve.keys.size() == curve.values.size(), "curve of aa%d: %d keys, %d values", k,
                     int(curve.keys.size()), int(curve.values.size()));
        if (query.fieldType(timeField) == db::FieldType::DateTime)
            FUZZ_REQUIRE(curve.keys.size() == readableStamps, "curve of aa%d: %d points for %d readable stamps", k,
                         int(curve.keys.size()), readableStamps);
        for (double key : curve.keys)
            FUZZ_REQUIRE(std::isfinite(key), "curve of aa%d has a key that is not finite", k);
        chart.clearSeries();
        chart.addPoints(curve.keys, curve.values);
        FUZZ_REQUIRE(chart.pointCount() <= curve.keys.size(), "the chart grew beyond its points");
        if (chart.pointCount() > 0) {
            const double newest = chart.maxX();
            chart.setBottomRange(newest - 300.0, newest);
            chart.setMarksVisible(true);
        }
    }
    if (render)
        chart.toPixmap(400, 300);
}

void checkPrint(const db::TQuery &query, int channels)
{
    QBuffer pdf;
    pdf.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&pdf);
        writer.setResolution(600);
        const PrintOutcome outcome = printHistoryTable(writer, query, channels, QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)));
        FUZZ_REQUIRE(outcome == PrintOutcome::Printed, "printing was not finished");
    }
    FUZZ_REQUIRE(pdf.data().startsWith("%PDF"), "printing wrote no PDF");
}

} // namespace

int fuzzHistoryRows(const uint8_t *data, size_t size)
{
    // Local time with clock changes, so the time stamps meet gaps and repeated hours.
    static const bool zoneSet = [] {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        return true;
    }();
    Q_UNUSED(zoneSet);
    fuzz::ensureApplication();
    const fuzz::ScratchDirectory scratch;
    const QString dir = scratch.path();
    fuzz::Cursor in(data, size);
    const uint8_t flags = in.byte();
    const int channelCount = 1 + in.byte() % 32;
    const uint8_t range = in.byte();
    const Layout layout = Layouts[flags & 3];
    writeTable(dir, layout, in);

    db::TQuery query;
    QDateTime start = baseTime(range), end = baseTime(range).addSecs((range >> 2) * 600);
    if (flags & 16) {
        start = QDateTime(QDate(1, 1, 1), QTime(0, 0));
        end = QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59));
    }
    try {
        runHistoryQuery(query, dir, start, end);
    } catch (const db::DbError &e) {
        FUZZ_REQUIRE(false, "the range query failed: %s", qPrintable(e.text()));
    }
    checkGrid(query);
    checkCsv(query);
    checkChart(query, qMin(channelCount, layout.channels), flags & 8);
    if ((flags & 4) && query.recordCount() <= 40)
        checkPrint(query, channelCount);
    return 0;
}

QZ_FUZZ_TARGET(fuzzHistoryRows)
