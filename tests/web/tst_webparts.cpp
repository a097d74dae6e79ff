// The web view's parts: request heads within their bounds and the paths they may name, the [web]
// settings, the accounts file and its command, the brake on guessing passwords and the sessions,
// the JSON a page is built from, the history read in slices (the same CSV bytes as
// --export-csv); and the window's program serving the view as the headless station does.
#include "AlarmCenter.h"
#include "DbError.h"
#include "HistoryExport.h"
#include "HistoryLayout.h"
#include "HistoryQuery.h"
#include "HistoryStream.h"
#include "HistoryTable.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "TQuery.h"
#include "WebAccounts.h"
#include "WebAuth.h"
#include "WebJson.h"
#include "WebSettings.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPasswordDigestor>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString Station = QStringLiteral(QZ_BINARY_DIR "/src/station/qzstation");
const QString Monitor = QStringLiteral(QZ_BINARY_DIR "/src/app/qzmonitor");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

int fileMode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QByteArray get(const QByteArray &target, const QByteArray &more = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: station:8080\r\n" + more + "\r\n";
}

// Rows of wwdd as the station stores them, through a connection of its own.
void insertRecords(const QString &dir, const QList<QStringList> &rows)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(historyTablePath(dir));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QString marks = QStringLiteral("?");
        for (int k = 1; k <= MaxChannels; ++k)
            marks += QStringLiteral(",?");
        QVERIFY(q.prepare(QStringLiteral("insert into wwdd values (%1)").arg(marks)));
        db.transaction();
        for (const QStringList &row : rows) {
            for (int i = 0; i <= MaxChannels; ++i)
                q.addBindValue(i < row.size() ? QVariant(row.at(i)) : QVariant(QMetaType::fromType<QString>()));
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        QVERIFY(db.commit());
    }
    QSqlDatabase::removeDatabase(name);
}

// The whole body of a source, and whether it ended well.
QByteArray drain(BodySource &source, bool *ok, int *pieces = nullptr)
{
    QByteArray out;
    int n = 0;
    for (;;) {
        const BodySource::Step step = source.next(out);
        ++n;
        if (step == BodySource::Step::More)
            continue;
        *ok = step == BodySource::Step::Done;
        break;
    }
    if (pieces)
        *pieces = n;
    return out;
}

StationSnapshot snapshotOf(int channels)
{
    StationSnapshot s;
    s.channelCount = channels;
    s.time = QDateTime(QDate(2026, 3, 1), QTime(8, 0, 1, 500));
    for (int k = 1; k <= channels; ++k) {
        s.option.Names[k - 1] = QStringLiteral("油储温度%1").arg(k);
        s.option.Units[k - 1] = QStringLiteral("℃");
        s.option.LowerLimits[k - 1] = 0.0f;
        s.option.UpperLimits[k - 1] = 200.0f;
        s.record.Pv[k] = 25.3f * float(k);
        s.record.AlmText[k] = QString();
    }
    return s;
}

} // namespace

class TestWebParts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void requestHeads_data();
    void requestHeads();
    void requestValues();
    void responseHeads();
    void settings_data();
    void settings();
    void accounts();
    void accountCommand();
    void loginThrottle();
    void sessions();
    void liveAndStatusJson();
    void alarmsAndEventsJson();
    void storedNumbers_data();
    void storedNumbers();
    void historySlices();
    void windowServesTheView();
};

void TestWebParts::requestHeads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("state"); // 0 incomplete, 1 complete, 2 error
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("path");

    QTest::newRow("plain") << get("/api/status") << 1 << 0 << "/api/status";
    QTest::newRow("query kept apart") << get("/api/history?from=a&to=b") << 1 << 0 << "/api/history";
    QTest::newRow("encoded letters are fine") << get("/%61pi/status") << 1 << 0 << "/api/status";
    QTest::newRow("unfinished") << QByteArray("GET /api/status HTTP/1.1\r\nHost: x\r\n") << 0 << 0 << "";
    QTest::newRow("HTTP/1.0 without Host") << QByteArray("GET / HTTP/1.0\r\n\r\n") << 1 << 0 << "/";
    // Every spelling of a way out of the web root is refused before routing.
    QTest::newRow("dot dot") << get("/../KTcom.ini") << 2 << 400 << "";
    QTest::newRow("dot dot inside") << get("/static/../../KTcom.ini") << 2 << 400 << "";
    QTest::newRow("dot") << get("/./api/status") << 2 << 400 << "";
    QTest::newRow("encoded dots") << get("/%2e%2e/KTcom.ini") << 2 << 400 << "";
    QTest::newRow("encoded upper") << get("/%2E%2E%2FKTcom.ini") << 2 << 400 << "";
    QTest::newRow("encoded slash") << get("/static/..%2f..%2fKTcom.ini") << 2 << 400 << "";
    QTest::newRow("double encoding") << get("/%252e%252e/KTcom.ini") << 2 << 400 << "";
    QTest::newRow("backslash") << get("/..%5cKTcom.ini") << 2 << 400 << "";
    QTest::newRow("raw backslash") << get("/..\\KTcom.ini") << 2 << 400 << "";
    QTest::newRow("overlong dot") << get("/%c0%ae%c0%ae/KTcom.ini") << 2 << 400 << "";
    QTest::newRow("NUL") << get("/static/app.css%00.js") << 2 << 400 << "";
    QTest::newRow("broken escape") << get("/static/%zz") << 2 << 400 << "";
    QTest::newRow("cut escape") << get("/static/%2") << 2 << 400 << "";
    QTest::newRow("absolute form") << get("http://station/../KTcom.ini") << 2 << 400 << "";
    QTest::newRow("asterisk") << QByteArray("OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n") << 2 << 400 << "";
    // Bounds.
    QTest::newRow("head too large") << get("/", "X-Pad: " + QByteArray(9000, 'a') + "\r\n") << 2 << 431 << "";
    QTest::newRow("head too large, unfinished") << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a')) << 2 << 431 << "";
    QByteArray many;
    for (int i = 0; i < 65; ++i)
        many += "X-" + QByteArray::number(i) + ": 1\r\n";
    QTest::newRow("too many headers") << get("/", many) << 2 << 431 << "";
    QTest::newRow("target too long") << get("/" + QByteArray(3000, 'a')) << 2 << 414 << "";
    QTest::newRow("target too long, unfinished") << QByteArray("GET /" + QByteArray(3000, 'a')) << 2 << 414 << "";
    QTest::newRow("body too large") << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 4097\r\n\r\n") << 2 << 413 << "";
    QTest::newRow("body at the bound") << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 4096\r\n\r\n") << 1 << 0 << "/login";
    QTest::newRow("chunked body") << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n") << 2 << 501 << "";
    QTest::newRow("two lengths") << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n") << 2 << 400 << "";
    QTest::newRow("signed length") << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: +5\r\n\r\n") << 2 << 400 << "";
    QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 2 << 400 << "";
    QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n more\r\n\r\n") << 2 << 400 << "";
    QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\nHost: x\r\n\r\n") << 2 << 505 << "";
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01\x02\x05\r\n\r\n") << 2 << 400 << "";
    QTest::newRow("control in a header") << QByteArray("GET / HTTP/1.1\r\nHost: x\x01y\r\n\r\n") << 2 << 400 << "";
}

