#include "RowStore.h"

#include <cstring>
#include <stdexcept>

namespace db {

void RowStore::reset(const QList<Kind> &kinds)
{
    clear();
    m_kinds = kinds;
    m_slot.assign(kinds.size(), 0);
    m_dateTimeColumns = 0;
    m_textColumns = 0;
    for (qsizetype i = 0; i < kinds.size(); ++i)
        m_slot[i] = kinds.at(i) == Kind::DateTime ? m_dateTimeColumns++ : m_textColumns++;
}

void RowStore::clear()
{
    // Give the memory back, not only the contents.
    std::vector<qint64>().swap(m_msecs);
    std::vector<quint64>().swap(m_rowRef);
    std::vector<std::unique_ptr<char[]>>().swap(m_blocks);
    std::vector<qint64>().swap(m_blockSize);
    m_blockUsed = 0;
    m_row.clear();
    m_nextColumn = 0;
}

void RowStore::beginRow()
{
    m_row.clear();
    m_nextColumn = 0;
}

void RowStore::checkNextColumn(Kind kind) const
{
    if (m_nextColumn >= int(m_kinds.size()) || m_kinds.at(m_nextColumn) != kind)
        throw std::logic_error("RowStore: column added out of order");
}

void RowStore::addMsecs(qint64 msecs)
{
    checkNextColumn(Kind::DateTime);
    m_msecs.push_back(msecs);
    ++m_nextColumn;
}

void RowStore::addText(const char *data, qsizetype length)
{
    checkNextColumn(Kind::Text);
    if (length < LongTag) {
        m_row.push_back(char(quint8(length)));
    } else {
        m_row.push_back(char(LongTag));
        const quint32 n = quint32(length);
        m_row.append(reinterpret_cast<const char *>(&n), sizeof n);
    }
    m_row.append(data, size_t(length));
    ++m_nextColumn;
}

void RowStore::addNull()
{
    if (m_nextColumn >= int(m_kinds.size()))
        throw std::logic_error("RowStore: too many columns");
    if (m_kinds.at(m_nextColumn) == Kind::DateTime)
        m_msecs.push_back(NullMsecs);
    else
        m_row.push_back(char(NullTag));
    ++m_nextColumn;
}

void RowStore::endRow()
{
    if (m_nextColumn != int(m_kinds.size()))
        throw std::logic_error("RowStore: row ended early");
    const qint64 need = qint64(m_row.size());
    if (m_blocks.empty() || m_blockUsed + need > m_blockSize.back()) {
        const qint64 size = qMax(BlockSize, need);
        m_blocks.push_back(std::make_unique<char[]>(size_t(size)));
        m_blockSize.push_back(size);
        m_blockUsed = 0;
    }
    if (need > 0)
        std::memcpy(m_blocks.back().get() + m_blockUsed, m_row.data(), size_t(need));
    m_rowRef.push_back((quint64(m_blocks.size() - 1) << 32) | quint64(m_blockUsed));
    m_blockUsed += need;
    m_row.clear();
    m_nextColumn = 0;
}

const char *RowStore::rowBytes(int row) const
{
    const quint64 ref = m_rowRef[size_t(row)];
    return m_blocks[size_t(ref >> 32)].get() + (ref & 0xFFFFFFFFu);
}

const char *RowStore::findText(int row, int slot) const
{
    const char *p = rowBytes(row);
    for (int s = 0; s < slot; ++s) {
        const quint8 tag = quint8(*p++);
        if (tag == NullTag)
            continue;
        quint32 n = tag;
        if (tag == LongTag) {
            std::memcpy(&n, p, sizeof n);
            p += sizeof n;
        }
        p += n;
    }
    return p;
}

bool RowStore::isNull(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return true;
    if (m_kinds.at(column) == Kind::DateTime)
        return msecs(row, column) == NullMsecs;
    return quint8(*findText(row, m_slot[size_t(column)])) == NullTag;
}

qint64 RowStore::msecs(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()
        || m_kinds.at(column) != Kind::DateTime)
        return NullMsecs;
    return m_msecs[size_t(row) * size_t(m_dateTimeColumns) + size_t(m_slot[size_t(column)])];
}

QByteArrayView RowStore::text(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()
        || m_kinds.at(column) != Kind::Text)
        return {};
    const char *p = findText(row, m_slot[size_t(column)]);
    const quint8 tag = quint8(*p++);
    if (tag == NullTag)
        return {};
    quint32 n = tag;
    if (tag == LongTag) {
        std::memcpy(&n, p, sizeof n);
        p += sizeof n;
    }
    return QByteArrayView(p, qsizetype(n));
}

qint64 RowStore::bytesUsed() const
{
    qint64 total = qint64(m_msecs.capacity() * sizeof(qint64) + m_rowRef.capacity() * sizeof(quint64));
    for (qint64 s : m_blockSize)
        total += s;
    return total;
}

} // namespace db
