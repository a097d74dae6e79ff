#include "DateTimeText.h"

namespace db {

namespace {

constexpr qint64 MsecsPerHour = 3600 * 1000;

bool digits(const char *text, int count, int *value)
{
    int v = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

qint64 localMsecs(const QDate &date, int hour)
{
    return QDateTime(date, QTime(hour, 0)).toMSecsSinceEpoch();
}

} // namespace

QString dateTimeToText(const QDateTime &value)
{
    if (!value.isValid())
        return {};
    return value.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
}

bool parseDateTimeText(const char *text, qsizetype length, QDate *date, QTime *time)
{
    // yyyy-MM-ddTHH:mm:ss[.zzz]
    if (length != 19 && length != 23)
        return false;
    if (text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') || text[13] != ':'
        || text[16] != ':')
        return false;
    int y, mo, d, h, mi, s, ms = 0;
    if (!digits(text, 4, &y) || !digits(text + 5, 2, &mo) || !digits(text + 8, 2, &d)
        || !digits(text + 11, 2, &h) || !digits(text + 14, 2, &mi) || !digits(text + 17, 2, &s))
        return false;
    if (length == 23 && (text[19] != '.' || !digits(text + 20, 3, &ms)))
        return false;
    const QDate dd(y, mo, d);
    const QTime tt(h, mi, s, ms);
    if (!dd.isValid() || !tt.isValid())
        return false;
    *date = dd;
    *time = tt;
    return true;
}

QDateTime dateTimeFromText(const QString &text)
{
    const QByteArray latin = text.toLatin1();
    QDate date;
    QTime time;
    if (!parseDateTimeText(latin.constData(), latin.size(), &date, &time))
        return {};
    return QDateTime(date, time);
}

qint64 LocalMsecs::toMsecs(const QDate &date, const QTime &time)
{
    const qint64 key = date.toJulianDay() * 24 + time.hour();
    if (key != m_hourKey) {
        m_hourKey = key;
        m_hourStart = localMsecs(date, time.hour());
        const qint64 next = time.hour() == 23 ? localMsecs(date.addDays(1), 0)
                                              : localMsecs(date, time.hour() + 1);
        // A gap or a repeated hour shows as a start that is not the wall-clock hour or as a
        // length other than one hour.
        m_hourUniform = next - m_hourStart == MsecsPerHour
            && QDateTime::fromMSecsSinceEpoch(m_hourStart).time() == QTime(time.hour(), 0);
    }
    if (m_hourUniform)
        return m_hourStart + (time.minute() * 60 + time.second()) * qint64(1000) + time.msec();
    return QDateTime(date, time).toMSecsSinceEpoch();
}

} // namespace db
