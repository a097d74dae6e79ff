#include "WebServer.h"

#include "HistoryLayout.h"
#include "HistoryStream.h"
#include "HttpConnection.h"
#include "ReportRules.h"
#include "SiteSettings.h"
#include "WebJson.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QThreadPool>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#ifndef QZ_DYGRAPHS_DIR
#define QZ_DYGRAPHS_DIR "/usr/share/javascript/dygraphs"
#endif

namespace {

const QByteArray JsonType = "application/json; charset=utf-8";
const QByteArray HtmlType = "text/html; charset=utf-8";

// Everything the web view serves, by exact path: there is no file lookup by name, so no
// spelling of a path can reach a file outside these.
struct StaticFile {
    const char *path;
    const char *resource; // a Qt resource, or a file of the dygraphs package (leading "dygraphs:")
    const char *type;
    bool open;            // served without a session (the login page's style, the icon)
};

const StaticFile StaticFiles[] = {
    {"/static/app.css", ":/web/app.css", "text/css; charset=utf-8", true},
    {"/static/icon.svg", ":/web/icon.svg", "image/svg+xml", true},
    {"/favicon.ico", ":/web/icon.svg", "image/svg+xml", true},
    {"/static/common.js", ":/web/common.js", "text/javascript; charset=utf-8", false},
    {"/static/overview.js", ":/web/overview.js", "text/javascript; charset=utf-8", false},
    {"/static/alarms.js", ":/web/alarms.js", "text/javascript; charset=utf-8", false},
    {"/static/history.js", ":/web/history.js", "text/javascript; charset=utf-8", false},
    {"/dygraphs/dygraph.min.js", "dygraphs:dygraph.min.js", "text/javascript; charset=utf-8", false},
    {"/dygraphs/dygraph.min.css", "dygraphs:dygraph.min.css", "text/css; charset=utf-8", false},
};

struct Page {
    const char *path;
    const char *resource;
};
const Page Pages[] = {{"/", ":/web/index.html"}, {"/alarms", ":/web/alarms.html"}, {"/history", ":/web/history.html"}};

const StaticFile *staticFile(const QString &path)
{
    for (const StaticFile &f : StaticFiles)
        if (path == QLatin1String(f.path))
            return &f;
    return nullptr;
}

const Page *page(const QString &path)
{
    for (const Page &p : Pages)
        if (path == QLatin1String(p.path))
            return &p;
    return nullptr;
}

// Where a login goes afterwards: one of the pages, nothing else (no open redirect).
QByteArray safeNext(const QString &next) { return page(next) ? next.toUtf8() : QByteArray("/"); }

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

// [from, to] of a request: from= and to= ("yyyy-MM-dd HH:mm:ss", local time of the station), or
// span= seconds up to the station's now, or the last defaultSpan seconds. False with a reason.
bool requestRange(const HttpRequest &r, qint64 defaultSpanS, QDateTime *from, QDateTime *to, QString *error)
{
    const QString fromText = r.queryValue(QStringLiteral("from"));
    const QString toText = r.queryValue(QStringLiteral("to"));
    const QString spanText = r.queryValue(QStringLiteral("span"));
    if (!fromText.isNull() || !toText.isNull()) {
        *from = parseCommandDateTime(fromText);
        *to = parseCommandDateTime(toText);
        if (!from->isValid() || !to->isValid()) {
            *error = QStringLiteral("查询的日期时间无效。(invalid date and time: from= and to= take yyyy-MM-dd HH:mm:ss)");
            return false;
        }
    } else {
        qint64 span = defaultSpanS;
        if (!spanText.isNull()) {
            bool ok = false;
            span = spanText.toLongLong(&ok);
            if (!ok || span < 1) {
                *error = QStringLiteral("span= takes a number of seconds");
                return false;
            }
        }
        const QDateTime now = QDateTime::currentDateTime();
        *to = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), now.time().second()));
        *from = to->addSecs(-qMin<qint64>(span, 366LL * 86400));
    }
    if (isInvertedRange(*from, *to)) {
        *error = QStringLiteral("查询的开始时间晚于结束时间。(the start lies after the end)");
        return false;
    }
    return true;
}

