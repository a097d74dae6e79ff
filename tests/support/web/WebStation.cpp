#include "WebStation.h"

#include "DbError.h"
#include "Loopback.h"
#include "HistoryTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <csignal>

namespace {

bool writeText(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Runs fn with a connection of its own to wwdd.db (read-only unless writable).
template <class Fn>
void withHistory(const QString &home, bool writable, Fn fn)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QDir(home).filePath(QStringLiteral("wwdd.db")));
        db.setConnectOptions(writable ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000")
                                      : QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open())
            fn(db);
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

WebStation::WebStation() = default;

WebStation::~WebStation() { stop(); }

QString WebStation::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

QString WebStation::stationLog()
{
    m_log += QString::fromLocal8Bit(m_station.readAllStandardError());
    return m_log;
}

bool WebStation::start(const WebStationOptions &o, QString *error)
{
    const QString station = o.buildDir + QStringLiteral("/src/station/qzstation");
    m_simulator = std::make_unique<Simulator>(o.buildDir + QStringLiteral("/tools/qzsim/qzsim"));
    if (!m_simulator->start({QStringLiteral("--channels"), QString::number(o.channels == 32 ? 32 : 16)})) {
        *error = QStringLiteral("qzsim did not start");
        return false;
    }
    m_port = freeLoopbackPort();
    const QByteArray ini = "[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=" + m_simulator->path().toUtf8()
        + "\r\n[web]\r\nListen=127.0.0.1:" + QByteArray::number(m_port) + "\r\n" + o.extraWebIni;
    if (!writeText(m_home.filePath(QStringLiteral("KTcom.ini")), ini)
        || !writeText(m_home.filePath(QStringLiteral("Sys_Para.Pf")),
                      QByteArray::number(o.channels) + "\r\n" + QByteArray::number(o.storageMs) + "\r\n")) {
        *error = QStringLiteral("cannot write the settings");
        return false;
    }
    if (o.prepareHome)
        o.prepareHome(m_home.path());

    QProcess account;
    account.start(station, {QStringLiteral("--home"), m_home.path(), QStringLiteral("--web-user"), User});
    account.write((Password + QLatin1Char('\n')).toUtf8());
    account.closeWriteChannel();
    if (!account.waitForFinished(30000) || account.exitCode() != 0) {
        *error = QStringLiteral("--web-user failed: ") + QString::fromLocal8Bit(account.readAllStandardError());
        return false;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    m_station.setProcessEnvironment(env);
    m_station.start(station, {QStringLiteral("--home"), m_home.path()});
    if (!m_station.waitForStarted(10000) || !waitForListener(m_port, 20000)) {
        *error = QStringLiteral("the station's web view did not listen: ") + stationLog();
        return false;
    }
    return true;
}

int WebStation::stop()
{
    if (m_station.state() == QProcess::NotRunning)
        return m_station.exitStatus() == QProcess::NormalExit ? m_station.exitCode() : -1;
    ::kill(pid_t(m_station.processId()), SIGTERM);
    if (!m_station.waitForFinished(15000)) {
        m_station.kill();
        m_station.waitForFinished(5000);
        return -1;
    }
    stationLog();
    if (m_simulator)
        m_simulator->stop();
    return m_station.exitStatus() == QProcess::NormalExit ? m_station.exitCode() : -1;
}

QByteArray WebStation::login(QString *error)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, m_port);
    if (!s.waitForConnected(5000)) {
        *error = s.errorString();
        return {};
    }
    const QByteArray body = "user=" + QUrl::toPercentEncoding(User) + "&password=" + QUrl::toPercentEncoding(Password)
        + "&next=%2F";
    s.write("POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_port)
            + "\r\nContent-Type: application/x-www-form-urlencoded\r\nConnection: close\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray answer;
    QElapsedTimer t;
    t.start();
    while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < 15000) {
        if (s.waitForReadyRead(200))
            answer += s.readAll();
    }
    answer += s.readAll();
    const qsizetype at = answer.indexOf("qzsession=");
    if (!answer.startsWith("HTTP/1.1 303") || at < 0) {
        *error = QStringLiteral("login refused: ") + QString::fromUtf8(answer.left(300));
        return {};
    }
    const qsizetype end = answer.indexOf(';', at);
    return answer.mid(at + 10, end - at - 10);
}

QList<QPair<QDateTime, QString>> WebStation::storedSince(const QDateTime &since) const
{
    QList<QPair<QDateTime, QString>> out;
    withHistory(home(), false, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("select datim, aa1 from wwdd where datim >= ? order by datim"));
        q.addBindValue(since.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
        if (q.exec())
            while (q.next())
                out.append({QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs), q.value(1).toString().trimmed()});
    });
    return out;
}

QPair<QDateTime, QStringList> WebStation::newestRecord(int count) const
{
    QPair<QDateTime, QStringList> out;
    withHistory(home(), false, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("select * from wwdd order by datim desc limit 1")) && q.next()) {
            out.first = QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs);
            for (int k = 1; k <= count; ++k)
                out.second.append(q.value(k).toString().trimmed());
        }
    });
    return out;
}

bool writeHistory(const QString &home, const QDateTime &from, int periodMs, int count,
                  const std::function<QString(int record, int channel)> &valueAt,
                  const std::function<bool(int record)> &skip, QString *error)
{
    try {
        ensureHistoryTable(home); // the station's own definition of wwdd
    } catch (const db::DbError &e) {
        *error = e.text();
        return false;
    }
    bool ok = false;
    withHistory(home, true, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        QString marks = QStringLiteral("?");
        for (int k = 1; k <= 32; ++k)
            marks += QStringLiteral(", ?");
        db.transaction();
        q.prepare(QStringLiteral("insert into wwdd values (%1)").arg(marks));
        for (int r = 0; r < count; ++r) {
            if (skip && skip(r))
                continue;
            q.addBindValue(from.addMSecs(qint64(r) * periodMs).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
            for (int k = 1; k <= 32; ++k)
                q.addBindValue(valueAt(r, k));
            if (!q.exec()) {
                *error = q.lastError().text();
                db.rollback();
                return;
            }
        }
        ok = db.commit();
        if (!ok)
            *error = db.lastError().text();
    });
    return ok;
}
