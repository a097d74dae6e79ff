#pragma once
// Compact, read-only storage for the rows of a query, with random access by row.
// A date-time column keeps 8 bytes per row (milliseconds since the epoch); the text columns of
// a row are packed one after the other into large shared blocks, each text behind a length
// byte. 518,000 rows of a time stamp and 32 eight-character texts take about 150 MB, where a
// grid of QVariant cells would take several times that.

#include <QByteArrayView>
#include <QList>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace db {

class RowStore {
public:
    enum class Kind { DateTime, Text };
    static constexpr qint64 NullMsecs = std::numeric_limits<qint64>::min();

    void reset(const QList<Kind> &kinds);
    void clear();

    // One row is built column by column, in column order.
    void beginRow();
    void addMsecs(qint64 msecs); // a date-time column; NullMsecs for NULL
    void addText(const char *data, qsizetype length);
    void addNull();
    void endRow();

    int rowCount() const { return int(m_rowRef.size()); }
    int columnCount() const { return int(m_kinds.size()); }
    Kind kind(int column) const { return m_kinds.at(column); }

    // Out-of-range rows and columns read as NULL.
    bool isNull(int row, int column) const;
    qint64 msecs(int row, int column) const;          // NullMsecs unless a date-time column
    QByteArrayView text(int row, int column) const;   // empty unless a text column

    qint64 bytesUsed() const;

private:
    static constexpr quint8 NullTag = 0xFF;
    static constexpr quint8 LongTag = 0xFE; // a 4-byte length follows
    static constexpr qint64 BlockSize = qint64(4) << 20;

    const char *rowBytes(int row) const;
    const char *findText(int row, int slot) const;
    void checkNextColumn(Kind kind) const;

    QList<Kind> m_kinds;
    std::vector<int> m_slot; // index of a column among the columns of its kind
    int m_dateTimeColumns = 0;
    int m_textColumns = 0;

    std::vector<qint64> m_msecs;   // row-major, m_dateTimeColumns per row
    std::vector<quint64> m_rowRef; // block index << 32 | offset of the row's texts
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::vector<qint64> m_blockSize;
    qint64 m_blockUsed = 0; // bytes used in the last block

    std::string m_row; // the row being built
    int m_nextColumn = 0;
};

} // namespace db