QByteArray fileTimeText(const QDateTime &t) { return t.toString(QStringLiteral("yyyyMMdd-HHmmss")).toLatin1(); }

} // namespace

WebServer::WebServer(const QString &programDir, const WebSettings &settings, QObject *parent)
    : QObject(parent), m_programDir(programDir), m_settings(settings), m_accounts(webAccountsPath(programDir))
{
    m_stationName = ReadSiteSettings(programDir).station;
    m_pingTimer.setInterval(30000);
    connect(&m_pingTimer, &QTimer::timeout, this, &WebServer::pingLive);
}

WebServer::~WebServer()
{
    // A password still being checked posts its verdict to this object: wait for it first.
    if (m_hashing)
        m_hashing->waitForDone();
    for (const LiveClient &l : std::as_const(m_live))
        l.socket->abort();
}

QString WebServer::dygraphsDirectory() { return QStringLiteral(QZ_DYGRAPHS_DIR); }

bool WebServer::start(QString *error)
{
    if (m_settings.tls()) {
        QFile certFile(m_settings.certFile);
        QFile keyFile(m_settings.keyFile);
        if (!certFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("CertFile=%1: %2").arg(m_settings.certFile, certFile.errorString());
            return false;
        }
        if (!keyFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("KeyFile=%1: %2").arg(m_settings.keyFile, keyFile.errorString());
            return false;
        }
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyBytes = keyFile.readAll();
        QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
        if (chain.isEmpty() || chain.first().isNull()) {
            *error = QStringLiteral("CertFile=%1: 不是 PEM 证书 (no PEM certificate)").arg(m_settings.certFile);
            return false;
        }
        if (key.isNull()) {
            *error = QStringLiteral("KeyFile=%1: 不是 PEM 私钥 (no unencrypted PEM RSA or EC key)").arg(m_settings.keyFile);
            return false;
        }
        if (!QSslSocket::supportsSsl()) {
            *error = QStringLiteral("TLS: %1").arg(QSslSocket::sslLibraryVersionString());
            return false;
        }
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificateChain(chain);
        config.setPrivateKey(key);
        config.setProtocol(QSsl::TlsV1_2OrLater);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        auto *server = new QSslServer(this);
        server->setSslConfiguration(config);
        server->setHandshakeTimeout(HeadTimeoutMs);
        m_server = server;
    } else {
        m_server = new QTcpServer(this);
    }
    m_server->setMaxPendingConnections(64);
    // Room for a burst (every browser of a control room reconnecting after a restart): beyond
    // the kernel's queue, connections wait for retransmitted handshakes, seconds each.
    m_server->setListenBacklogSize(MaxConnections + MaxLiveClients);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &WebServer::acceptConnections);
    if (!m_server->listen(m_settings.address, m_settings.port)) {
        *error = QStringLiteral("无法在 %1 监听 (cannot listen): %2").arg(m_settings.listenText(), m_server->errorString());
        return false;
    }
    m_handshakes = new QWebSocketServer(QStringLiteral("qzmonitor"), QWebSocketServer::NonSecureMode, this);
    connect(m_handshakes, &QWebSocketServer::newConnection, this, &WebServer::liveConnected);
    m_hashing = std::make_unique<QThreadPool>();
    m_hashing->setMaxThreadCount(1);
    m_pingTimer.start();
    if (const QString problem = m_accounts.problem(); !problem.isEmpty())
        Q_EMIT message(QStringLiteral("web: ") + problem);
    return true;
}

quint16 WebServer::port() const { return m_server ? m_server->serverPort() : 0; }

void WebServer::acceptConnections()
{
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (m_connections.size() >= MaxConnections) {
            // Full: said briefly, then the connection goes.
            socket->write(responseHead(503, {{"Content-Type", JsonType}, {"Retry-After", "5"}}, 0, false));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(2000, socket, [socket] { socket->abort(); socket->deleteLater(); });
            continue;
        }
        m_connections.append(new HttpConnection(socket, this, m_settings.tls()));
    }
}

void WebServer::connectionClosed(HttpConnection *c)
{
    if (m_connections.removeOne(c))
        c->deleteLater();
}

