#pragma once
// The web view's server: a small HTTP/1.1 server of our own on QTcpServer (QSslServer under
// TLS), with Qt WebSockets for the live connection. It lives on the web view's own thread
// (WebView.h): everything here is created, used and destroyed there, the history and the
// journal are read on connections of that thread, and the station is known only through the
// copies of its snapshots and journal rows that arrive as queued signals.
//
// Why not Qt HTTP Server (6.4): it has no bound on request bodies (a body is gathered whole in
// memory), no time limit on a request head (a client sending a byte a minute holds its
// connection for ever), no way to write a long answer as the client drains it, and it accepts
// WebSocket upgrades before the application can look at the request's session cookie. Each is
// on the list of what the web view must withstand, so the little HTTP it needs is done here:
// GET (and POST of the login form), bounded heads and bodies, a deadline for every request,
// chunked answers written as the socket drains, and the upgrade handed to QWebSocketServer only
// once the session is known.
//
// Bounds: request head 8 KiB (431), target 2 KiB (414), 64 header lines, body 4 KiB (413); a
// request must arrive whole within HeadTimeoutMs of the moment the connection waits for it
// (then 408 and the connection is closed); an answer that does not drain for StallTimeoutMs
// ends the connection; at most MaxConnections HTTP and MaxLiveClients live connections (503
// beyond); a live client that does not read (1 MiB unsent) is dropped.

#include "EventJournal.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "StationSnapshot.h"
#include "WebAccounts.h"
#include "WebAuth.h"
#include "WebSettings.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>
#include <memory>
#include <optional>

class BodySource;
class QTcpServer;
class QTcpSocket;
class QThreadPool;
class QWebSocket;
class QWebSocketServer;
class HttpConnection;

class WebServer : public QObject {
    Q_OBJECT
public:
    static constexpr int HeadTimeoutMs = 10000;
    static constexpr int StallTimeoutMs = 30000;
    static constexpr int MaxConnections = 256;
    static constexpr int MaxLiveClients = 256;
    static constexpr qint64 MaxLiveBacklog = 1 << 20;
    static constexpr int MaxHistoryDays = 31;
    static constexpr int MaxJournalRows = 2000;

    WebServer(const QString &programDir, const WebSettings &settings, QObject *parent = nullptr);
    ~WebServer() override;

    // Loads the certificate and key (TLS) and starts listening; false with a reason.
    bool start(QString *error);
    quint16 port() const;
    int connectionCount() const { return int(m_connections.size()); }
    int liveClientCount() const { return int(m_live.size()); }

    // Where dygraphs is served from (Debian's libjs-dygraphs).
    static QString dygraphsDirectory();

public Q_SLOTS:
    void takeSnapshot(const StationSnapshot &snapshot);
    void takeEvents(const QList<JournalEvent> &events);

Q_SIGNALS:
    // Something the station's host should say (standard error, the journal).
    void message(const QString &text);

private:
    friend class HttpConnection;

    struct LiveClient {
        QWebSocket *socket = nullptr;
        QByteArray token;
        qint64 lastPongMs = 0;
    };

    void acceptConnections();
    void connectionClosed(HttpConnection *c);
    // Routing: answers the request on c (at once, later, or as a stream).
    void handle(HttpConnection *c, const HttpRequest &r);
    void handleLogin(HttpConnection *c, const HttpRequest &r);
    void handleLogout(HttpConnection *c, const HttpRequest &r);
    void handleHistory(HttpConnection *c, const HttpRequest &r, bool csv);
    void handleEvents(HttpConnection *c, const HttpRequest &r);
    void upgradeToLive(HttpConnection *c, const HttpRequest &r);
    void liveConnected();
    void broadcastLive();
    void pingLive();

    // The user of the request's session, or an empty string; a valid session is marked used.
    QString sessionUser(const HttpRequest &r);
    bool sessionValid(const QByteArray &token);
    QByteArray sessionCookie(const QByteArray &token, bool clear) const;
    void serveResource(HttpConnection *c, const QString &resource, const QByteArray &type);
    void serveLoginPage(HttpConnection *c, int status, const QString &message, const QString &next,
                        const HttpHeaders &extra = {});
    bool sameOrigin(const HttpRequest &r) const;

    QString m_programDir;
    WebSettings m_settings;
    QString m_stationName;
    QTcpServer *m_server = nullptr;
    QWebSocketServer *m_handshakes = nullptr;
    QList<HttpConnection *> m_connections;
    QList<LiveClient> m_live;
    QTimer m_pingTimer;

    WebAccountStore m_accounts;
    WebSessions m_sessions;
    LoginThrottle m_throttle;
    std::unique_ptr<QThreadPool> m_hashing; // password hashes are worked out off this thread
    std::unique_ptr<EventJournal> m_journal;

    static constexpr int MaxPendingHashes = 8;
    int m_pendingHashes = 0;
    std::optional<WebAccount> m_decoy; // hashed against for names that are no account
    QString m_accountProblemSaid;

    bool m_haveSnapshot = false;
    StationSnapshot m_snapshot;
    QDateTime m_answerTime;
    qint64 m_lastEventId = 0;
};
