#pragma once
// The station's side of the site network, as the station core sees it: plain calls at the
// moments the station already has, a state text for the status bar, and nothing that waits
// on the network. Off unless [mqtt] Host is set in KTcom.ini: then no socket is ever opened.
//
//   setChannels(option, n)   the channel names, units and limits the status tells of
//   start(programDir)        at start-up, after the settings are loaded
//   answerDecoded(rec, n)    after each decoded answer
//   setCommState(state)      when the communication state changes (OK / ERROR)
//   setStoring(storing)      whether records are being kept (published with the status)
//   settingsSaved()          after a settings dialog saved (names, units, limits, count)
//   recordStored()           after each stored wwdd record
//   eventJournaled()         after each journal event
//   stateText(), stateChanged(text)   the link state for a status-bar panel or tooltip
//   shutdown()               at the end: "offline" status and a clean disconnect
//
// Records and events are read from the files through the acknowledged cursor, so a nudge
// that is missed costs nothing but a few seconds (the files are also looked at every 5 s).

#include "MqttLink.h"
#include "Outbox.h"
#include "PublishCursor.h"
#include "SitePayload.h"
#include "SiteSettings.h"
#include "SiteSources.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>

class SiteLink : public QObject {
    Q_OBJECT
public:
    // At most this many record and event messages a second, so a week of backlog does not
    // crowd the UI thread; at most Window of them unacknowledged at once.
    static constexpr int MaxMessagesPerSecond = 500;
    static constexpr int Window = 100;
    static constexpr int BusyIntervalMs = 50;
    static constexpr int AwaitIntervalMs = 250;
    static constexpr int IdleIntervalMs = 5000;

    explicit SiteLink(QObject *parent = nullptr);
    ~SiteLink() override;

    // Reads [mqtt] of KTcom.ini in programDir; with a Host, opens the cursor file and starts
    // the client (which connects in the background). Calling it again restarts with the
    // settings as they are now.
    void start(const QString &programDir);
    void shutdown();

    bool enabled() const { return m_settings.enabled(); }
    const SiteSettings &settings() const { return m_settings; }

    void setChannels(const TOption &option, int channelCount);
    void answerDecoded(const TAllRecord &record, int channelCount);
    void setCommState(StationComm state);
    // Whether records are being kept; the status says so ("storing").
    void setStoring(bool storing);
    void settingsSaved();
    void recordStored();
    void eventJournaled();

    QString stateText() const { return m_stateText; }
    bool isConnected() const { return m_link.isConnected(); }

    // For tests and the status text: the streams' outboxes (null while off).
    const Outbox *recordOutbox() const { return m_records.get(); }
    const Outbox *eventOutbox() const { return m_events.get(); }

Q_SIGNALS:
    void stateChanged(const QString &text);

private:
    void pump();
    void onConnected();
    void onDisconnected(const QString &reason);
    void onPublished(int mid);
    void publishStatus(bool online);
    QByteArray statusPayload(bool online) const;
    void setState(const QString &text);
    void saveCursors(bool force);
    void schedule(int ms);

    SiteSettings m_settings;
    QString m_programDir;
    StationComm m_comm = StationComm::None;
    TOption m_option;
    int m_channelCount = 0;
    bool m_storing = false;
    MqttLink m_link;
    PublishCursor m_cursor;
    std::unique_ptr<HistorySource> m_history;
    std::unique_ptr<JournalSource> m_journal;
    std::unique_ptr<Outbox> m_records;
    std::unique_ptr<Outbox> m_events;
    QTimer m_pump;
    QElapsedTimer m_refill;  // token bucket of the message rate
    double m_tokens = 0;
    QElapsedTimer m_lastSave;
    QString m_stateText;
    QString m_lastReason;
};
