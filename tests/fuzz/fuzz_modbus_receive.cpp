// Fuzz harness: the Modbus receive path and the station's answer decoding.
//
// Arbitrary bytes, cut into arbitrary chunks, reach TModbusM::ReceiveBytes (directly and
// through the poll tick) with arbitrary Quantity, RegisterDim and FunctionCode, interleaved
// with requests, time-outs and port closes. An accepted answer goes through what the main
// window does with it: decodeAnswer into a live record with arbitrary limits, then the tile
// and history value texts.
//
// Input: [flags] [SlaveId] [FunctionCode] [Quantity hi lo] [RegisterDim]
//        ([lower limit f32] [upper limit f32] when flags bit 2), then operations to the end:
//   000LLLLL LLLLLLLL  ReceiveBytes with the next L bytes (L up to 8191)
//   001xxxxx           ResponseTimeout
//   010NNNNN           SendRequest, WriteData = the next N bytes
//   011xxxxx hi lo     Quantity
//   100xxxxx b         RegisterDim
//   101xxxxx b         FunctionCode
//   110xxxxo           o = 1: OpenPort, o = 0: ClosePort
//   111LLLLL LLLLLLLL  the device buffers the next L bytes, then a poll tick drains them
// flags bit 0: the port starts open; bit 1: a request is sent first.
//
// Checked beyond "no crash", after every call:
// - RxBuffer never exceeds 256 bytes and holds exactly the newest bytes since the request;
// - a call raises at most one event; a receive that raises none changes nothing;
// - Busy is false after any receive outcome but exception 5, which keeps it and re-arms the
//   response timer; LastError is the code reported;
// - an accepted answer has a correct CRC and the length its function byte and Quantity ×
//   RegisterDim call for, and its ResponseData lies inside the frame; code 9 only for a
//   wrong CRC;
// - a request that raised nothing wrote a frame with a correct CRC and started the wait;
// - decodeAnswer takes exactly the 64- and 128-byte answers; each value is the sign-magnitude
//   number over its divisor, clamped into ordered limits; the state text follows the status
//   byte's precedence; the value texts read back as the value.

#include "Acquisition.h"
#include "FuzzSupport.h"
#include "HistoryTable.h"
#include "ModbusM.h"
#include "NumberText.h"
#include "ScriptedSerialDevice.h"

#include <QStringList>
#include <cmath>
#include <optional>