QString WebServer::sessionUser(const HttpRequest &r)
{
    const QByteArray token = r.cookie(SessionCookieName);
    if (token.isEmpty())
        return {};
    const std::optional<WebSessions::Session> s = m_sessions.use(token, nowMs());
    if (!s)
        return {};
    // An account changed or removed since the login ends its sessions.
    const std::optional<WebAccount> account = m_accounts.find(s->user);
    if (!account || account->hash != s->accountHash) {
        m_sessions.remove(token);
        return {};
    }
    return s->user;
}

bool WebServer::sessionValid(const QByteArray &token)
{
    HttpRequest r;
    r.headers.append({"cookie", SessionCookieName + '=' + token});
    return !sessionUser(r).isEmpty();
}

QByteArray WebServer::sessionCookie(const QByteArray &token, bool clear) const
{
    QByteArray cookie = SessionCookieName + '=' + (clear ? QByteArray() : token) + "; Path=/; HttpOnly; SameSite=Strict";
    if (clear)
        cookie += "; Max-Age=0";
    if (m_settings.tls())
        cookie += "; Secure";
    return cookie;
}

bool WebServer::sameOrigin(const HttpRequest &r) const
{
    const QByteArray origin = r.header("origin");
    if (origin.isNull())
        return true; // not a browser's cross-site request (browsers send Origin with POST and WebSockets)
    const QByteArray host = r.header("host");
    return !host.isEmpty() && origin == (m_settings.tls() ? "https://" : "http://") + host;
}

void WebServer::serveResource(HttpConnection *c, const QString &resource, const QByteArray &type)
{
    QByteArray body;
    HttpHeaders headers;
    if (resource.startsWith(QLatin1String("dygraphs:"))) {
        QFile f(dygraphsDirectory() + QLatin1Char('/') + resource.mid(9));
        if (!f.open(QIODevice::ReadOnly)) {
            c->respondJson(404, errorJson(QStringLiteral("图表库未安装 (libjs-dygraphs is not installed)")));
            return;
        }
        body = f.readAll();
        headers.append(std::pair<QByteArray, QByteArray>("Cache-Control", "private, max-age=86400"));
    } else {
        QFile f(resource);
        if (!f.open(QIODevice::ReadOnly)) {
            c->respondJson(500, errorJson(QStringLiteral("missing resource")));
            return;
        }
        body = f.readAll();
    }
    c->respond(200, type, body, headers);
}

void WebServer::serveLoginPage(HttpConnection *c, int status, const QString &message, const QString &next,
                               const HttpHeaders &extra)
{
    QFile f(QStringLiteral(":/web/login.html"));
    f.open(QIODevice::ReadOnly);
    QByteArray html = f.readAll();
    html.replace("{{message}}", message.toHtmlEscaped().toUtf8());
    html.replace("{{next}}", QString::fromUtf8(safeNext(next)).toHtmlEscaped().toUtf8());
    c->respond(status, HtmlType, html, extra);
}

