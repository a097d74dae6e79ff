// The station's MQTT client against a real broker, at the moment that matters most to the
// site: the end. A station that stops says "offline" itself, retained, and leaves with
// DISCONNECT, so the broker drops its last will. It stops while the broker is still
// acknowledging what the station sent just before (records and events go out at QoS 1), as
// a station does that ends in the middle of its work.

#include "BrokerWatcher.h"
#include "MqttLink.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

class TestMqttLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stopLeavesTheLastStatusNotTheWill();
};

void TestMqttLink::stopLeavesTheLastStatusNotTheWill()
{
    MosquittoServer broker;
    QString error;
    QVERIFY2(broker.start(&error), qPrintable(error));

    constexpr int Rounds = 30;
    constexpr int Burst = 300;
    const QByteArray will = R"({"online":false})";
    const QByteArray record(200, 'r');
    for (int k = 0; k < Rounds; ++k) {
        SiteSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.port = broker.port();
        s.station = QStringLiteral("round-%1").arg(k);
        MqttLink link;
        QSignalSpy connected(&link, &MqttLink::connected);
        QVERIFY2(link.start(s, s.topic(QStringLiteral("status")), will, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 10000);
        link.publish(s.topic(QStringLiteral("status")), R"({"online":true})", 1, true);
        for (int i = 0; i < Burst; ++i)
            QVERIFY(link.publish(s.topic(QStringLiteral("record")), record, 1, false) > 0);
        // Stop while the acknowledgements are on their way, sooner or later in the burst.
        QTest::qWait(k % 4);
        link.stop(s.topic(QStringLiteral("status")), QByteArray(R"({"online":false,"last":)") + QByteArray::number(k) + '}');
        QVERIFY(!link.isRunning());
    }

    // Every station's retained status is its own last word.
    MqttSubscriber watcher(brokerWatcher(broker, QStringLiteral("watch"), {QStringLiteral("qz/+/status")}));
    QMap<QString, QByteArray> retained;
    connect(&watcher, &MqttSubscriber::message, this, [&](const QString &topic, const QByteArray &payload, quint16 id, int qos) {
        retained.insert(topic, payload);
        if (qos > 0)
            watcher.ack(id);
    });
    watcher.start();
    QTRY_COMPARE_WITH_TIMEOUT(retained.size(), Rounds, 10000);
    QStringList wrong;
    for (int k = 0; k < Rounds; ++k) {
        const QByteArray expected = QByteArray(R"({"online":false,"last":)") + QByteArray::number(k) + '}';
        const QString topic = QStringLiteral("qz/round-%1/status").arg(k);
        if (retained.value(topic) != expected)
            wrong.append(topic + QStringLiteral(": ") + QString::fromUtf8(retained.value(topic)));
    }
    if (!wrong.isEmpty()) {
        qInfo().noquote() << "broker log:\n" << broker.log();
        QFAIL(qPrintable(QStringLiteral("%1 of %2 rounds, the first %3").arg(wrong.size()).arg(Rounds).arg(wrong.first())));
    }
    // Each left with DISCONNECT ("disconnected."), none by a connection closed or reset under
    // the broker ("closed its connection", "disconnected due to …").
    const QString log = broker.log();
    const QRegularExpression clean(QStringLiteral("^\\d+: Client qz-round-\\d+ disconnected\\.$"), QRegularExpression::MultilineOption);
    QVERIFY2(log.count(clean) == Rounds, qPrintable(log));
    watcher.stop();
}

QTEST_MAIN(TestMqttLink)
#include "tst_mqttlink.moc"