void TestWebParts::requestHeads()
{
    QFETCH(QByteArray, head);
    QFETCH(int, state);
    QFETCH(int, status);
    QFETCH(QString, path);
    const HeadParse p = parseRequestHead(head);
    QCOMPARE(int(p.state), state);
    QCOMPARE(p.status, status);
    if (state == 1) {
        QCOMPARE(p.request.path, path);
        QCOMPARE(p.headBytes, int(head.size()));
    }
}

void TestWebParts::requestValues()
{
    // What follows the head stays for the body; the head's length says where it starts.
    const QByteArray head = "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 38\r\nCookie: a=1; qzsession=abc; b=2\r\n"
                            "Connection: close\r\n\r\n";
    const HeadParse p = parseRequestHead(head + "user=%E6%93%8D%E4%BD%9C&password=a+b%26c");
    QCOMPARE(int(p.state), int(HeadParse::State::Complete));
    QCOMPARE(p.headBytes, int(head.size()));
    QCOMPARE(p.request.contentLength, 38);
    QCOMPARE(p.request.cookie("qzsession"), QByteArray("abc"));
    QVERIFY(p.request.cookie("qz").isNull());
    QVERIFY(!p.request.keepAlive());
    const QByteArray form = "user=%E6%93%8D%E4%BD%9C&password=a+b%26c&empty=&next=%2Fhistory";
    QCOMPARE(formValue(form, QStringLiteral("user")), QStringLiteral("操作"));
    QCOMPARE(formValue(form, QStringLiteral("password")), QStringLiteral("a b&c"));
    QVERIFY(!formValue(form, QStringLiteral("empty")).isNull());
    QVERIFY(formValue(form, QStringLiteral("empty")).isEmpty());
    QVERIFY(formValue(form, QStringLiteral("missing")).isNull());
    QVERIFY(formValue("user=%E6%93", QStringLiteral("user")).isNull()); // broken UTF-8

    const HeadParse q = parseRequestHead(get("/api/history?from=2026-03-01%2008%3A00%3A00&channels=1,2", "Connection: keep-alive\r\n"));
    QCOMPARE(q.request.queryValue(QStringLiteral("from")), QStringLiteral("2026-03-01 08:00:00"));
    QCOMPARE(q.request.queryValue(QStringLiteral("channels")), QStringLiteral("1,2"));
    QVERIFY(q.request.keepAlive());
    QVERIFY(!parseRequestHead("GET / HTTP/1.0\r\n\r\n").request.keepAlive());
}

