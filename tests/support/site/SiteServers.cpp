#include "SiteServers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <csignal>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString PgBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
const QString MosquittoBin = QStringLiteral("/usr/sbin/mosquitto");

void killAndWait(QProcess *p, int signal, int timeoutMs)
{
    if (!p || p->state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(p->processId()), signal);
    if (!p->waitForFinished(timeoutMs)) {
        ::kill(pid_t(p->processId()), SIGKILL);
        p->waitForFinished(5000);
    }
}
} // namespace

namespace {
bool runTool(const QString &program, const QStringList &args, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed: %3 %4")
                     .arg(program, args.join(u' '), p.errorString(), QString::fromUtf8(p.readAll()));
        return false;
    }
    return true;
}
} // namespace

bool makeTestCertificates(const QString &dir, QString *error)
{
    const QString openssl = QStringLiteral("openssl");
    const QString ext = dir + QStringLiteral("/broker.ext");
    QFile f(ext);
    if (!f.open(QIODevice::WriteOnly)) {
        *error = f.errorString();
        return false;
    }
    f.write("subjectAltName=IP:127.0.0.1\n");
    f.close();
    auto path = [&](const char *name) { return dir + u'/' + QLatin1String(name); };
    return runTool(openssl, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                             QStringLiteral("-keyout"), path("ca.key"), QStringLiteral("-out"), path("ca.crt"),
                             QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=qz test CA")},
                   error)
        && runTool(openssl, {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                             path("broker.key"), QStringLiteral("-out"), path("broker.csr"), QStringLiteral("-subj"),
                             QStringLiteral("/CN=127.0.0.1")},
                   error)
        && runTool(openssl, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), path("broker.csr"),
                             QStringLiteral("-CA"), path("ca.crt"), QStringLiteral("-CAkey"), path("ca.key"),
                             QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), path("broker.crt"), QStringLiteral("-days"),
                             QStringLiteral("2"), QStringLiteral("-extfile"), ext},
                   error);
}

bool addBrokerAccount(const QString &passwordFile, const QString &user, const QString &password, QString *error)
{
    QStringList args{QStringLiteral("-b")};
    if (!QFile::exists(passwordFile))
        args.prepend(QStringLiteral("-c"));
    args << passwordFile << user << password;
    return runTool(QStringLiteral("/usr/bin/mosquitto_passwd"), args, error);
}

// --- mosquitto -------------------------------------------------------------------------------

MosquittoServer::MosquittoServer() = default;
MosquittoServer::~MosquittoServer() { stop(); }

bool MosquittoServer::isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }

bool MosquittoServer::start(QString *error)
{
    stop();
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    if (m_port == 0)
        m_port = freeLoopbackPort();
    const QString conf = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = f.errorString();
        return false;
    }
    QByteArray text;
    if (m_configuration.isEmpty()) {
        text += "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
        text += "allow_anonymous true\n";
    } else {
        text += m_configuration + "\n";
    }
    text += "persistence true\n";
    text += "persistence_location " + QFile::encodeName(m_dir.path()) + "/\n";
    text += "autosave_on_changes true\nautosave_interval 1\n";
    text += "max_queued_messages 0\nmax_inflight_messages 0\n";
    text += "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
    if (::geteuid() == 0)
        text += "user root\n";
    f.write(text);
    f.close();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("mosquitto.log")), QIODevice::Append);
    m_process->start(MosquittoBin, {QStringLiteral("-c"), conf});
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("%1: %2").arg(MosquittoBin, m_process->errorString());
        return false;
    }
    if (!waitForListener(m_port, 10000)) {
        *error = QStringLiteral("mosquitto did not listen on %1: %2").arg(m_port).arg(log());
        return false;
    }
    return true;
}

void MosquittoServer::setConfiguration(const QByteArray &text, quint16 waitPort)
{
    m_configuration = text;
    m_port = waitPort;
}

void MosquittoServer::kill9()
{
    killAndWait(m_process.get(), SIGKILL, 5000);
}

void MosquittoServer::stop()
{
    killAndWait(m_process.get(), SIGTERM, 5000);
    m_process.reset();
}

QString MosquittoServer::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("mosquitto.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// --- PostgreSQL ------------------------------------------------------------------------------

// As root the cluster belongs to the postgres user, which must reach it: under /tmp rather than
// a TMPDIR that may sit in root's home.
PostgresServer::PostgresServer()
    : m_dir(::geteuid() == 0 ? QStringLiteral("/tmp/qz-pg-XXXXXX") : QDir::tempPath() + QStringLiteral("/qz-pg-XXXXXX"))
{
    if (::geteuid() == 0) {
        if (const passwd *pw = ::getpwnam("postgres")) {
            m_uid = int(pw->pw_uid);
            m_gid = int(pw->pw_gid);
        }
    }
    m_data = m_dir.filePath(QStringLiteral("data"));
}

PostgresServer::~PostgresServer() { stop(); }

void PostgresServer::prepareChild(QProcess &p) const
{
    if (m_uid < 0)
        return;
    const uid_t uid = uid_t(m_uid);
    const gid_t gid = gid_t(m_gid);
    p.setChildProcessModifier([uid, gid] {
        // In the child, before exec: become the postgres user for good.
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
    });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.path());
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(m_dir.path());
}