void WebServer::handle(HttpConnection *c, const HttpRequest &r)
{
    const QString &path = r.path;
    const bool loginPaths = path == QLatin1String("/login") || path == QLatin1String("/logout");
    if (r.method == "POST" && loginPaths) {
        if (path == QLatin1String("/login"))
            handleLogin(c, r);
        else
            handleLogout(c, r);
        return;
    }
    if (r.method != "GET") {
        // A read-only view: the login form is the only thing ever sent to it.
        c->respond(405, JsonType, errorJson(QStringLiteral("method not allowed")),
                   {{"Allow", loginPaths ? "GET, POST" : "GET"}}, true);
        return;
    }

    if (path == QLatin1String("/login")) {
        if (!sessionUser(r).isEmpty())
            c->redirect(safeNext(r.queryValue(QStringLiteral("next"))));
        else
            serveLoginPage(c, 200, QString(), r.queryValue(QStringLiteral("next")));
        return;
    }
    if (path == QLatin1String("/logout")) {
        c->redirect("/login");
        return;
    }
    const StaticFile *file = staticFile(path);
    if (file && file->open) {
        serveResource(c, QString::fromLatin1(file->resource), file->type);
        return;
    }
    const Page *pageFile = page(path);
    const bool api = path.startsWith(QLatin1String("/api/"));
    const bool live = path == QLatin1String("/ws");
    if (!file && !pageFile && !api && !live) {
        c->respond(404, JsonType, errorJson(QStringLiteral("not found")));
        return;
    }
    if (sessionUser(r).isEmpty()) {
        if (pageFile)
            c->redirect("/login?next=" + QUrl::toPercentEncoding(path));
        else
            c->respond(401, JsonType, errorJson(QStringLiteral("未登录 (login required)")),
                       {{"WWW-Authenticate", "Session realm=\"qzmonitor\""}});
        return;
    }
    if (pageFile) {
        serveResource(c, QString::fromLatin1(pageFile->resource), HtmlType);
        return;
    }
    if (file) {
        serveResource(c, QString::fromLatin1(file->resource), file->type);
        return;
    }
    if (live) {
        c->respond(426, JsonType, errorJson(QStringLiteral("WebSocket upgrade expected")), {{"Upgrade", "websocket"}},
                   true);
        return;
    }
    if (path == QLatin1String("/api/history") || path == QLatin1String("/api/history.csv")) {
        handleHistory(c, r, path.endsWith(QLatin1String(".csv")));
        return;
    }
    if (path == QLatin1String("/api/events")) {
        handleEvents(c, r);
        return;
    }
    const bool known = path == QLatin1String("/api/status") || path == QLatin1String("/api/live")
        || path == QLatin1String("/api/alarms");
    if (!known) {
        c->respond(404, JsonType, errorJson(QStringLiteral("not found")));
        return;
    }
    if (!m_haveSnapshot) {
        c->respond(503, JsonType, errorJson(QStringLiteral("the station has not published yet")), {{"Retry-After", "1"}});
        return;
    }
    if (path == QLatin1String("/api/status"))
        c->respondJson(200, statusJson(m_snapshot, m_stationName));
    else if (path == QLatin1String("/api/live"))
        c->respondJson(200, liveJson(m_snapshot, LiveExtras{m_answerTime, m_lastEventId}));
    else
        c->respondJson(200, alarmsJson(m_snapshot));
}

void WebServer::handleLogin(HttpConnection *c, const HttpRequest &r)
{
    const QString next = formValue(r.body, QStringLiteral("next"));
    if (!sameOrigin(r)) {
        c->respond(403, JsonType, errorJson(QStringLiteral("cross-site login refused")), {}, true);
        return;
    }
    const qint64 locked = m_throttle.lockedFor(c->peer(), nowMs());
    if (locked > 0) {
        const qint64 seconds = (locked + 999) / 1000;
        serveLoginPage(c, 429, QStringLiteral("登录失败次数过多，请 %1 秒后再试").arg(seconds), next,
                       {{"Retry-After", QByteArray::number(seconds)}});
        return;
    }
    if (m_pendingHashes >= MaxPendingHashes) {
        c->respond(503, HtmlType, QByteArray(), {{"Retry-After", "2"}}, true);
        return;
    }
    const QString user = formValue(r.body, QStringLiteral("user"));
    const QString password = formValue(r.body, QStringLiteral("password"));
    if (const QString problem = m_accounts.problem(); !problem.isEmpty() && problem != m_accountProblemSaid) {
        m_accountProblemSaid = problem;
        Q_EMIT message(QStringLiteral("web: ") + problem);
    }
    const std::optional<WebAccount> found = user.isEmpty() ? std::nullopt : m_accounts.find(user);
    // An unknown name costs the same hash as a known one, so the answer's time tells nothing.
    if (!m_decoy)
        m_decoy = makeAccount(QStringLiteral("-"), QString::number(QRandomGenerator::system()->generate64()));
    const WebAccount account = found.value_or(*m_decoy);
    const bool known = found.has_value();
    const QHostAddress peer = c->peer();
    QPointer<HttpConnection> connection(c);
    ++m_pendingHashes;
    m_hashing->start([this, account, password, known, peer, connection, next] {
        const bool ok = verifyPassword(account, password) && known;
        // Posted to this object; the destructor waits for this pool, so it is still there.
        QMetaObject::invokeMethod(
            this,
            [this, ok, account, peer, connection, next] {
                --m_pendingHashes;
                if (ok) {
                    m_throttle.succeeded(peer);
                    const QByteArray token = m_sessions.create(account.name, account.hash, nowMs());
                    if (connection)
                        connection->redirect(safeNext(next), {{"Set-Cookie", sessionCookie(token, false)}});
                    return;
                }
                m_throttle.failed(peer, nowMs());
                if (!connection)
                    return;
                QTimer::singleShot(LoginThrottle::FailureAnswerDelayMs, connection.data(), [this, connection, next] {
                    if (connection)
                        serveLoginPage(connection, 401, QStringLiteral("用户名或密码错误"), next);
                });
            },
            Qt::QueuedConnection);
    });
}

