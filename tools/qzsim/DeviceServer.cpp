#include "DeviceServer.h"

#include "NullModem.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <unistd.h>

DeviceServer::DeviceServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &DeviceServer::accept);
}

DeviceServer::~DeviceServer()
{
    m_server.close();
    for (QTcpSocket *c : std::as_const(m_clients))
        c->abort();
    delete m_notifier;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool DeviceServer::open(const QHostAddress &address, quint16 port, QString *error)
{
    if (!openRawPty(&m_master, &m_slave, &m_path, error))
        return false;
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceServer::fromLine);
    if (!m_server.listen(address, port)) {
        if (error)
            *error = m_server.errorString();
        return false;
    }
    return true;
}

void DeviceServer::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        client->setParent(this);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients.append(client);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { toLine(client->readAll()); });
        connect(client, &QTcpSocket::disconnected, this, [this, client] {
            m_clients.removeAll(client);
            client->deleteLater();
        });
    }
}

void DeviceServer::fromLine()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // Cannot happen while the slave side is held open; never spin on it.
            m_notifier->setEnabled(false);
            return;
        }
        if (n <= 0)
            return;
        for (QTcpSocket *c : std::as_const(m_clients))
            c->write(buf, n);
    }
}

void DeviceServer::toLine(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return; // the line takes no more: like a converter's full buffer, the rest is lost
        done += w;
    }
}
