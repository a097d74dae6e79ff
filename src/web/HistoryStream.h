#pragma once
// wwdd read for the web view while the station stores: a range read in slices of rows, each
// slice a short read of its own on a read-only connection (a WAL reader), continued after the
// last (datim, rowid) read. No read transaction stays open between slices, so a slow browser
// never holds the writer's checkpoints back, and no answer holds the whole range in memory.
//
// The rows are those of the history window's query ("select * from wwdd where datim >= start
// and datim <= end", the end through its whole second), in time order.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

class HistoryReader {
public:
    HistoryReader(const QString &file, const QDateTime &from, const QDateTime &to);
    ~HistoryReader();
    HistoryReader(const HistoryReader &) = delete;
    HistoryReader &operator=(const HistoryReader &) = delete;

    // Opens the file read-only and learns the table's fields; false with a reason.
    bool open(QString *error);

    const QStringList &fieldNames() const { return m_names; }
    bool isDateTime(int field) const { return m_dateTime.value(field, false); }
    int fieldIndex(const QString &name) const; // case-insensitive; -1 when unknown
    int timeField() const;

    // One row while it is being read.
    class Row {
    public:
        qint64 msecs(int field) const;       // RowStore::NullMsecs for NULL or an unreadable time
        QByteArrayView text(int field) const; // the stored bytes; empty for NULL
        bool isNull(int field) const;

    private:
        friend class HistoryReader;
        HistoryReader *m_reader = nullptr;
        std::vector<qint64> m_msecs;
    };

    // Reads up to limit further rows, calling fn for each; false on a read error.
    bool readSlice(int limit, const std::function<void(const Row &)> &fn, QString *error);
    bool atEnd() const { return m_atEnd; }

private:
    QString lastError() const;

    QString m_file;
    QByteArray m_fromText;
    QByteArray m_toText;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_slice = nullptr;
    QStringList m_names;        // the table's fields (after the rowid the statement reads first)
    QList<bool> m_dateTime;
    QByteArray m_lastDatim;
    qint64 m_lastRowid = 0;
    bool m_first = true;
    bool m_atEnd = false;
};

// A body produced piece by piece, as the connection drains.
class BodySource {
public:
    enum class Step { More, Done, Failed };
    virtual ~BodySource() = default;
    // Appends the next piece to out.
    virtual Step next(QByteArray &out) = 0;
    virtual QString error() const { return {}; }
};

// /api/history: {"from","to","channels":[{"channel","name","unit"}…],"records":[[ms,v…]…],
// "breaks":[i…]}. A record is its time in milliseconds since the epoch followed by the channels'
// values as stored (null for an interruption and for text that is no number); breaks are the
// indexes of the records after which nothing was stored (RecordBreaks.h, the history window's
// rule), where a curve stops.
struct HistoryChannel {
    int channel = 0;
    QString name;
    QString unit;
};
std::unique_ptr<BodySource> historyJsonSource(std::unique_ptr<HistoryReader> reader, const QList<HistoryChannel> &channels,
                                              const QDateTime &from, const QDateTime &to);
// /api/history.csv: the bytes --export-csv writes for the same range.
std::unique_ptr<BodySource> historyCsvSource(std::unique_ptr<HistoryReader> reader);

// The value of a stored text as a JSON number text ("25.3"); empty for the interruption marker
// and for anything that is no finite number.
QByteArray storedNumberJson(QByteArrayView stored);
