#pragma once
// A headless station (qzstation) with its web view, on its own simulator (qzsim) and in a
// temporary program directory with one web account, for tests and benchmarks of the web view.
// Like the private servers of the site tests: everything it starts is stopped with it.

#include "Simulator.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

struct WebStationOptions {
    QString buildDir;               // the build tree with qzstation and qzsim
    int channels = 16;
    int storageMs = 1000;
    QByteArray extraWebIni;         // more keys of [web] (CertFile=…)
    // Runs on the program directory before the station starts (history to read, say).
    std::function<void(const QString &home)> prepareHome;
};

class WebStation {
public:
    static inline const QString User = QStringLiteral("operator");
    static inline const QString Password = QStringLiteral("correct horse 7");

    WebStation();
    ~WebStation();
    WebStation(const WebStation &) = delete;
    WebStation &operator=(const WebStation &) = delete;

    // Simulator, program directory, account, station; waits until the web view listens.
    bool start(const WebStationOptions &options, QString *error);
    // SIGTERM; the station's exit code (-1 when it had to be killed).
    int stop();

    QString home() const { return m_home.path(); }
    quint16 port() const { return m_port; }
    QString baseUrl() const;
    qint64 stationPid() const { return m_station.processId(); }
    bool stationRunning() const { return m_station.state() == QProcess::Running; }
    Simulator &simulator() { return *m_simulator; }
    QString stationLog();

    // Logs in with the account over plain HTTP and returns the session cookie's value.
    QByteArray login(QString *error);

    // The stored records since a moment: time and the text of channel 1, in time order.
    QList<QPair<QDateTime, QString>> storedSince(const QDateTime &since) const;
    // The newest record: its time and the value texts of channels 1 … count (trimmed).
    QPair<QDateTime, QStringList> newestRecord(int count) const;

private:
    QTemporaryDir m_home;
    std::unique_ptr<Simulator> m_simulator;
    QProcess m_station;
    quint16 m_port = 0;
    QString m_log;
};

// Writes the history table with records the way the station stores them (for tests that read
// history): every `periodMs` from `from` for `count` records; valueAt gives channel values
// ("-1000.000" for an interruption), skip leaves a record out (a span without records).
bool writeHistory(const QString &home, const QDateTime &from, int periodMs, int count,
                  const std::function<QString(int record, int channel)> &valueAt,
                  const std::function<bool(int record)> &skip, QString *error);
