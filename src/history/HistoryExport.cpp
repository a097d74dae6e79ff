#include "HistoryExport.h"

#include "HistoryQuery.h"
#include "TQuery.h"
#include "Ui.h"

#include <QIODevice>
#include <QSaveFile>

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvHeader(const db::TQuery &query)
{
    const int timeField = timeFieldOf(query);
    QStringList fields;
    const QStringList names = query.fieldNames();
    for (qsizetype i = 0; i < names.size(); ++i)
        fields.append(csvField(i == timeField ? CsvTimeTitle : names.at(i)));
    if (fields.isEmpty())
        fields.append(CsvTimeTitle);
    return fields.join(QLatin1Char(','));
}

QString csvRecord(const db::TQuery &query, int row)
{
    const int timeField = timeFieldOf(query);
    const int count = query.fieldCount();
    QStringList fields;
    fields.reserve(count);
    for (int f = 0; f < count; ++f) {
        if (f == timeField) {
            const QDateTime at = query.dateTimeAt(row, f);
            fields.append(at.isValid() ? at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                       : csvField(query.textAt(row, f)));
        } else {
            fields.append(csvField(query.textAt(row, f).trimmed()));
        }
    }
    return fields.join(QLatin1Char(','));
}

bool writeHistoryCsv(const db::TQuery &query, QIODevice &out)
{
    static const QByteArray bom("\xEF\xBB\xBF");
    static const QByteArray lineEnd("\r\n");
    QByteArray chunk = bom + csvHeader(query).toUtf8() + lineEnd;
    const int rows = query.active() ? query.recordCount() : 0;
    for (int row = 0; row < rows; ++row) {
        chunk += csvRecord(query, row).toUtf8();
        chunk += lineEnd;
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
        throw ui::AppError(QStringLiteral("Cannot write %1: %2").arg(fileName, file.errorString()));
    if (!writeHistoryCsv(query, file) || !file.commit())
        throw ui::AppError(QStringLiteral("Cannot write %1: %2").arg(fileName, file.errorString()));
}