void WebServer::handleLogout(HttpConnection *c, const HttpRequest &r)
{
    if (!sameOrigin(r)) {
        c->respond(403, JsonType, errorJson(QStringLiteral("cross-site logout refused")), {}, true);
        return;
    }
    m_sessions.remove(r.cookie(SessionCookieName));
    c->redirect("/login", {{"Set-Cookie", sessionCookie(QByteArray(), true)}});
}

void WebServer::handleHistory(HttpConnection *c, const HttpRequest &r, bool csv)
{
    QDateTime from, to;
    QString error;
    if (!requestRange(r, 3600, &from, &to, &error)) {
        c->respondJson(400, errorJson(error));
        return;
    }
    if (from.addDays(MaxHistoryDays) < to) {
        c->respondJson(400, errorJson(QStringLiteral("查询范围最多 %1 天 (at most %1 days)").arg(MaxHistoryDays)));
        return;
    }
    QList<HistoryChannel> channels;
    const QString list = r.queryValue(QStringLiteral("channels"));
    const int count = m_haveSnapshot ? qBound(0, m_snapshot.channelCount, MaxChannels) : MaxChannels;
    if (!csv) {
        QList<int> numbers;
        if (list.isEmpty()) {
            for (int k = 1; k <= count; ++k)
                numbers.append(k);
        } else {
            for (const QString &part : list.split(QLatin1Char(','))) {
                bool ok = false;
                const int k = part.trimmed().toInt(&ok);
                if (!ok || k < 1 || k > MaxChannels) {
                    c->respondJson(400, errorJson(QStringLiteral("channels= takes channel numbers 1 … 32: %1").arg(part)));
                    return;
                }
                if (!numbers.contains(k))
                    numbers.append(k);
            }
        }
        for (const int k : numbers)
            channels.append({k, m_snapshot.option.Names[k - 1], m_snapshot.option.Units[k - 1]});
    }
    auto reader = std::make_unique<HistoryReader>(historyTablePath(m_programDir), from, to);
    if (!reader->open(&error)) {
        c->respondJson(503, errorJson(QStringLiteral("历史数据无法读取 (history cannot be read): ") + error));
        return;
    }
    if (csv) {
        const QByteArray name = "wwdd_" + fileTimeText(from) + '_' + fileTimeText(to) + ".csv";
        c->stream(200,
                  {{"Content-Type", "text/csv; charset=utf-8"},
                   {"Content-Disposition", "attachment; filename=\"" + name + '"'}},
                  historyCsvSource(std::move(reader)));
    } else {
        c->stream(200, {{"Content-Type", JsonType}}, historyJsonSource(std::move(reader), channels, from, to));
    }
}

void WebServer::handleEvents(HttpConnection *c, const HttpRequest &r)
{
    QDateTime from, to;
    QString error;
    if (!requestRange(r, 86400, &from, &to, &error)) {
        c->respondJson(400, errorJson(error));
        return;
    }
    QList<JournalEvent> rows;
    try {
        if (!m_journal) {
            m_journal = std::make_unique<EventJournal>(eventJournalPath(m_programDir));
            m_journal->openForReading();
        }
        rows = m_journal->query(from, inclusiveEnd(to), MaxJournalRows + 1);
    } catch (const db::DbError &e) {
        m_journal.reset(); // opened afresh next time
        c->respondJson(503, errorJson(QStringLiteral("报警记录无法读取。(the journal cannot be read) ") + e.text()));
        return;
    }
    const bool truncated = rows.size() > MaxJournalRows;
    if (truncated)
        rows.resize(MaxJournalRows);
    c->respondJson(200, eventsJson(rows, from, inclusiveEnd(to), truncated));
}

