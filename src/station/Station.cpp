#include "Station.h"

#include "AlarmCenter.h"
#include "AppError.h"
#include "DataModuleFrm.h"
#include "HistoryTable.h"
#include "DeviceAddress.h"
#include "ModbusM.h"
#include "SerialAccess.h"
#include "SettingsFiles.h"
#include "SiteLink.h"
#include "TTable.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

const QString OpenPortError = QStringLiteral("打开串口错误");

} // namespace

Station::Station(const StationConfig &config, QObject *parent)
    : QObject(parent), HistoryTable(std::make_unique<db::TTable>()), m_config(config)
{
    Write_timer.setInterval(1000);
    Send.setInterval(1500);
    Receive.setInterval(5000);
    connect(&Write_timer, &QTimer::timeout, this, &Station::Write_timerTimer);
    connect(&Send, &QTimer::timeout, this, &Station::SendTimer);
    connect(&Receive, &QTimer::timeout, this, &Station::ReceiveTimer);
    DiskCheck.setInterval(60000);
    connect(&DiskCheck, &QTimer::timeout, this, &Station::DiskCheckTimer);

    comm1 = new TModbusM(this);
    comm1->setObjectName(QStringLiteral("comm1"));
    comm1->SlaveId = 1;
    comm1->FunctionCode = 0;
    comm1->Offset = 0;
    comm1->Quantity = 0;
    comm1->RegisterDim = 2;
    comm1->setTimeout(1000);
    comm1->OnResponseReady = [this](TModbusM *) { comm1ResponseReady(); };

    Alarms = new AlarmCenter(this);
    connect(Alarms, &AlarmCenter::errorRaised, this, [this](const QString &text) { raise(StationMessage::Kind::Error, text, false); });
    connect(Alarms, &AlarmCenter::alarmsChanged, this, [this] { publish(StationSnapshot::Reason::Alarms); });
    Site = new SiteLink(this);
    // Journal events travel to the broker too; the nudge only says there is something to read.
    connect(Alarms, &AlarmCenter::eventsJournaled, this, [this](const QList<JournalEvent> &events) {
        Site->eventJournaled();
        Q_EMIT eventsJournaled(events);
    });
    connect(Site, &SiteLink::stateChanged, this, [this] { publish(StationSnapshot::Reason::Site); });

    // No reading has happened yet: every channel starts interrupted, not at 0.
    for (int k = 1; k <= MaxChannels; ++k) {
        AllRecord.Pv[k] = InterruptionMarker;
        AllRecord.AlmText[k] = QStringLiteral("--");
    }
}

Station::~Station() = default;

// ---------------------------------------------------------------------------------------------
// Start-up and the end

StationStart Station::startUp()
{
    m_starting = true;
    Write_timer.start();
    // A broker password in a KTcom.ini others may read, as found before the station writes the
    // file itself (its own writes make such a file its owner's alone).
    const QString passwordWarning = PasswordFileWarning(m_config.programDir);
    // The journal first, so the start is its first entry; a journal that cannot be opened is
    // reported and the alarms are still evaluated and listed.
    startupGuarded([this] {
        Alarms->open(m_config.programDir);
        Alarms->stationEvent(AlarmCenter::StationEvent::ProgramStarted,
                             m_config.headless    ? QStringLiteral("qzstation")
                             : m_config.autoStart ? QStringLiteral("--start")
                                                  : QString());
    });
    if (!passwordWarning.isEmpty()) {
        Alarms->stationEvent(AlarmCenter::StationEvent::SecurityWarning, passwordWarning);
        raise(StationMessage::Kind::Message, passwordWarning, false);
    }
    // Port and history table first. Whatever fails there, the settings are still read: a
    // dialog saving the zero state of an unread start would wipe every name and limit.
    startupGuarded([this] { setupCommAndHistory(); });
    startupGuarded([this] {
        LoadSysParams(SysParams, SettingsLoad);
        LoadChannelSettings(Option, SysParams.ChannelCount, SettingsLoad);
    });
    // The Data directory with the month table and PrintData.
    m_dataModule = std::make_unique<TDataModule1>(m_config.programDir);
    if (!m_dataModule->error().isEmpty())
        raise(StationMessage::Kind::Error, m_dataModule->error());
    ApplyStorageInterval();
    startupGuarded([this] {
        Site->setChannels(Option, SysParams.ChannelCount);
        Site->start(m_config.programDir);
    });
    DiskCheck.start();
    DiskCheckTimer();
    if (m_config.autoStart)
        startRun();
    m_starting = false;
    publish(StationSnapshot::Reason::Started);
    return {Option, SysParams, SettingsLoad};
}