void TestWebParts::responseHeads()
{
    const QByteArray head = responseHead(200, {{"Content-Type", "text/html; charset=utf-8"}}, 12, true);
    QVERIFY(head.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(head.endsWith("\r\n\r\n"));
    for (const QByteArray &line : {QByteArray("Content-Security-Policy: default-src 'self'; frame-ancestors 'none'"),
                                   QByteArray("X-Content-Type-Options: nosniff"), QByteArray("Cache-Control: no-store"),
                                   QByteArray("Content-Length: 12"), QByteArray("Connection: keep-alive")})
        QVERIFY2(head.contains(line), line.constData());
    // A static file that may be kept says so instead of no-store; a streamed answer is chunked.
    const QByteArray cached = responseHead(200, {{"Cache-Control", "private, max-age=60"}}, -1, false);
    QVERIFY(!cached.contains("no-store"));
    QVERIFY(cached.contains("Transfer-Encoding: chunked"));
    QVERIFY(cached.contains("Connection: close"));
    // For an HTTP/1.0 client the body ends with the connection: neither length nor chunks.
    const QByteArray untilClose = responseHead(200, {}, UntilClose, false);
    QVERIFY(!untilClose.contains("Content-Length") && !untilClose.contains("Transfer-Encoding"));
    QCOMPARE(chunk("hello"), QByteArray("5\r\nhello\r\n"));
    QCOMPARE(chunk(QByteArray(300, 'x')).left(5), QByteArray("12c\r\n"));
    QVERIFY(chunk(QByteArray()).isEmpty()); // an empty chunk would end the body
}

void TestWebParts::settings_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("listen");

    QTest::newRow("no section") << QByteArray() << false << false << "";
    QTest::newRow("section without Listen") << QByteArray("[web]\r\nCertFile=x\r\n") << false << false << "";
    QTest::newRow("empty Listen") << QByteArray("[web]\r\nListen=\r\n") << true << true << "127.0.0.1:8080";
    QTest::newRow("port only") << QByteArray("[Web]\r\nlisten=9090\r\n") << true << true << "127.0.0.1:9090";
    QTest::newRow("every interface") << QByteArray("[web]\r\nListen=0.0.0.0:8080\r\n") << true << true << "0.0.0.0:8080";
    QTest::newRow("an address") << QByteArray("[web]\r\nListen=192.168.1.20:80\r\n") << true << true << "192.168.1.20:80";
    QTest::newRow("address without port") << QByteArray("[web]\r\nListen=10.0.0.5\r\n") << true << true << "10.0.0.5:8080";
    QTest::newRow("localhost") << QByteArray("[web]\r\nListen=localhost:8081\r\n") << true << true << "127.0.0.1:8081";
    QTest::newRow("IPv6") << QByteArray("[web]\r\nListen=[::1]:8443\r\n") << true << true << "[::1]:8443";
    QTest::newRow("IPv6 without brackets") << QByteArray("[web]\r\nListen=::1\r\n") << true << false << "";
    QTest::newRow("host name") << QByteArray("[web]\r\nListen=station.example:80\r\n") << true << false << "";
    QTest::newRow("port too large") << QByteArray("[web]\r\nListen=70000\r\n") << true << false << "";
    QTest::newRow("port zero") << QByteArray("[web]\r\nListen=127.0.0.1:0\r\n") << true << false << "";
    QTest::newRow("cert without key") << QByteArray("[web]\r\nListen=\r\nCertFile=/etc/qz/web.pem\r\n") << true << false << "";
    QTest::newRow("cert and key") << QByteArray("[web]\r\nListen=\r\nCertFile=/a.pem\r\nKeyFile=/a.key\r\n") << true << true << "127.0.0.1:8080";
}

void TestWebParts::settings()
{
    QFETCH(QByteArray, section);
    QFETCH(bool, enabled);
    QFETCH(bool, usable);
    QFETCH(QString, listen);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("KTcom.ini")), "[communication]\r\nCOM=COM1\r\n" + section + "[mqtt]\r\nHost=\r\n");
    const WebSettings s = readWebSettings(dir.path());
    QCOMPARE(s.enabled, enabled);
    QCOMPARE(enabled && s.error.isEmpty(), usable);
    if (usable)
        QCOMPARE(s.listenText(), listen);
    // Reading never writes: a station without [web] keeps its file as it was.
    QFile f(dir.filePath(QStringLiteral("KTcom.ini")));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(!f.readAll().contains("[web]") || !section.isEmpty());
}

