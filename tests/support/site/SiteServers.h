#pragma once
// Private servers for tests that cross the site network, the way Pty gives the serial tests a
// line of their own: each server runs from a temporary directory on a free loopback port and
// is torn down with its helper. Nothing depends on a server someone else started.
//
// PostgreSQL refuses to run as root: when the test runs as root, initdb and postgres run as
// the package's `postgres` user (the temporary directory is handed to it).

#include "Loopback.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>


// A test CA and a broker certificate it signed for 127.0.0.1 (openssl, EC keys, two days):
// dir/ca.crt, dir/broker.crt, dir/broker.key.
bool makeTestCertificates(const QString &dir, QString *error);
// Adds an account to a mosquitto password file (mosquitto_passwd), creating the file first.
bool addBrokerAccount(const QString &passwordFile, const QString &user, const QString &password, QString *error);

class MosquittoServer {
public:
    MosquittoServer();
    ~MosquittoServer();
    MosquittoServer(const MosquittoServer &) = delete;
    MosquittoServer &operator=(const MosquittoServer &) = delete;

    // Persistence on (saved on every change, so a kill -9 loses as little as the broker can),
    // queues for offline persistent sessions without a limit.
    bool start(QString *error);
    // From now on start() runs this configuration instead of the open one: listeners,
    // accounts, ACL and TLS are the caller's; persistence, the log and, as root, "user root"
    // are added. start() then waits for waitPort. The files it names may live in dir().
    void setConfiguration(const QByteArray &text, quint16 waitPort);
    QString dir() const { return m_dir.path(); }
    // Again on the same port with the same persistence file.
    bool restart(QString *error) { return start(error); }
    void kill9();
    void stop();
    bool isRunning() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString log() const;

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QByteArray m_configuration;
    std::unique_ptr<QProcess> m_process;
};

class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // initdb on the first start, then the server; waits until it answers.
    bool start(QString *error);
    bool restart(QString *error) { return start(error); }
    void kill9();
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    // "postgresql://postgres@127.0.0.1:<port>/postgres", or as another role (trust: no
    // password), with URI parameters ("options=-c%20lock_timeout%3D1000").
    QString conninfo() const;
    QString conninfo(const QString &role, const QString &parameters = QString()) const;

    // Runs one statement; the rows as texts (NULL as a null QString). Empty on error.
    QList<QStringList> query(const QString &sql, QString *error = nullptr) const;
    // The first column of the first row, or a null QString.
    QString scalar(const QString &sql, QString *error = nullptr) const;

private:
    bool run(const QString &program, const QStringList &args, QString *output);
    void prepareChild(QProcess &p) const;
    qint64 postmasterPid() const;

    QTemporaryDir m_dir;
    QString m_data;
    quint16 m_port = 0;
    bool m_initialised = false;
    std::unique_ptr<QProcess> m_process;
    int m_uid = -1;
    int m_gid = -1;
};
