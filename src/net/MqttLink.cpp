#include "MqttLink.h"

#include <QDebug>
#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mosquitto.h>
#include <mutex>
#include <thread>

namespace {

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

void ensureLibrary()
{
    static LibraryInit init;
}

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

// The client thread's side. Shared with the thread, so that a thread left behind at stop()
// never touches freed memory.
struct MqttLink::Worker {
    mosquitto *mosq = nullptr;
    MqttLink *owner = nullptr; // guarded by mutex; cleared by stop() before it returns
    QByteArray host;
    int port = 0;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool finished = false;
    bool abandoned = false;
    bool accepted = false; // the broker accepted a connection (client thread only)
    int lastMid = 0; // the last status stop() sent, 0 for none (guarded by mutex)
    std::atomic<int> acked{0}; // the message the broker acknowledged last

    void run();
    // Waits up to ms unless stopping; true when stopping.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
    bool isStopping()
    {
        std::lock_guard lock(mutex);
        return stopping;
    }
    // Queues f(owner) on the UI thread. Holding the mutex keeps stop() (and so the owner's
    // destruction) from passing while the call is being queued; Qt drops queued calls of an
    // object that is gone.
    template <typename F>
    void toOwner(F &&f)
    {
        std::lock_guard lock(mutex);
        if (owner) {
            MqttLink *o = owner;
            QMetaObject::invokeMethod(o, [o, f = std::forward<F>(f)] { f(o); }, Qt::QueuedConnection);
        }
    }
};

void MqttLink::Worker::run()
{
    int delay = 1000;
    bool started = false;
    bool socketUp = false;
    while (!isStopping()) {
        if (!socketUp) {
            // Name lookup and connect happen here, off the UI thread.
            const int rc = started ? mosquitto_reconnect_async(mosq)
                                   : mosquitto_connect_async(mosq, host.constData(), port, 30);
            started = true;
            if (rc != MOSQ_ERR_SUCCESS) {
                const QString reason = errorText(rc);
                toOwner([reason](MqttLink *o) { o->onDisconnect(reason); });
                if (pause(delay))
                    break;
                delay = std::min(delay * 2, MqttLink::MaxReconnectDelayMs);
                continue;
            }
            socketUp = true;
        }
        // Publishing and stop() wake the loop through the client's socket pair; the timeout only
        // bounds how late keep-alive work is done.
        const int rc = mosquitto_loop(mosq, 1000, 1);
        if (accepted) {
            accepted = false;
            delay = 1000; // an accepted connection resets the back-off; a refused one does not
        }
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        socketUp = false;
        const QString reason = errorText(rc);
        toOwner([reason](MqttLink *o) { o->onDisconnect(reason); });
        if (pause(delay))
            break;
        delay = std::min(delay * 2, MqttLink::MaxReconnectDelayMs);
    }
    // Stopping. The last status stop() sent is waited for until the broker acknowledges it,
    // and only then DISCONNECT goes out: it may wait behind messages still in flight, and a
    // connection closed while the broker's acknowledgements are still arriving unread is reset
    // instead of closed, so that the broker loses the DISCONNECT and publishes the last will.
    // The bound is for a broker that stops answering or a machine so loaded that this thread
    // waits for a core.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(MqttLink::FlushMs);
    int last;
    {
        std::lock_guard lock(mutex);
        last = lastMid;
    }
    if (last != 0) {
        while (socketUp && acked.load() != last && std::chrono::steady_clock::now() < until) {
            if (mosquitto_loop(mosq, 50, 1) != MOSQ_ERR_SUCCESS)
                socketUp = false;
        }
        if (socketUp)
            mosquitto_disconnect(mosq);
    }
    // Let the client write DISCONNECT (it closes the connection after it), given a moment of its
    // own when the acknowledgement took the whole bound.
    const auto flushed = std::max(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    while (socketUp && std::chrono::steady_clock::now() < flushed) {
        if (mosquitto_loop(mosq, 50, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
    bool destroy;
    {
        std::lock_guard lock(mutex);
        finished = true;
        destroy = abandoned;
        wake.notify_all();
    }
    if (destroy)
        mosquitto_destroy(mosq);
}

MqttLink::MqttLink(QObject *parent) : QObject(parent) {}

MqttLink::~MqttLink() { stop(); }

bool MqttLink::start(const SiteSettings &settings, const QString &willTopic, const QByteArray &will, QString *error)
{
    stop();
    ensureLibrary();
    const QByteArray clientId = (QStringLiteral("qz-") + settings.station).toUtf8();
    mosquitto *mosq = mosquitto_new(clientId.constData(), true, nullptr);
    if (!mosq) {
        *error = QStringLiteral("mosquitto_new: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    auto fail = [&](const QString &what, int rc) {
        *error = QStringLiteral("%1: %2").arg(what, errorText(rc));
        mosquitto_destroy(mosq);
        return false;
    };
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(mosq, 100);
    if (!settings.user.isEmpty()) {
        const QByteArray user = settings.user.toUtf8(), password = settings.password.toUtf8();
        const int rc = mosquitto_username_pw_set(mosq, user.constData(),
                                                 settings.password.isEmpty() ? nullptr : password.constData());
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("user name"), rc);
    }
    if (settings.tls) {
        int rc;
        if (settings.caFile.isEmpty()) {
            rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            if (!QFile::exists(settings.caFile)) {
                *error = QStringLiteral("CAFile %1: no such file").arg(settings.caFile);
                mosquitto_destroy(mosq);
                return false;
            }
            const QByteArray ca = QFile::encodeName(settings.caFile);
            rc = mosquitto_tls_set(mosq, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("TLS"), rc);
    }
    const QByteArray wt = willTopic.toUtf8();
    int rc = mosquitto_will_set(mosq, wt.constData(), int(will.size()), will.constData(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("last will"), rc);

    m_worker = std::make_shared<Worker>();
    mosquitto_user_data_set(mosq, m_worker.get());
    mosquitto_connect_callback_set(mosq, [](mosquitto *, void *obj, int code) {
        auto *w = static_cast<Worker *>(obj);
        const QString reason = code == 0 ? QString() : QString::fromUtf8(mosquitto_connack_string(code));
        if (code == 0)
            w->accepted = true;
        w->toOwner([code, reason](MqttLink *o) { o->onConnect(code, reason); });
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto *, void *obj, int code) {
        const QString reason = code == 0 ? QStringLiteral("disconnected") : errorText(code);
        static_cast<Worker *>(obj)->toOwner([reason](MqttLink *o) { o->onDisconnect(reason); });
    });
    mosquitto_publish_callback_set(mosq, [](mosquitto *, void *obj, int mid) {
        auto *w = static_cast<Worker *>(obj);
        w->acked.store(mid);
        w->toOwner([mid](MqttLink *o) { Q_EMIT o->published(mid); });
    });

    m_mosq = mosq;
    m_worker->mosq = mosq;
    m_worker->owner = this;
    m_worker->host = settings.host.toUtf8();
    m_worker->port = settings.port;
    m_worker->thread = std::thread([w = m_worker] { w->run(); });
    return true;
}

void MqttLink::stop(const QString &lastTopic, const QByteArray &last, int waitMs)
{
    if (!m_mosq)
        return;
    // The last status goes out now (which also wakes the client thread); the client thread
    // disconnects once the broker has it. Without one, DISCONNECT goes out at once.
    int lastMid = 0;
    if (m_connected && !lastTopic.isEmpty()) {
        const QByteArray t = lastTopic.toUtf8();
        if (mosquitto_publish(m_mosq, &lastMid, t.constData(), int(last.size()), last.constData(), 1, true) != MOSQ_ERR_SUCCESS)
            lastMid = 0;
    }
    if (lastMid == 0)
        mosquitto_disconnect(m_mosq);
    std::shared_ptr<Worker> w = std::move(m_worker);
    bool finished;
    {
        std::unique_lock lock(w->mutex);
        w->lastMid = lastMid;
        w->owner = nullptr;
        w->stopping = true;
        w->wake.notify_all();
        finished = w->wake.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return w->finished; });
        if (!finished)
            w->abandoned = true;
    }
    if (finished) {
        w->thread.join();
        mosquitto_destroy(m_mosq);
    } else {
        // Still inside a blocking name lookup or connect: the thread ends on its own and
        // destroys the client then; its queued calls find no owner.
        qWarning().noquote() << QStringLiteral("site network: the client thread did not end in %1 ms").arg(waitMs);
        w->thread.detach();
    }
    m_mosq = nullptr;
    if (m_connected) {
        m_connected = false;
        Q_EMIT disconnected(QStringLiteral("stopped"));
    }
}

int MqttLink::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_mosq || !m_connected)
        return -1;
    int mid = 0;
    const QByteArray t = topic.toUtf8();
    const int rc = mosquitto_publish(m_mosq, &mid, t.constData(), int(payload.size()), payload.constData(), qos, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void MqttLink::onConnect(int rc, const QString &reason)
{
    if (!m_mosq)
        return;
    if (rc != 0) {
        onDisconnect(QStringLiteral("refused: %1").arg(reason));
        return;
    }
    m_connected = true;
    Q_EMIT connected();
}

void MqttLink::onDisconnect(const QString &reason)
{
    if (!m_mosq)
        return;
    const bool was = m_connected;
    m_connected = false;
    if (was || !reason.isEmpty())
        Q_EMIT disconnected(reason);
}
