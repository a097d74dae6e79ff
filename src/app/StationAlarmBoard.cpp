#include "StationAlarmBoard.h"

#include "StationSnapshot.h"

StationAlarmBoard::StationAlarmBoard(const QString &programDir, Acknowledge acknowledge, QObject *parent)
    : AlarmBoard(parent), m_dir(programDir), m_acknowledge(std::move(acknowledge))
{
}

StationAlarmBoard::~StationAlarmBoard() = default;

namespace {

bool sameAlarms(const QList<Alarm> &a, const QList<Alarm> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
    {
        const Alarm &x = a.at(i);
        const Alarm &y = b.at(i);
        const auto same = [](double u, double v) { return u == v || (u != u && v != v); }; // NaN: no value
        if (!(x.key == y.key) || x.state != y.state || x.raisedAt != y.raisedAt || x.name != y.name
            || !same(x.value, y.value) || !same(x.lastValue, y.lastValue) || x.detail != y.detail)
            return false;
    }
    return true;
}

} // namespace

void StationAlarmBoard::show(const StationSnapshot &snapshot)
{
    const bool changed = !sameAlarms(m_alarms, snapshot.alarms) || m_unacknowledged != snapshot.unacknowledged;
    m_alarms = snapshot.alarms;
    m_unacknowledged = snapshot.unacknowledged;
    if (changed)
        Q_EMIT alarmsChanged();
}

const EventJournal &StationAlarmBoard::journal()
{
    // Opened when first read, and again after a failure (the core may have made the file since).
    if (!m_reader || !m_reader->isOpen()) {
        m_reader = std::make_unique<EventJournal>(eventJournalPath(m_dir));
        m_reader->openForReading();
    }
    return *m_reader;
}
