#include "GatewayProxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

struct GatewayProxy::Link {
    QPointer<QTcpSocket> client;
    QPointer<QTcpSocket> upstream;
    QByteArray fromUpstream;
    QList<int> expected; // RTU: lengths of the answers the forwarded requests call for
    QList<Piece> queue;  // pieces still to send, in order
    QList<bool> closeAfter;
    QByteArray toUpstream; // requests that came before the upstream connection was up
    bool pumping = false;
};

GatewayProxy::GatewayProxy(quint16 upstreamPort, Framing framing, QObject *parent)
    : QObject(parent), m_upstreamPort(upstreamPort), m_framing(framing)
{
    connect(&m_server, &QTcpServer::newConnection, this, &GatewayProxy::accept);
}

GatewayProxy::~GatewayProxy()
{
    m_server.close();
    for (Link *link : std::as_const(m_links)) {
        if (link->client)
            link->client->abort();
        if (link->upstream)
            link->upstream->abort();
        delete link;
    }
}

bool GatewayProxy::listen() { return m_server.listen(QHostAddress::LocalHost, 0); }

void GatewayProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        ++m_accepted;
        auto *link = new Link;
        m_links.append(link);
        client->setParent(this);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        link->client = client;
        auto *upstream = new QTcpSocket(this);
        upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        link->upstream = upstream;
        upstream->connectToHost(QHostAddress::LocalHost, m_upstreamPort);

        connect(client, &QTcpSocket::readyRead, this, [this, link] {
            const QByteArray request = link->client->readAll();
            if (m_framing == Framing::Rtu) {
                // Read requests (functions 1 … 4) are 8 bytes; their answers' lengths follow
                // from function and quantity.
                for (qsizetype i = 0; i + 8 <= request.size(); i += 8) {
                    const int function = uint8_t(request.at(i + 1));
                    const int quantity = uint8_t(request.at(i + 4)) << 8 | uint8_t(request.at(i + 5));
                    link->expected.append(function <= 2 ? (quantity + 7) / 8 + 5 : 2 * quantity + 5);
                }
            }
            if (link->upstream->state() == QAbstractSocket::ConnectedState)
                link->upstream->write(request);
            else
                link->toUpstream += request;
        });
        connect(upstream, &QTcpSocket::connected, this, [link] {
            link->upstream->write(link->toUpstream);
            link->toUpstream.clear();
        });
        connect(upstream, &QTcpSocket::readyRead, this, [this, link] { fromUpstream(link); });
        connect(client, &QTcpSocket::disconnected, this, [link] {
            if (link->upstream)
                link->upstream->disconnectFromHost();
        });
        connect(upstream, &QTcpSocket::disconnected, this, [link] {
            if (link->client)
                link->client->disconnectFromHost();
        });
    }
}

void GatewayProxy::fromUpstream(Link *link)
{
    link->fromUpstream += link->upstream->readAll();
    QByteArray &b = link->fromUpstream;
    for (;;) {
        qsizetype size = 0;
        if (m_framing == Framing::Mbap) {
            if (b.size() < 6)
                return;
            size = 6 + (uint8_t(b.at(4)) << 8 | uint8_t(b.at(5)));
        } else {
            if (b.size() < 2 || link->expected.isEmpty())
                return;
            size = (uint8_t(b.at(1)) & 0x80) ? 5 : link->expected.first();
        }
        if (b.size() < size)
            return;
        const QByteArray answer = b.left(size);
        b.remove(0, size);
        if (m_framing == Framing::Rtu)
            link->expected.removeFirst();
        ++m_answers;
        send(link, m_script ? m_script(m_answers, answer) : passThrough(answer));
    }
}

void GatewayProxy::send(Link *link, Reply reply)
{
    for (qsizetype i = 0; i < reply.pieces.size(); ++i) {
        link->queue.append(reply.pieces.at(i));
        link->closeAfter.append(reply.close && i == reply.pieces.size() - 1);
    }
    if (reply.pieces.isEmpty() && reply.close) {
        link->queue.append(Piece{});
        link->closeAfter.append(true);
    }
    if (!link->pumping)
        pump(link);
}

void GatewayProxy::pump(Link *link)
{
    // One piece at a time, each after its pause, in order.
    link->pumping = !link->queue.isEmpty() && link->client;
    if (!link->pumping)
        return;
    QTimer::singleShot(link->queue.first().delayMs, link->client, [this, link] {
        const Piece piece = link->queue.takeFirst();
        const bool close = link->closeAfter.takeFirst();
        if (!piece.bytes.isEmpty()) {
            link->client->write(piece.bytes);
            link->client->flush();
        }
        if (close) {
            link->queue.clear();
            link->closeAfter.clear();
            link->client->disconnectFromHost();
        }
        pump(link);
    });
}
