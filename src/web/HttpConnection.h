#pragma once
// One client connection of the web server: reads a request within its bounds and deadline,
// hands it to the server, writes the answer (whole, or piece by piece as the socket drains) and
// waits for the next one while the client keeps the connection. Lives on the web view's thread.

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <memory>

class BodySource;
class QTcpSocket;
class WebServer;

class HttpConnection : public QObject {
    Q_OBJECT
public:
    // Bytes an answer may have waiting in the socket before its source is asked for more.
    static constexpr qint64 WriteWindow = 256 * 1024;

    HttpConnection(QTcpSocket *socket, WebServer *server, bool tls);
    ~HttpConnection() override;

    QHostAddress peer() const { return m_peer; }
    bool tls() const { return m_tls; }

    // Answers the request being handled. After it the connection waits for the next request,
    // unless the request or the answer ends it.
    void respond(int status, const QByteArray &contentType, const QByteArray &body, const HttpHeaders &extra = {},
                 bool close = false);
    void respondJson(int status, const QByteArray &json, const HttpHeaders &extra = {});
    void redirect(const QByteArray &location, const HttpHeaders &extra = {});
    // An answer whose body the source writes as the client reads it (chunked).
    void stream(int status, const HttpHeaders &headers, std::unique_ptr<BodySource> source);
    // Gives the socket away (the WebSocket upgrade); the connection then ends without closing it.
    QTcpSocket *takeSocket();

private:
    enum class State { Head, Body, Answering, Streaming, Closing, Gone };

    void waitForRequest();
    void readMore();
    void readBody();
    void deadlinePassed();
    void pump();
    void answered(bool keepAlive);
    void end();

    QTcpSocket *m_socket = nullptr;
    WebServer *m_server = nullptr;
    QHostAddress m_peer;
    bool m_tls = false;
    State m_state = State::Head;
    bool m_ended = false;
    HttpRequest m_request;
    bool m_keepAlive = true;
    bool m_chunked = true;
    std::unique_ptr<BodySource> m_source;
    QTimer m_deadline; // the request must be in by then
    QTimer m_stall;    // an answer that does not drain
};
