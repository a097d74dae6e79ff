// Site network texts and bytes without a network: [mqtt] settings, the JSON of each topic
// (encoded by the station, decoded by the collector), the collector's MQTT 5 packets and its
// COPY text.

#include "Collector.h"
#include "MqttWire.h"
#include "PgStore.h"
#include "SitePayload.h"
#include "SiteSettings.h"
#include "WindowState.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringEncoder>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>
#include <cmath>

namespace {
QJsonObject object(const QByteArray &json) { return QJsonDocument::fromJson(json).object(); }
}

class TestSitePayload : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { resetSharedState(); }

    void settingsOfMqttSection()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("KTcom.ini"));
        // No file, then no Host: off.
        QVERIFY(!ReadSiteSettings(dir.path()).enabled());
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[communication]\r\nCOM=COM1\r\n[MQTT]\r\nport=99999\r\nStation=tank/a+#\r\n");
        f.close();
        SiteSettings s = ReadSiteSettings(dir.path());
        QVERIFY(!s.enabled());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[mqtt]\r\nHost = broker.local \r\nPort=70000\r\nTLS=1\r\nCAFile=/etc/ca.pem\r\nUser=op\r\nPassword=\"p w\"\r\n");
        f.close();
        s = ReadSiteSettings(dir.path());
        QVERIFY(s.enabled());
        QCOMPARE(s.host, QStringLiteral("broker.local"));
        QCOMPARE(s.port, 8883); // out of range with TLS
        QVERIFY(s.tls);
        QCOMPARE(s.caFile, QStringLiteral("/etc/ca.pem"));
        QCOMPARE(s.password, QStringLiteral("p w"));
        QCOMPARE(s.station, topicLevel(QSysInfo::machineHostName()));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // KTcom.ini is GBK on disk.
        f.write(QStringEncoder("GBK").encode(QStringLiteral("[mqtt]\r\nHost=10.0.0.5\r\nPort=1884\r\nTLS=yes\r\nStation=罐区/一号+#\r\n")));
        f.close();
        s = ReadSiteSettings(dir.path());
        QCOMPARE(s.port, 1884);
        QVERIFY(!s.tls); // only "1" turns it on
        QCOMPARE(s.station, QStringLiteral("罐区_一号__"));
        QCOMPARE(s.topic(QStringLiteral("record")), QStringLiteral("qz/罐区_一号__/record"));
        QCOMPARE(topicLevel(QStringLiteral("  ")), QStringLiteral("station"));
    }

    void timesCarryTheirOffset()
    {
        const QDateTime summer(QDate(2026, 7, 1), QTime(9, 30, 15, 250));
        const QString text = isoWithOffset(summer);
        QVERIFY(text.startsWith(QStringLiteral("2026-07-01T09:30:15.250")));
        QVERIFY(isIsoWithOffset(text));
        QCOMPARE(QDateTime::fromString(text, Qt::ISODateWithMs).toMSecsSinceEpoch(), summer.toMSecsSinceEpoch());
        QCOMPARE(isoWithOffset(QStringLiteral("2026-07-01 09:30:15")), isoWithOffset(QDateTime(QDate(2026, 7, 1), QTime(9, 30, 15))));
        QVERIFY(isoWithOffset(QStringLiteral("2026-02-30T00:00:00.000")).isEmpty());
        QVERIFY(isoWithOffset(QStringLiteral("2026-07-01T09:30:15.250+08:00")).isEmpty()); // not a stored local time
        const QDateTime utc8 = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), QTimeZone(8 * 3600));
        QVERIFY(isoWithOffset(utc8.toLocalTime()).endsWith(
            utc8.toLocalTime().offsetFromUtc() == 0 ? QStringLiteral("+00:00") : QString()));
        QVERIFY(isIsoWithOffset(QStringLiteral("2026-01-02T03:04:05.006Z")));
        QVERIFY(isIsoWithOffset(QStringLiteral("2026-01-02T03:04:05-05:30")));
        QVERIFY(!isIsoWithOffset(QStringLiteral("2026-01-02T03:04:05.006")));
        QVERIFY(!isIsoWithOffset(QStringLiteral("2026-13-02T03:04:05Z")));
    }

    void storedValuesToNumbers()
    {
        QCOMPARE(storedValue(QStringLiteral("  25.300"), false), std::optional<double>(25.3));
        QCOMPARE(storedValue(QStringLiteral("-1000.000"), false), std::nullopt);
        QCOMPARE(storedValue(QStringLiteral("   0.000"), false), std::optional<double>(0.0));
        QCOMPARE(storedValue(QString(), true), std::nullopt);
        QCOMPARE(storedValue(QStringLiteral(""), false), std::nullopt);
        QCOMPARE(storedValue(QStringLiteral("nan"), false), std::nullopt);
        QCOMPARE(storedValue(QStringLiteral("1,5"), false), std::nullopt);
    }

    void statusLiveAndWill()
    {
        Option.Names[0] = QStringLiteral("油储温度1");
        Option.Units[0] = QStringLiteral("℃");
        Option.LowerLimits[0] = -10.5f;
        Option.UpperLimits[0] = 85.3f;
        const QDateTime now(QDate(2026, 3, 1), QTime(8, 0));
        const QJsonObject s = object(encodeStatus(QStringLiteral("tank-a"), true, StationComm::Error,
                                                  QStringLiteral("0.1.0"), now, Option, 16, false));
        QCOMPARE(s.value(QStringLiteral("online")).toBool(), true);
        QCOMPARE(s.value(QStringLiteral("comm")).toString(), QStringLiteral("ERROR"));
        // A station that cannot store says so, as a JSON boolean.
        QVERIFY(s.value(QStringLiteral("storing")).isBool());
        QCOMPARE(s.value(QStringLiteral("storing")).toBool(true), false);
        QCOMPARE(s.value(QStringLiteral("channelCount")).toInt(), 16);
        const QJsonArray channels = s.value(QStringLiteral("channels")).toArray();
        QCOMPARE(channels.size(), 16);
        QCOMPARE(channels[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("油储温度1"));
        QCOMPARE(channels[0].toObject().value(QStringLiteral("upper")).toDouble(), 85.3); // not 85.30000305
        QCOMPARE(channels[0].toObject().value(QStringLiteral("lower")).toDouble(), -10.5);
        QCOMPARE(channels[15].toObject().value(QStringLiteral("channel")).toInt(), 16);
        QCOMPARE(commStateText(StationComm::None), QStringLiteral("NONE"));

        StatusMessage decoded;
        QString error;
        QVERIFY(decodeStatus(encodeStatus(QStringLiteral("x"), false, StationComm::Ok, QStringLiteral("1"), now, Option, 8, true),
                             &decoded, &error));
        QVERIFY(!decoded.online);
        QCOMPARE(decoded.comm, std::optional<QString>(QStringLiteral("OK")));
        QCOMPARE(decoded.channelCount, std::optional<int>(8));
        QVERIFY(decoded.channels && decoded.channels->startsWith("[{"));
        // The last will: only the station and online:false; the rest stays unknown.
        QVERIFY(decodeStatus(encodeWill(QStringLiteral("tank-a")), &decoded, &error));
        QVERIFY(!decoded.online);
        QVERIFY(!decoded.comm && !decoded.channels && !decoded.channelCount);
        QVERIFY(!decodeStatus("{\"station\":\"x\"}", &decoded, &error));

        AllRecord.Pv[1] = 25.3f;
        AllRecord.AlmText[1] = QStringLiteral("正常");
        AllRecord.Pv[2] = InterruptionMarker;
        AllRecord.AlmText[2] = QStringLiteral("上限报警"); // stale text: an interrupted channel says 中断
        AllRecord.Pv[3] = std::nanf("");
        const QJsonObject live = object(encodeLive(now, AllRecord, 3));
        const QJsonArray values = live.value(QStringLiteral("values")).toArray();
        const QJsonArray states = live.value(QStringLiteral("states")).toArray();
        QCOMPARE(values.size(), 3);
        QCOMPARE(values[0].toDouble(), 25.3);
        QVERIFY(values[1].isNull());
        QCOMPARE(states[1].toString(), QStringLiteral("中断"));
        QVERIFY(values[2].isNull()); // NaN has no JSON form
        QCOMPARE(live.value(QStringLiteral("time")).toString(), isoWithOffset(now));
    }

    void recordAndEventRoundTrip()
    {
        HistoryRow row;
        row.datim = QStringLiteral("2026-03-01T08:00:01.500");
        row.values[0] = 25.3;
        row.values[31] = -99999.0;
        const QByteArray payload = encodeRecord(row);
        RecordMessage r;
        QString error;
        QVERIFY2(decodeRecord(payload, &r, &error), qPrintable(error));
        QCOMPARE(r.datim, isoWithOffset(row.datim));
        QCOMPARE(r.values[0], std::optional<float>(25.3f));
        QVERIFY(!r.values[1]);
        QCOMPARE(r.values[31], std::optional<float>(-99999.0f));
        row.datim = QStringLiteral("garbage");
        QVERIFY(encodeRecord(row).isEmpty());

        QVERIFY(!decodeRecord("not json", &r, &error));
        QVERIFY(error.startsWith(QStringLiteral("not JSON")));
        QVERIFY(!decodeRecord("{\"datim\":\"2026-03-01T08:00:01\",\"values\":[]}", &r, &error)); // no offset
        QVERIFY(!decodeRecord("{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1,\"2\"]}", &r, &error));
        QCOMPARE(error, QStringLiteral("value 2 is neither a number nor null"));
        QByteArray tooMany = "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[";
        for (int i = 0; i < 33; ++i)
            tooMany += i ? ",1" : "1";
        QVERIFY(!decodeRecord(tooMany + "]}", &r, &error));
        // Fewer than 32 values: the rest are null.
        QVERIFY(decodeRecord("{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1.5]}", &r, &error));
        QCOMPARE(r.values[0], std::optional<float>(1.5f));
        QVERIFY(!r.values[1]);

        JournalRow e;
        e.id = 42;
        e.time = QStringLiteral("2026-03-01T08:00:02.000");
        e.source = QStringLiteral("station");
        e.name = QString();
        e.kind = QStringLiteral("程序启动");
        e.transition = QStringLiteral("event");
        e.detail = QStringLiteral("line1\nline2\tand \\ more");
        EventMessage m;
        QVERIFY2(decodeEvent(encodeEvent(e), &m, &error), qPrintable(error));
        QCOMPARE(m.id, 42);
        QVERIFY(!m.channel);
        QVERIFY(!m.value);
        QCOMPARE(m.kind, QStringLiteral("程序启动"));
        QCOMPARE(m.detail, e.detail);
        QVERIFY(!decodeEvent("{\"id\":0,\"time\":\"2026-03-01T08:00:01Z\"}", &m, &error));
        QVERIFY(!decodeEvent("{\"id\":3.5,\"time\":\"2026-03-01T08:00:01Z\"}", &m, &error));

        // COPY text of that event: escapes kept apart from the field separators.
        Batch batch;
        batch.addEvent(QStringLiteral("tank\ta"), m);
        QCOMPARE(batch.eventCopy,
                 QByteArray("tank\\ta\t42\t") + m.time.toLatin1()
                     + "\tstation\t\\N\t\t程序启动\t\\N\tevent\t\tline1\\nline2\\tand \\\\ more\n");
        batch.addRecord(QStringLiteral("s"), r);
        QVERIFY(batch.recordCopy.startsWith("s\t2026-03-01T08:00:01Z\t1.5\t\\N\t"));
        QCOMPARE(batch.recordCopy.count('\t'), 33);
    }

    void recordPayloadStraightToCopyText()
    {
        HistoryRow row;
        row.datim = QStringLiteral("2026-03-01T08:00:01.500");
        row.values[0] = 25.3;
        row.values[1] = -0.001;
        row.values[5] = 1234.567;
        row.values[31] = -99999.0;
        const QByteArray payload = encodeRecord(row);
        // The quick way and the decoding way give the same row.
        Batch quick, decoded;
        QVERIFY(quick.addRecordPayload(QStringLiteral("st\\a"), payload));
        RecordMessage r;
        QString error;
        QVERIFY(decodeRecord(payload, &r, &error));
        decoded.addRecord(QStringLiteral("st\\a"), r);
        QCOMPARE(quick.recordCopy, decoded.recordCopy);
        QCOMPARE(quick.records, 1);

        // Anything else is left to the decoder, and nothing is added.
        const QByteArray others[] = {
            "{\"datim\": \"2026-03-01T08:00:01Z\",\"values\":[1]}",       // a blank
            "{\"values\":[1],\"datim\":\"2026-03-01T08:00:01Z\"}",        // another order
            "{\"datim\":\"2026-03-01T08:00:01\",\"values\":[1]}",         // no offset
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1,]}",       // empty value
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[\"1\"]}",  // a text
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[nan]}",
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1e39]}",     // beyond a real
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1]}x",
            "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[1]",
        };
        Batch none;
        for (const QByteArray &p : others)
            QVERIFY2(!none.addRecordPayload(QStringLiteral("s"), p), p.constData());
        QCOMPARE(none.records, 0);
        QVERIFY(none.recordCopy.isEmpty());
        QByteArray many = "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[";
        for (int i = 0; i < 33; ++i)
            many += i ? ",1" : "1";
        QVERIFY(!none.addRecordPayload(QStringLiteral("s"), many + "]}"));
        // Fewer values and an empty list are fine: the rest is NULL.
        QVERIFY(none.addRecordPayload(QStringLiteral("s"), "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[]}"));
        QCOMPARE(none.recordCopy.count("\\N"), 32);
    }

    void topicsOfTheCollector()
    {
        QString station, leaf;
        QVERIFY(Collector::splitTopic(QStringLiteral("qz/tank-a/record"), &station, &leaf));
        QCOMPARE(station, QStringLiteral("tank-a"));
        QCOMPARE(leaf, QStringLiteral("record"));
        QVERIFY(!Collector::splitTopic(QStringLiteral("qz//record"), &station, &leaf));
        QVERIFY(!Collector::splitTopic(QStringLiteral("qz/a/b/record"), &station, &leaf));
        QVERIFY(!Collector::splitTopic(QStringLiteral("xx/a/record"), &station, &leaf));
    }

    void variableByteIntegers_data()
    {
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("0") << 0u << QByteArray::fromHex("00");
        QTest::newRow("127") << 127u << QByteArray::fromHex("7f");
        QTest::newRow("128") << 128u << QByteArray::fromHex("8001");
        QTest::newRow("16383") << 16383u << QByteArray::fromHex("ff7f");
        QTest::newRow("16384") << 16384u << QByteArray::fromHex("808001");
        QTest::newRow("268435455") << 268435455u << QByteArray::fromHex("ffffff7f");
    }

    void variableByteIntegers()
    {
        QFETCH(quint32, value);
        QFETCH(QByteArray, bytes);
        QByteArray out;
        mqtt::appendVarInt(out, value);
        QCOMPARE(out.toHex(), bytes.toHex());
        qsizetype pos = 0;
        bool bad = false;
        QCOMPARE(mqtt::readVarInt(bytes, &pos, &bad), std::optional<quint32>(value));
        QCOMPARE(pos, bytes.size());
        pos = 0;
        QCOMPARE(mqtt::readVarInt(bytes.left(bytes.size() - 1), &pos, &bad), std::nullopt);
        QVERIFY(!bad);
    }

    void packetsOfTheCollector()
    {
        mqtt::ConnectOptions o;
        o.clientId = QStringLiteral("qzcollect");
        o.keepAliveS = 30;
        o.receiveMaximum = 20000;
        // CONNECT, MQTT 5, clean start off, keep-alive 30 s, session expiry 0xFFFFFFFF,
        // receive maximum 20000 (0x4e20), client id "qzcollect".
        QCOMPARE(mqtt::connectPacket(o).toHex(),
                 QByteArray("101e" "00044d515454" "05" "00" "001e" "08" "11ffffffff" "214e20" "0009") + QByteArray("qzcollect").toHex());
        o.user = QStringLiteral("u");
        o.password = QStringLiteral("p");
        QCOMPARE(quint8(mqtt::connectPacket(o).at(9)), quint8(0xc0));
        QCOMPARE(mqtt::subscribePacket(7, {QStringLiteral("qz/+/record")}).toHex(),
                 QByteArray("8211" "0007" "00" "000b") + QByteArray("qz/+/record").toHex() + "11");
        QCOMPARE(mqtt::pubackPacket(0x1234).toHex(), QByteArray("40021234"));

        // A QoS 1 PUBLISH with one property (message expiry), then half of a PINGRESP.
        QByteArray body;
        body += QByteArray::fromHex("0003") + "a/b" + QByteArray::fromHex("0102") + QByteArray::fromHex("05" "0200000e10") + "hello";
        QByteArray stream = QByteArray::fromHex("3b") + char(body.size()) + body + QByteArray::fromHex("d0");
        qsizetype offset = 0;
        bool bad = false;
        const auto p = mqtt::takePacket(stream, &offset, &bad);
        QVERIFY(p && !bad);
        mqtt::PublishInfo info;
        QVERIFY(mqtt::parsePublish(*p, &info));
        QCOMPARE(info.topic, QStringLiteral("a/b"));
        QCOMPARE(info.qos, 1);
        QVERIFY(info.dup);
        QVERIFY(info.retain);
        QCOMPARE(info.packetId, quint16(0x0102));
        QCOMPARE(info.payload, QByteArray("hello"));
        QVERIFY(!mqtt::takePacket(stream, &offset, &bad)); // the rest is incomplete
        QVERIFY(!bad);
        stream += QByteArray::fromHex("00");
        const auto ping = mqtt::takePacket(stream, &offset, &bad);
        QVERIFY(ping);
        QCOMPARE(ping->type, quint8(mqtt::Pingresp));
        QCOMPARE(offset, stream.size());

        // Packet id 0 with QoS 1 and a topic longer than the packet are refused.
        mqtt::Packet broken{mqtt::Publish, 0x02, QByteArray::fromHex("0001") + "t" + QByteArray::fromHex("000000")};
        QVERIFY(!mqtt::parsePublish(broken, &info));
        broken.body = QByteArray::fromHex("00ff") + "t";
        QVERIFY(!mqtt::parsePublish(broken, &info));
        // A remaining length of five bytes is malformed.
        const QByteArray five = QByteArray::fromHex("30ffffffff7f");
        offset = 0;
        QVERIFY(!mqtt::takePacket(five, &offset, &bad));
        QVERIFY(bad);

        mqtt::ConnackInfo ack;
        QVERIFY(mqtt::parseConnack({mqtt::Connack, 0, QByteArray::fromHex("018600")}, &ack));
        QVERIFY(ack.sessionPresent);
        QCOMPARE(mqtt::reasonText(ack.reasonCode), QStringLiteral("bad user name or password"));
        mqtt::SubackInfo sub;
        QVERIFY(mqtt::parseSuback({mqtt::Suback, 0, QByteArray::fromHex("0007000187")}, &sub));
        QCOMPARE(sub.packetId, quint16(7));
        QCOMPARE(sub.reasonCodes, (QList<quint8>{1, 0x87}));
    }
};

QTEST_GUILESS_MAIN(TestSitePayload)
#include "tst_sitepayload.moc"
