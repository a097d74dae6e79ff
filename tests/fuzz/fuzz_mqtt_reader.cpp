// Fuzz harness: the collector's MQTT packet reader (what a broker sends, as untrusted bytes).
//
// Input: [max] [head] then chunks, each [n] and n + 1 bytes:
//   max   the maximum packet size, 16 << (max % 16) bytes (16 … 512 KiB, so that small
//         inputs can exceed it)
//   head  what is kept of a packet beyond it, 8 << (head % 12) bytes
// The chunks are appended one by one to a Reader, which hands out packets; each packet is
// parsed by its type (CONNACK with its properties, PUBLISH, SUBACK, DISCONNECT) and the
// property reader also runs over every packet's body as it stands.
//
// Checked beyond "no crash":
// - the packets do not depend on how the bytes were cut: a second reader given everything at
//   once hands out the same packets and the same end (more bytes wanted, or malformed);
// - a whole packet is at most the maximum size and its body is as long as it said; one
//   beyond it is a PUBLISH, truncated to the head, with its true size; the reader's memory
//   stays bounded (the maximum size, the head and one chunk) however large the packets;
// - a PUBLISH taken is acknowledgeable: QoS 0 … 2, a packet id other than 0 for QoS 1 and 2;
//   taken as Ok its topic is non-empty UTF-8 without NUL or wildcard and it was not cut;
// - a CONNACK taken has properties in their ranges (receive maximum and maximum packet size
//   not 0, maximum QoS 0 or 1).

#include "FuzzSupport.h"
#include "MqttWire.h"

namespace {

struct Outcome {
    QList<mqtt::Packet> packets;
    mqtt::Reader::Result end = mqtt::Reader::Result::NeedMore;
};

bool samePacket(const mqtt::Packet &a, const mqtt::Packet &b)
{
    return a.type == b.type && a.flags == b.flags && a.body == b.body && a.size == b.size && a.truncated == b.truncated;
}

void checkPacket(const mqtt::Packet &p, quint32 max, qsizetype head)
{
    if (p.truncated) {
        FUZZ_REQUIRE(p.type == mqtt::Publish, "a truncated packet of type %d", p.type);
        FUZZ_REQUIRE(p.size > max, "truncated at %u bytes under the maximum %u", p.size, max);
        FUZZ_REQUIRE(p.body.size() == std::min<qsizetype>(head, p.size), "head of %lld bytes", qlonglong(p.body.size()));
    } else {
        FUZZ_REQUIRE(p.size <= max, "a whole packet of %u bytes over the maximum %u", p.size, max);
        FUZZ_REQUIRE(p.body.size() == qsizetype(p.size), "body %lld for size %u", qlonglong(p.body.size()), p.size);
    }
    // Properties at any offset: no read beyond the body, a false for anything malformed.
    for (qsizetype start = 0; start < std::min<qsizetype>(p.body.size(), 4); ++start) {
        qsizetype pos = start;
        mqtt::Properties props;
        QString why;
        if (mqtt::readProperties(p.body, &pos, &props, &why))
            FUZZ_REQUIRE(pos <= p.body.size(), "properties read to %lld of %lld", qlonglong(pos), qlonglong(p.body.size()));
    }
    switch (p.type) {
    case mqtt::Publish: {
        mqtt::PublishInfo info;
        QString why;
        const mqtt::PublishParse r = mqtt::parsePublish(p, &info, &why);
        if (r == mqtt::PublishParse::Malformed)
            break;
        FUZZ_REQUIRE(info.qos >= 0 && info.qos <= 2, "QoS %d", info.qos);
        FUZZ_REQUIRE(info.qos == 0 || info.packetId != 0, "QoS %d with packet id 0", info.qos);
        FUZZ_REQUIRE(info.payloadSize >= info.payload.size(), "payload size %lld under %lld", qlonglong(info.payloadSize),
                     qlonglong(info.payload.size()));
        if (r == mqtt::PublishParse::Ok) {
            FUZZ_REQUIRE(!p.truncated, "a truncated PUBLISH taken");
            const QByteArray topic = info.topic.toUtf8();
            FUZZ_REQUIRE(!topic.isEmpty() && mqtt::isMqttUtf8(topic.constData(), topic.size()), "topic not UTF-8");
            FUZZ_REQUIRE(!topic.contains('+') && !topic.contains('#'), "a wildcard in the topic");
            FUZZ_REQUIRE(info.payloadSize == info.payload.size(), "whole payload %lld of %lld", qlonglong(info.payload.size()),
                         qlonglong(info.payloadSize));
        } else {
            FUZZ_REQUIRE(!why.isEmpty(), "refused without a reason");
        }
        break;
    }
    case mqtt::Connack: {
        mqtt::ConnackInfo info;
        QString why;
        if (mqtt::parseConnack(p, &info, &why)) {
            const mqtt::Properties &pr = info.properties;
            FUZZ_REQUIRE(!pr.receiveMaximum || *pr.receiveMaximum > 0, "receive maximum 0");
            FUZZ_REQUIRE(!pr.maximumPacketSize || *pr.maximumPacketSize > 0, "maximum packet size 0");
            FUZZ_REQUIRE(!pr.maximumQoS || *pr.maximumQoS <= 1, "maximum QoS %d", int(*pr.maximumQoS));
            FUZZ_REQUIRE(!mqtt::reasonText(info.reasonCode).isEmpty(), "no text for a reason code");
        }
        break;
    }
    case mqtt::Suback: {
        mqtt::SubackInfo info;
        if (mqtt::parseSuback(p, &info))
            FUZZ_REQUIRE(!info.reasonCodes.isEmpty(), "a SUBACK without reason codes");
        break;
    }
    case mqtt::Disconnect: {
        mqtt::DisconnectInfo info;
        mqtt::parseDisconnect(p, &info);
        break;
    }
    default:
        break;
    }
}

} // namespace

