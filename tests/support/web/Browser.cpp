#include "Browser.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QThread>
#include <QWebSocket>

namespace {

void spin(int ms)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
    QThread::msleep(1);
}

} // namespace

QString chromiumProgram()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    return found.isEmpty() ? QStringLiteral("/usr/bin/chromium") : found;
}

Browser::Browser() = default;

Browser::~Browser() { stop(); }

bool Browser::start(QString *error)
{
    if (!m_profile.isValid()) {
        *error = QStringLiteral("no temporary directory for the profile");
        return false;
    }
    const QStringList args = {
        QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
        QStringLiteral("--disable-quic"), QStringLiteral("--no-first-run"),
        QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"), QStringLiteral("--user-data-dir=") + m_profile.path(),
        QStringLiteral("--remote-debugging-port=0"), QStringLiteral("--disable-extensions"),
        QStringLiteral("--disable-default-apps"), QStringLiteral("--password-store=basic"),
        QStringLiteral("--disable-dev-shm-usage"), QStringLiteral("--lang=zh-CN"), QStringLiteral("--hide-scrollbars"), QStringLiteral("--mute-audio"),
        // Timers of pages that are not in front are not held back: several tabs stay live.
        QStringLiteral("--disable-background-timer-throttling"), QStringLiteral("--disable-renderer-backgrounding"),
        QStringLiteral("--disable-backgrounding-occluded-windows"), QStringLiteral("about:blank")};
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        if (m_log.size() > 200000)
            m_log = m_log.right(100000);
    });
    m_process.start(chromiumProgram(), args);
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("chromium did not start: ") + m_process.errorString();
        return false;
    }
    // The port and the browser's path, written once it listens.
    const QString portFile = m_profile.filePath(QStringLiteral("DevToolsActivePort"));
    QElapsedTimer clock;
    clock.start();
    QStringList lines;
    while (clock.elapsed() < 30000 && m_process.state() == QProcess::Running) {
        QFile f(portFile);
        if (f.open(QIODevice::ReadOnly)) {
            lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
            if (lines.size() >= 2)
                break;
        }
        spin(50);
    }
    if (lines.size() < 2) {
        *error = QStringLiteral("chromium did not open its DevTools port: ") + log();
        return false;
    }
    m_socket = std::make_unique<QWebSocket>();
    m_socket->setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    m_socket->setMaxAllowedIncomingFrameSize(256 * 1024 * 1024);
    QObject::connect(m_socket.get(), &QWebSocket::textMessageReceived, [this](const QString &t) { received(t); });
    m_socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(lines.at(0).trimmed(), lines.at(1).trimmed())));
    clock.restart();
    while (m_socket->state() != QAbstractSocket::ConnectedState && clock.elapsed() < 10000)
        spin(20);
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        *error = QStringLiteral("cannot reach chromium's DevTools: ") + m_socket->errorString();
        return false;
    }
    return true;
}

void Browser::stop()
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        QString ignored;
        call(QString(), QStringLiteral("Browser.close"), {}, &ignored, 3000);
    }
    m_socket.reset();
    if (m_process.state() != QProcess::NotRunning) {
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QStringList Browser::problems(const QString &session) const { return m_problems.value(session); }

QString Browser::log()
{
    if (m_process.state() != QProcess::NotRunning)
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_log;
}

void Browser::received(const QString &text)
{
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.contains(QLatin1String("id"))) {
        m_answers.insert(message.value(QLatin1String("id")).toInt(), message);
        return;
    }
    m_events.append(message);
    const QString method = message.value(QLatin1String("method")).toString();
    const QString session = message.value(QLatin1String("sessionId")).toString();
    const QJsonObject params = message.value(QLatin1String("params")).toObject();
    if (method == QLatin1String("Runtime.exceptionThrown")) {
        m_problems[session].append(QStringLiteral("exception: ")
                                   + QString::fromUtf8(QJsonDocument(params.value(QLatin1String("exceptionDetails")).toObject())
                                                           .toJson(QJsonDocument::Compact)));
    } else if (method == QLatin1String("Log.entryAdded")) {
        const QJsonObject entry = params.value(QLatin1String("entry")).toObject();
        if (entry.value(QLatin1String("level")).toString() == QLatin1String("error"))
            m_problems[session].append(entry.value(QLatin1String("source")).toString() + QStringLiteral(": ")
                                       + entry.value(QLatin1String("text")).toString() + QLatin1Char(' ')
                                       + entry.value(QLatin1String("url")).toString());
    } else if (method == QLatin1String("Runtime.consoleAPICalled")
               && params.value(QLatin1String("type")).toString() == QLatin1String("error")) {
        m_problems[session].append(QStringLiteral("console.error"));
    }
    if (m_events.size() > 1000)
        m_events.remove(0, 500);
}