void TestWebParts::accounts()
{
    QTemporaryDir dir;
    const QString file = webAccountsPath(dir.path());
    QString error;
    QVERIFY2(setAccountPassword(file, QStringLiteral("值班员"), QStringLiteral("first password"), &error), qPrintable(error));
    QVERIFY2(setAccountPassword(file, QStringLiteral("admin"), QStringLiteral("second password"), &error), qPrintable(error));
    QCOMPARE(fileMode(file), 0600);
    QList<WebAccount> accounts = readAccountsFile(file, &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(accounts.size(), 2);
    QCOMPARE(accounts.at(0).name, QStringLiteral("值班员"));
    QVERIFY(accounts.at(0).iterations >= 100000);
    QCOMPARE(accounts.at(0).hash.size(), 32);
    QVERIFY(accounts.at(0).salt != accounts.at(1).salt);
    QVERIFY(verifyPassword(accounts.at(0), QStringLiteral("first password")));
    QVERIFY(!verifyPassword(accounts.at(0), QStringLiteral("second password")));
    QVERIFY(!verifyPassword(accounts.at(0), QStringLiteral("first passwor")));
    // The stored hash is PBKDF2-HMAC-SHA256 of the password: worked out independently.
    QCOMPARE(accounts.at(1).hash, QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, "second password",
                                                                      accounts.at(1).salt, accounts.at(1).iterations, 32));

    // A new password replaces the old; the other account stays as it was.
    QVERIFY(setAccountPassword(file, QStringLiteral("admin"), QStringLiteral("third password"), &error));
    const QList<WebAccount> after = readAccountsFile(file, &error);
    QCOMPARE(after.size(), 2);
    QCOMPARE(after.at(0), accounts.at(0));
    QVERIFY(verifyPassword(after.at(1), QStringLiteral("third password")));
    QVERIFY(!verifyPassword(after.at(1), QStringLiteral("second password")));
    QCOMPARE(fileMode(file), 0600);

    // Refused: names and passwords that cannot be, and hand-weakened entries.
    QVERIFY(!setAccountPassword(file, QStringLiteral("a:b"), QStringLiteral("long enough"), &error));
    QVERIFY(!setAccountPassword(file, QStringLiteral("a b"), QStringLiteral("long enough"), &error));
    QVERIFY(!setAccountPassword(file, QString(), QStringLiteral("long enough"), &error));
    QVERIFY(!setAccountPassword(file, QStringLiteral("short"), QStringLiteral("1234567"), &error));
    const WebAccount weak = makeAccount(QStringLiteral("weak"), QStringLiteral("long enough"), 1000);
    QVERIFY(!verifyPassword(weak, QStringLiteral("long enough")));
    QStringList problems;
    QCOMPARE(parseAccounts(formatAccounts({weak, after.at(1)}), &problems).size(), 1);
    QCOMPARE(problems.size(), 1);
    QCOMPARE(parseAccounts("x:pbkdf2-sha1:200000:AAAAAAAAAAA=:AAAA\nbroken line\n\n# comment\n", &problems).size(), 0);

    // A file with lines that cannot be read is not rewritten (they would be lost).
    QFile f(file);
    QVERIFY(f.open(QIODevice::Append));
    f.write("garbage line\n");
    f.close();
    QVERIFY(!setAccountPassword(file, QStringLiteral("third"), QStringLiteral("long enough"), &error));
    QVERIFY(error.contains(QStringLiteral("cannot be read")));
    QVERIFY(!removeAccount(file, QStringLiteral("admin"), &error));

    // The station's reader: a file others may read is not used at all.
    QTemporaryDir other;
    const QString open = webAccountsPath(other.path());
    QVERIFY(setAccountPassword(open, QStringLiteral("admin"), QStringLiteral("long enough"), &error));
    WebAccountStore store(open);
    QVERIFY(store.find(QStringLiteral("admin")).has_value());
    QVERIFY(store.problem().isEmpty());
    QVERIFY(removeAccount(open, QStringLiteral("admin"), &error));
    QVERIFY(!removeAccount(open, QStringLiteral("admin"), &error));
    QVERIFY(setAccountPassword(open, QStringLiteral("admin"), QStringLiteral("long enough"), &error));
    QVERIFY(QFile::setPermissions(open, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    WebAccountStore lax(open);
    QVERIFY(!lax.find(QStringLiteral("admin")).has_value());
    QVERIFY(lax.problem().contains(QStringLiteral("chmod 600")));
    WebAccountStore missing(dir.filePath(QStringLiteral("none")));
    QVERIFY(!missing.find(QStringLiteral("admin")).has_value());
    QVERIFY(!missing.problem().isEmpty());
}

void TestWebParts::accountCommand()
{
    QTemporaryDir home;
    auto run = [&home](const QString &program, const QStringList &args, const QByteArray &input, QString *out = nullptr) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        p.setProcessEnvironment(env);
        p.start(program, QStringList{QStringLiteral("--home"), home.path()} + args);
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(30000))
            return -1;
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    };
    const QString file = webAccountsPath(home.path());
    // Both programs manage the accounts; the password comes as the first line of the input.
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("admin")}, "pass word one\nignored\n"), 0);
    QCOMPARE(run(Monitor, {QStringLiteral("--web-user"), QStringLiteral("值班员")}, "pass word two\r\n"), 0);
    QCOMPARE(fileMode(file), 0600);
    QString listed;
    QCOMPARE(run(Station, {QStringLiteral("--web-users")}, {}, &listed), 0);
    QCOMPARE(listed, QStringLiteral("admin\n值班员\n"));
    QString error;
    const QList<WebAccount> accounts = readAccountsFile(file, &error);
    QCOMPARE(accounts.size(), 2);
    QVERIFY(verifyPassword(accounts.at(0), QStringLiteral("pass word one")));
    QVERIFY(verifyPassword(accounts.at(1), QStringLiteral("pass word two"))); // CR LF taken off
    // Refusals: no password, a short one, an unknown account to remove, a bad command line.
    QString said;
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("x")}, "", &said), 1);
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("x")}, "short\n", &said), 1);
    QVERIFY(said.contains(QStringLiteral("8")));
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("nobody"), QStringLiteral("--remove")}, {}), 1);
    QCOMPARE(run(Station, {QStringLiteral("--web-user")}, {}), 2);
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("a"), QStringLiteral("--start")}, {}), 2);
    QCOMPARE(run(Station, {QStringLiteral("--web-user"), QStringLiteral("admin"), QStringLiteral("--remove")}, {}), 0);
    QCOMPARE(readAccountsFile(file, &error).size(), 1);
}

