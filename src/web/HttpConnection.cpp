#include "HttpConnection.h"

#include "HistoryStream.h"
#include "WebJson.h"
#include "WebServer.h"

#include <QSslSocket>
#include <QTcpSocket>

HttpConnection::HttpConnection(QTcpSocket *socket, WebServer *server, bool tls)
    : QObject(server), m_socket(socket), m_server(server), m_peer(socket->peerAddress()), m_tls(tls)
{
    socket->setParent(this);
    m_deadline.setSingleShot(true);
    m_stall.setSingleShot(true);
    m_stall.setInterval(WebServer::StallTimeoutMs);
    connect(&m_deadline, &QTimer::timeout, this, &HttpConnection::deadlinePassed);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        // The client stopped reading: nothing more can reach it.
        if (m_socket)
            m_socket->abort();
        end();
    });
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::readMore);
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::end);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_state == State::Streaming || m_state == State::Closing)
            m_stall.start();
        if (m_state == State::Streaming)
            pump();
    });
    waitForRequest();
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::waitForRequest()
{
    m_state = State::Head;
    m_request = HttpRequest();
    m_stall.stop();
    m_deadline.start(WebServer::HeadTimeoutMs);
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &HttpConnection::readMore, Qt::QueuedConnection);
}

void HttpConnection::readMore()
{
    if (!m_socket)
        return;
    if (m_state == State::Body) {
        readBody();
        return;
    }
    if (m_state != State::Head)
        return; // the next request waits in the buffer until this answer is out
    const HttpLimits limits;
    const QByteArray buffered = m_socket->peek(limits.maxHeadBytes + 1);
    const HeadParse parse = parseRequestHead(buffered, limits);
    switch (parse.state) {
    case HeadParse::State::Incomplete:
        return;
    case HeadParse::State::Error:
        m_state = State::Answering;
        m_deadline.stop();
        respond(parse.status, "application/json; charset=utf-8", errorJson(parse.reason), {}, true);
        return;
    case HeadParse::State::Complete:
        break;
    }
    m_request = parse.request;
    const bool upgrade = m_request.header("upgrade").toLower().contains("websocket");
    if (upgrade) {
        m_state = State::Answering;
        m_deadline.stop();
        // The server looks at the session first; the handshake itself is read by Qt WebSockets.
        m_server->upgradeToLive(this, m_request);
        // Still ours (refused): the head is answered, so drop it from the buffer.
        if (m_socket && m_state != State::Gone)
            m_socket->skip(parse.headBytes);
        return;
    }
    m_socket->skip(parse.headBytes);
    if (m_request.contentLength > 0) {
        m_state = State::Body;
        readBody();
        return;
    }
    m_state = State::Answering;
    m_deadline.stop();
    m_server->handle(this, m_request);
}

void HttpConnection::readBody()
{
    if (m_socket->bytesAvailable() < m_request.contentLength)
        return;
    m_request.body = m_socket->read(m_request.contentLength);
    m_state = State::Answering;
    m_deadline.stop();
    m_server->handle(this, m_request);
}

void HttpConnection::deadlinePassed()
{
    if (!m_socket || (m_state != State::Head && m_state != State::Body))
        return;
    if (m_state == State::Head && m_socket->bytesAvailable() == 0) {
        // An idle connection between requests: closed without a word.
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        m_stall.start();
        return;
    }
    // A request that did not come whole in time (a client sending a byte at a time).
    m_state = State::Answering;
    respond(408, "application/json; charset=utf-8", errorJson(QStringLiteral("request not received in time")), {},
            true);
}

void HttpConnection::respond(int status, const QByteArray &contentType, const QByteArray &body, const HttpHeaders &extra,
                             bool close)
{
    if (!m_socket || m_state != State::Answering)
        return;
    const bool keepAlive = !close && m_request.keepAlive() && status < 400;
    HttpHeaders headers = extra;
    if (!contentType.isEmpty())
        headers.prepend({"Content-Type", contentType});
    m_socket->write(responseHead(status, headers, body.size(), keepAlive));
    m_socket->write(body);
    answered(keepAlive);
}

void HttpConnection::respondJson(int status, const QByteArray &json, const HttpHeaders &extra)
{
    respond(status, "application/json; charset=utf-8", json, extra);
}

void HttpConnection::redirect(const QByteArray &location, const HttpHeaders &extra)
{
    HttpHeaders headers = extra;
    headers.append({"Location", location});
    respond(303, "text/plain; charset=utf-8", QByteArray(), headers);
}

void HttpConnection::stream(int status, const HttpHeaders &headers, std::unique_ptr<BodySource> source)
{
    if (!m_socket || m_state != State::Answering)
        return;
    // HTTP/1.0 knows no chunks: its body ends with the connection.
    m_chunked = m_request.minorVersion >= 1;
    m_keepAlive = m_chunked && m_request.keepAlive();
    m_socket->write(responseHead(status, headers, m_chunked ? ChunkedBody : UntilClose, m_keepAlive));
    m_source = std::move(source);
    m_state = State::Streaming;
    m_stall.start();
    pump();
}

void HttpConnection::pump()
{
    while (m_socket && m_state == State::Streaming && m_socket->bytesToWrite() < WriteWindow) {
        QByteArray piece;
        const BodySource::Step step = m_source->next(piece);
        if (!piece.isEmpty())
            m_socket->write(m_chunked ? chunk(piece) : piece);
        if (step == BodySource::Step::Done) {
            if (m_chunked)
                m_socket->write(chunkTrailer());
            m_source.reset();
            answered(m_keepAlive);
            return;
        }
        if (step == BodySource::Step::Failed) {
            // The status is out already: the answer is cut off without its last chunk, so the
            // client sees an incomplete body, never a short one that looks whole.
            Q_EMIT m_server->message(QStringLiteral("web: an answer was cut off: %1").arg(m_source->error()));
            m_source.reset();
            m_socket->abort();
            end();
            return;
        }
    }
}

void HttpConnection::answered(bool keepAlive)
{
    if (!m_socket)
        return;
    if (keepAlive) {
        waitForRequest();
        return;
    }
    m_state = State::Closing;
    m_socket->disconnectFromHost(); // after what is buffered has gone out
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        m_stall.start();
}

QTcpSocket *HttpConnection::takeSocket()
{
    QTcpSocket *s = m_socket;
    if (!s)
        return nullptr;
    s->disconnect(this);
    s->setParent(nullptr);
    m_socket = nullptr;
    m_state = State::Gone;
    m_deadline.stop();
    m_stall.stop();
    QMetaObject::invokeMethod(this, &HttpConnection::end, Qt::QueuedConnection);
    return s;
}

void HttpConnection::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_state = State::Gone;
    m_deadline.stop();
    m_stall.stop();
    m_source.reset();
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
    }
    m_server->connectionClosed(this);
}
