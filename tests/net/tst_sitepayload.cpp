// Site network texts and bytes without a network: [mqtt] settings, the JSON of each topic
// (encoded by the station, decoded by the collector), the collector's MQTT 5 packets and its
// COPY text.

#include "CopyBatch.h"
#include "MqttWire.h"
#include "SiteLink.h"
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

// A PUBLISH as a broker sends it: topic (raw bytes), packet id for QoS 1, properties, payload.
QByteArray publishPacket(const QByteArray &topic, const QByteArray &payload, int qos = 1, quint16 id = 1,
                         const QByteArray &properties = QByteArray())
{
    QByteArray body;
    body += char(topic.size() >> 8);
    body += char(topic.size() & 0xff);
    body += topic;
    if (qos > 0) {
        body += char(id >> 8);
        body += char(id & 0xff);
    }
    mqtt::appendVarInt(body, quint32(properties.size()));
    body += properties + payload;
    QByteArray out(1, char(0x30 | (qos << 1)));
    mqtt::appendVarInt(out, quint32(body.size()));
    return out + body;
}

IncomingMessage incoming(const QString &topic, const QByteArray &payload, int qos = 1)
{
    return IncomingMessage{topic, payload, qos, 1767225600000LL, QString()};
}
} // namespace

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
        QVERIFY(s.tls); // "yes" means TLS, never plain TCP
        QVERIFY(s.enabled());
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
        QCOMPARE(batch.events.text,
                 QByteArray("tank\\ta\t42\t") + m.time.toLatin1()
                     + "\tstation\t\\N\t\t程序启动\t\\N\tevent\t\tline1\\nline2\\tand \\\\ more\n");
        batch.addRecord(QStringLiteral("s"), r);
        QVERIFY(batch.records.text.startsWith("s\t2026-03-01T08:00:01Z\t1.5\t\\N\t"));
        QCOMPARE(batch.records.text.count('\t'), 33);
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
        QCOMPARE(quick.records.text, decoded.records.text);
        QCOMPARE(quick.records.count(), 1);

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
        QCOMPARE(none.records.count(), 0);
        QVERIFY(none.records.text.isEmpty());
        QByteArray many = "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[";
        for (int i = 0; i < 33; ++i)
            many += i ? ",1" : "1";
        QVERIFY(!none.addRecordPayload(QStringLiteral("s"), many + "]}"));
        // Fewer values and an empty list are fine: the rest is NULL.
        QVERIFY(none.addRecordPayload(QStringLiteral("s"), "{\"datim\":\"2026-03-01T08:00:01Z\",\"values\":[]}"));
        QCOMPARE(none.records.text.count("\\N"), 32);
    }

    void topicsOfTheCollector()
    {
        QString station, leaf;
        QVERIFY(splitTopic(QStringLiteral("qz/tank-a/record"), &station, &leaf));
        QCOMPARE(station, QStringLiteral("tank-a"));
        QCOMPARE(leaf, QStringLiteral("record"));
        QVERIFY(!splitTopic(QStringLiteral("qz//record"), &station, &leaf));
        QVERIFY(!splitTopic(QStringLiteral("qz/a/b/record"), &station, &leaf));
        QVERIFY(!splitTopic(QStringLiteral("xx/a/record"), &station, &leaf));
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
        // receive maximum 20000 (0x4e20), maximum packet size 16 MiB, client id "qzcollect".
        QCOMPARE(mqtt::connectPacket(o).toHex(),
                 QByteArray("1023" "00044d515454" "05" "00" "001e" "0d" "11ffffffff" "214e20" "2701000000" "0009")
                     + QByteArray("qzcollect").toHex());
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
        mqtt::Reader reader;
        reader.append(stream);
        mqtt::Packet p;
        QCOMPARE(reader.next(&p), mqtt::Reader::Result::Packet);
        mqtt::PublishInfo info;
        QCOMPARE(mqtt::parsePublish(p, &info), mqtt::PublishParse::Ok);
        QCOMPARE(info.topic, QStringLiteral("a/b"));
        QCOMPARE(info.qos, 1);
        QVERIFY(info.dup);
        QVERIFY(info.retain);
        QCOMPARE(info.packetId, quint16(0x0102));
        QCOMPARE(info.payload, QByteArray("hello"));
        QCOMPARE(reader.next(&p), mqtt::Reader::Result::NeedMore); // the rest is incomplete
        reader.append(QByteArray::fromHex("00"));
        QCOMPARE(reader.next(&p), mqtt::Reader::Result::Packet);
        QCOMPARE(p.type, quint8(mqtt::Pingresp));
        QCOMPARE(reader.buffered(), 0);

        // Packet id 0 with QoS 1 and a topic longer than the packet cannot be acknowledged.
        mqtt::Packet broken{mqtt::Publish, 0x02, QByteArray::fromHex("0001") + "t" + QByteArray::fromHex("000000")};
        QCOMPARE(mqtt::parsePublish(broken, &info), mqtt::PublishParse::Malformed);
        broken.body = QByteArray::fromHex("00ff") + "t";
        QCOMPARE(mqtt::parsePublish(broken, &info), mqtt::PublishParse::Malformed);
        // A remaining length of five bytes is malformed.
        mqtt::Reader five;
        five.append(QByteArray::fromHex("30ffffffff7f"));
        QCOMPARE(five.next(&p), mqtt::Reader::Result::Malformed);

        mqtt::ConnackInfo ack;
        QVERIFY(mqtt::parseConnack({mqtt::Connack, 0, QByteArray::fromHex("018600")}, &ack));
        QVERIFY(ack.sessionPresent);
        QCOMPARE(mqtt::reasonText(ack.reasonCode), QStringLiteral("bad user name or password"));
        mqtt::SubackInfo sub;
        QVERIFY(mqtt::parseSuback({mqtt::Suback, 0, QByteArray::fromHex("0007000187")}, &sub));
        QCOMPARE(sub.packetId, quint16(7));
        QCOMPARE(sub.reasonCodes, (QList<quint8>{1, 0x87}));
    }
    void stationNamesOneRule()
    {
        // The collector's rule, and the station's mending of a name into it.
        QVERIFY(isStationName(QStringLiteral("tank-a")));
        QVERIFY(isStationName(QStringLiteral("罐区一号")));
        QVERIFY(isStationName(QStringLiteral("a.b_c-1")));
        QVERIFY(isStationName(QString::fromUcs4(U"\U00020000x"))); // CJK beyond the BMP
        QVERIFY(isStationName(QString(64, u'a')));
        QVERIFY(!isStationName(QString(65, u'a')));
        QVERIFY(isStationName(QString(21, u'一')));  // 63 bytes
        QVERIFY(!isStationName(QString(22, u'一'))); // 66 bytes
        for (const char *bad : {"", "tank a", "a/b", "a+b", "a#", "a\tb", "a\x7f", "a$b"})
            QVERIFY2(!isStationName(QString::fromLatin1(bad)), bad);
        QCOMPARE(topicLevel(QStringLiteral(" Tank A/1 ")), QStringLiteral("Tank_A_1"));
        QCOMPARE(topicLevel(QString(30, u'一')), QString(21, u'一'));
        QCOMPARE(topicLevel(QString::fromUcs4(U"a\U0001F600b")), QStringLiteral("a_b")); // one emoji, one '_'
        for (const QString &name : {QStringLiteral("x y"), QString(200, u'z'), QStringLiteral("罐区/一号"), QStringLiteral("\t")})
            QVERIFY2(isStationName(topicLevel(name)), qPrintable(name));
    }

    void onlyRealTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("real");
        QTest::newRow("ok") << "2026-03-01T08:00:01.500+08:00" << true;
        QTest::newRow("utc") << "2026-03-01T08:00:01Z" << true;
        QTest::newRow("leap day") << "2024-02-29T00:00:00-05:30" << true;
        QTest::newRow("no leap day") << "2026-02-29T00:00:00Z" << false;
        QTest::newRow("31 February") << "2026-02-31T08:00:00+08:00" << false;
        QTest::newRow("31 April") << "2026-04-31T08:00:00+08:00" << false;
        QTest::newRow("year 0000") << "0000-01-01T00:00:00Z" << false;
        QTest::newRow("year 0001") << "0001-01-01T00:00:00Z" << true;
        QTest::newRow("hour 24") << "2026-03-01T24:00:00Z" << false;
        QTest::newRow("second 60") << "2026-03-01T23:59:60Z" << false;
        QTest::newRow("offset 14:00") << "2026-03-01T08:00:00+14:00" << true;
        QTest::newRow("offset 14:01") << "2026-03-01T08:00:00+14:01" << false;
        QTest::newRow("offset -15") << "2026-03-01T08:00:00-15:00" << false;
        QTest::newRow("offset minutes 60") << "2026-03-01T08:00:00+01:60" << false;
        QTest::newRow("no offset") << "2026-03-01T08:00:00" << false;
        QTest::newRow("nine digits") << "2026-03-01T08:00:00.123456789Z" << true;
        QTest::newRow("ten digits") << "2026-03-01T08:00:00.1234567890Z" << false;
        QTest::newRow("trailing") << "2026-03-01T08:00:00Zx" << false;
        QTest::newRow("full-width digit") << "２026-03-01T08:00:00Z" << false;
    }

    void onlyRealTimes()
    {
        QFETCH(QString, text);
        QFETCH(bool, real);
        QCOMPARE(isIsoWithOffset(text), real);
        const QByteArray latin = text.toUtf8();
        QCOMPARE(isIsoWithOffset(latin.constData(), latin.size()), real);
        // What is accepted is a valid QDateTime with an offset (Qt parses up to milliseconds).
        if (real && !text.contains(QStringLiteral(".123456789"))) {
            const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
            QVERIFY(t.isValid());
            QVERIFY(t.timeSpec() == Qt::OffsetFromUTC || t.timeSpec() == Qt::UTC);
        }
    }

    void decodersRefuseWhatPostgresWould()
    {
        RecordMessage r;
        EventMessage e;
        StatusMessage st;
        QString error;
        const QByteArray event = R"({"id":%ID,"time":"2026-03-01T08:00:05.250+08:00","source":"limit","channel":3,)"
                                 R"("name":"%NAME","kind":"上限报警","value":%VALUE,"transition":"raised","user":"","detail":""})";
        auto ev = [&](const char *id, const char *name, const char *value) {
            return QByteArray(event).replace("%ID", id).replace("%NAME", name).replace("%VALUE", value);
        };
        QVERIFY2(decodeEvent(ev("17", "油储温度3", "81.2"), &e, &error), qPrintable(error));
        QCOMPARE(e.value, std::optional<float>(81.2f));
        // ids: whole numbers of 1 … 2^53
        QVERIFY(decodeEvent(ev("9007199254740992", "n", "1"), &e, &error));
        QCOMPARE(e.id, MaxEventId);
        QVERIFY(!decodeEvent(ev("9007199254740994", "n", "1"), &e, &error));
        QVERIFY(!decodeEvent(ev("1e300", "n", "1"), &e, &error));
        QVERIFY(!decodeEvent(ev("-3", "n", "1"), &e, &error));
        // NUL: escaped in a text, or as a raw byte
        QVERIFY(!decodeEvent(ev("1", "a\\u0000b", "1"), &e, &error));
        QVERIFY2(error.contains(QStringLiteral("NUL")), qPrintable(error));
        QByteArray raw = ev("1", "ab", "1");
        raw.replace("ab", QByteArray("a\0b", 3));
        QVERIFY(!decodeEvent(raw, &e, &error));
        // The text "\u0000" (an escaped backslash) is no NUL.
        QVERIFY(decodeEvent(ev("1", "a\\\\u0000", "1"), &e, &error));
        QCOMPARE(e.name, QStringLiteral("a\\u0000"));
        // beyond a real: null, as a value the station does not have
        QVERIFY(decodeEvent(ev("1", "n", "1e39"), &e, &error));
        QVERIFY(!e.value);
        QVERIFY(decodeEvent(ev("1", "n", "-3.4e38"), &e, &error));
        QCOMPARE(e.value, std::optional<float>(-3.4e38f));
        QVERIFY(!decodeEvent(ev("1", "n", "\"1\""), &e, &error));
        QVERIFY(!decodeEvent(QByteArray(event).replace("%ID", "1").replace("%NAME", "n").replace("%VALUE", "1").replace("\"user\":\"\"", "\"user\":5"),
                             &e, &error));
        QVERIFY(!decodeEvent(ev("1", "n", "1").replace("\"channel\":3", "\"channel\":3.5"), &e, &error));
        QVERIFY(!decodeEvent(ev("1", "n", "1").replace("08:00:05.250", "08:00:65.250"), &e, &error));

        QVERIFY(!decodeRecord(R"({"datim":"2026-02-31T08:00:01Z","values":[1]})", &r, &error));
        QVERIFY(decodeRecord(R"({"datim":"2026-03-01T08:00:01Z","values":[1e39,-1e39,3.4e38,1e-50]})", &r, &error));
        QVERIFY(!r.values[0] && !r.values[1]);
        QCOMPARE(r.values[2], std::optional<float>(3.4e38f));
        QCOMPARE(r.values[3], std::optional<float>(0.0f));

        const QByteArray status = R"({"station":"tank-a","online":true,"comm":"OK","version":"0.1.0",)"
                                  R"("time":"%TIME","channelCount":%COUNT,"channels":[{"channel":1,"name":"%NAME"}]})";
        auto stat = [&](const char *time, const char *count, const char *name) {
            return QByteArray(status).replace("%TIME", time).replace("%COUNT", count).replace("%NAME", name);
        };
        QVERIFY2(decodeStatus(stat("2026-03-01T08:00:00.000+08:00", "16", "油储温度1"), &st, &error), qPrintable(error));
        QCOMPARE(st.station, std::optional<QString>(QStringLiteral("tank-a")));
        QVERIFY(!decodeStatus(stat("2026-02-31T08:00:00.000+08:00", "16", "x"), &st, &error));
        QVERIFY(!decodeStatus(stat("0000-03-01T08:00:00.000+08:00", "16", "x"), &st, &error));
        QVERIFY(!decodeStatus(stat("2026-03-01T08:00:00.000+08:00", "33", "x"), &st, &error));
        QVERIFY(!decodeStatus(stat("2026-03-01T08:00:00.000+08:00", "16", "a\\u0000"), &st, &error));
        QVERIFY(error.contains(QStringLiteral("channels")));
        QVERIFY(!decodeStatus(R"({"online":false,"comm":7})", &st, &error));
        QVERIFY(decodeStatus(R"({"online":false,"comm":null})", &st, &error));
    }

    void batchTakesEachMessageOnItsOwn()
    {
        Batch b;
        const QByteArray record = R"({"datim":"2026-03-01T08:00:01.000+08:00","values":[25.3,null]})";
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-a/record"), record)), Batch::Taken::Record);
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-a/record"), record, 0)), Batch::Taken::Rejected);
        QVERIFY(b.rejected.last().error.contains(QStringLiteral("QoS 0")));
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-a/event"), "{}", 0)), Batch::Taken::Rejected);
        // A status may come with QoS 0; one naming another station may not come at all.
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-b/status"), R"({"station":"tank-b","online":false})", 0)),
                 Batch::Taken::Status);
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-b/status"), R"({"station":"tank-c","online":true})")),
                 Batch::Taken::Rejected);
        const QString longName = QStringLiteral("qz/") + QString(3000, u'x') + QStringLiteral("/status");
        QCOMPARE(b.take(incoming(longName, R"({"online":true})")), Batch::Taken::Rejected);
        QCOMPARE(b.rejected.last().station.size(), 3000); // kept as it came, for the record
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank a/record"), record)), Batch::Taken::Rejected);
        QCOMPARE(b.take(incoming(QStringLiteral("qz/tank-a/live"), "{}")), Batch::Taken::Rejected);
        QCOMPARE(b.take(incoming(QStringLiteral("elsewhere"), "{}")), Batch::Taken::Rejected);
        QVERIFY(b.rejected.last().station.isEmpty());
        // What the connection refused keeps its reason; a long payload is cut for qz_rejected.
        IncomingMessage big = incoming(QStringLiteral("qz/tank-a/event"), QByteArray(100000, 'x'));
        big.refusal = QStringLiteral("a message of 17825792 bytes, beyond the collector's maximum packet size");
        QCOMPARE(b.take(big), Batch::Taken::Rejected);
        QCOMPARE(b.rejected.last().payload.size(), RejectedPayloadBytes);
        QVERIFY(b.rejected.last().error.startsWith(big.refusal));
        QVERIFY(b.rejected.last().error.contains(QStringLiteral("100000 bytes")));

        QCOMPARE(b.messages, 10);
        QCOMPARE(b.records.count(), 1);
        QCOMPARE(b.statuses.size(), 1);
        QCOMPARE(b.rejected.size(), 8);
        QCOMPARE(b.seen.value(QStringLiteral("tank-a")), 1);
        QCOMPARE(b.seen.value(QStringLiteral("tank-b")), 1);
        QCOMPARE(b.records.origins.first().payload, record);
        QVERIFY(b.bytes > RejectedPayloadBytes);
        QVERIFY(!b.isFull(11));
        QVERIFY(b.isFull(10));

        // The dead letters as COPY text: the payload as bytea hex, texts escaped, UTC time.
        RejectedMessage r{QStringLiteral("tank\ta"), QStringLiteral("qz/tank\ta/event"), QByteArray("a\0\n", 3),
                          QStringLiteral("bad\nline"), 1767225600123LL};
        QCOMPARE(rejectedCopy({r}), QByteArray("tank\\ta\tqz/tank\\ta/event\t\\\\x61000a\tbad\\nline\t"
                                              "2026-01-01T00:00:00.123Z\n"));
        // Rows by index: the second of three records is the text between the starts.
        Batch three;
        for (int i = 1; i <= 3; ++i)
            three.take(incoming(QStringLiteral("qz/s/record"),
                                QStringLiteral(R"({"datim":"2026-03-01T08:00:0%1Z","values":[%1]})").arg(i).toUtf8()));
        QVERIFY(three.records.rows(1, 2).startsWith("s\t2026-03-01T08:00:02Z\t2\t"));
        QCOMPARE(three.records.rows(0, 3).size(), three.records.text.size());
        QVERIFY(three.records.rows(3, 3).isEmpty());
    }

    void readerSkipsWhatIsTooLarge()
    {
        // Limit 100 bytes, head 20 kept: a PUBLISH of 5000 bytes streams past in pieces of 7,
        // then the next packet comes out whole; what is buffered stays small.
        mqtt::Reader reader(100, 20);
        const QByteArray big = publishPacket("qz/a/event", QByteArray(5000, 'p'), 1, 0x0a0b);
        const QByteArray stream = big + publishPacket("qz/a/record", "{}", 1, 12) + QByteArray::fromHex("d000");
        QList<mqtt::Packet> packets;
        qsizetype mostBuffered = 0;
        for (qsizetype at = 0; at < stream.size(); at += 7) {
            reader.append(stream.mid(at, 7));
            mqtt::Packet p;
            mqtt::Reader::Result r;
            while ((r = reader.next(&p)) == mqtt::Reader::Result::Packet)
                packets.append(p);
            QCOMPARE(r, mqtt::Reader::Result::NeedMore);
            mostBuffered = std::max(mostBuffered, reader.buffered());
        }
        QVERIFY(mostBuffered < 100);
        QCOMPARE(packets.size(), 3);
        QVERIFY(packets[0].truncated);
        QCOMPARE(packets[0].size, quint32(big.size() - 3)); // fixed header: type and two length bytes
        QCOMPARE(packets[0].body.size(), 20);
        mqtt::PublishInfo info;
        QString why;
        QCOMPARE(mqtt::parsePublish(packets[0], &info, &why), mqtt::PublishParse::Refused);
        QCOMPARE(info.packetId, quint16(0x0a0b)); // so it is acknowledged
        QCOMPARE(info.topic, QStringLiteral("qz/a/event"));
        QVERIFY(why.contains(QStringLiteral("maximum packet size")));
        QVERIFY(!packets[1].truncated);
        QCOMPARE(mqtt::parsePublish(packets[1], &info, &why), mqtt::PublishParse::Ok);
        QCOMPARE(info.packetId, quint16(12));
        QCOMPARE(packets[2].type, quint8(mqtt::Pingresp));
        // The head kept always holds the longest topic and the packet id: such a message too
        // can be acknowledged.
        mqtt::Reader longTopic(100000);
        longTopic.append(publishPacket(QByteArray(65535, 't'), QByteArray(200000, 'p'), 1, 77));
        mqtt::Packet head;
        QCOMPARE(longTopic.next(&head), mqtt::Reader::Result::Packet);
        QVERIFY(head.truncated);
        QCOMPARE(mqtt::parsePublish(head, &info, &why), mqtt::PublishParse::Refused);
        QCOMPARE(info.packetId, quint16(77));
        QCOMPARE(info.payloadSize, qint64(200000));
        // Only a PUBLISH may be skipped: anything else that large is malformed.
        mqtt::Reader other(100);
        QByteArray suback = QByteArray::fromHex("90");
        mqtt::appendVarInt(suback, 1000);
        other.append(suback);
        mqtt::Packet p;
        QCOMPARE(other.next(&p), mqtt::Reader::Result::Malformed);
    }

    void publishFramingAndRefusals()
    {
        mqtt::Packet p;
        mqtt::PublishInfo info;
        QString why;
        auto parse = [&](const QByteArray &packet) {
            mqtt::Reader reader;
            reader.append(packet);
            if (reader.next(&p) != mqtt::Reader::Result::Packet)
                return mqtt::PublishParse::Malformed;
            return mqtt::parsePublish(p, &info, &why);
        };
        QCOMPARE(parse(publishPacket("qz/a/record", "x", 1, 5)), mqtt::PublishParse::Ok);
        // Refused, yet acknowledged: a topic that is not UTF-8, a NUL, a wildcard, an alias,
        // properties that do not parse.
        QCOMPARE(parse(publishPacket("qz/\xff/record", "x", 1, 6)), mqtt::PublishParse::Refused);
        QCOMPARE(info.packetId, quint16(6));
        QCOMPARE(parse(publishPacket(QByteArray("qz/a\0/record", 12), "x", 1, 7)), mqtt::PublishParse::Refused);
        QCOMPARE(parse(publishPacket("qz/+/record", "x", 1, 8)), mqtt::PublishParse::Refused);
        QCOMPARE(parse(publishPacket("", "x", 1, 9, QByteArray::fromHex("230001"))), mqtt::PublishParse::Refused);
        QVERIFY(why.contains(QStringLiteral("alias")));
        QCOMPARE(parse(publishPacket("qz/a/record", "x", 1, 10, QByteArray::fromHex("7f00"))), mqtt::PublishParse::Refused);
        QVERIFY(why.contains(QStringLiteral("properties")));
        QCOMPARE(info.packetId, quint16(10));
        // QoS 0 carries no packet id; QoS 3 does not exist.
        QCOMPARE(parse(publishPacket("qz/a/status", "{}", 0)), mqtt::PublishParse::Ok);
        QCOMPARE(info.qos, 0);
        QByteArray qos3 = publishPacket("qz/a/record", "x", 1, 11);
        qos3[0] = char(0x36);
        QCOMPARE(parse(qos3), mqtt::PublishParse::Malformed);
    }

    void propertiesChecked()
    {
        // A CONNACK a broker might send: session present, accepted, server keep alive 5,
        // receive maximum 10, maximum QoS 1, maximum packet size 4096, a reason string and a
        // user property.
        const QByteArray props = QByteArray::fromHex("130005" "21000a" "2401" "2700001000") + QByteArray::fromHex("1f0002") + "ok"
            + QByteArray::fromHex("260001") + "k" + QByteArray::fromHex("0001") + "v";
        QByteArray body = QByteArray::fromHex("0100");
        mqtt::appendVarInt(body, quint32(props.size()));
        body += props;
        mqtt::ConnackInfo c;
        QString why;
        QVERIFY2(mqtt::parseConnack({mqtt::Connack, 0, body}, &c, &why), qPrintable(why));
        QCOMPARE(c.properties.serverKeepAlive, std::optional<quint16>(5));
        QCOMPARE(c.properties.receiveMaximum, std::optional<quint16>(10));
        QCOMPARE(c.properties.maximumQoS, std::optional<quint8>(1));
        QCOMPARE(c.properties.maximumPacketSize, std::optional<quint32>(4096));
        QCOMPARE(c.properties.reasonString, QStringLiteral("ok"));
        QCOMPARE(c.properties.userProperties.size(), 1);

        auto refused = [&](const QByteArray &hex) {
            QByteArray d;
            const QByteArray bytes = QByteArray::fromHex(hex);
            mqtt::appendVarInt(d, quint32(bytes.size()));
            d += bytes;
            qsizetype pos = 0;
            mqtt::Properties out;
            return !mqtt::readProperties(d, &pos, &out, &why);
        };
        QVERIFY(refused("130005130006"));      // given twice
        QVERIFY(refused("210000"));            // receive maximum 0
        QVERIFY(refused("2402"));              // maximum QoS 2 is never sent
        QVERIFY(refused("2700000000"));        // maximum packet size 0
        QVERIFY(refused("1f0002c0af"));        // an overlong '/' is no UTF-8
        QVERIFY(refused("1f0005616263"));      // string beyond the block
        QVERIFY(refused("7f"));                // unknown identifier
        QVERIFY(refused("0b00"));              // subscription identifier 0
        QVERIFY(!refused("0b010b02260000" "0000")); // repeatable ones may repeat
        QByteArray cut = QByteArray::fromHex("05" "1300");  // length 5, two bytes there
        qsizetype pos = 0;
        mqtt::Properties out;
        QVERIFY(!mqtt::readProperties(cut, &pos, &out, &why));

        mqtt::DisconnectInfo d;
        QVERIFY(mqtt::parseDisconnect({mqtt::Disconnect, 0, QByteArray::fromHex("8e" "05" "1f0002") + "hi"}, &d));
        QCOMPARE(d.reasonCode, quint8(0x8e));
        QCOMPARE(d.reasonString, QStringLiteral("hi"));
    }

    void mqttUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("ascii") << QByteArray("qz/a/record") << true;
        QTest::newRow("cjk") << QStringLiteral("罐区").toUtf8() << true;
        QTest::newRow("four bytes") << QByteArray::fromHex("f0a08080") << true;
        QTest::newRow("max") << QByteArray::fromHex("f48fbfbf") << true;
        QTest::newRow("nul") << QByteArray("a\0b", 3) << false;
        QTest::newRow("overlong /") << QByteArray::fromHex("c0af") << false;
        QTest::newRow("overlong 3") << QByteArray::fromHex("e080af") << false;
        QTest::newRow("surrogate") << QByteArray::fromHex("eda080") << false;
        QTest::newRow("beyond 10FFFF") << QByteArray::fromHex("f4908080") << false;
        QTest::newRow("lone continuation") << QByteArray::fromHex("80") << false;
        QTest::newRow("cut short") << QByteArray::fromHex("e7bd") << false;
        QTest::newRow("ff") << QByteArray::fromHex("ff") << false;
    }

    void mqttUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(mqtt::isMqttUtf8(bytes.constData(), bytes.size()), valid);
    }

    void logLinesEscapedAndBounded()
    {
        const QString hostile = QStringLiteral("qz/x\n[fake] line\r\x1b[31m\u2028end");
        const QString once = logText(hostile);
        QCOMPARE(once, QStringLiteral("qz/x\\x0a[fake] line\\x0d\\x1b[31m\\u2028end"));
        QCOMPARE(logText(once), once);
        const QString longText(1000, u'a');
        QCOMPARE(logText(longText, 10), QStringLiteral("aaaaaaaaaa… (990 more)"));
        QCOMPARE(logBytes(QByteArray("ok \xff\xfe 罐")), QStringLiteral("ok \\xff\\xfe 罐"));
        QCOMPARE(logBytes(QByteArray("a\0b\n", 4)), QStringLiteral("a\\x00b\\x0a"));
    }

    void tlsSettingIsNeverGuessed()
    {
        for (const char *on : {"1", "yes", "TRUE", "On", " yes "})
            QCOMPARE(tlsSetting(QString::fromLatin1(on)), std::optional<bool>(true));
        for (const char *off : {"", "0", "no", "False", "OFF"})
            QCOMPARE(tlsSetting(QString::fromLatin1(off)), std::optional<bool>(false));
        for (const char *bad : {"2", "ja", "yes please", "tls", "是"})
            QCOMPARE(tlsSetting(QString::fromUtf8(bad)), std::nullopt);

        // An unknown value keeps the station off the network and says why.
        QTemporaryDir dir;
        QFile f(dir.filePath(QStringLiteral("KTcom.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[mqtt]\r\nHost=127.0.0.1\r\nPort=1\r\nTLS=ja\r\nUser=u\r\nPassword=p\r\n");
        f.close();
        const SiteSettings s = ReadSiteSettings(dir.path());
        QVERIFY(!s.enabled());
        QVERIFY(s.error.contains(QStringLiteral("TLS=ja")));
        SiteLink link;
        link.start(dir.path());
        QVERIFY(!link.enabled());
        QVERIFY(link.stateText().startsWith(QStringLiteral("站点网络：未启用")));
        QVERIFY(link.stateText().contains(QStringLiteral("TLS=ja")));
        QVERIFY(link.stateText().contains(QStringLiteral("明文")));
        QVERIFY(!link.isConnected());
        QVERIFY(!QFile::exists(cursorFilePath(dir.path()))); // nothing opened
        link.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestSitePayload)
#include "tst_sitepayload.moc"
