#include "TcpDevice.h"

#include <cstring>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

QString connectFailureText(const DeviceAddress &a, QAbstractSocket::SocketError error, const QString &detail)
{
    const QString where = hostPortText(a.host, a.port);
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("找不到主机 %1：主机名无法解析。\nhost not found: %1").arg(a.host);
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("%1 拒绝连接：网关未开机，或端口不对。\nconnection refused: %1").arg(where);
    default:
        return QStringLiteral("无法连接 %1：%2\n%2").arg(where, detail);
    }
}

QString connectTimeoutText(const QString &where)
{
    return QStringLiteral("连接 %1 超时：%2 秒内没有回应。\nconnect time-out: %1")
        .arg(where)
        .arg(TcpDevice::ConnectTimeoutMs / 1000);
}

QString lostText(const QString &where, QAbstractSocket::SocketError error, const QString &detail)
{
    if (error == QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("%1 断开了连接。\nconnection closed by %1").arg(where);
    return QStringLiteral("与 %1 的连接中断：%2\n%2").arg(where, detail);
}

QString stalledText(const QString &where)
{
    return QStringLiteral("%1 不再接收数据，连接已断开。\npeer stopped reading: %1").arg(where);
}

} // namespace

TcpDevice::TcpDevice()
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_connectTimer, &QTimer::timeout, &m_socket,
                     [this] { fail(connectTimeoutText(hostPortText(m_address.host, m_address.port))); });
    QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket, [this] { onConnected(); });
    QObject::connect(&m_socket, &QAbstractSocket::errorOccurred, &m_socket,
                     [this](QAbstractSocket::SocketError error) { onSocketError(error); });
    QObject::connect(&m_socket, &QAbstractSocket::disconnected, &m_socket, [this] {
        if (!m_aborting && m_connected)
            fail(lostText(hostPortText(m_address.host, m_address.port), QAbstractSocket::RemoteHostClosedError, {}));
    });
    QObject::connect(&m_socket, &QIODevice::readyRead, &m_socket, [this] {
        m_answered = true;
        reportArrival();
    });
}

TcpDevice::~TcpDevice()
{
    // No lost or arrival report from our own destruction.
    setLostHandler({});
    setArrivalHandler({});
    m_connectTimer.stop();
    abortSocket();
}

bool TcpDevice::open(const QString &device)
{
    if (device != m_device) {
        // Another gateway: nothing of the old connection or its failures carries over.
        m_connectTimer.stop();
        abortSocket();
        m_connected = false;
        m_tail.clear();
        m_device = device;
        m_retryAt = QDeadlineTimer();
        m_retryDelay = FirstRetryMs;
        m_error.clear();
        m_address = DeviceAddress();
        QString error;
        DeviceAddress a;
        if (!parseDeviceAddress(device, &a, &error))
            m_error = error;
        else if (!a.isNetwork())
            m_error = QStringLiteral("不是网络设备：%1\nnot a network device: %1").arg(device);
        else
            m_address = a;
    }
    if (!m_address.isNetwork())
        return false;
    if (m_connected)
        return true;
    if (isOpening() || !m_retryAt.hasExpired())
        return false;
    startConnect();
    return m_connected;
}

void TcpDevice::startConnect()
{
    abortSocket();
    m_tail.clear();
    m_answered = false;
    ++m_attempts;
    // The lookup of a host name runs in the background and counts against the same time-out.
    m_connectTimer.start(ConnectTimeoutMs);
    m_socket.connectToHost(m_address.host, m_address.port);
}

void TcpDevice::onConnected()
{
    m_connectTimer.stop();
    m_connected = true;
    m_error.clear();
    // Requests are a few bytes each and must leave at once.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(m_socket.socketDescriptor());
    if (fd >= 0) {
        const int idle = KeepAliveIdleS, interval = KeepAliveIntervalS, probes = KeepAliveProbes;
        const unsigned int userTimeout = UserTimeoutMs;
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    }
#endif
}

void TcpDevice::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_aborting)
        return;
    const QString where = hostPortText(m_address.host, m_address.port);
    if (m_connected)
        fail(lostText(where, error, m_socket.errorString()));
    else if (isOpening())
        fail(connectFailureText(m_address, error, m_socket.errorString()));
}

void TcpDevice::fail(const QString &text)
{
    const bool wasConnected = m_connected;
    if (wasConnected)
        m_tail += m_socket.readAll();
    m_connectTimer.stop();
    abortSocket();
    m_connected = false;
    m_error = text;
    if (m_answered)
        m_retryDelay = FirstRetryMs;
    m_answered = false;
    m_retryAt = QDeadlineTimer(m_retryDelay);
    m_retryDelay = qMin(m_retryDelay * 2, LastRetryMs);
    if (wasConnected)
        reportLost();
}

void TcpDevice::abortSocket()
{
    m_aborting = true;
    m_socket.abort();
    m_aborting = false;
}

void TcpDevice::close()
{
    // The retry wait stays: closing after a loss must not hammer the gateway.
    m_connectTimer.stop();
    abortSocket();
    m_connected = false;
    m_tail.clear();
}

bool TcpDevice::isOpen() const { return m_connected; }

bool TcpDevice::isOpening() const { return m_connectTimer.isActive(); }

QString TcpDevice::errorText() const { return m_connected ? QString() : m_error; }

qint64 TcpDevice::retryWaitMs() const { return m_retryAt.hasExpired() ? 0 : m_retryAt.remainingTime(); }

bool TcpDevice::configure(const SerialLineSettings &) { return m_connected; }

bool TcpDevice::purge(bool rx, bool /*tx*/)
{
    if (!m_connected)
        return false;
    if (rx) {
        m_socket.readAll();
        m_tail.clear();
    }
    return true;
}

void TcpDevice::setQueueSizes(int inputSize, int /*outputSize*/)
{
    // As on the serial port: a full buffer leaves the rest in the kernel until the next drain.
    m_socket.setReadBufferSize(qMax(inputSize, 1));
}

int TcpDevice::outputQueued() const { return -1; }

int TcpDevice::inputQueued() const
{
    return int(m_connected ? m_socket.bytesAvailable() : m_tail.size());
}

qint64 TcpDevice::read(char *data, qint64 maxSize)
{
    if (!m_connected) {
        if (m_tail.isEmpty())
            return -1;
        const qint64 n = qMin<qint64>(maxSize, m_tail.size());
        std::memcpy(data, m_tail.constData(), size_t(n));
        m_tail.remove(0, n);
        return n;
    }
    if (maxSize <= 0)
        return 0;
    const qint64 n = m_socket.read(data, maxSize);
    if (n < 0) {
        fail(lostText(hostPortText(m_address.host, m_address.port), m_socket.error(), m_socket.errorString()));
        return -1;
    }
    return n;
}

qint64 TcpDevice::write(const char *data, qint64 size, int /*waitMs*/)
{
    if (!m_connected)
        return -1;
    if (size <= 0)
        return 0;
    const QString where = hostPortText(m_address.host, m_address.port);
    if (m_socket.bytesToWrite() + size > MaxUnsent) {
        fail(stalledText(where));
        return -1;
    }
    // Buffered by the socket and sent from the event loop: never a wait here.
    const qint64 w = m_socket.write(data, size);
    if (w < 0) {
        fail(lostText(where, m_socket.error(), m_socket.errorString()));
        return -1;
    }
    return w;
}

void TcpDevice::waitForRoom(int) {}
