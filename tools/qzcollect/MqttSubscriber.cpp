#include "MqttSubscriber.h"

#include "CopyBatch.h"

#include <QDateTime>
#include <QFile>
#include <QSslConfiguration>

namespace {
constexpr int MaxDelayMs = 30000;
// Taken off the socket at a time, and what the socket may hold while the collector waits:
// memory stays bounded however much the broker has queued.
constexpr qint64 ReadPieceBytes = 256 * 1024;
constexpr qint64 SocketBufferBytes = 1 << 20;
} // namespace

MqttSubscriber::MqttSubscriber(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_reader(options.connect.maximumPacketSize)
{
    m_keepAliveS = options.connect.keepAliveS;
    m_socket.setReadBufferSize(SocketBufferBytes);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttSubscriber::connectNow);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer); // "after 10 s" means not before
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        const QString what = m_state == State::Connecting  ? QStringLiteral("no connection")
                             : m_state == State::WaitConnack ? QStringLiteral("no CONNACK")
                                                             : QStringLiteral("no SUBACK");
        drop(QStringLiteral("%1 from the broker within %2 s").arg(what).arg(m_options.connectTimeoutMs / 1000.0));
    });
    connect(&m_ping, &QTimer::timeout, this, [this] {
        if (m_state == State::Idle)
            return;
        // No answer to anything for two keep-alive periods: the broker is gone. While paused
        // nothing is read, so nothing can be told.
        const qint64 period = 1000LL * std::max(m_keepAliveS, 1);
        if (!m_paused && QDateTime::currentMSecsSinceEpoch() - m_lastRead > 2 * period) {
            drop(QStringLiteral("no answer from the broker"));
            return;
        }
        send(mqtt::pingreqPacket());
    });
    connect(&m_socket, &QAbstractSocket::connected, this, [this] {
        if (!m_options.tls)
            onConnected();
    });
    connect(&m_socket, &QSslSocket::encrypted, this, &MqttSubscriber::onConnected);
    connect(&m_socket, &QIODevice::readyRead, this, &MqttSubscriber::process);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &MqttSubscriber::onSocketError);
    connect(&m_socket, &QAbstractSocket::disconnected, this, [this] {
        if (m_state != State::Idle)
            drop(QStringLiteral("connection closed by the broker"));
    });
}

MqttSubscriber::~MqttSubscriber()
{
    m_stopping = true;
    m_socket.abort();
}

void MqttSubscriber::start()
{
    m_stopping = false;
    connectNow();
}

void MqttSubscriber::stop()
{
    m_stopping = true;
    m_retry.stop();
    m_ping.stop();
    m_deadline.stop();
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        if (m_state != State::Idle && m_state != State::Connecting)
            send(mqtt::disconnectPacket());
        m_socket.flush();
        m_socket.waitForBytesWritten(1000);
    }
    m_state = State::Idle;
    m_socket.abort();
}

void MqttSubscriber::connectNow()
{
    if (m_stopping)
        return;
    m_reader.clear();
    m_state = State::Connecting;
    m_deadline.start(m_options.connectTimeoutMs);
    if (m_options.tls) {
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        if (!m_options.caFile.isEmpty()) {
            const auto certs = QSslCertificate::fromPath(m_options.caFile, QSsl::Pem);
            if (certs.isEmpty()) {
                Q_EMIT problem(QStringLiteral("CA file %1 holds no PEM certificate").arg(m_options.caFile));
                m_state = State::Idle;
                m_deadline.stop();
                m_retry.start(MaxDelayMs);
                return;
            }
            conf.setCaCertificates(certs);
        }
        m_socket.setSslConfiguration(conf);
        m_socket.connectToHostEncrypted(m_options.host, m_options.port);
    } else {
        m_socket.connectToHost(m_options.host, m_options.port);
    }
}

void MqttSubscriber::onConnected()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_state = State::WaitConnack;
    m_lastRead = QDateTime::currentMSecsSinceEpoch();
    m_server = mqtt::Properties{};
    m_keepAliveS = m_options.connect.keepAliveS;
    send(mqtt::connectPacket(m_options.connect));
}

void MqttSubscriber::onSocketError()
{
    if (m_state == State::Idle)
        return;
    drop(m_socket.errorString());
}

void MqttSubscriber::drop(const QString &reason)
{
    const bool wasReady = m_state == State::Ready;
    m_state = State::Idle;
    m_ping.stop();
    m_deadline.stop();
    m_socket.abort();
    m_reader.clear();
    if (m_stopping)
        return;
    if (wasReady)
        m_delayMs = 1000;
    Q_EMIT lost(reason);
    m_retry.start(m_delayMs);
    m_delayMs = std::min(m_delayMs * 2, MaxDelayMs);
}

bool MqttSubscriber::send(const QByteArray &bytes)
{
    if (m_server.maximumPacketSize && quint64(bytes.size()) > *m_server.maximumPacketSize) {
        Q_EMIT problem(QStringLiteral("the broker takes packets of at most %1 bytes; this one has %2")
                           .arg(*m_server.maximumPacketSize)
                           .arg(bytes.size()));
        drop(QStringLiteral("packet too large for the broker"));
        return false;
    }
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.write(bytes);
    return true;
}

void MqttSubscriber::ack(quint16 packetId)
{
    // Messages of a persistent session may come between CONNACK and SUBACK.
    if (m_state != State::WaitSuback && m_state != State::Ready)
        return;
    send(mqtt::pubackPacket(packetId));
    ++m_acksSent;
}