void TestWebParts::loginThrottle()
{
    LoginThrottle t;
    const QHostAddress a(QStringLiteral("192.168.1.7"));
    const QHostAddress b(QStringLiteral("192.168.1.8"));
    qint64 now = 1'000'000;
    for (int i = 1; i < LoginThrottle::FreeFailures; ++i) {
        QCOMPARE(t.lockedFor(a, now), 0);
        t.failed(a, now);
    }
    QCOMPARE(t.lockedFor(a, now), 0);
    // The fifth failure locks the address for a second after its (delayed) answer.
    t.failed(a, now);
    QCOMPARE(t.lockedFor(a, now), LoginThrottle::FailureAnswerDelayMs + 1000);
    QCOMPARE(t.lockedFor(a, now + 1500), 500);
    QCOMPARE(t.lockedFor(b, now), 0); // others are not held up
    now += 2000;
    QCOMPARE(t.lockedFor(a, now), 0);
    t.failed(a, now);
    QCOMPARE(t.lockedFor(a, now), LoginThrottle::FailureAnswerDelayMs + 2000);
    for (int i = 0; i < 30; ++i)
        t.failed(a, now);
    QCOMPARE(t.lockedFor(a, now), LoginThrottle::FailureAnswerDelayMs + LoginThrottle::MaxLockMs);
    // Forgotten after a quiet spell; a success forgets at once.
    now += LoginThrottle::FailureAnswerDelayMs + LoginThrottle::ForgetAfterMs + 1;
    QCOMPARE(t.lockedFor(a, now), 0);
    t.failed(a, now);
    QCOMPARE(t.failures(a), 1);
    t.succeeded(a);
    QCOMPARE(t.failures(a), 0);
    // IPv6 counts by network: another host of the same /64 shares the brake; IPv4-mapped is IPv4.
    const QHostAddress v6a(QStringLiteral("2001:db8:1:2::10"));
    const QHostAddress v6b(QStringLiteral("2001:db8:1:2::99"));
    const QHostAddress v6other(QStringLiteral("2001:db8:1:3::10"));
    for (int i = 0; i < LoginThrottle::FreeFailures; ++i)
        t.failed(v6a, now);
    QVERIFY(t.lockedFor(v6b, now) > 0);
    QCOMPARE(t.lockedFor(v6other, now), 0);
    t.failed(QHostAddress(QStringLiteral("::ffff:10.0.0.1")), now);
    QCOMPARE(t.failures(QHostAddress(QStringLiteral("10.0.0.1"))), 1);
}

void TestWebParts::sessions()
{
    WebSessions s;
    qint64 now = 5'000'000;
    const QByteArray token = s.create(QStringLiteral("admin"), "hash", now);
    QCOMPARE(token.size(), 43);
    QVERIFY(token != s.create(QStringLiteral("admin"), "hash", now));
    QCOMPARE(s.use(token, now + 1000)->user, QStringLiteral("admin"));
    QVERIFY(!s.use(token + "x", now).has_value());
    QVERIFY(!s.use(QByteArray(), now).has_value());
    // Use keeps it alive; idleness ends it.
    now += WebSessions::IdleLimitMs - 1;
    QVERIFY(s.use(token, now).has_value());
    QVERIFY(s.use(token, now + WebSessions::IdleLimitMs).has_value());
    QVERIFY(!s.use(token, now + 3 * WebSessions::IdleLimitMs).has_value());
    const QByteArray other = s.create(QStringLiteral("b"), "h", now);
    s.remove(other);
    QVERIFY(!s.use(other, now).has_value());
    // Bounded: the longest idle session goes first.
    WebSessions full;
    const QByteArray oldest = full.create(QStringLiteral("u"), "h", 0);
    for (int i = 1; i < WebSessions::MaxSessions; ++i)
        full.create(QStringLiteral("u"), "h", 10 + i);
    QCOMPARE(full.count(), WebSessions::MaxSessions);
    full.create(QStringLiteral("u"), "h", 100000);
    QCOMPARE(full.count(), WebSessions::MaxSessions);
    QVERIFY(!full.use(oldest, 100000).has_value());
}

