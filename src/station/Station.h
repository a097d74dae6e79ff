#pragma once
// The station core: the acquisition cycle without any window. Its three timers (poll `Send`
// 1500 ms, refresh `Write_timer` 1000 ms, storage `Receive`), the Modbus master `comm1` with its
// serial device, decoding into its own `AllRecord`, the communication watch, storing into wwdd,
// the data module, the alarms with their journal and notification command, and the site
// publisher. Everything here is created on, and only ever touched from, the thread the Station
// lives on (StationThread gives it one of its own); its SQLite connections belong to that
// thread. The outside world sees it through what it publishes (snapshotPublished,
// messageRaised, eventsJournaled) and talks to it through queued calls of the commands below.

#include "Acquisition.h"
#include "EventJournal.h"
#include "StationSnapshot.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class AlarmCenter;
class SiteLink;
class TDataModule1;
class TModbusM;
namespace db {
class TTable;
}

struct StationConfig {
    QString programDir;     // home of KTcom.ini, wwdd and Data/ (also the working directory)
    bool autoStart = false; // the run begins at the end of start-up (--start, the service)
    bool headless = false;  // no window: the service (said in the journal's "程序启动")
};

// What start-up read: the settings the window builds its tiles and dialogs from.
struct StationStart {
    TOption option;
    TSysParams sysParams;
    TSettingsLoad settingsLoad;
};

class Station : public QObject {
    Q_OBJECT
public:
    explicit Station(const StationConfig &config, QObject *parent = nullptr);
    ~Station() override;

    // Start-up, in the order the operator knows: the journal, port and history table, the
    // settings files (read whatever happened to port or table), the data module, the site
    // link; with autoStart the run begins. Problems are raised as messages, never thrown.
    StationStart startUp();
    // The end: "程序退出" journaled, "offline" to the broker, the tables closed.
    void shutDown();

    // Commands (queued from the window or the service).
    void startRun();    // 开始运行: polling and storing
    void stopRun();     // 停止运行
    void emptyHistory(); // 清空数据 (the window has asked the operator); the run goes on after
    // Settings files were saved by a dialog: the new settings take effect at once.
    void settingsSaved(const QStringList &files, const TOption &option, const TSysParams &sysParams);
    void acknowledge(const QList<AlarmKey> &keys);
    void acknowledgeAll();

    // The acquisition cycle; the timers call these, tests may call them directly.
    void SendTimer();
    void comm1ResponseReady();
    void Write_timerTimer();
    void ReceiveTimer();
    // The storage tick follows the configured storage interval; a running tick is restarted
    // only when the period really changes.
    void ApplyStorageInterval();
    // Every minute: the free space of the program directory's file system ("磁盘空间不足").
    void DiskCheckTimer();

    // A copy of the state as it stands (what the next snapshot would carry).
    StationSnapshot snapshot(StationSnapshot::Reason reason = StationSnapshot::Reason::Command) const;
    const StationConfig &config() const { return m_config; }

    QTimer Write_timer;
    QTimer Send;
    QTimer Receive;
    QTimer DiskCheck; // 60 s, from start-up on
    TModbusM *comm1 = nullptr;
    std::unique_ptr<db::TTable> HistoryTable;
    CommWatchCounter CommWatch;
    AlarmCenter *Alarms = nullptr;
    SiteLink *Site = nullptr;

    // The core's own settings and live state; nobody else holds a reference to them.
    TOption Option;
    TSysParams SysParams;
    TSettingsLoad SettingsLoad;
    TAllRecord AllRecord;

Q_SIGNALS:
    void snapshotPublished(const StationSnapshot &snapshot);
    void messageRaised(const StationMessage &message);
    // Rows that went into the event journal, in order.
    void eventsJournaled(const QList<JournalEvent> &events);

private:
    void setupCommAndHistory();
    void openHistoryTable();
    // "打开串口错误", with why where that is known.
    QString openPortMessage() const;
    void publish(StationSnapshot::Reason reason);
    // Says text to whoever shows the station; journaled as "运行错误" unless the fact is
    // journaled already under a kind of its own (port, storage) or comes from the journal.
    void raise(StationMessage::Kind kind, const QString &text, bool journal = true);
    // Runs fn during start-up; an error escaping it is raised as a start-up message.
    bool startupGuarded(const std::function<void()> &fn);

    StationConfig m_config;
    std::unique_ptr<TDataModule1> m_dataModule;
    quint64 m_serial = 0;
    bool m_starting = false;
    bool m_storageErrorShown = false;
    bool m_sendErrorShown = false;
    bool m_portKnown = false; // the configured port name names a port the master has
    bool m_portShown = false; // the port has been open once since start-up
    bool m_portUp = false;    // the port was open at the last attempt (journaled when it changes)
    bool m_portPending = false; // a network device's first connection is on its way
    CommShown m_commShown = CommShown::None;
    QString m_portName;       // as configured: "COM1"
    int m_speed = 0;          // bit/s as configured
    QDateTime m_lastPoll;
    int m_answerBytes = -1;
    QDateTime m_lastStored;
    QString m_storageError;
    bool m_diskLow = false;
};
