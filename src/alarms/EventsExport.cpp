#include "EventsExport.h"

#include "EventJournal.h"
#include "AppError.h"
#include "ReportRules.h"

#include <QSaveFile>
#include <cmath>

const QStringList &journalColumnTitles()
{
    static const QStringList titles = {QStringLiteral("时间"), QStringLiteral("来源"), QStringLiteral("通道"),
                                       QStringLiteral("名称"), QStringLiteral("类型"), QStringLiteral("数值"),
                                       QStringLiteral("变化"), QStringLiteral("用户"), QStringLiteral("说明")};
    return titles;
}

QStringList journalRowTexts(const JournalEvent &e)
{
    QString time = e.timeText.isEmpty() ? e.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) : e.timeText;
    if (time.size() > 10 && time.at(10) == QLatin1Char('T'))
        time[10] = QLatin1Char(' ');
    return {time,
            sourceText(e.source),
            e.channel > 0 ? QString::number(e.channel) : QString(),
            e.name,
            e.kind,
            std::isnan(e.value) ? QString() : QString::number(e.value, 'f', 3),
            transitionText(e.transition),
            e.user,
            e.detail};
}

QString eventsCsvHeader() { return journalColumnTitles().join(QLatin1Char(',')); }

QString eventsCsvLine(const JournalEvent &event)
{
    QStringList fields = journalRowTexts(event);
    for (QString &f : fields)
        f = csvField(f);
    return fields.join(QLatin1Char(','));
}

qint64 exportEventsCsv(const EventJournal &journal, const QDateTime &from, const QDateTime &to,
                       const QString &fileName)
{
    QSaveFile file(fileName);
    const auto failed = [&file, &fileName] {
        return AppError(QStringLiteral("无法写入文件 %1。\nCannot write %1: %2").arg(fileName, file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly))
        throw failed();
    QByteArray chunk = QByteArrayLiteral("\xEF\xBB\xBF") + eventsCsvHeader().toUtf8() + "\r\n";
    qint64 rows = 0;
    bool ok = true;
    journal.forEach(from, inclusiveEnd(to), [&](const JournalEvent &e) {
        chunk += eventsCsvLine(e).toUtf8();
        chunk += "\r\n";
        ++rows;
        if (chunk.size() >= (1 << 20)) {
            ok = file.write(chunk) == chunk.size();
            chunk.clear();
        }
        return ok;
    });
    if (!ok || file.write(chunk) != chunk.size() || !file.commit())
        throw failed();
    return rows;
}