int fuzzMqttReader(const uint8_t *data, size_t size)
{
    fuzz::Cursor in(data, size);
    const quint32 max = 16u << (in.byte() % 16);
    const qsizetype head = qsizetype(8) << (in.byte() % 12);
    QByteArray all;
    Outcome chunked;
    mqtt::Reader reader(max, head);
    bool stopped = false;
    while (!in.atEnd()) {
        size_t got = 0;
        const char *chunk = in.take(size_t(in.byte()) + 1, &got);
        all.append(chunk, qsizetype(got));
        if (stopped)
            continue;
        reader.append(chunk, qsizetype(got));
        for (;;) {
            mqtt::Packet p;
            const mqtt::Reader::Result r = reader.next(&p);
            if (r == mqtt::Reader::Result::Packet) {
                checkPacket(p, max, head);
                chunked.packets.append(p);
                continue;
            }
            chunked.end = r;
            stopped = r == mqtt::Reader::Result::Malformed;
            break;
        }
        // Bounded: an incomplete packet of at most the maximum (and its header), or the head
        // of one being skipped, plus the chunk just given.
        FUZZ_REQUIRE(reader.buffered() <= qsizetype(max) + 5 + head + 257, "%lld bytes held (max %u, head %lld)",
                     qlonglong(reader.buffered()), max, qlonglong(head));
    }

    Outcome whole;
    mqtt::Reader once(max, head);
    once.append(all);
    for (;;) {
        mqtt::Packet p;
        const mqtt::Reader::Result r = once.next(&p);
        if (r != mqtt::Reader::Result::Packet) {
            whole.end = r;
            break;
        }
        whole.packets.append(p);
    }
    FUZZ_REQUIRE(whole.packets.size() == chunked.packets.size(), "%lld packets at once, %lld in chunks",
                 qlonglong(whole.packets.size()), qlonglong(chunked.packets.size()));
    for (qsizetype i = 0; i < whole.packets.size(); ++i)
        FUZZ_REQUIRE(samePacket(whole.packets[i], chunked.packets[i]), "packet %lld differs when cut", qlonglong(i));
    FUZZ_REQUIRE(whole.end == chunked.end, "ends differ: %d at once, %d in chunks", int(whole.end), int(chunked.end));
    return 0;
}

QZ_FUZZ_TARGET(fuzzMqttReader)
