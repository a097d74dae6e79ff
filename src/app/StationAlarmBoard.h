#pragma once
// The alarms as the window sees them: the list and the count from the station core's last
// snapshot, acknowledgements sent to the core as commands, and the journal read through a
// connection of the window's own thread (the core writes it in WAL mode, readers get in).

#include "AlarmBoard.h"
#include "EventJournal.h"

#include <functional>
#include <memory>

struct StationSnapshot;

class StationAlarmBoard : public AlarmBoard {
    Q_OBJECT
public:
    // acknowledge: sends the acknowledgement of the given keys (all of them when empty and
    // `all` is set) to the core.
    using Acknowledge = std::function<void(const QList<AlarmKey> &keys, bool all)>;

    StationAlarmBoard(const QString &programDir, Acknowledge acknowledge, QObject *parent = nullptr);
    ~StationAlarmBoard() override;

    // A snapshot arrived: alarmsChanged() when the list differs.
    void show(const StationSnapshot &snapshot);
    // Rows the core journaled, passed on to the viewers.
    void journaled(const QList<JournalEvent> &events) { Q_EMIT eventsJournaled(events); }

    QList<Alarm> alarms() const override { return m_alarms; }
    int unacknowledgedCount() const override { return m_unacknowledged; }
    void acknowledge(const QList<AlarmKey> &keys) override { m_acknowledge(keys, false); }
    void acknowledgeAll() override { m_acknowledge({}, true); }
    const EventJournal &journal() override;
    QString programDirectory() const override { return m_dir; }

private:
    QString m_dir;
    Acknowledge m_acknowledge;
    QList<Alarm> m_alarms;
    int m_unacknowledged = 0;
    std::unique_ptr<EventJournal> m_reader;
};
