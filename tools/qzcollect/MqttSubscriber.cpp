#include "MqttSubscriber.h"

#include <QDateTime>
#include <QFile>
#include <QSslConfiguration>

namespace {
constexpr int MaxDelayMs = 30000;
}

MqttSubscriber::MqttSubscriber(const Options &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttSubscriber::connectNow);
    connect(&m_ping, &QTimer::timeout, this, [this] {
        if (m_state == State::Idle)
            return;
        // No answer to anything for two keep-alive periods: the broker is gone.
        if (QDateTime::currentMSecsSinceEpoch() - m_lastRead > 2000LL * m_options.connect.keepAliveS) {
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
    connect(&m_socket, &QIODevice::readyRead, this, &MqttSubscriber::onReadyRead);
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
    m_buffer.clear();
    m_offset = 0;
    m_state = State::Connecting;
    if (m_options.tls) {
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        if (!m_options.caFile.isEmpty()) {
            const auto certs = QSslCertificate::fromPath(m_options.caFile, QSsl::Pem);
            if (certs.isEmpty()) {
                Q_EMIT problem(QStringLiteral("CA file %1 holds no PEM certificate").arg(m_options.caFile));
                m_state = State::Idle;
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
    m_socket.abort();
    m_buffer.clear();
    m_offset = 0;
    if (m_stopping)
        return;
    if (wasReady)
        m_delayMs = 1000;
    Q_EMIT lost(reason);
    m_retry.start(m_delayMs);
    m_delayMs = std::min(m_delayMs * 2, MaxDelayMs);
}

void MqttSubscriber::send(const QByteArray &bytes)
{
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.write(bytes);
}

void MqttSubscriber::ack(quint16 packetId)
{
    // Messages of a persistent session may come between CONNACK and SUBACK.
    if (m_state != State::WaitSuback && m_state != State::Ready)
        return;
    send(mqtt::pubackPacket(packetId));
    ++m_acksSent;
}

void MqttSubscriber::onReadyRead()
{
    m_buffer.append(m_socket.readAll());
    m_lastRead = QDateTime::currentMSecsSinceEpoch();
    for (;;) {
        bool bad = false;
        const auto p = mqtt::takePacket(m_buffer, &m_offset, &bad);
        if (bad) {
            drop(QStringLiteral("malformed packet from the broker"));
            return;
        }
        if (!p)
            break;
        if (!handle(*p))
            return;
    }
    // Drop what has been read once it is a good part of the buffer.
    if (m_offset > 0 && (m_offset == m_buffer.size() || m_offset > (1 << 16))) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
}

bool MqttSubscriber::handle(const mqtt::Packet &p)
{
    switch (p.type) {
    case mqtt::Connack: {
        mqtt::ConnackInfo info;
        if (m_state != State::WaitConnack || !mqtt::parseConnack(p, &info)) {
            drop(QStringLiteral("unexpected CONNACK"));
            return false;
        }
        if (info.reasonCode != 0) {
            Q_EMIT problem(QStringLiteral("broker refused the connection: %1").arg(mqtt::reasonText(info.reasonCode)));
            drop(QStringLiteral("refused: %1").arg(mqtt::reasonText(info.reasonCode)));
            return false;
        }
        m_state = State::WaitSuback;
        m_subscribeId = quint16(m_subscribeId % 65535 + 1);
        send(mqtt::subscribePacket(m_subscribeId, m_options.filters));
        m_ping.start(1000 * std::max<int>(1, m_options.connect.keepAliveS) / 2);
        m_acksSent = 0;
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
        }
        if (m_state == State::WaitSuback) {
            m_state = State::Ready;
            m_delayMs = 1000;
            Q_EMIT ready(false);
        }
        return true;
    }
    case mqtt::Publish: {
        mqtt::PublishInfo info;
        if (!mqtt::parsePublish(p, &info)) {
            drop(QStringLiteral("malformed PUBLISH"));
            return false;
        }
        // A persistent session may deliver before our SUBACK arrives.
        Q_EMIT message(info.topic, info.payload, info.packetId, info.qos);
        return m_state != State::Idle;
    }
    case mqtt::Pingresp:
        return true;
    case mqtt::Disconnect:
        drop(QStringLiteral("broker disconnected: %1").arg(mqtt::reasonText(mqtt::disconnectReason(p))));
        return false;
    default:
        drop(QStringLiteral("unexpected packet type %1").arg(p.type));
        return false;
    }
}