void TestWebParts::liveAndStatusJson()
{
    StationSnapshot s = snapshotOf(16);
    s.serial = 42;
    s.record.Pv[3] = InterruptionMarker;
    s.record.AlmText[3] = QStringLiteral("上限报警"); // stale: an interrupted channel has no state
    s.record.AlmText[5] = QStringLiteral("信号断线");
    s.record.Pv[5] = 0.0f;
    s.record.Pv[7] = 150.05f;
    s.option.LowerLimits[6] = -50.0f;
    s.option.UpperLimits[6] = 150.0f;
    s.option.UpperLimits[8] = s.option.LowerLimits[8]; // equal limits: bar 0
    s.record.Pv[9] = 12.5f;
    Alarm limit;
    limit.key = AlarmKey{AlarmSource::Limit, 9, LimitUpperKind};
    limit.state = AlarmState::ActiveAcked;
    s.alarms = {limit};

    QJsonArray panels = panelTexts(s);
    QCOMPARE(panels.at(0).toString(), QStringLiteral("运行状态:"));
    QCOMPARE(panels.at(1).toString(), QStringLiteral("通讯状态:"));
    QCOMPARE(panels.at(2).toString(), QStringLiteral("登录状态： 未登录！"));
    QCOMPARE(panels.at(3).toString(), QString());
    s.comm = CommShown::Ok;
    s.portShown = true;
    s.portName = QStringLiteral("COM3");
    s.speed = 19200;
    s.unacknowledged = 2;
    s.siteEnabled = true;
    s.siteState = QStringLiteral("网络：已连接");
    panels = panelTexts(s);
    QCOMPARE(panels.at(0).toString(), QStringLiteral("通讯接收正常：OK！ "));
    QCOMPARE(panels.at(1).toString(), QStringLiteral("通讯接口： COM3"));
    QCOMPARE(panels.at(2).toString(), QStringLiteral("通讯速率： 19200 Bps    网络：已连接"));
    QCOMPARE(panels.at(3).toString(), QStringLiteral("报警：2 条未确认"));
    s.comm = CommShown::Error;
    QCOMPARE(panelTexts(s).at(0).toString(), QStringLiteral("通讯接收错误：ERROR！！！ "));

    const QJsonObject live = QJsonDocument::fromJson(liveJson(s, LiveExtras{s.time.addMSecs(-300), 17})).object();
    QCOMPARE(live.value(QLatin1String("serial")).toInt(), 42);
    QCOMPARE(live.value(QLatin1String("comm")).toString(), QStringLiteral("ERROR"));
    QCOMPARE(live.value(QLatin1String("lastEventId")).toInt(), 17);
    QVERIFY(live.value(QLatin1String("time")).toString().startsWith(QLatin1String("2026-03-01T08:00:01.500")));
    QVERIFY(live.value(QLatin1String("answerTime")).toString().startsWith(QLatin1String("2026-03-01T08:00:01.200")));
    const QJsonArray tiles = live.value(QLatin1String("channels")).toArray();
    QCOMPARE(tiles.size(), 16);
    const QJsonObject t1 = tiles.at(0).toObject();
    QCOMPARE(t1.value(QLatin1String("name")).toString(), QStringLiteral("油储温度1"));
    QCOMPARE(t1.value(QLatin1String("unit")).toString(), QStringLiteral("℃"));
    QCOMPARE(t1.value(QLatin1String("text")).toString(), QStringLiteral("25.300"));
    QCOMPARE(t1.value(QLatin1String("value")).toDouble(), 25.3);
    QCOMPARE(t1.value(QLatin1String("bar")).toInt(), 13); // 25.3 / 200 × 100, as on the window's tile
    QCOMPARE(t1.value(QLatin1String("alarm")).toBool(), false);
    const QJsonObject t3 = tiles.at(2).toObject();
    QCOMPARE(t3.value(QLatin1String("text")).toString(), QStringLiteral("中断"));
    QCOMPARE(t3.value(QLatin1String("state")).toString(), QStringLiteral("--"));
    QVERIFY(t3.value(QLatin1String("value")).isNull());
    QCOMPARE(t3.value(QLatin1String("bar")).toInt(), 100);
    QCOMPARE(t3.value(QLatin1String("interrupted")).toBool(), true);
    QCOMPARE(t3.value(QLatin1String("alarm")).toBool(), false);
    const QJsonObject t5 = tiles.at(4).toObject();
    QCOMPARE(t5.value(QLatin1String("state")).toString(), QStringLiteral("信号断线"));
    QCOMPARE(t5.value(QLatin1String("alarm")).toBool(), true);
    QCOMPARE(tiles.at(6).toObject().value(QLatin1String("text")).toString(), QStringLiteral("150.050"));
    QCOMPARE(tiles.at(6).toObject().value(QLatin1String("bar")).toInt(), 75); // the value over the width 200
    QCOMPARE(tiles.at(8).toObject().value(QLatin1String("bar")).toInt(), 0);
    QCOMPARE(tiles.at(8).toObject().value(QLatin1String("alarm")).toBool(), true); // its limit alarm is active

    s.option.LowerLimits[1] = 0.1f;
    const QJsonObject status = QJsonDocument::fromJson(statusJson(s, QStringLiteral("tank-a"))).object();
    QCOMPARE(status.value(QLatin1String("station")).toString(), QStringLiteral("tank-a"));
    QCOMPARE(status.value(QLatin1String("port")).toString(), QStringLiteral("COM3"));
    QCOMPARE(status.value(QLatin1String("speed")).toInt(), 19200);
    const QJsonArray channels = status.value(QLatin1String("channels")).toArray();
    QCOMPARE(channels.size(), 16);
    QCOMPARE(channels.at(1).toObject().value(QLatin1String("lower")).toDouble(), 0.1); // not 0.10000000149…
    QCOMPARE(channels.at(1).toObject().value(QLatin1String("upper")).toDouble(), 200.0);
    // A channel count beyond 32 (a damaged file) never reads past the arrays.
    s.channelCount = 99;
    QCOMPARE(QJsonDocument::fromJson(liveJson(s, {})).object().value(QLatin1String("channels")).toArray().size(), 32);
}

