#pragma once
// The collector as a site runs it, for the collector's tests: the real qzcollect as a child
// process with its log in a file, and publishers with the station's own MQTT client
// (MqttLink, libmosquitto) sending what a station, a forger or a broken client would send.

#include "MqttLink.h"
#include "SiteServers.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>
#include <csignal>
#include <memory>

namespace collectorfixture {

class CollectorProcess {
public:
    explicit CollectorProcess(const QString &logFile) : m_log(logFile) {}
    ~CollectorProcess() { terminate(); }

    void start(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(env);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardOutputFile(m_log, QIODevice::Append);
        m_process->start(QStringLiteral(QZ_BINARY_DIR "/tools/qzcollect/qzcollect"), args);
        m_process->waitForStarted(5000);
    }
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    void kill9()
    {
        if (!isRunning())
            return;
        ::kill(pid_t(m_process->processId()), SIGKILL);
        m_process->waitForFinished(5000);
    }
    // SIGTERM; the exit code, or -1 when it did not end in time.
    int terminate()
    {
        if (!isRunning())
            return m_process ? m_process->exitCode() : -1;
        m_process->terminate();
        if (!m_process->waitForFinished(15000)) {
            kill9();
            return -1;
        }
        return m_process->exitCode();
    }
    QProcess *process() { return m_process.get(); }
    QString log() const
    {
        QFile f(m_log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    int count(const QString &text) const { return int(log().count(text)); }

private:
    QString m_log;
    std::unique_ptr<QProcess> m_process;
};

// A client of the broker with the station's MQTT library; publishes anything anywhere.
class Publisher {
public:
    bool start(const QString &host, quint16 port, const QString &name, const QString &user = QString(),
               const QString &password = QString(), bool tls = false, const QString &caFile = QString())
    {
        SiteSettings s;
        s.host = host;
        s.port = port;
        s.station = name;
        s.user = user;
        s.password = password;
        s.tls = tls;
        s.caFile = caFile;
        QString error;
        if (!m_link.start(s, s.topic(QStringLiteral("status")), QByteArray("{\"online\":false}"), &error))
            return false;
        QElapsedTimer t;
        t.start();
        while (!m_link.isConnected() && t.elapsed() < 10000)
            QTest::qWait(20);
        return m_link.isConnected();
    }
    // Publishes and waits until the broker has the message (QoS 1) or it is written (QoS 0).
    bool publish(const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false)
    {
        QSignalSpy done(&m_link, &MqttLink::published);
        const int mid = m_link.publish(topic, payload, qos, retain);
        if (mid < 0)
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000) {
            for (const QList<QVariant> &args : std::as_const(done)) {
                if (args.at(0).toInt() == mid)
                    return true;
            }
            QTest::qWait(10);
        }
        return false;
    }
    MqttLink &link() { return m_link; }

private:
    MqttLink m_link;
};

// A record message as a station sends it: one second after 2026-03-01T08:00:00+08:00 per
// index, channel 1 = value, the others null.
inline QByteArray recordPayload(int index, double value)
{
    const QDateTime t = QDateTime(QDate(2026, 3, 1), QTime(8, 0), QTimeZone(8 * 3600)).addSecs(index);
    return QStringLiteral(R"({"datim":"%1","values":[%2]})")
        .arg(t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz+08:00")))
        .arg(value)
        .toUtf8();
}

} // namespace collectorfixture
