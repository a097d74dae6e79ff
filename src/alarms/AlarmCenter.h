#pragma once
// The alarm center: what the main window talks to. It joins the engine (AlarmEngine), the
// journal (EventJournal, Data/events.db) and the notification command (AlarmNotifier), and
// tells the status bar and the "实时报警" view when the list changes. Plain calls, made by
// the main window at the moments named below; everything runs on the user-interface thread.
//
//   open(dir)            at start-up, once the settings files are loaded
//   answerDecoded(...)   after each decoded answer
//   refreshTick(state)   on every refresh tick, with what the communication panel shows
//   storageCondition(...) after each storage tick and each look at the free disk space
//   stationEvent(...)    program start and end, run started and stopped, port and storage
//                        failures and their recovery, history emptied
//   settingsSaved(...)   after a settings dialog saved its file
//
// The journal failing (disk full, file damaged) never stops the alarms: they are still
// evaluated and listed, and the events wait in memory for the journal to come back. The
// failure is reported once (errorRaised).

#include "AlarmBoard.h"
#include "AlarmEngine.h"
#include "AlarmNotifier.h"
#include "AlarmSettings.h"
#include "EventJournal.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class AlarmCenter : public AlarmBoard {
    Q_OBJECT
public:
    enum class StationEvent {
        ProgramStarted,
        ProgramEnded,
        RunStarted,
        RunStopped,
        PortOpenFailed,
        PortRestored,
        StorageFailed,
        StorageRestored,
        HistoryEmptied,
        ErrorReported, // a message the station raised for the operator (its text as detail)
    };

    // Events kept in memory while the journal cannot be written; older ones are dropped
    // beyond this (a flood on a dead disk must not eat the memory).
    static constexpr int MaxUnwritten = 100000;

    explicit AlarmCenter(QObject *parent = nullptr);
    ~AlarmCenter() override;

    // Reads [alarms] of KTcom.ini in programDir (writing its defaults when missing), opens
    // Data/events.db and rebuilds the alarm list from it. Journals nothing by itself.
    void open(const QString &programDir);
    QString programDirectory() const override { return m_dir; }

    // After each decoded answer: instrument states and station limits.
    void answerDecoded(const TAllRecord &rec, const TOption &opt, int channelCount);
    // On every refresh tick: "通讯中断" while the state is Error.
    void refreshTick(CommState state);
    // After each storage tick ("存盘失败") and each look at the free disk space ("磁盘空间不足"):
    // the storage alarm of that kind is active while `on`; detail says why.
    void storageCondition(const QString &kind, bool on, const QString &detail = QString());
    // A station event; detail is free text (the port, the error text, …). ProgramStarted
    // notes by itself when the run before did not end with ProgramEnded.
    void stationEvent(StationEvent event, const QString &detail = QString());
    // A settings file was saved (its file name): journaled, [alarms] is read again, and the
    // limits are evaluated at once with the new settings.
    void settingsSaved(const QString &fileName, const TAllRecord &rec, const TOption &opt, int channelCount);

    // The operator acknowledges the given alarms, or all of them (user: userName()).
    void acknowledge(const QList<AlarmKey> &keys) override;
    void acknowledgeAll() override;

    QList<Alarm> alarms() const override { return m_engine.alarms(); }
    int unacknowledgedCount() const override { return m_unacked; }
    AlarmState state(const AlarmKey &key) const { return m_engine.state(key); }

    const AlarmSettings &settings() const { return m_engine.settings(); }
    const EventJournal &journal() override { return m_journal; }
    EventJournal &writer() { return m_journal; }
    AlarmNotifier &notifier() { return m_notifier; }
    // Events that could not be written yet.
    int unwrittenCount() const { return int(m_unwritten.size()); }

    // The user name of the session, written with acknowledgements: the login name unless set.
    void setUserName(const QString &name) { m_user = name; }
    QString userName() const { return m_user; }

    // Test seam: the clock (wall time for the journal, steady time for the on-delay).
    void setClock(std::function<AlarmTime()> clock) { m_clock = std::move(clock); }
    AlarmTime now() const;

Q_SIGNALS:
    void unacknowledgedCountChanged(int count);
    // A failure the operator must hear of (the journal cannot be opened or written, [alarms]
    // cannot be read). Said once until it clears; the alarms go on meanwhile.
    void errorRaised(const QString &text);

private:
    void handle(QList<AlarmEvent> &events);
    void journal(QList<JournalEvent> events);
    void notifierFailed(const QString &detail);
    void notifierRecovered();
    void applySettings();

    AlarmEngine m_engine;
    EventJournal m_journal;
    AlarmNotifier m_notifier;
    QList<JournalEvent> m_unwritten;
    QString m_dir;
    QString m_user;
    std::function<AlarmTime()> m_clock;
    QElapsedTimer m_steady;
    QTimer m_retry;
    int m_unacked = 0;
    bool m_journalFailing = false;
};

// The text of the status bar's fourth panel: "报警：n 条未确认", empty without unacknowledged
// alarms. The panel shows it in red.
QString alarmPanelText(int unacknowledged);

// The login name of the session (for acknowledgements).
QString sessionUserName();
