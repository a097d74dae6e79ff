#include "AlarmCenter.h"

#include "SettingsFiles.h"

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

// How often events held in memory are offered to the journal again when nothing else happens.
constexpr int JournalRetryMs = 30000;

QString joined(const QString &a, const QString &b)
{
    if (a.isEmpty())
        return b;
    if (b.isEmpty())
        return a;
    return a + QStringLiteral("；") + b;
}

QString kindOf(AlarmCenter::StationEvent event)
{
    using E = AlarmCenter::StationEvent;
    namespace k = station_kinds;
    switch (event) {
    case E::ProgramStarted: return k::ProgramStarted;
    case E::ProgramEnded: return k::ProgramEnded;
    case E::RunStarted: return k::RunStarted;
    case E::RunStopped: return k::RunStopped;
    case E::PortOpenFailed: return k::PortOpenFailed;
    case E::PortRestored: return k::PortRestored;
    case E::StorageFailed: return k::StorageFailed;
    case E::StorageRestored: return k::StorageRestored;
    case E::HistoryEmptied: return k::HistoryEmptied;
    case E::ErrorReported: return k::ErrorReported;
    }
    return QString();
}

} // namespace

QString alarmPanelText(int unacknowledged)
{
    return unacknowledged > 0 ? QStringLiteral("报警：%1 条未确认").arg(unacknowledged) : QString();
}

QString sessionUserName()
{
#ifdef Q_OS_UNIX
    if (const passwd *pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
#endif
    QString name = qEnvironmentVariable("USER");
    if (name.isEmpty())
        name = qEnvironmentVariable("USERNAME");
    return name;
}

AlarmCenter::AlarmCenter(QObject *parent) : AlarmBoard(parent), m_user(sessionUserName())
{
    m_steady.start();
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] { journal({}); });
    connect(&m_notifier, &AlarmNotifier::failed, this, &AlarmCenter::notifierFailed);
    connect(&m_notifier, &AlarmNotifier::recovered, this, &AlarmCenter::notifierRecovered);
}

AlarmCenter::~AlarmCenter() = default;

AlarmTime AlarmCenter::now() const
{
    if (m_clock)
        return m_clock();
    return {QDateTime::currentDateTime(), m_steady.elapsed()};
}

void AlarmCenter::applySettings()
{
    AlarmSettings settings;
    // A KTcom.ini that cannot be read or written leaves the defaults in force, and says why.
    try {
        settings = readAlarmSettings(m_dir);
    } catch (const AppError &e) {
        Q_EMIT errorRaised(e.text());
    }
    m_engine.setSettings(settings);
    m_notifier.setCommand(settings.command);
}

void AlarmCenter::open(const QString &programDir)
{
    m_dir = programDir;
    m_notifier.setWorkingDirectory(programDir);
    applySettings();

    m_journal.setFile(eventJournalPath(programDir));
    try {
        m_journal.open();
        m_engine.restore(m_journal.openAlarms(AlarmEngine::allKeys()));
    } catch (const AppError &e) {
        m_journal.close();
        m_journalFailing = true;
        Q_EMIT errorRaised(QStringLiteral("报警记录文件无法打开，报警照常显示，记录暂存在内存中。\n%1").arg(e.text()));
    }
    const int n = m_engine.unacknowledgedCount();
    if (n != m_unacked) {
        m_unacked = n;
        Q_EMIT unacknowledgedCountChanged(n);
    }
    Q_EMIT alarmsChanged();
}

void AlarmCenter::answerDecoded(const TAllRecord &rec, const TOption &opt, int channelCount)
{
    QList<AlarmEvent> events;
    m_engine.evaluate(rec, opt, channelCount, now(), events);
    if (!events.isEmpty())
        handle(events);
}

void AlarmCenter::refreshTick(CommState state)
{
    QList<AlarmEvent> events;
    m_engine.setCommState(state, now(), events);
    if (!events.isEmpty())
        handle(events);
}

void AlarmCenter::storageCondition(const QString &kind, bool on, const QString &detail)
{
    QList<AlarmEvent> events;
    m_engine.setStorageCondition(kind, on, detail, now(), events);
    if (!events.isEmpty())
        handle(events);
}

void AlarmCenter::stationEvent(StationEvent event, const QString &detail)
{
    QString text = detail;
    if (event == StationEvent::ProgramStarted && m_journal.isOpen()) {
        bool ended = true;
        try {
            ended = m_journal.previousRunEnded();
        } catch (const AppError &e) {
            Q_EMIT errorRaised(e.text());
        }
        if (!ended)
            text = joined(QStringLiteral("上次运行未正常结束"), text);
    }
    journal({::stationEvent(now().wall, kindOf(event), text)});
}

void AlarmCenter::settingsSaved(const QString &fileName, const TAllRecord &rec, const TOption &opt, int channelCount)
{
    journal({::stationEvent(now().wall, station_kinds::SettingsSaved, fileName)});
    applySettings();
    answerDecoded(rec, opt, channelCount);
}

void AlarmCenter::acknowledge(const QList<AlarmKey> &keys)
{
    QList<AlarmEvent> events;
    m_engine.acknowledge(keys, m_user, now(), events);
    if (!events.isEmpty())
        handle(events);
}

void AlarmCenter::acknowledgeAll()
{
    QList<AlarmEvent> events;
    m_engine.acknowledgeAll(m_user, now(), events);
    if (!events.isEmpty())
        handle(events);
}

void AlarmCenter::handle(QList<AlarmEvent> &events)
{
    QList<JournalEvent> rows;
    rows.reserve(events.size());
    for (const AlarmEvent &e : std::as_const(events)) {
        JournalEvent row = journalEventOf(e);
        const bool notifiable = e.transition == Transition::Raised || e.transition == Transition::Returned;
        if (notifiable && m_notifier.enabled() && !m_notifier.offer(row))
            row.detail = joined(row.detail, QStringLiteral("未通知：已有 %1 个报警通知命令在运行 (not notified)")
                                                .arg(m_notifier.maxOutstanding()));
        rows.append(row);
    }
    journal(rows);
    const int n = m_engine.unacknowledgedCount();
    if (n != m_unacked) {
        m_unacked = n;
        Q_EMIT unacknowledgedCountChanged(n);
    }
    Q_EMIT alarmsChanged();
}

void AlarmCenter::journal(QList<JournalEvent> events)
{
    m_unwritten.append(events);
    if (m_unwritten.isEmpty())
        return;
    try {
        if (!m_journal.isOpen())
            m_journal.open();
        m_journal.append(m_unwritten);
    } catch (const AppError &e) {
        m_journal.close();
        if (m_unwritten.size() > MaxUnwritten)
            m_unwritten.remove(0, m_unwritten.size() - MaxUnwritten);
        if (!m_journalFailing) {
            m_journalFailing = true;
            Q_EMIT errorRaised(QStringLiteral("报警记录无法写入，报警照常显示，记录暂存在内存中。\n%1").arg(e.text()));
        }
        // Try again later even if nothing else happens.
        if (!m_retry.isActive())
            m_retry.start(JournalRetryMs);
        return;
    }
    m_journalFailing = false;
    m_retry.stop();
    const QList<JournalEvent> written = std::exchange(m_unwritten, {});
    Q_EMIT eventsJournaled(written);
}

void AlarmCenter::notifierFailed(const QString &detail)
{
    journal({::stationEvent(now().wall, station_kinds::NotifyFailed, detail)});
}

void AlarmCenter::notifierRecovered()
{
    journal({::stationEvent(now().wall, station_kinds::NotifyRestored, m_notifier.command())});
}
