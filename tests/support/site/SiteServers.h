#pragma once
// Private servers for tests that cross the site network, the way Pty gives the serial tests a
// line of their own: each server runs from a temporary directory on a free loopback port and
// is torn down with its helper. Nothing depends on a server someone else started.
//
// PostgreSQL refuses to run as root: when the test runs as root, initdb and postgres run as
// the package's `postgres` user (the temporary directory is handed to it).

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeLoopbackPort();
// Waits up to timeoutMs for something to accept connections on 127.0.0.1:port.
bool waitForListener(quint16 port, int timeoutMs);

class MosquittoServer {
public:
    MosquittoServer();
    ~MosquittoServer();
    MosquittoServer(const MosquittoServer &) = delete;
    MosquittoServer &operator=(const MosquittoServer &) = delete;

    // Persistence on (saved on every change, so a kill -9 loses as little as the broker can),
    // queues for offline persistent sessions without a limit.
    bool start(QString *error);
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
    // "postgresql://postgres@127.0.0.1:<port>/postgres"
    QString conninfo() const;

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