void TestWebParts::alarmsAndEventsJson()
{
    StationSnapshot s = snapshotOf(8);
    Alarm a;
    a.key = AlarmKey{AlarmSource::Instrument, 5, QStringLiteral("信号断线")};
    a.state = AlarmState::ActiveUnacked;
    a.raisedAt = QDateTime(QDate(2026, 3, 1), QTime(7, 59, 58));
    a.name = QStringLiteral("油储温度5");
    a.value = 0.0;
    Alarm comm;
    comm.key = AlarmKey{AlarmSource::Comm, 0, CommKind};
    comm.state = AlarmState::ActiveAcked;
    s.alarms = {a, comm};
    s.unacknowledged = 1;
    const QJsonObject o = QJsonDocument::fromJson(alarmsJson(s)).object();
    QCOMPARE(o.value(QLatin1String("panel")).toString(), QStringLiteral("报警：1 条未确认"));
    QCOMPARE(o.value(QLatin1String("columns")).toArray().size(), 6);
    const QJsonArray alarms = o.value(QLatin1String("alarms")).toArray();
    QCOMPARE(alarms.size(), 2);
    const QJsonObject first = alarms.at(0).toObject();
    QCOMPARE(first.value(QLatin1String("state")).toString(), QStringLiteral("active_unacked"));
    QCOMPARE(first.value(QLatin1String("unacknowledged")).toBool(), true);
    QCOMPARE(first.value(QLatin1String("texts")).toArray().at(0).toString(), QStringLiteral("2026-03-01 07:59:58"));
    QCOMPARE(first.value(QLatin1String("texts")).toArray().at(5).toString(), QStringLiteral("报警未确认"));
    const QJsonObject second = alarms.at(1).toObject();
    QVERIFY(second.value(QLatin1String("channel")).isNull());
    QVERIFY(second.value(QLatin1String("value")).isNull()); // NaN travels as null
    QCOMPARE(second.value(QLatin1String("unacknowledged")).toBool(), false);

    JournalEvent e = stationEvent(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), station_kinds::RunStarted);
    e.id = 9;
    JournalEvent raised;
    raised.id = 10;
    raised.time = QDateTime(QDate(2026, 3, 1), QTime(8, 0, 5, 250));
    raised.source = AlarmSource::Limit;
    raised.channel = 3;
    raised.name = QStringLiteral("油储温度3");
    raised.kind = LimitUpperKind;
    raised.value = double(81.2f);
    raised.transition = Transition::Raised;
    const QJsonObject j = QJsonDocument::fromJson(eventsJson({raised, e}, raised.time.addDays(-1), raised.time, true)).object();
    QCOMPARE(j.value(QLatin1String("truncated")).toBool(), true);
    const QJsonArray events = j.value(QLatin1String("events")).toArray();
    QCOMPARE(events.size(), 2);
    QCOMPARE(events.at(0).toObject().value(QLatin1String("transition")).toString(), QStringLiteral("raised"));
    QCOMPARE(events.at(0).toObject().value(QLatin1String("value")).toDouble(), 81.2);
    QCOMPARE(events.at(0).toObject().value(QLatin1String("texts")).toArray().at(0).toString(), QStringLiteral("2026-03-01 08:00:05.250"));
    QCOMPARE(events.at(1).toObject().value(QLatin1String("kind")).toString(), QStringLiteral("开始运行"));
    QVERIFY(events.at(1).toObject().value(QLatin1String("channel")).isNull());
}

void TestWebParts::storedNumbers_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("padded") << QByteArray("  25.300") << QByteArray("25.3");
    QTest::newRow("negative") << QByteArray(" -12.050") << QByteArray("-12.05");
    QTest::newRow("zero") << QByteArray("   0.000") << QByteArray("0");
    QTest::newRow("plus") << QByteArray("+5") << QByteArray("5");
    QTest::newRow("interruption") << QByteArray("-1000.000") << QByteArray();
    QTest::newRow("interruption padded") << QByteArray(" -1000.0 ") << QByteArray();
    QTest::newRow("empty") << QByteArray("") << QByteArray();
    QTest::newRow("blank") << QByteArray("    ") << QByteArray();
    QTest::newRow("text") << QByteArray("abc") << QByteArray();
    QTest::newRow("trailing text") << QByteArray("12.5x") << QByteArray();
    QTest::newRow("infinity") << QByteArray("inf") << QByteArray();
    QTest::newRow("nan") << QByteArray("nan") << QByteArray();
    QTest::newRow("huge") << QByteArray("1e400") << QByteArray();
    QTest::newRow("exponent") << QByteArray("1.5e3") << QByteArray("1500");
}

void TestWebParts::storedNumbers()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, json);
    QCOMPARE(storedNumberJson(stored), json);
}

