#include "WebView.h"

#include "StationThread.h"
#include "WebServer.h"
#include "WebSettings.h"

#include <QThread>

WebView::~WebView()
{
    if (!m_thread)
        return;
    // The server, its sockets and its SQLite connections end on the thread that made them.
    runThere([this] {
        delete m_server;
        m_server = nullptr;
    });
    m_thread->quit();
    m_thread->wait();
    m_anchor.reset();
}

void WebView::runThere(const std::function<void()> &fn)
{
    QMetaObject::invokeMethod(m_anchor.get(), fn, Qt::BlockingQueuedConnection);
}

std::unique_ptr<WebView> WebView::start(StationThread &core, const QString &programDir,
                                        const std::function<void(const QString &)> &say)
{
    const WebSettings settings = readWebSettings(programDir);
    if (!settings.enabled)
        return nullptr;
    if (!settings.error.isEmpty()) {
        say(QStringLiteral("网页服务未启动 (web view not started): [web] ") + settings.error);
        return nullptr;
    }
    std::unique_ptr<WebView> view(new WebView);
    view->m_thread = std::make_unique<QThread>();
    view->m_thread->setObjectName(QStringLiteral("web"));
    view->m_anchor = std::make_unique<QObject>();
    view->m_anchor->moveToThread(view->m_thread.get());
    view->m_thread->start();

    QString error;
    WebView *v = view.get();
    view->runThere([v, &programDir, &settings, &error, &say] {
        v->m_server = new WebServer(programDir, settings);
        // Messages reach the host on the host's thread.
        QObject::connect(v->m_server, &WebServer::message, v, [say](const QString &text) { say(text); },
                         Qt::QueuedConnection);
        if (v->m_server->start(&error))
            v->m_port = v->m_server->port();
    });
    if (!error.isEmpty()) {
        say(QStringLiteral("网页服务未启动 (web view not started): ") + error);
        return nullptr; // the destructor ends the thread and the server on it
    }

    Station *station = core.station();
    QObject::connect(station, &Station::snapshotPublished, view->m_server, &WebServer::takeSnapshot,
                     Qt::QueuedConnection);
    QObject::connect(station, &Station::eventsJournaled, view->m_server, &WebServer::takeEvents,
                     Qt::QueuedConnection);
    // What the core shows now, so the first page does not wait for the next tick; taken on the
    // core's thread.
    const StationSnapshot now = core.call([](Station &s) { return s.snapshot(); });
    QMetaObject::invokeMethod(view->m_server, [server = view->m_server, now] { server->takeSnapshot(now); },
                              Qt::QueuedConnection);
    WebSettings shown = settings;
    shown.port = view->m_port;
    say(QStringLiteral("网页服务 %1://%2 (web view listening)")
            .arg(settings.tls() ? QStringLiteral("https") : QStringLiteral("http"), shown.listenText()));
    return view;
}