bool PostgresServer::run(const QString &program, const QStringList &args, QString *output)
{
    QProcess p;
    prepareChild(p);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000)) {
        *output = QStringLiteral("%1 did not finish").arg(program);
        p.kill();
        p.waitForFinished();
        return false;
    }
    *output = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool PostgresServer::isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }

bool PostgresServer::start(QString *error)
{
    stop();
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    if (::geteuid() == 0 && m_uid < 0) {
        *error = QStringLiteral("running as root and there is no postgres user to run PostgreSQL as");
        return false;
    }
    if (m_uid >= 0 && ::chown(QFile::encodeName(m_dir.path()).constData(), uid_t(m_uid), gid_t(m_gid)) != 0) {
        *error = QStringLiteral("cannot hand %1 to postgres").arg(m_dir.path());
        return false;
    }
    if (!m_initialised) {
        QString out;
        if (!run(PgBin + QStringLiteral("initdb"),
                 {QStringLiteral("-D"), m_data, QStringLiteral("-U"), QStringLiteral("postgres"),
                  QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--no-locale"), QStringLiteral("--no-sync")},
                 &out)) {
            *error = QStringLiteral("initdb failed: %1").arg(out);
            return false;
        }
        m_initialised = true;
        m_port = freeLoopbackPort();
    }
    m_process = std::make_unique<QProcess>();
    prepareChild(*m_process);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("postgres.log")), QIODevice::Append);
    m_process->start(PgBin + QStringLiteral("postgres"),
                     {QStringLiteral("-D"), m_data, QStringLiteral("-p"), QString::number(m_port),
                      QStringLiteral("-k"), QString(), QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1")});
    if (!m_process->waitForStarted(5000)) {
        *error = m_process->errorString();
        return false;
    }
    const QByteArray info = conninfo().toUtf8();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 60000) {
        if (PQping(info.constData()) == PQPING_OK)
            return true;
        if (m_process->state() == QProcess::NotRunning)
            break;
        QThread::msleep(100);
    }
    QFile log(m_dir.filePath(QStringLiteral("postgres.log")));
    log.open(QIODevice::ReadOnly);
    *error = QStringLiteral("postgres did not come up: %1").arg(QString::fromUtf8(log.readAll().right(2000)));
    return false;
}

void PostgresServer::kill9() { killAndWait(m_process.get(), SIGKILL, 5000); }

void PostgresServer::stop()
{
    // SIGINT: the fast shutdown (sessions ended, a clean checkpoint).
    killAndWait(m_process.get(), SIGINT, 30000);
    m_process.reset();
}

QString PostgresServer::conninfo() const { return conninfo(QStringLiteral("postgres")); }

QString PostgresServer::conninfo(const QString &role, const QString &parameters) const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/postgres%3")
        .arg(role)
        .arg(m_port)
        .arg(parameters.isEmpty() ? QString() : u'?' + parameters);
}

QList<QStringList> PostgresServer::query(const QString &sql, QString *error) const
{
    QList<QStringList> rows;
    const QByteArray info = conninfo().toUtf8();
    PGconn *c = PQconnectdb(info.constData());
    if (PQstatus(c) != CONNECTION_OK) {
        if (error)
            *error = QString::fromUtf8(PQerrorMessage(c));
        PQfinish(c);
        return rows;
    }
    PGresult *r = PQexec(c, sql.toUtf8().constData());
    const ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_TUPLES_OK) {
        for (int i = 0; i < PQntuples(r); ++i) {
            QStringList row;
            for (int j = 0; j < PQnfields(r); ++j)
                row.append(PQgetisnull(r, i, j) ? QString() : QString::fromUtf8(PQgetvalue(r, i, j)));
            rows.append(row);
        }
    } else if (st != PGRES_COMMAND_OK && error) {
        *error = QString::fromUtf8(PQresultErrorMessage(r));
    }
    PQclear(r);
    PQfinish(c);
    return rows;
}

QString PostgresServer::scalar(const QString &sql, QString *error) const
{
    const QList<QStringList> rows = query(sql, error);
    return rows.isEmpty() || rows.first().isEmpty() ? QString() : rows.first().first();
}
