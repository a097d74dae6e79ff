#include "HistoryExport.h"

#include "HistoryQuery.h"
#include "TQuery.h"
#include "AppError.h"

#include <QIODevice>
#include <QSaveFile>
#include <QTimeZone>
#include <limits>


QString csvHeader(const db::TQuery &query) { return csvHeaderOf(query.fieldNames(), timeFieldOf(query)); }

QString csvHeaderOf(const QStringList &names, int timeField)
{
    QStringList fields;
    for (qsizetype i = 0; i < names.size(); ++i)
        fields.append(csvField(i == timeField ? CsvTimeTitle : names.at(i)));
    if (fields.isEmpty())
        fields.append(CsvTimeTitle);
    return fields.join(QLatin1Char(','));
}

// Rows come in time order, so the offset from UTC is looked up once and kept until the next
// time-zone transition, and the date text is kept for its day: a day of rows costs digit
// arithmetic.
void CsvStampText::append(qint64 ms, QByteArray &out)
{
    if (ms < m_from || ms >= m_to)
        lookUp(ms);
    const qint64 local = ms + m_offsetMs;
    const qint64 day = local >= 0 ? local / MsPerDay : -((-local + MsPerDay - 1) / MsPerDay);
    if (day != m_day) {
        m_day = day;
        m_dateText = QDate::fromJulianDay(day + UnixEpochJulianDay).toString(QStringLiteral("yyyy-MM-dd ")).toLatin1();
    }
    qint64 rest = local - day * MsPerDay;
    const int h = int(rest / 3600000);
    rest %= 3600000;
    const int m = int(rest / 60000);
    rest %= 60000;
    const int sec = int(rest / 1000);
    const int milli = int(rest % 1000);
    char text[12] = {char('0' + h / 10), char('0' + h % 10), ':', char('0' + m / 10), char('0' + m % 10), ':',
                     char('0' + sec / 10), char('0' + sec % 10), '.', char('0' + milli / 100),
                     char('0' + milli / 10 % 10), char('0' + milli % 10)};
    out += m_dateText;
    out.append(text, sizeof text);
}

void CsvStampText::lookUp(qint64 ms)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
    m_offsetMs = qint64(at.offsetFromUtc()) * 1000;
    m_from = ms;
    m_to = std::numeric_limits<qint64>::max();
    const QTimeZone zone = QTimeZone::systemTimeZone();
    if (zone.isValid() && zone.hasTransitions()) {
        const QTimeZone::OffsetData next = zone.nextTransition(at);
        if (next.atUtc.isValid())
            m_to = next.atUtc.toMSecsSinceEpoch();
    } else if (!zone.isValid()) {
        m_to = ms + 1; // no zone data: look every stamp up
    }
}

namespace {

bool needsQuotes(QByteArrayView text)
{
    for (const char c : text)
        if (c == ',' || c == '"' || c == '\n' || c == '\r')
            return true;
    return false;
}

void appendRecord(const db::TQuery &query, int row, CsvStampText &stamps, QByteArray &out)
{
    const int count = query.fieldCount();
    for (int f = 0; f < count; ++f) {
        if (f > 0)
            out += ',';
        if (query.fieldType(f) == db::FieldType::DateTime) {
            const qint64 ms = query.msecsAt(row, f);
            if (ms != db::RowStore::NullMsecs)
                stamps.append(ms, out);
            continue;
        }
        appendCsvText(query.textBytesAt(row, f), out);
    }
}

} // namespace

void appendCsvText(QByteArrayView stored, QByteArray &out)
{
    const QByteArrayView text = stored.trimmed();
    if (needsQuotes(text))
        out += csvField(QString::fromUtf8(text)).toUtf8();
    else
        out.append(text.data(), text.size());
}

const QByteArray &csvByteOrderMark()
{
    static const QByteArray bom("\xEF\xBB\xBF");
    return bom;
}

QString csvRecord(const db::TQuery &query, int row)
{
    CsvStampText stamps;
    QByteArray line;
    appendRecord(query, row, stamps, line);
    return QString::fromUtf8(line);
}

bool writeHistoryCsv(const db::TQuery &query, QIODevice &out)
{
    QByteArray chunk = csvByteOrderMark() + csvHeader(query).toUtf8() + "\r\n";
    const int rows = query.active() ? query.recordCount() : 0;
    CsvStampText stamps;
    for (int row = 0; row < rows; ++row) {
        appendRecord(query, row, stamps, chunk);
        chunk += "\r\n";
        if (chunk.size() >= (1 << 20)) {
            if (out.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return out.write(chunk) == chunk.size();
}

void exportHistoryCsv(const db::TQuery &query, const QString &fileName)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(QStringLiteral("文件无法写入：%1\n%2").arg(fileName, file.errorString()));
    if (!writeHistoryCsv(query, file) || !file.commit())
        throw AppError(QStringLiteral("文件无法写入：%1\n%2").arg(fileName, file.errorString()));
}