void WebServer::upgradeToLive(HttpConnection *c, const HttpRequest &r)
{
    if (r.path != QLatin1String("/ws")) {
        c->respond(404, JsonType, errorJson(QStringLiteral("not found")), {}, true);
        return;
    }
    if (r.method != "GET" || r.contentLength > 0) {
        c->respond(405, JsonType, errorJson(QStringLiteral("method not allowed")), {{"Allow", "GET"}}, true);
        return;
    }
    if (sessionUser(r).isEmpty()) {
        c->respond(401, JsonType, errorJson(QStringLiteral("未登录 (login required)")), {}, true);
        return;
    }
    // A page of another site cannot open the live connection with the operator's cookie.
    if (!sameOrigin(r)) {
        c->respond(403, JsonType, errorJson(QStringLiteral("cross-site connection refused")), {}, true);
        return;
    }
    if (m_live.size() >= MaxLiveClients) {
        c->respond(503, JsonType, errorJson(QStringLiteral("too many live connections")), {{"Retry-After", "5"}}, true);
        return;
    }
    // Qt WebSockets reads the handshake still waiting in the socket and owns the socket after.
    m_handshakes->handleConnection(c->takeSocket());
}

void WebServer::liveConnected()
{
    while (m_handshakes->hasPendingConnections()) {
        QWebSocket *ws = m_handshakes->nextPendingConnection();
        HttpRequest handshake;
        handshake.headers.append({"cookie", ws->request().rawHeader("Cookie")});
        const QByteArray token = handshake.cookie(SessionCookieName);
        if (!sessionValid(token) || m_live.size() >= MaxLiveClients) {
            ws->abort();
            ws->deleteLater();
            continue;
        }
        ws->setParent(this);
        ws->setMaxAllowedIncomingFrameSize(4096);
        ws->setMaxAllowedIncomingMessageSize(4096);
        connect(ws, &QWebSocket::disconnected, this, [this, ws] {
            m_live.removeIf([ws](const LiveClient &l) { return l.socket == ws; });
            ws->deleteLater();
        });
        connect(ws, &QWebSocket::pong, this, [this, ws] {
            for (LiveClient &l : m_live)
                if (l.socket == ws)
                    l.lastPongMs = nowMs();
        });
        m_live.append(LiveClient{ws, token, nowMs()});
        if (m_haveSnapshot)
            ws->sendTextMessage(QString::fromUtf8(liveJson(m_snapshot, LiveExtras{m_answerTime, m_lastEventId})));
    }
}

void WebServer::broadcastLive()
{
    if (m_live.isEmpty())
        return;
    const QString text = QString::fromUtf8(liveJson(m_snapshot, LiveExtras{m_answerTime, m_lastEventId}));
    const QList<LiveClient> clients = m_live;
    for (const LiveClient &l : clients) {
        if (!sessionValid(l.token)) {
            // Logged out, or the account changed: the page goes back to the login.
            l.socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("session ended"));
            continue;
        }
        if (l.socket->bytesToWrite() > MaxLiveBacklog) {
            l.socket->abort(); // it does not read: nothing more would reach it
            continue;
        }
        l.socket->sendTextMessage(text);
    }
}

void WebServer::pingLive()
{
    const qint64 now = nowMs();
    const QList<LiveClient> clients = m_live;
    for (const LiveClient &l : clients) {
        if (now - l.lastPongMs > 3 * m_pingTimer.interval())
            l.socket->abort(); // gone without a word
        else
            l.socket->ping();
    }
}

void WebServer::takeSnapshot(const StationSnapshot &snapshot)
{
    // The snapshot taken at start may arrive after a newer published one.
    if (m_haveSnapshot && snapshot.serial < m_snapshot.serial)
        return;
    m_snapshot = snapshot;
    m_haveSnapshot = true;
    if (snapshot.reason == StationSnapshot::Reason::Answer)
        m_answerTime = snapshot.time;
    // Viewers follow the refresh tick, as the window's tiles do.
    if (snapshot.reason == StationSnapshot::Reason::Refresh)
        broadcastLive();
}

void WebServer::takeEvents(const QList<JournalEvent> &events)
{
    for (const JournalEvent &e : events)
        m_lastEventId = qMax(m_lastEventId, e.id);
}