namespace {

uint16_t referenceCrc(const QByteArray &b, qsizetype n)
{
    uint16_t crc = 0xFFFF;
    for (qsizetype i = 0; i < n; ++i) {
        crc ^= uint8_t(b[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

bool frameCrcOk(const QByteArray &f)
{
    if (f.size() < 2)
        return false;
    // A frame of fewer than three bytes covers nothing: its CRC is the initial value.
    const uint16_t crc = f.size() < 3 ? 0xFFFF : referenceCrc(f, f.size() - 2);
    return uint8_t(f[f.size() - 2]) == (crc & 0xFF) && uint8_t(f[f.size() - 1]) == (crc >> 8);
}

// The frame length an accepted answer must have, by its function byte; nullopt for bytes
// that are never accepted.
std::optional<qsizetype> acceptedLength(uint8_t function, uint16_t quantity, uint8_t registerDim)
{
    switch (function) {
    case 1: case 2: return ((quantity + 7) / 8) % 256 + 5;
    case 3: case 4: return qsizetype(quantity) * registerDim + 5;
    case 5: case 15: case 16: return 8;
    case 6: return qsizetype(registerDim) + 6;
    default: return std::nullopt;
    }
}

QString expectedStateText(uint8_t status)
{
    if (status & 0x80) return QStringLiteral("信号断线");
    if (status & 0x40) return QStringLiteral("上溢");
    if (status & 0x20) return QStringLiteral("下溢");
    if (status & 0x08) return QStringLiteral("上限报警");
    if (status & 0x04) return QStringLiteral("下限报警");
    return QString();
}

// A value text ("%.3F" or "%8.3F") read back: the value rounded to three decimals.
void checkValueText(const QString &text, float pv, int minWidth)
{
    if (!std::isfinite(pv))
        return; // only limits that are not numbers let one through; the settings never hold such
    FUZZ_REQUIRE(text.size() >= minWidth, "value text \"%s\" narrower than %d", qPrintable(text), minWidth);
    double back = 0;
    FUZZ_REQUIRE(parseNumber(text.trimmed(), &back), "value text \"%s\" does not read back", qPrintable(text));
    FUZZ_REQUIRE(std::fabs(back - double(pv)) <= 0.0005 + std::fabs(double(pv)) * 1e-15,
                 "value text \"%s\" reads %.17g, value %.9g", qPrintable(text), back, double(pv));
}

void checkDecoding(const QByteArray &data, float lower, float upper)
{
    TOption opt;
    opt.LowerLimits.fill(lower);
    opt.UpperLimits.fill(upper);
    TAllRecord rec;
    rec.Pv.fill(12.5f);
    const bool decoded = decodeAnswer(data, rec, opt);
    const int channels = data.size() == 64 ? 16 : data.size() == 128 ? 32 : 0;
    FUZZ_REQUIRE(decoded == (channels > 0), "decodeAnswer gave %d for %d bytes", int(decoded), int(data.size()));
    if (!decoded) {
        for (int k = 1; k <= MaxChannels; ++k)
            FUZZ_REQUIRE(rec.Pv[k] == 12.5f && rec.AlmText[k].isNull(), "a refused answer changed channel %d", k);
        return;
    }
    const auto *b = reinterpret_cast<const uint8_t *>(data.constData());
    for (int k = 1; k <= channels; ++k) {
        const uint8_t hi = b[2 * (k - 1)], lo = b[2 * (k - 1) + 1];
        const uint8_t status = b[2 * (channels + k - 1) + 1];
        const int magnitude = (hi & 0x7F) << 8 | lo;
        const int raw = (hi & 0x80) ? -magnitude : magnitude;
        static constexpr int divisors[4] = {1, 10, 100, 1000};
        const float v = float(double(raw) / divisors[status & 3]);
        const float pv = rec.Pv[k];
        if (!std::isnan(lower) && !std::isnan(upper) && lower <= upper) {
            FUZZ_REQUIRE(pv >= lower && pv <= upper, "channel %d: %.9g outside [%.9g, %.9g]", k, double(pv),
                         double(lower), double(upper));
            if (v >= lower && v <= upper)
                FUZZ_REQUIRE(pv == v, "channel %d: %.9g stored as %.9g", k, double(v), double(pv));
        }
        FUZZ_REQUIRE(rec.AlmText[k] == expectedStateText(status), "channel %d: status %02x gave \"%s\"", k, status,
                     qPrintable(rec.AlmText[k]));
        checkValueText(formatPv3(double(pv)), pv, 5);
        checkValueText(historyValueText(pv), pv, 8);
    }
    for (int k = channels + 1; k <= MaxChannels; ++k)
        FUZZ_REQUIRE(rec.Pv[k] == 12.5f, "channel %d beyond the answer changed", k);
}

struct Events {
    int ready = 0;
    QList<int> errors;
    int count() const { return ready + int(errors.size()); }
};

} // namespace

int fuzzModbusReceive(const uint8_t *data, size_t size)
{
    fuzz::ensureApplication();
    fuzz::Cursor in(data, size);

    auto owned = std::make_unique<ScriptedSerialDevice>();
    ScriptedSerialDevice *dev = owned.get();
    TModbusM m(nullptr, std::move(owned));

    const uint8_t flags = in.byte();
    m.SlaveId = in.byte();
    m.FunctionCode = in.byte();
    m.Quantity = in.u16();
    m.RegisterDim = in.byte();
    float lower = 0.0f, upper = 200.0f;
    if (flags & 4) {
        lower = in.f32();
        upper = in.f32();
    }

    Events ev;
    QByteArray lastFrame; // the buffer an event was raised for, before trimming
    m.OnResponseReady = [&](TModbusM *sender) {
        FUZZ_REQUIRE(sender == &m, "wrong sender");
        ++ev.ready;
        checkDecoding(m.ResponseData, lower, upper);
    };
    m.OnError = [&](TModbusM *, const QString &text) {
        ev.errors.append(m.LastError());
        FUZZ_REQUIRE(text == TModbusM::ErrorMessage(m.LastError()), "error text \"%s\" for code %d",
                     qPrintable(text), int(m.LastError()));
    };

    QByteArray mirror; // what RxBuffer must hold
    auto receive = [&](const QByteArray &chunk, bool throughPollTick) {
        const bool busyBefore = m.Busy();
        const QByteArray full = mirror + chunk;
        const QByteArray responseBefore = m.ResponseData;
        ev = {};
        if (throughPollTick) {
            dev->input = chunk;
            m.PollTick();
            FUZZ_REQUIRE(dev->input.isEmpty() || chunk.size() > TModbusM::InQueueSize,
                         "a poll tick left %d bytes", int(dev->input.size()));
        } else {
            m.ReceiveBytes(chunk.constData(), int(chunk.size()));
        }
        const QByteArray taken = throughPollTick ? chunk.left(TModbusM::InQueueSize) : chunk;
        const QByteArray seen = mirror + taken;
        if (throughPollTick && taken.isEmpty()) {
            FUZZ_REQUIRE(ev.count() == 0, "an empty poll tick raised an event");
            return;
        }
        FUZZ_REQUIRE(ev.count() <= 1, "one receive raised %d events", ev.count());
        if (ev.count() == 0) {
            FUZZ_REQUIRE(m.Busy() == busyBefore && m.ResponseData == responseBefore, "a silent receive changed state");
        } else if (ev.ready == 1) {
            FUZZ_REQUIRE(frameCrcOk(seen), "accepted a frame with a wrong CRC");
            const auto len = acceptedLength(uint8_t(seen[1]), m.Quantity, m.RegisterDim);
            FUZZ_REQUIRE(len && *len == seen.size(), "accepted a %d-byte frame with function byte %02x", int(seen.size()),
                         uint8_t(seen[1]));
            FUZZ_REQUIRE(seen.indexOf(m.ResponseData) >= 0, "ResponseData is not part of the frame");
            FUZZ_REQUIRE(!m.Busy(), "Busy after an accepted answer");
        } else {
            const int code = ev.errors.first();
            FUZZ_REQUIRE(code == m.LastError(), "LastError %d, reported %d", int(m.LastError()), code);
            FUZZ_REQUIRE(code >= 1 && code <= 9 && code != 7, "receive reported code %d", code);
            FUZZ_REQUIRE((code == 9) == !frameCrcOk(seen), "code %d for a frame whose CRC is %s", code,
                         frameCrcOk(seen) ? "right" : "wrong");
            FUZZ_REQUIRE(m.ResponseData == responseBefore, "a failed receive changed ResponseData");
            if (code == meAcknowledge) {
                FUZZ_REQUIRE(m.Busy() == busyBefore && m.ResponseTimer().isActive(), "exception 5 ended the wait");
            } else {
                FUZZ_REQUIRE(!m.Busy(), "Busy after code %d", code);
            }
        }
        if (ev.count() != 0 && !(ev.errors.size() == 1 && ev.errors.first() == meAcknowledge))
            FUZZ_REQUIRE(!m.ResponseTimer().isActive(), "response timer runs after the transaction ended");
        mirror = seen.right(TModbusM::MaxRxBuffer);
        FUZZ_REQUIRE(m.RxBuffer().size() <= TModbusM::MaxRxBuffer, "RxBuffer holds %d bytes", int(m.RxBuffer().size()));
        FUZZ_REQUIRE(m.RxBuffer() == mirror, "RxBuffer lost or garbled bytes");
    };

    auto sendRequest = [&] {
        const bool open = m.IsPortOpen(), busy = m.Busy();
        const qsizetype writtenBefore = dev->written.size();
        ev = {};
        m.SendRequest();
        FUZZ_REQUIRE(ev.count() <= 1 && ev.ready == 0, "a request raised %d events", ev.count());
        if (!open) {
            FUZZ_REQUIRE(ev.errors == QList<int>{mePortClosed} && m.Busy() == busy, "closed port: wrong outcome");
            return;
        }
        if (busy) {
            FUZZ_REQUIRE(ev.errors == QList<int>{meMasterBusy} && m.Busy(), "busy master: wrong outcome");
            return;
        }
        mirror.clear();
        FUZZ_REQUIRE(m.RxBuffer().isEmpty(), "a request kept old bytes");
        if (ev.count() == 0) {
            const QByteArray frame = dev->written.mid(writtenBefore);
            FUZZ_REQUIRE(frame.size() >= 6 && frameCrcOk(frame) && uint8_t(frame[0]) == m.SlaveId
                             && uint8_t(frame[1]) == m.FunctionCode,
                         "request frame of %d bytes is malformed", int(frame.size()));
            FUZZ_REQUIRE(m.Busy() && m.ResponseTimer().isActive(), "a sent request does not wait");
        } else {
            FUZZ_REQUIRE(!m.Busy() && dev->written.size() == writtenBefore, "failed request code %d left state",
                         ev.errors.first());
        }
    };

    if (flags & 1)
        FUZZ_REQUIRE(m.OpenPort(), "the scripted port did not open");
    if (flags & 2)
        sendRequest();

    while (!in.atEnd()) {
        const uint8_t op = in.byte();
        size_t got = 0;
        switch (op >> 5) {
        case 0: {
            const size_t n = size_t(op & 0x1F) << 8 | in.byte();
            const char *p = in.take(n, &got);
            receive(QByteArray(p, qsizetype(got)), false);
            break;
        }
        case 1: {
            ev = {};
            const QByteArray before = m.RxBuffer();
            m.ResponseTimeout();
            FUZZ_REQUIRE(ev.errors == QList<int>{meTimeout} && !m.Busy() && m.RxBuffer() == before,
                         "time-out: wrong outcome");
            break;
        }
        case 2: {
            const char *p = in.take(op & 0x1F, &got);
            m.WriteData = QByteArray(p, qsizetype(got));
            sendRequest();
            break;
        }
        case 3:
            m.Quantity = in.u16();
            break;
        case 4:
            m.RegisterDim = in.byte();
            break;
        case 5:
            m.FunctionCode = in.byte();
            break;
        case 6:
            if (op & 1) {
                FUZZ_REQUIRE(m.OpenPort() && m.PollTimer().isActive(), "the scripted port did not open");
            } else {
                m.ClosePort();
                FUZZ_REQUIRE(!m.IsPortOpen() && !m.PollTimer().isActive(), "the port stayed open");
            }
            break;
        case 7: {
            const size_t n = size_t(op & 0x1F) << 8 | in.byte();
            const char *p = in.take(n, &got);
            if (m.IsPortOpen())
                receive(QByteArray(p, qsizetype(got)), true);
            dev->input.clear(); // what one tick left behind is not carried into the next case
            break;
        }
        }
    }
    return 0;
}

QZ_FUZZ_TARGET(fuzzModbusReceive)