void Station::shutDown()
{
    Send.stop();
    Receive.stop();
    Write_timer.stop();
    DiskCheck.stop();
    Alarms->stationEvent(AlarmCenter::StationEvent::ProgramEnded);
    // "offline" to the broker and a clean disconnect (a crash leaves it to the last will).
    Site->shutdown();
    comm1->ClosePort();
    HistoryTable->close();
}

bool Station::startupGuarded(const std::function<void()> &fn)
{
    try {
        fn();
        return true;
    } catch (const AppError &e) {
        raise(StationMessage::Kind::Error, e.text());
    } catch (const std::exception &e) {
        raise(StationMessage::Kind::Error, QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void Station::raise(StationMessage::Kind kind, const QString &text, bool journal)
{
    if (journal)
        Alarms->stationEvent(AlarmCenter::StationEvent::ErrorReported, text);
    Q_EMIT messageRaised(StationMessage{kind, text, m_starting});
}

void Station::setupCommAndHistory()
{
    const QString dir = m_config.programDir;
    const CommSettings comm = ReadCommSettings(dir);
    comm1->setDeviceMap(ReadDeviceMap(dir));
    m_portName = comm.port;
    m_speed = comm.speed;

    TComPortNumber port;
    TComPortBaudRate speed;
    m_portKnown = ComPortNumberFromName(QStringLiteral("pn") + comm.port, &port)
        && ComPortBaudRateFromName(QStringLiteral("br") + QString::number(comm.speed), &speed);
    bool opened = false;
    if (m_portKnown) {
        comm1->setComPort(port);
        comm1->setComPortSpeed(speed);
        opened = comm1->OpenPort();
    }
    m_portUp = opened;
    m_portShown = opened;
    if (!opened && comm1->PortOpening()) {
        // A network device connects in the background: not a failure yet. The poll tick says
        // so if the connection cannot be made.
        m_portUp = true;
        m_portPending = true;
    } else if (!opened) {
        Alarms->stationEvent(AlarmCenter::StationEvent::PortOpenFailed,
                             comm.port + (m_portKnown ? QStringLiteral(" ") + comm1->DevicePath() : QString()));
        // A device there but not permitted is named with its fix (group membership).
        raise(StationMessage::Kind::Message, openPortMessage(), false);
    }

    // The history table is bound and opened even without a port, so a run started later
    // stores into it; storing itself only starts with the port or with the run.
    openHistoryTable();
    if (opened)
        Receive.start();
}

QString Station::openPortMessage() const
{
    if (!m_portKnown)
        return OpenPortError;
    // A network device says why it cannot be reached; a serial device that is there but not
    // permitted is named with its fix (group membership).
    if (comm1->Transport() != DeviceTransport::Serial)
        return comm1->PortErrorText().isEmpty() ? OpenPortError : OpenPortError + u'\n' + comm1->PortErrorText();
    return openPortFailureText(OpenPortError, comm1->DevicePath());
}

void Station::openHistoryTable()
{
    HistoryTable->close();
    HistoryTable->setDatabaseName(m_config.programDir);
    HistoryTable->setTableName(HistoryTableName);
    HistoryTable->setExclusive(true);
    ensureHistoryTable(m_config.programDir);
    HistoryTable->open();
}

void Station::ApplyStorageInterval()
{
    // setInterval restarts a running timer: a dialog closed without a change must not move
    // the next record by a whole period.
    const int period = storagePeriodMs(SysParams.StorageIntervalMs);
    if (Receive.interval() != period)
        Receive.setInterval(period);
}

// ---------------------------------------------------------------------------------------------
// Commands

void Station::startRun()
{
    Send.start();
    Receive.start();
    Alarms->stationEvent(AlarmCenter::StationEvent::RunStarted);
    publish(StationSnapshot::Reason::Command);
}

void Station::stopRun()
{
    Send.stop();
    Receive.stop();
    Alarms->stationEvent(AlarmCenter::StationEvent::RunStopped);
    publish(StationSnapshot::Reason::Command);
}

void Station::emptyHistory()
{
    Send.stop();
    Receive.stop();
    try {
        EmptyHistory(*HistoryTable);
        Alarms->stationEvent(AlarmCenter::StationEvent::HistoryEmptied);
        Site->recordStored(); // the publisher's cursor learns the table started again
    } catch (const AppError &e) {
        raise(StationMessage::Kind::Error, e.text());
    }
    // Polling and storing run afterwards whatever they did before.
    Send.start();
    Receive.start();
    publish(StationSnapshot::Reason::Command);
}

void Station::settingsSaved(const QStringList &files, const TOption &option, const TSysParams &sysParams)
{
    Option = option;
    SysParams = sysParams;
    for (const QString &file : files)
        Alarms->settingsSaved(QFileInfo(file).fileName(), AllRecord, Option, SysParams.ChannelCount);
    Site->setChannels(Option, SysParams.ChannelCount);
    if (!files.isEmpty())
        Site->settingsSaved();
    ApplyStorageInterval();
    publish(StationSnapshot::Reason::Command);
}

void Station::acknowledge(const QList<AlarmKey> &keys) { Alarms->acknowledge(keys); }

void Station::acknowledgeAll() { Alarms->acknowledgeAll(); }

// ---------------------------------------------------------------------------------------------
// The acquisition cycle

void Station::SendTimer()
{
    m_lastPoll = QDateTime::currentDateTime();
    m_answerBytes = -1;
    try {
        // A port name the master has no port for is never opened (it would open another one);
        // the request is then refused as "port not open", like a missing device.
        const bool open = m_portKnown && comm1->OpenPort();
        if (open)
            m_portShown = true; // the adapter may have appeared since start-up
        // A network connection on its way is neither up nor failed yet.
        const bool failed = !open && !(m_portKnown && comm1->PortOpening());
        if (m_portKnown && (open ? !m_portUp : failed && m_portUp)) {
            m_portUp = open;
            QString detail = m_portName + QStringLiteral(" ") + comm1->DevicePath();
            if (!open && !comm1->PortErrorText().isEmpty())
                detail += QStringLiteral(" ") + comm1->PortErrorText();
            Alarms->stationEvent(open ? AlarmCenter::StationEvent::PortRestored : AlarmCenter::StationEvent::PortOpenFailed,
                                 detail);
            // The first connection of a network device failed: said as a serial port that
            // cannot be opened is said at start-up.
            if (failed && m_portPending)
                raise(StationMessage::Kind::Message, openPortMessage(), false);
        }
        if (open || failed)
            m_portPending = false;
        comm1->FunctionCode = 3;
        comm1->SlaveId = 1;
        comm1->Offset = 0;
        comm1->Quantity = quint16(pollQuantity(SysParams.ChannelCount));
        comm1->SendRequest();
        m_sendErrorShown = false;
    } catch (...) {
        // Shown once until a request goes out again: repeated boxes would pile up.
        if (!m_sendErrorShown) {
            m_sendErrorShown = true;
            raise(StationMessage::Kind::Message, QStringLiteral("error address!"));
        }
    }
    CommWatch.polled();
    publish(StationSnapshot::Reason::Poll);
}

void Station::comm1ResponseReady()
{
    const QByteArray data = comm1->ResponseData;
    m_answerBytes = int(data.size());
    if (decodeAnswer(data, AllRecord, Option)) {
        CommWatch.answered();
        Alarms->answerDecoded(AllRecord, Option, SysParams.ChannelCount);
        Site->answerDecoded(AllRecord, SysParams.ChannelCount);
    }
    publish(StationSnapshot::Reason::Answer);
}

void Station::Write_timerTimer()
{
    switch (CommWatch.tick()) {
    case CommWatchCounter::Event::Error:
        m_commShown = CommShown::Error;
        Site->setCommState(m_commShown);
        // Answers stopped: the values shown and stored from now on are not current.
        markInterrupted(AllRecord, SysParams.ChannelCount);
        break;
    case CommWatchCounter::Event::Ok:
        m_commShown = CommShown::Ok;
        Site->setCommState(m_commShown);
        break;
    case CommWatchCounter::Event::None:
        break;
    }
    // "通讯中断" is active while the communication panel shows the error.
    Alarms->refreshTick(m_commShown == CommShown::Error ? CommState::Error
                        : m_commShown == CommShown::Ok  ? CommState::Ok
                                                        : CommState::Unknown);
    publish(StationSnapshot::Reason::Refresh);
}

void Station::ReceiveTimer()
{
    const QDateTime now = QDateTime::currentDateTime();
    try {
        StoreHistoryRecord(*HistoryTable, now, AllRecord, SysParams.ChannelCount);
        m_lastStored = now;
        m_storageError.clear();
        m_storageErrorShown = false;
        Site->recordStored();
        // Stored again: the storage alarm returns.
        Alarms->storageCondition(StorageFailedKind, false);
    } catch (const AppError &e) {
        m_storageError = e.text();
        // A station that cannot store says so until it can: an alarm, active from the first
        // failed tick until a record is stored again. Said once as a message too: a failing disk
        // must not pile up a box every storage period.
        Alarms->storageCondition(StorageFailedKind, true, e.text());
        if (!m_storageErrorShown) {
            m_storageErrorShown = true;
            raise(StationMessage::Kind::Error, e.text(), false);
        }
    }
    publish(StationSnapshot::Reason::Stored);
}

void Station::DiskCheckTimer()
{
    QStorageInfo disk(m_config.programDir);
    if (!disk.isValid() || !disk.isReady())
        return;
    const qint64 free = disk.bytesAvailable();
    const qint64 needed = diskSpaceNeeded(SysParams.ChannelCount, Receive.interval());
    m_diskLow = diskSpaceLow(free, needed, m_diskLow);
    const auto mib = [](qint64 bytes) { return QString::number(bytes / (1024 * 1024)); };
    Alarms->storageCondition(DiskLowKind, m_diskLow,
                             QStringLiteral("程序目录所在磁盘只剩 %1 MiB，低于 %2 MiB，请清理磁盘。\n"
                                            "%3 bytes free on %4 (%5), %6 needed")
                                 .arg(mib(free), mib(needed))
                                 .arg(free)
                                 .arg(disk.rootPath(), QString::fromLocal8Bit(disk.device()))
                                 .arg(needed));
}

// ---------------------------------------------------------------------------------------------
// Snapshots

StationSnapshot Station::snapshot(StationSnapshot::Reason reason) const
{
    StationSnapshot s;
    s.reason = reason;
    s.serial = m_serial;
    s.time = QDateTime::currentDateTime();
    s.record = AllRecord;
    s.option = Option;
    s.channelCount = SysParams.ChannelCount;
    s.comm = m_commShown;
    s.running = Send.isActive();
    s.storing = Receive.isActive();
    s.storagePeriodMs = Receive.interval();
    s.portName = m_portName;
    s.speed = m_speed;
    s.device = m_portKnown ? comm1->DevicePath() : QString();
    s.portShown = m_portShown;
    s.portOpen = comm1->IsPortOpen();
    s.lastPoll = m_lastPoll;
    s.answerBytes = m_answerBytes;
    s.lastStored = m_lastStored;
    s.storageError = m_storageError;
    s.alarms = Alarms->alarms();
    s.unacknowledged = Alarms->unacknowledgedCount();
    s.siteEnabled = Site->enabled();
    s.siteState = Site->stateText();
    return s;
}

void Station::publish(StationSnapshot::Reason reason)
{
    Site->setStoring(Receive.isActive() && m_storageError.isEmpty());
    ++m_serial;
    Q_EMIT snapshotPublished(snapshot(reason));
}
