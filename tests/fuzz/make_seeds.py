#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpora (tests/fuzz/corpus/<harness>/seed-*).

Run once when the input layout of a harness changes; the output is committed. Files the
station itself writes (KTcom.ini, the .Pf files) are added by running the station in an
empty home, see tests/fuzz/README.md. The answers below were captured from qzsim with qzpoll.
"""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))

# Data bytes of real answers: 16 channels (32 registers) and 32 channels (64 registers).
ANSWER_16 = bytes.fromhex(
    "029C0758 00900EBE 000003EF 00860CE9 03120499 009F166C 03840490 009C139A"
    "00010009 00010002 00810001 00000002 00010001 00000002 00010001 00000002")
ANSWER_32 = bytes.fromhex(
    "029F0758 008E0E86 000003EE 00860D05 03160499 009F1665 0382048E 009D1393"
    "03720527 00271AE4 04360589 001F16E4 04250595 002D232D 053A062D 0036212C"
    "00010009 00010002 00810001 00000002 00010001 00000002 00010001 00000002"
    "00010001 00000002 00010001 00000002 00010001 00000002 00010001 00000002")


def crc16(data: bytes) -> int:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(body: bytes) -> bytes:
    c = crc16(body)
    return body + bytes([c & 0xFF, c >> 8])


def write(harness: str, name: str, data: bytes) -> None:
    d = os.path.join(here, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


# ---- modbus_receive: [flags][slave][function][quantity hi lo][registerDim][limits?] ops...
def header(flags=3, slave=1, function=3, quantity=32, dim=2, limits=None):
    h = bytes([flags, slave, function, quantity >> 8, quantity & 0xFF, dim])
    if limits is not None:
        h = bytes([h[0] | 4]) + h[1:] + struct.pack(">ff", *limits)
    return h


def receive(chunk: bytes) -> bytes:  # 000LLLLL LLLLLLLL
    return bytes([(len(chunk) >> 8) & 0x1F, len(chunk) & 0xFF]) + chunk


def tick(chunk: bytes) -> bytes:  # 111LLLLL LLLLLLLL
    return bytes([0xE0 | ((len(chunk) >> 8) & 0x1F), len(chunk) & 0xFF]) + chunk


def send(write_data: bytes = b"") -> bytes:  # 010NNNNN
    return bytes([0x40 | len(write_data)]) + write_data


TIMEOUT = bytes([0x20])

a16 = frame(bytes([1, 3, 64]) + ANSWER_16)
a32 = frame(bytes([1, 3, 128]) + ANSWER_32)
write("modbus_receive", "answer16", header() + receive(a16))
write("modbus_receive", "answer16-poll-tick", header() + tick(a16))
write("modbus_receive", "answer16-split", header() + receive(a16[:30]) + receive(a16[30:]))
write("modbus_receive", "answer16-limits", header(limits=(-50.0, 150.0)) + receive(a16))
write("modbus_receive", "answer16-crossed-limits", header(limits=(100.0, 20.0)) + receive(a16))
write("modbus_receive", "answer32", header(quantity=64) + receive(a32))
write("modbus_receive", "answer32-quantity32", header(quantity=32) + receive(a32))
write("modbus_receive", "answer16-late", header() + TIMEOUT + receive(a16) + send() + receive(a16))
write("modbus_receive", "answer16-other-slave", header() + receive(frame(bytes([7, 3, 64]) + ANSWER_16)))
write("modbus_receive", "exception2", header() + receive(frame(bytes([1, 0x83, 2]))))
write("modbus_receive", "exception5-then-answer",
      header() + receive(frame(bytes([1, 0x83, 5]))) + receive(a16))
write("modbus_receive", "exception9", header() + receive(frame(bytes([1, 0x83, 9]))))
write("modbus_receive", "stray-byte", header(flags=1) + receive(b"\x55"))
write("modbus_receive", "bad-crc", header() + receive(a16[:-1] + bytes([a16[-1] ^ 0xFF])))
write("modbus_receive", "byte-count-too-large",
      header(quantity=2) + receive(frame(bytes([1, 3, 200, 0, 1, 0, 2]))))
write("modbus_receive", "coils", header(function=1, quantity=10) + receive(frame(bytes([1, 1, 2, 0xFF, 0x03]))))
write("modbus_receive", "write-single", header(function=6) + send(b"\x00\x07")
      + receive(frame(bytes([1, 6, 0, 0, 0, 7]))))
write("modbus_receive", "write-multiple", header(function=16, quantity=2) + send(b"\x00\x01\x00\x02")
      + receive(frame(bytes([1, 16, 0, 0, 0, 2]))))
write("modbus_receive", "closed-port", header(flags=2) + receive(a16))
write("modbus_receive", "noise-1028", header() + tick(bytes((i * 37) & 0xFF for i in range(1028))) + receive(a16))

# ---- settings_files: [mode][argument] bytes
SYS, PV, ALM, INI, NUMBER, LINES = range(6)
write("settings_files", "sys-para", bytes([SYS, 0]) + b"16\r\n10000\r\n")
write("settings_files", "sys-para-hex", bytes([SYS, 0]) + b"  $10\n0x2710")
write("settings_files", "sys-para-abc", bytes([SYS, 0]) + b"abc\r\n60000\r\n")
pv = "".join(f"油储温度{k}\r\n℃\r\n0\r\n200\r\n" for k in range(1, 9)).encode("gbk")
write("settings_files", "system-pv", bytes([PV, 8]) + pv)
write("settings_files", "system-pv-lf", bytes([PV, 8]) + pv.replace(b"\r\n", b"\n"))
write("settings_files", "system-pv-short", bytes([PV, 16]) + pv)
write("settings_files", "system-pv-comma", bytes([PV, 1]) + "罐1\r\n℃\r\n1,5\r\n-3.25\r\n".encode("gbk"))
alm = "".join(f"油储温度{k}\r\n0\r\n 8.00000000000000E+0001\r\n" for k in range(1, 9)).encode("gbk")
write("settings_files", "system-alm", bytes([ALM, 8]) + alm)
write("settings_files", "system-alm-dialog", bytes([ALM, 2]) + "罐1\r\n-1\r\n75.5\r\n罐2\r\nabc\r\n\r\n".encode("gbk"))
write("settings_files", "ktcom", bytes([INI, 0]) + b"[communication]\r\nCOM=COM1\r\nBps=9600\r\n")
write("settings_files", "ktcom-devices", bytes([INI, 5]) +
      b"; station\r\n[Communication]\r\ncom = COM3\r\nBPS=19200\r\n\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\ncom2 = \"/dev/tty S1\"\r\n")
write("settings_files", "ktcom-empty-com", bytes([INI, 1]) + b"[communication]\nCOM=\nBps=abc\n[other]\nx=1\n")
for i, text in enumerate([b"12.5", b"  -3.25E+10", b"1,5", b".5", b"5.", b"$1F", b"-0x10", b"1e", b"80 ",
                          b"9223372036854775808", b"-9223372036854775808", b"1E-400", b"3.5e38",
                          b"\x00\x00\x00\x00\x00\x00\xf0\x3f", b"\x9a\x99\x99\x99\x99\x99\xb9\x3f"]):
    write("settings_files", f"number-{i:02d}", bytes([NUMBER, 0]) + text)
write("settings_files", "lines-mixed", bytes([LINES, 0]) + b"a\r\nb\nc\r\r\n\r\nlast")
write("settings_files", "lines-gbk", bytes([LINES, 0]) + "温度\r\n℃\r\n".encode("gbk"))
write("settings_files", "lines-long", bytes([LINES, 0]) + b"x" * 70000 + b"\r\n")

# ---- history_rows: [flags][channel count][range] then cells row after row
NULL, TEXT, INT, REAL, BLOB, STAMP, VALUE, LONG = range(8)


def stamp(seconds, base=0, eighths=0):
    return bytes([STAMP | (base << 3) | (eighths << 5), seconds >> 8, seconds & 0xFF])


def value(v):
    return bytes([VALUE]) + struct.pack(">f", v)


def text(t: bytes):
    return bytes([TEXT, len(t)]) + t


def station_row(seconds, values, base=0):
    cells = stamp(seconds, base) + b"".join(value(v) for v in values)
    return cells + bytes([NULL]) * (32 - len(values))


rows = b"".join(station_row(5 * i, [20.5 + i, -1000.0, 0.0, 199.9, 66.8, 188.0, 3.5, 100.0]) for i in range(12))
write("history_rows", "station-8ch", bytes([0, 8, 160]) + rows)
write("history_rows", "station-8ch-print-chart", bytes([4 | 8, 8, 160]) + rows)
rows16 = b"".join(station_row(3600 + 5 * i, [float(k) * 10.0 + i for k in range(16)]) for i in range(6))
write("history_rows", "station-16ch-clock-change", bytes([8, 16, 160]) + rows16)
rows32 = b"".join(station_row(60 * i, [float(k) for k in range(32)], base=1) for i in range(4))
write("history_rows", "station-32ch-autumn", bytes([4, 32, 161]) + rows32)
foreign = (stamp(10) + text(b"  25.300") + bytes([INT]) + struct.pack(">q", -7) + bytes([REAL]) + struct.pack(">d", 1e300)
           + stamp(20) + bytes([BLOB, 4]) + b"\x00\xff,\"" + text(b"a,b\r\nc\"d") + bytes([NULL])
           + text(b"not a time") + text(b"\xff\xfe") + text(b"   ") + text(b"NaN"))
write("history_rows", "foreign-3ch", bytes([1 | 16, 3, 0]) + foreign)
write("history_rows", "foreign-40ch", bytes([2 | 16 | 8, 32, 0]) + station_row(1, [1.0] * 32) + bytes([LONG, 1, 0]) + b"x" * 256)
write("history_rows", "text-datim", bytes([3 | 16 | 4, 8, 0]) + rows)
write("history_rows", "far-dates", bytes([16 | 8, 8, 2]) + station_row(0, [1.0] * 8, base=2) + station_row(65535, [2.0] * 8, base=3))

# ---- mqtt_reader: [max] [head] then chunks [n] n+1 bytes


def varint(n: int) -> bytes:
    out = b""
    while True:
        b = n % 128
        n //= 128
        out += bytes([b | (0x80 if n else 0)])
        if not n:
            return out


def packet(first: int, body: bytes) -> bytes:
    return bytes([first]) + varint(len(body)) + body


def mqtt_str(s: bytes) -> bytes:
    return struct.pack(">H", len(s)) + s


def props(p: bytes) -> bytes:
    return varint(len(p)) + p


def publish(topic: bytes, payload: bytes, qos: int = 1, pid: int = 1, p: bytes = b"") -> bytes:
    body = mqtt_str(topic) + (struct.pack(">H", pid) if qos else b"") + props(p) + payload
    return packet(0x30 | (qos << 1), body)


def chunks(stream: bytes, size: int) -> bytes:
    out = b""
    for i in range(0, len(stream), size):
        part = stream[i:i + size]
        out += bytes([len(part) - 1]) + part
    return out


CONNACK = packet(0x20, b"\x01\x00" + props(b"\x13\x00\x02" b"\x21\x00\x05" b"\x24\x01" b"\x27\x00\x01\x86\xa0"
                                            + b"\x1f" + mqtt_str(b"welcome") + b"\x26" + mqtt_str(b"k") + mqtt_str(b"v")))
SUBACK = packet(0x90, b"\x00\x01" + props(b"") + b"\x01\x01\x01")
RECORD = b'{"datim":"2026-03-01T08:00:01.000+08:00","values":[25.3,null,26.1]}'
MAX_SEL, HEAD_SEL = 12, 2  # 64 KiB, 32 bytes
session = CONNACK + SUBACK + publish(b"qz/tank-a/record", RECORD, 1, 7) + packet(0xd0, b"")
write("mqtt_reader", "session", bytes([MAX_SEL, HEAD_SEL]) + chunks(session, 256))
write("mqtt_reader", "session-bytewise", bytes([MAX_SEL, HEAD_SEL]) + chunks(session, 1))
# Larger than the maximum (256 bytes here): skipped to its head, then the next one whole.
big = publish(b"qz/tank-a/event", b"x" * 3000, 1, 9)
write("mqtt_reader", "oversized-then-record", bytes([4, 2]) + chunks(big + publish(b"qz/a/record", RECORD, 1, 10), 200))
write("mqtt_reader", "oversized-suback", bytes([4, 2]) + chunks(packet(0x90, b"\x00\x01\x00" + b"\x01" * 400), 256))
write("mqtt_reader", "five-byte-length", bytes([MAX_SEL, HEAD_SEL]) + chunks(b"\x30\xff\xff\xff\xff\x7f", 256))
write("mqtt_reader", "bad-utf8-topic", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"qz/\xff\xfe/record", RECORD, 1, 3), 256))
write("mqtt_reader", "nul-topic", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"qz/a\x00/record", RECORD, 1, 3), 256))
write("mqtt_reader", "topic-alias", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"", RECORD, 1, 4, b"\x23\x00\x01"), 256))
write("mqtt_reader", "bad-properties", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"qz/a/record", RECORD, 1, 5, b"\x7f\x00"), 256))
write("mqtt_reader", "packet-id-0", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"qz/a/record", RECORD, 1, 0), 256))
write("mqtt_reader", "qos0-record", bytes([MAX_SEL, HEAD_SEL]) + chunks(publish(b"qz/a/record", RECORD, 0), 256))
write("mqtt_reader", "connack-twice-keepalive", bytes([MAX_SEL, HEAD_SEL])
      + chunks(packet(0x20, b"\x00\x00" + props(b"\x13\x00\x02\x13\x00\x03")), 256))
write("mqtt_reader", "connack-qos0", bytes([MAX_SEL, HEAD_SEL]) + chunks(packet(0x20, b"\x00\x00" + props(b"\x24\x00")), 256))
write("mqtt_reader", "connack-refused", bytes([MAX_SEL, HEAD_SEL]) + chunks(packet(0x20, b"\x00\x86"), 256))
write("mqtt_reader", "disconnect-reason", bytes([MAX_SEL, HEAD_SEL])
      + chunks(packet(0xe0, b"\x8e" + props(b"\x1f" + mqtt_str(b"session taken over"))), 256))

# ---- site_payloads: [kind] [station length u16] station payload
REC, EVT, STA, LIVE = 0, 1, 2, 3
QOS0, REFUSED = 4, 8


def site(kind: int, station: bytes, payload: bytes) -> bytes:
    return bytes([kind]) + struct.pack(">H", len(station)) + station + payload


EVENT = ('{"id":17,"time":"2026-03-01T08:00:05.250+08:00","source":"limit","channel":3,"name":"油储温度3",'
         '"kind":"上限报警","value":81.2,"transition":"raised","user":"","detail":""}').encode()
STATUS = ('{"station":"tank-a","online":true,"comm":"OK","version":"0.1.0","time":"2026-03-01T08:00:00.000+08:00",'
          '"channelCount":2,"channels":[{"channel":1,"name":"油储温度1","unit":"℃","lower":0,"upper":100},'
          '{"channel":2,"name":"油储温度2","unit":"℃","lower":-10.5,"upper":85.3}]}').encode()
write("site_payloads", "record", site(REC, b"tank-a", RECORD))
write("site_payloads", "record-32", site(REC, "罐区一号".encode(), b'{"datim":"2026-03-01T08:00:01.000+08:00","values":['
                                         + b",".join(b"%d.%d" % (i, i) for i in range(32)) + b"]}"))
write("site_payloads", "record-spaced", site(REC, b"tank-a", b'{ "datim": "2026-03-01T08:00:01Z", "values": [1, 2e3] }'))
write("site_payloads", "record-31-february", site(REC, b"tank-a", b'{"datim":"2026-02-31T08:00:00.000+08:00","values":[1]}'))
write("site_payloads", "record-year-0000", site(REC, b"tank-a", b'{"datim":"0000-01-01T08:00:00.000+08:00","values":[1]}'))
write("site_payloads", "record-beyond-real", site(REC, b"tank-a", b'{"datim":"2026-03-01T08:00:01Z","values":[1e39,3.4028235e38,1e-50,-0]}'))
write("site_payloads", "record-qos0", site(REC | QOS0, b"tank-a", RECORD))
write("site_payloads", "record-too-large", site(REC | REFUSED, b"tank-a", b"x" * 1000))
write("site_payloads", "event", site(EVT, b"tank-a", EVENT))
write("site_payloads", "event-nul", site(EVT, b"tank-a", EVENT.replace("油储温度3".encode(), b"a\\u0000b")))
write("site_payloads", "event-raw-nul", site(EVT, b"tank-a", EVENT.replace(b'"limit"', b'"li\x00mit"')))
write("site_payloads", "event-id-2-53", site(EVT, b"tank-a", EVENT.replace(b'"id":17', b'"id":9007199254740993')))
write("site_payloads", "status", site(STA, b"tank-a", STATUS))
write("site_payloads", "status-will", site(STA | QOS0, b"tank-a", b'{"station":"tank-a","online":false}'))
write("site_payloads", "status-bad-time", site(STA, b"tank-a", STATUS.replace(b"2026-03-01T08", b"2026-02-31T08")))
write("site_payloads", "status-nul-channel", site(STA, b"tank-a", STATUS.replace("油储温度2".encode(), b"\\u0000")))
write("site_payloads", "status-other-station", site(STA, b"tank-b", STATUS))
write("site_payloads", "status-3k-station", site(STA, b"s" * 3000, b'{"online":true}'))
write("site_payloads", "forged-live", site(LIVE, b"tank-a", b'{"time":"2026-03-01T08:00:01Z","values":[1],"states":["x"]}'))
write("site_payloads", "not-json", site(EVT, b"tank-a", b"not json"))

# ---- copy_text: ops [op] fields; texts [n] n UTF-16 units, bytes [n] n bytes


def u16text(s: str) -> bytes:
    units = s.encode("utf-16-be")
    return bytes([len(units) // 2]) + units


def f32(present: bool, v: float) -> bytes:
    return bytes([1 if present else 0]) + struct.pack(">f", v)


def rec(station: str, datim: str, values) -> bytes:
    return bytes([0]) + u16text(station) + u16text(datim) + b"".join(
        f32(v is not None, v if v is not None else 0.0) for v in (list(values) + [None] * (32 - len(values))))


def evt(station: str, ident: int, time: str, texts, channel, value) -> bytes:
    source, name, kind, transition, user, detail = texts
    return (bytes([1]) + u16text(station) + struct.pack(">q", ident) + u16text(time) + u16text(source)
            + bytes([1 if channel is not None else 0]) + struct.pack(">i", channel or 0) + u16text(name) + u16text(kind)
            + f32(value is not None, value or 0.0) + u16text(transition) + u16text(user) + u16text(detail))


def dead(station: str, topic: str, payload: bytes, error: str, ms: int) -> bytes:
    return bytes([2]) + u16text(station) + u16text(topic) + bytes([len(payload)]) + payload + u16text(error) + struct.pack(">q", ms)


def logs(limit: int, t: str, raw: bytes) -> bytes:
    return bytes([3, limit]) + u16text(t) + bytes([len(raw)]) + raw


write("copy_text", "records", rec("tank-a", "2026-03-01T08:00:01.000+08:00", [25.3, None, -0.001, 3.4e38])
      + rec("罐区\t一号\\", "2026-03-01T08:00:02Z", [1e-45, float("inf"), float("nan")]))
write("copy_text", "event-escapes", evt("tank-a", 17, "2026-03-01T08:00:05.250+08:00",
                                        ["limit", "油储温度3", "上限报警", "raised", "", "line1\nline2\tand \\ more\r"], 3, 81.2))
write("copy_text", "event-nul-and-surrogate", evt("s\x00t", 2 ** 53, "2026-02-31T00:00:00Z",
                                                  ["\ud800".encode("utf-16-be", "surrogatepass").decode("utf-16-be", "replace"),
                                                   "a\x00b", "k", "t", "u", "d"], None, None))
write("copy_text", "dead-letters", dead("tank-a", "qz/tank-a/event", b"a\x00\n\xff", "not JSON: x", 1767225600123)
      + dead("", "elsewhere", b"", "refused\twith\\tab", 0))
write("copy_text", "log-lines", logs(40, "qz/x\n[fake] line\r\x1b[31m\u2028end", b"ok \xff\xfe \xe7\xbd\x90 \x00")
      + logs(3, "long " * 20, b"\x80" * 50))
