#pragma once
// Debian's chromium, headless, driven through its DevTools protocol over a WebSocket, for tests
// and benchmarks that must see what a real browser shows. Each browser runs with a fresh
// profile in a temporary directory, nothing fetched from outside, and is closed with its helper.
// Pages are "tabs" of their own (a target with a session); calls wait for their answer while
// the caller's event loop runs.

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class QWebSocket;

class Browser {
public:
    Browser();
    ~Browser();
    Browser(const Browser &) = delete;
    Browser &operator=(const Browser &) = delete;

    // Starts chromium and connects to it; false with a reason.
    bool start(QString *error);
    void stop();
    qint64 pid() const { return m_process.processId(); }

    // A new page (tab); returns its session id, empty on failure.
    QString newPage(QString *error);
    void closePage(const QString &session);

    // One DevTools call on a page (or on the browser with an empty session).
    QJsonObject call(const QString &session, const QString &method, const QJsonObject &params = {},
                     QString *error = nullptr, int timeoutMs = 15000);

    // Loads url and waits for its load event.
    bool navigate(const QString &session, const QString &url, QString *error, int timeoutMs = 15000);
    // The value of a JavaScript expression (promises awaited); undefined and *error on failure.
    QJsonValue evaluate(const QString &session, const QString &expression, QString *error = nullptr,
                        int timeoutMs = 15000);
    // Evaluates expression until it is truthy; false when timeoutMs pass first.
    bool waitFor(const QString &session, const QString &expression, int timeoutMs, QString *error = nullptr);
    // The page at width × height CSS pixels (a phone's when narrower than 500), saved as PNG.
    bool screenshot(const QString &session, int width, int height, const QString &file, QString *error);
    // Sets the viewport without a screenshot.
    bool setViewport(const QString &session, int width, int height, QString *error);

    QString log(); // what chromium wrote to standard error
    // What went wrong on a page since it was made: script exceptions, and console and network
    // errors (a refused request, a blocked resource, a Content-Security-Policy violation).
    QStringList problems(const QString &session) const;

private:
    void received(const QString &text);

    QTemporaryDir m_profile;
    QProcess m_process;
    std::unique_ptr<QWebSocket> m_socket;
    int m_nextId = 1;
    QHash<int, QJsonObject> m_answers;
    QList<QJsonObject> m_events;
    QHash<QString, QStringList> m_problems;
    QString m_log;
};

// The chromium of the Debian package.
QString chromiumProgram();