void MqttSubscriber::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (!paused) {
        m_lastRead = QDateTime::currentMSecsSinceEpoch();
        // What arrived meanwhile waits in the reader and the socket; no readyRead will say so.
        QMetaObject::invokeMethod(this, &MqttSubscriber::process, Qt::QueuedConnection);
    }
}

void MqttSubscriber::process()
{
    // First what the reader holds, then the socket, a piece at a time, until paused. A pause
    // holds back messages only: a connection being set up is always read (its CONNACK, its
    // SUBACK), or it would time out while the writer is busy.
    while ((!m_paused || m_state != State::Ready) && m_state != State::Idle && m_state != State::Connecting) {
        mqtt::Packet p;
        const mqtt::Reader::Result r = m_reader.next(&p);
        if (r == mqtt::Reader::Result::Malformed) {
            drop(QStringLiteral("malformed packet from the broker"));
            return;
        }
        if (r == mqtt::Reader::Result::Packet) {
            if (!handle(p))
                return;
            continue;
        }
        const QByteArray more = m_socket.read(ReadPieceBytes);
        if (more.isEmpty())
            return;
        m_lastRead = QDateTime::currentMSecsSinceEpoch();
        m_reader.append(more);
    }
}

bool MqttSubscriber::handle(const mqtt::Packet &p)
{
    // Every fixed header but PUBLISH's has its flags fixed.
    if (p.type != mqtt::Publish && p.flags != 0) {
        drop(QStringLiteral("packet type %1 with flags %2").arg(p.type).arg(p.flags));
        return false;
    }
    switch (p.type) {
    case mqtt::Connack: {
        mqtt::ConnackInfo info;
        QString why;
        if (m_state != State::WaitConnack || !mqtt::parseConnack(p, &info, &why)) {
            drop(QStringLiteral("unexpected or malformed CONNACK (%1)").arg(logText(why)));
            return false;
        }
        if (info.reasonCode != 0) {
            const QString text = info.properties.reasonString.isEmpty()
                ? mqtt::reasonText(info.reasonCode)
                : QStringLiteral("%1: %2").arg(mqtt::reasonText(info.reasonCode), logText(info.properties.reasonString));
            Q_EMIT problem(QStringLiteral("broker refused the connection: %1").arg(text));
            drop(QStringLiteral("refused: %1").arg(text));
            return false;
        }
        m_server = info.properties;
        if (m_server.maximumQoS && *m_server.maximumQoS == 0) {
            Q_EMIT problem(QStringLiteral("the broker allows QoS 0 only (Maximum QoS in CONNACK); records and events "
                                          "need QoS 1, so the collector does not subscribe"));
            drop(QStringLiteral("broker allows QoS 0 only"));
            return false;
        }
        // The broker's keep-alive replaces ours; with none (0) we keep pinging at ours, so a
        // dead connection is still noticed.
        if (m_server.serverKeepAlive && *m_server.serverKeepAlive > 0)
            m_keepAliveS = *m_server.serverKeepAlive;
        m_state = State::WaitSuback;
        m_subscribeId = quint16(m_subscribeId % 65535 + 1);
        if (!send(mqtt::subscribePacket(m_subscribeId, m_options.filters)))
            return false;
        m_ping.start(1000 * std::max(1, m_keepAliveS) / 2);
        m_acksSent = 0;
        m_sessionPresent = info.sessionPresent;
        return true;
    }
    case mqtt::Suback: {
        mqtt::SubackInfo info;
        if (!mqtt::parseSuback(p, &info) || info.packetId != m_subscribeId) {
            drop(QStringLiteral("unexpected SUBACK"));
            return false;
        }
        for (int i = 0; i < info.reasonCodes.size(); ++i) {
            if (info.reasonCodes[i] >= 0x80)
                Q_EMIT problem(QStringLiteral("subscription %1 refused: %2")
                                   .arg(m_options.filters.value(i), mqtt::reasonText(info.reasonCodes[i])));
            else if (info.reasonCodes[i] == 0)
                Q_EMIT problem(QStringLiteral("subscription %1 granted with QoS 0 only: its records and events are refused")
                                   .arg(m_options.filters.value(i)));
        }
        if (m_state == State::WaitSuback) {
            m_state = State::Ready;
            m_deadline.stop();
            m_delayMs = 1000;
            Q_EMIT ready(m_sessionPresent);
        }
        return true;
    }
    case mqtt::Publish: {
        mqtt::PublishInfo info;
        QString why;
        const mqtt::PublishParse parsed = mqtt::parsePublish(p, &info, &why);
        if (parsed == mqtt::PublishParse::Malformed || info.qos == 2) {
            drop(QStringLiteral("malformed PUBLISH (%1)").arg(info.qos == 2 ? QStringLiteral("QoS 2 on a QoS 1 subscription") : why));
            return false;
        }
        // A persistent session may deliver before our SUBACK arrives.
        if (parsed == mqtt::PublishParse::Refused)
            Q_EMIT refused(info.topic, info.payload, info.packetId, info.qos, why, info.payloadSize);
        else
            Q_EMIT message(info.topic, info.payload, info.packetId, info.qos);
        return m_state != State::Idle;
    }
    case mqtt::Pingresp:
        return true;
    case mqtt::Disconnect: {
        mqtt::DisconnectInfo info;
        mqtt::parseDisconnect(p, &info);
        QString text = mqtt::reasonText(info.reasonCode);
        if (!info.reasonString.isEmpty())
            text += QStringLiteral(": ") + logText(info.reasonString);
        drop(QStringLiteral("broker disconnected: %1").arg(text));
        return false;
    }
    default:
        drop(QStringLiteral("unexpected packet type %1").arg(p.type));
        return false;
    }
}
