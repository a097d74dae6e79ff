#include "SiteLink.h"

#include <QDebug>
#include <QFile>

namespace {
const QString StatusLeaf = QStringLiteral("status");
const QString LiveLeaf = QStringLiteral("live");
const QString RecordLeaf = QStringLiteral("record");
const QString EventLeaf = QStringLiteral("event");
constexpr int CursorSaveMs = 1000;
} // namespace

SiteLink::SiteLink(QObject *parent) : QObject(parent)
{
    m_pump.setSingleShot(true);
    connect(&m_pump, &QTimer::timeout, this, &SiteLink::pump);
    connect(&m_link, &MqttLink::connected, this, &SiteLink::onConnected);
    connect(&m_link, &MqttLink::disconnected, this, &SiteLink::onDisconnected);
    connect(&m_link, &MqttLink::published, this, &SiteLink::onPublished);
    m_stateText = QStringLiteral("站点网络：未启用");
}

SiteLink::~SiteLink() { shutdown(); }

void SiteLink::start(const QString &programDir)
{
    shutdown();
    m_programDir = programDir;
    m_settings = ReadSiteSettings(programDir);
    if (!m_settings.enabled()) {
        setState(QStringLiteral("站点网络：未启用（KTcom.ini 的 [mqtt] 没有 Host）"));
        return;
    }
    QString error;
    if (!m_cursor.open(cursorFilePath(programDir), &error)) {
        setState(QStringLiteral("站点网络：无法打开发送位置文件，未连接（%1）").arg(error));
        m_settings = SiteSettings{};
        return;
    }
    m_history = std::make_unique<HistorySource>(programDir);
    m_journal = std::make_unique<JournalSource>(programDir);
    m_records = std::make_unique<Outbox>(RecordLeaf, m_history.get(), &m_cursor);
    m_events = std::make_unique<Outbox>(EventLeaf, m_journal.get(), &m_cursor);
    if (!m_link.start(m_settings, m_settings.topic(StatusLeaf), encodeWill(m_settings.station), &error)) {
        setState(QStringLiteral("站点网络：无法启动客户端（%1）").arg(error));
        return;
    }
    m_tokens = 0;
    m_refill.start();
    m_lastSave.start();
    setState(QStringLiteral("站点网络：正在连接 %1:%2").arg(m_settings.host).arg(m_settings.port));
}

void SiteLink::shutdown()
{
    m_pump.stop();
    if (m_link.isRunning())
        m_link.stop(m_settings.topic(StatusLeaf), statusPayload(false));
    if (m_records)
        saveCursors(true);
    m_records.reset();
    m_events.reset();
    m_history.reset();
    m_journal.reset();
    m_cursor.close();
}

QByteArray SiteLink::statusPayload(bool online) const
{
    return encodeStatus(m_settings.station, online, m_comm, QStringLiteral(QZ_VERSION), QDateTime::currentDateTime(),
                        m_option, m_channelCount, m_storing);
}

void SiteLink::setStoring(bool storing)
{
    if (storing == m_storing)
        return;
    m_storing = storing;
    if (m_link.isConnected())
        publishStatus(true);
}

void SiteLink::setChannels(const TOption &option, int channelCount)
{
    m_option = option;
    m_channelCount = channelCount;
}

void SiteLink::publishStatus(bool online)
{
    m_link.publish(m_settings.topic(StatusLeaf), statusPayload(online), 1, true);
}

void SiteLink::answerDecoded(const TAllRecord &record, int channelCount)
{
    if (!m_link.isConnected())
        return; // live values are worth nothing later
    m_link.publish(m_settings.topic(LiveLeaf), encodeLive(QDateTime::currentDateTime(), record, channelCount), 0, false);
}

void SiteLink::setCommState(StationComm state)
{
    if (state == m_comm)
        return;
    m_comm = state;
    if (m_link.isConnected())
        publishStatus(true);
}