QJsonObject Browser::call(const QString &session, const QString &method, const QJsonObject &params, QString *error,
                          int timeoutMs)
{
    if (!m_socket) {
        if (error)
            *error = QStringLiteral("no browser");
        return {};
    }
    const int id = m_nextId++;
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!session.isEmpty())
        message.insert(QStringLiteral("sessionId"), session);
    m_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    QElapsedTimer clock;
    clock.start();
    while (!m_answers.contains(id) && clock.elapsed() < timeoutMs && m_socket->state() == QAbstractSocket::ConnectedState)
        spin(20);
    if (!m_answers.contains(id)) {
        if (error)
            *error = QStringLiteral("%1: no answer from chromium").arg(method);
        return {};
    }
    const QJsonObject answer = m_answers.take(id);
    if (answer.contains(QLatin1String("error"))) {
        if (error)
            *error = method + QStringLiteral(": ")
                + QString::fromUtf8(QJsonDocument(answer.value(QLatin1String("error")).toObject()).toJson(QJsonDocument::Compact));
        return {};
    }
    if (error)
        error->clear();
    return answer.value(QLatin1String("result")).toObject();
}

QString Browser::newPage(QString *error)
{
    const QJsonObject target = call(QString(), QStringLiteral("Target.createTarget"),
                                    {{QStringLiteral("url"), QStringLiteral("about:blank")}}, error);
    const QString targetId = target.value(QLatin1String("targetId")).toString();
    if (targetId.isEmpty())
        return {};
    const QJsonObject attached = call(QString(), QStringLiteral("Target.attachToTarget"),
                                      {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}}, error);
    const QString session = attached.value(QLatin1String("sessionId")).toString();
    if (session.isEmpty())
        return {};
    call(session, QStringLiteral("Page.enable"), {}, error);
    call(session, QStringLiteral("Runtime.enable"), {}, error);
    call(session, QStringLiteral("Log.enable"), {}, error);
    return session;
}

void Browser::closePage(const QString &session)
{
    QString ignored;
    call(session, QStringLiteral("Page.close"), {}, &ignored, 3000);
}

bool Browser::navigate(const QString &session, const QString &url, QString *error, int timeoutMs)
{
    m_events.removeIf([&session](const QJsonObject &e) {
        return e.value(QLatin1String("sessionId")).toString() == session;
    });
    const QJsonObject r = call(session, QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}}, error, timeoutMs);
    if (r.isEmpty())
        return false;
    if (r.contains(QLatin1String("errorText"))) {
        *error = url + QStringLiteral(": ") + r.value(QLatin1String("errorText")).toString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        for (const QJsonObject &e : std::as_const(m_events))
            if (e.value(QLatin1String("sessionId")).toString() == session
                && e.value(QLatin1String("method")).toString() == QLatin1String("Page.loadEventFired"))
                return true;
        spin(20);
    }
    *error = url + QStringLiteral(": no load event");
    return false;
}

QJsonValue Browser::evaluate(const QString &session, const QString &expression, QString *error, int timeoutMs)
{
    QString e;
    const QJsonObject r = call(session, QStringLiteral("Runtime.evaluate"),
                               {{QStringLiteral("expression"), expression},
                                {QStringLiteral("awaitPromise"), true},
                                {QStringLiteral("returnByValue"), true}},
                               &e, timeoutMs);
    if (!e.isEmpty()) {
        if (error)
            *error = e;
        return QJsonValue(QJsonValue::Undefined);
    }
    if (r.contains(QLatin1String("exceptionDetails"))) {
        if (error)
            *error = QString::fromUtf8(QJsonDocument(r.value(QLatin1String("exceptionDetails")).toObject()).toJson(QJsonDocument::Compact));
        return QJsonValue(QJsonValue::Undefined);
    }
    if (error)
        error->clear();
    return r.value(QLatin1String("result")).toObject().value(QLatin1String("value"));
}

bool Browser::waitFor(const QString &session, const QString &expression, int timeoutMs, QString *error)
{
    QElapsedTimer clock;
    clock.start();
    QString last;
    do {
        QString e;
        const QJsonValue v = evaluate(session, QStringLiteral("!!(%1)").arg(expression), &e, 5000);
        if (v.toBool())
            return true;
        if (!e.isEmpty())
            last = e;
        spin(50);
        QThread::msleep(50);
    } while (clock.elapsed() < timeoutMs);
    if (error)
        *error = QStringLiteral("waited %1 ms for %2 %3").arg(timeoutMs).arg(expression, last);
    return false;
}

bool Browser::setViewport(const QString &session, int width, int height, QString *error)
{
    const QJsonObject r = call(session, QStringLiteral("Emulation.setDeviceMetricsOverride"),
                               {{QStringLiteral("width"), width},
                                {QStringLiteral("height"), height},
                                {QStringLiteral("deviceScaleFactor"), 1},
                                {QStringLiteral("mobile"), width < 500}},
                               error);
    return error->isEmpty();
}

bool Browser::screenshot(const QString &session, int width, int height, const QString &file, QString *error)
{
    if (!setViewport(session, width, height, error))
        return false;
    // Let the page lay itself out at the new size before it is captured.
    evaluate(session, QStringLiteral("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))"), error);
    const QJsonObject shot = call(session, QStringLiteral("Page.captureScreenshot"), {{QStringLiteral("format"), QStringLiteral("png")}}, error);
    const QByteArray png = QByteArray::fromBase64(shot.value(QLatin1String("data")).toString().toLatin1());
    if (png.isEmpty())
        return false;
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(png) != png.size()) {
        *error = file + QStringLiteral(": ") + f.errorString();
        return false;
    }
    return true;
}
