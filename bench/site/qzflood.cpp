// qzflood: a synthetic publisher for the collector's ingest benchmark. Publishes `record`
// messages (32 channels) for --stations station names, round robin, QoS 1, keeping up to
// --window messages unacknowledged, as fast as the broker takes them. Each station's records
// are one second apart from --start on, so every message is a new row.
//
//   qzflood --port PORT [--host 127.0.0.1] [--stations 100] [--records 1000000] [--window 2000]
//           [--prefix bench] [--user NAME] [--cafile FILE]
//
// Prints the rate at the end (messages acknowledged by the broker per second).
//
// One message instead, as a station or an intruder would send it (the poison of proof.sh):
//
//   qzflood --port PORT --publish TOPIC (--payload TEXT | --payload-size N) [--qos 1]
//           [--user NAME] [--cafile FILE]
//
// prints whether the broker acknowledged it or dropped the connection for it. With --user the
// password comes from QZ_MQTT_PASSWORD; with --cafile the connection is TLS.

#include "SitePayload.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <ctime>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mosquitto.h>
#include <mutex>

namespace {
std::mutex g_mutex;
std::condition_variable g_acked;
std::atomic<qint64> g_inFlight{0};
std::atomic<qint64> g_done{0};

QString arg(const QStringList &args, const QString &name, const QString &fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QByteArray host = arg(args, QStringLiteral("--host"), QStringLiteral("127.0.0.1")).toUtf8();
    const int port = arg(args, QStringLiteral("--port"), QStringLiteral("1883")).toInt();
    const int stations = arg(args, QStringLiteral("--stations"), QStringLiteral("100")).toInt();
    const qint64 records = arg(args, QStringLiteral("--records"), QStringLiteral("1000000")).toLongLong();
    const int window = arg(args, QStringLiteral("--window"), QStringLiteral("2000")).toInt();
    const QString prefix = arg(args, QStringLiteral("--prefix"), QStringLiteral("bench"));
    const QByteArray user = arg(args, QStringLiteral("--user"), QString()).toUtf8();
    const QByteArray password = qgetenv("QZ_MQTT_PASSWORD");
    const QByteArray cafile = arg(args, QStringLiteral("--cafile"), QString()).toLocal8Bit();
    const QByteArray oneTopic = arg(args, QStringLiteral("--publish"), QString()).toUtf8();
    if (stations < 1 || records < 1 || window < 1) {
        std::fprintf(stderr, "qzflood: bad arguments\n");
        return 2;
    }

    mosquitto_lib_init();
    mosquitto *mosq = mosquitto_new(("qzflood-" + prefix).toUtf8().constData(), true, nullptr);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq, unsigned(window));
    if (!user.isEmpty())
        mosquitto_username_pw_set(mosq, user.constData(), password.isEmpty() ? nullptr : password.constData());
    if (!cafile.isEmpty() && mosquitto_tls_set(mosq, cafile.constData(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "qzflood: cannot use CA file %s\n", cafile.constData());
        return 2;
    }

    if (!oneTopic.isEmpty()) {
        // One message; then the broker's answer: an acknowledgement, or the connection dropped.
        QByteArray payload = arg(args, QStringLiteral("--payload"), QString()).toUtf8();
        const qint64 size = arg(args, QStringLiteral("--payload-size"), QStringLiteral("-1")).toLongLong();
        if (size >= 0)
            payload = QByteArray(size, 'x');
        const int qos = arg(args, QStringLiteral("--qos"), QStringLiteral("1")).toInt();
        static std::atomic<int> outcome{0}; // 1 acknowledged, 2 disconnected
        mosquitto_publish_callback_set(mosq, [](mosquitto *, void *, int) { outcome = 1; });
        mosquitto_disconnect_callback_set(mosq, [](mosquitto *, void *, int rc) {
            if (rc != 0 && outcome == 0)
                outcome = 2;
        });
        if (mosquitto_connect(mosq, host.constData(), port, 60) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "qzflood: cannot connect to %s:%d\n", host.constData(), port);
            return 1;
        }
        mosquitto_loop_start(mosq);
        const int rc = mosquitto_publish(mosq, nullptr, oneTopic.constData(), int(payload.size()), payload.constData(), qos, false);
        QElapsedTimer t;
        t.start();
        while (rc == MOSQ_ERR_SUCCESS && outcome == 0 && t.elapsed() < 10000)
            QThread::msleep(20);
        std::printf("qzflood: %s (%lld bytes): %s\n", oneTopic.constData(), qlonglong(payload.size()),
                    rc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(rc)
                    : outcome == 1         ? "acknowledged by the broker"
                    : outcome == 2         ? "the broker dropped the connection"
                                           : "no answer within 10 s");
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        mosquitto_destroy(mosq);
        mosquitto_lib_cleanup();
        return 0;
    }
    mosquitto_publish_callback_set(mosq, [](mosquitto *, void *, int) {
        g_inFlight.fetch_sub(1);
        g_done.fetch_add(1);
        g_acked.notify_one();
    });
    if (mosquitto_connect(mosq, host.constData(), port, 60) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "qzflood: cannot connect to %s:%d\n", host.constData(), port);
        return 1;
    }
    mosquitto_loop_start(mosq);

    QList<QByteArray> topics;
    for (int s = 0; s < stations; ++s)
        topics.append(QStringLiteral("qz/%1-%2/record").arg(prefix).arg(s, 3, 10, QLatin1Char('0')).toUtf8());
    // Payloads are written directly (UTC times) so the publisher is not what limits the run;
    // their shape is the station's (encodeRecord).
    const qint64 start = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
    char buf[1024];
    QElapsedTimer t;
    t.start();
    for (qint64 i = 0; i < records; ++i) {
        {
            std::unique_lock lock(g_mutex);
            g_acked.wait_for(lock, std::chrono::milliseconds(100), [&] { return g_inFlight.load() < window; });
        }
        if (g_inFlight.load() >= window) {
            --i;
            continue;
        }
        const time_t second = time_t(start + i / stations);
        tm utc {};
        gmtime_r(&second, &utc);
        int len = std::snprintf(buf, sizeof buf, "{\"datim\":\"%04d-%02d-%02dT%02d:%02d:%02d.000+00:00\",\"values\":[",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        for (int k = 0; k < MaxChannels; ++k) {
            if (k == 4) // an interrupted channel
                len += std::snprintf(buf + len, sizeof buf - size_t(len), "null,");
            else
                len += std::snprintf(buf + len, sizeof buf - size_t(len), "%.3f,", 20.0 + k + double(i % 1000) / 1000.0);
        }
        buf[len - 1] = ']';
        buf[len++] = '}';
        const QByteArray payload(buf, len);
        g_inFlight.fetch_add(1);
        const QByteArray &topic = topics[int(i % stations)];
        if (mosquitto_publish(mosq, nullptr, topic.constData(), int(payload.size()), payload.constData(), 1, false)
            != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "qzflood: publish failed at %lld\n", i);
            return 1;
        }
    }
    while (g_done.load() < records) {
        std::unique_lock lock(g_mutex);
        g_acked.wait_for(lock, std::chrono::milliseconds(100));
    }
    const double s = double(t.elapsed()) / 1000.0;
    std::printf("qzflood: %lld records from %d stations in %.2f s: %.0f/s acknowledged by the broker\n",
                records, stations, s, double(records) / s);
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