void SiteLink::settingsSaved()
{
    if (m_link.isConnected())
        publishStatus(true);
}

void SiteLink::recordStored() { schedule(0); }
void SiteLink::eventJournaled() { schedule(0); }

void SiteLink::schedule(int ms)
{
    if (!m_records || !m_link.isConnected())
        return;
    if (!m_pump.isActive() || m_pump.remainingTime() > ms)
        m_pump.start(ms);
}

void SiteLink::onConnected()
{
    m_lastReason.clear();
    setState(QStringLiteral("站点网络：已连接 %1:%2").arg(m_settings.host).arg(m_settings.port));
    publishStatus(true);
    // What was in flight may or may not have arrived: read again from the acknowledged cursor.
    m_records->restartFromCursor();
    m_events->restartFromCursor();
    schedule(0);
}

void SiteLink::onDisconnected(const QString &reason)
{
    m_pump.stop();
    if (m_records)
        saveCursors(true);
    if (!m_settings.enabled() || !m_link.isRunning())
        return;
    m_lastReason = reason;
    setState(QStringLiteral("站点网络：连接中断，正在重试 %1:%2（%3）").arg(m_settings.host).arg(m_settings.port).arg(reason));
}

void SiteLink::onPublished(int mid)
{
    if (!m_records)
        return;
    if (!m_records->acknowledged(mid))
        m_events->acknowledged(mid);
}

void SiteLink::saveCursors(bool force)
{
    if (!force && m_lastSave.elapsed() < CursorSaveMs)
        return;
    QString error;
    if (!m_records->saveCursor(&error) || !m_events->saveCursor(&error))
        qWarning().noquote() << QStringLiteral("site network: cannot write the send position: %1").arg(error);
    m_lastSave.start();
}

void SiteLink::pump()
{
    if (!m_records || !m_link.isConnected())
        return;
    // Token bucket: MaxMessagesPerSecond on average, at most one busy tick's worth at once.
    constexpr double burst = double(MaxMessagesPerSecond) * BusyIntervalMs / 1000.0;
    m_tokens = std::min(burst, m_tokens + double(m_refill.restart()) * MaxMessagesPerSecond / 1000.0);
    const int window = Window - m_records->inFlight() - m_events->inFlight();
    int budget = std::min(int(m_tokens), window);

    auto sender = [this](const QString &leaf) {
        return [this, topic = m_settings.topic(leaf)](const QByteArray &payload) {
            return m_link.publish(topic, payload, 1, false);
        };
    };
    // Events first: there are few, and an alarm should not wait behind a week of records.
    const int events = m_events->pump(budget, sender(EventLeaf));
    budget -= events;
    const int records = m_records->pump(budget, sender(RecordLeaf));
    m_tokens -= events + records;

    const bool backlog = !m_records->caughtUp() || !m_events->caughtUp();
    saveCursors(!backlog && m_records->inFlight() == 0 && m_events->inFlight() == 0);
    QString text = QStringLiteral("站点网络：已连接 %1:%2").arg(m_settings.host).arg(m_settings.port);
    if (backlog)
        text += QStringLiteral("，正在补发存储的记录");
    // A history table that exists but cannot be read (held by another program, damaged) is
    // worth telling; a journal that does not exist yet is not.
    if (!m_records->lastError().isEmpty() && QFile::exists(m_history->file()))
        text += QStringLiteral("，暂时无法读取历史记录（%1）").arg(m_records->lastError());
    setState(text);
    // Busy while there is a backlog; a little slower while only acknowledgements are awaited
    // (they move the cursor without reading); idle otherwise, woken by the nudges.
    const int inFlight = m_records->inFlight() + m_events->inFlight();
    m_pump.start(backlog ? BusyIntervalMs : inFlight > 0 ? AwaitIntervalMs : IdleIntervalMs);
}

void SiteLink::setState(const QString &text)
{
    if (text == m_stateText)
        return;
    m_stateText = text;
    Q_EMIT stateChanged(text);
}