void TestWebParts::historySlices()
{
    QTemporaryDir dir;
    QVERIFY(ensureHistoryTable(dir.path()));
    // 4,500 seconds of records a second apart (more than two slices), with an interruption, a
    // text that is no number, a missing channel, two records stamped alike across the first
    // slice's end, 100 s without records, one without a readable time, and records on both sides
    // of the range.
    const QDateTime start(QDate(2026, 3, 1), QTime(8, 0, 0));
    QList<QStringList> rows;
    auto stamp = [](const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); };
    rows.append({stamp(start.addSecs(-1))}); // before the range
    for (int i = 0; i < 4500; ++i) {
        if (i >= 3000 && i < 3100)
            continue; // the station stored nothing
        QStringList r{stamp(start.addMSecs(qint64(i) * 1000 + 123))};
        for (int k = 1; k <= 16; ++k)
            r.append(QString::asprintf("%8.3f", 20.0 + k + i * 0.001));
        if (i == 10)
            r[1] = QStringLiteral("-1000.000");
        if (i == 11)
            r[2] = QStringLiteral("bad");
        if (i == 12)
            r[3] = QString(); // empty text
        rows.append(r);
        if (i == 1999) { // a twin stamped alike, on the slice boundary
            QStringList twin = r;
            twin[1] = QStringLiteral("  99.000");
            rows.append(twin);
        }
    }
    rows.append({QStringLiteral("not a time"), QStringLiteral("1.000")});
    rows.append({stamp(start.addSecs(4500).addMSecs(900))}); // within the end's whole second? no: after
    insertRecords(dir.path(), rows);
    const QDateTime to = start.addSecs(4499); // 8:00:00 … 9:14:59 through its whole second

    // CSV: exactly the bytes --export-csv writes for the range.
    db::TQuery query;
    runHistoryQuery(query, dir.path(), start, to);
    QBuffer expected;
    expected.open(QIODevice::WriteOnly);
    QVERIFY(writeHistoryCsv(query, expected));
    auto csvReader = std::make_unique<HistoryReader>(historyTablePath(dir.path()), start, to);
    QString error;
    QVERIFY2(csvReader->open(&error), qPrintable(error));
    auto csv = historyCsvSource(std::move(csvReader));
    bool ok = false;
    int pieces = 0;
    const QByteArray csvBytes = drain(*csv, &ok, &pieces);
    QVERIFY(ok);
    QVERIFY2(pieces >= 4, "read in slices, not at once");
    QCOMPARE(query.recordCount(), 4401);
    QCOMPARE(csvBytes.size(), expected.data().size());
    QVERIFY(csvBytes == expected.data());

    // JSON: the chosen channels by number, null for the interruption and for what is no number.
    auto reader = std::make_unique<HistoryReader>(historyTablePath(dir.path()), start, to);
    QVERIFY(reader->open(&error));
    auto json = historyJsonSource(std::move(reader), {{1, QStringLiteral("油储温度1"), QStringLiteral("℃")}, {2, {}, {}}, {3, {}, {}}, {20, {}, {}}},
                                  start, to);
    const QByteArray body = drain(*json, &ok);
    QVERIFY(ok);
    QJsonParseError pe;
    const QJsonObject doc = QJsonDocument::fromJson(body, &pe).object();
    QVERIFY2(pe.error == QJsonParseError::NoError, qPrintable(pe.errorString()));
    QCOMPARE(doc.value(QLatin1String("channels")).toArray().at(0).toObject().value(QLatin1String("name")).toString(),
             QStringLiteral("油储温度1"));
    QVERIFY(doc.value(QLatin1String("to")).toString().startsWith(QLatin1String("2026-03-01T09:14:59.999")));
    const QJsonArray records = doc.value(QLatin1String("records")).toArray();
    QCOMPARE(records.size(), 4401);
    // The curves stop after the record before the 100 s (record 2999, one more before it: the
    // twin), and nowhere else: not at the twin's zero spacing.
    QCOMPARE(doc.value(QLatin1String("breaks")).toArray(), QJsonArray{3000});
    QCOMPARE(qint64(records.at(3001).toArray().at(0).toDouble()) - qint64(records.at(3000).toArray().at(0).toDouble()), 101000);
    qint64 previous = 0;
    for (const QJsonValue &v : records) {
        const qint64 t = qint64(v.toArray().at(0).toDouble());
        QVERIFY(t >= previous);
        previous = t;
    }
    QCOMPARE(qint64(records.at(0).toArray().at(0).toDouble()), start.addMSecs(123).toMSecsSinceEpoch());
    QCOMPARE(records.at(0).toArray().at(1).toDouble(), 21.0);
    QVERIFY(records.at(0).toArray().at(4).isNull()); // channel 20 was never stored
    QVERIFY(records.at(10).toArray().at(1).isNull());
    QCOMPARE(records.at(10).toArray().at(2).toDouble(), 22.01);
    QVERIFY(records.at(11).toArray().at(2).isNull());
    QVERIFY(records.at(12).toArray().at(3).isNull());
    QCOMPARE(records.at(1999).toArray().at(1).toDouble() + records.at(2000).toArray().at(1).toDouble(), 99.0 + 21.0 + 1.999);

    // A missing file is said, not taken for an empty history.
    HistoryReader none(dir.filePath(QStringLiteral("nothing.db")), start, to);
    QVERIFY(!none.open(&error));
}

void TestWebParts::windowServesTheView()
{
    QTemporaryDir home;
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    // No instrument line (the device is not there): the window starts, says so without waiting,
    // and serves the view all the same.
    writeFile(home.filePath(QStringLiteral("KTcom.ini")),
              "[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=" + home.filePath(QStringLiteral("none")).toUtf8()
                  + "\r\n[web]\r\nListen=127.0.0.1:" + QByteArray::number(port) + "\r\n");
    QString error;
    QVERIFY(setAccountPassword(webAccountsPath(home.path()), QStringLiteral("admin"), QStringLiteral("long enough"), &error));
    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.setProcessEnvironment(env);
    window.start(Monitor, {QStringLiteral("--home"), home.path(), QStringLiteral("--start")});
    QVERIFY(window.waitForStarted(10000));
    auto ask = [port](const QByteArray &request) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (!s.waitForConnected(1000))
            return QByteArray();
        s.write(request);
        QByteArray answer;
        while (s.waitForReadyRead(3000))
            answer += s.readAll();
        return answer;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ask("GET /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 200"), 20000);
    QVERIFY(ask("GET /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 401"));
    const QByteArray body = "user=admin&password=long+enough";
    const QByteArray login = ask("POST /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: "
                                 + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QVERIFY2(login.startsWith("HTTP/1.1 303"), login.constData());
    const qsizetype at = login.indexOf("qzsession=");
    const QByteArray token = login.mid(at + 10, login.indexOf(';', at) - at - 10);
    const QByteArray status = ask("GET /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: qzsession=" + token
                                  + "\r\n\r\n");
    QVERIFY2(status.startsWith("HTTP/1.1 200") && status.contains("\"port\":\"COM1\""), status.constData());
    window.terminate();
    QVERIFY(window.waitForFinished(15000));
    QVERIFY(QString::fromUtf8(window.readAllStandardError()).contains(QStringLiteral("网页服务 http://127.0.0.1:%1").arg(port)));
}

QTEST_GUILESS_MAIN(TestWebParts)
#include "tst_webparts.moc"
