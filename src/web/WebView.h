#pragma once
// The web view beside a running station core: its own thread with the web server on it,
// connected to the core's published snapshots and journal rows (queued copies). Started by the
// host (the window's main() or the headless station's hook) once the core runs; destroyed
// before the core stops. Nothing the web view does can delay the core: it never calls into the
// station, and the station never waits for it.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QThread;
class StationThread;
class WebServer;

class WebView : public QObject {
    Q_OBJECT
public:
    ~WebView() override;

    // Reads [web] of KTcom.ini in programDir; without it returns nullptr and says nothing.
    // When the section cannot be used or the server cannot listen, says why through `say` and
    // returns nullptr: the station runs on without it.
    static std::unique_ptr<WebView> start(StationThread &core, const QString &programDir,
                                          const std::function<void(const QString &)> &say);

    quint16 port() const { return m_port; }

private:
    WebView() = default;
    void runThere(const std::function<void()> &fn);

    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_anchor; // lives on the web thread: the context of runThere
    WebServer *m_server = nullptr;
    quint16 m_port = 0;
};
