// The master's framing on network devices, on a scripted device (the wire itself is tested
// against qzsim in tst_modbus_tcp): Modbus TCP requests and the checks on MBAP answers
// (transaction id, protocol id, length, unit id), and RTU frames that come in pieces over TCP.

#include "ModbusM.h"
#include "ScriptedSerialDevice.h"
#include "TcpDevice.h"

#include <QtTest>

namespace {

QByteArray hex(const QByteArray &b) { return b.toHex().toUpper(); }

// 64 data bytes 00 01 … 3F.
QByteArray registerData()
{
    QByteArray d;
    for (int i = 0; i < 64; ++i)
        d.append(char(i));
    return d;
}

// An MBAP answer to a read of 32 registers, built by hand: transaction id, protocol, length,
// unit, function 3, byte count 0x40, data.
QByteArray mbapAnswer(uint16_t tid, const QByteArray &data, uint8_t unit = 7, uint16_t protocol = 0, int length = -1)
{
    QByteArray f;
    f.append(char(tid >> 8)).append(char(tid & 0xFF));
    f.append(char(protocol >> 8)).append(char(protocol & 0xFF));
    const int n = length >= 0 ? length : int(data.size()) + 3;
    f.append(char(n >> 8)).append(char(n & 0xFF));
    f.append(char(unit)).append(char(3)).append(char(data.size()));
    f.append(data);
    return f;
}

// A master on a scripted device mapped as COM1 to `device`, recording its events.
struct Station {
    ScriptedSerialDevice *dev;
    TModbusM m;
    QList<int> errors;
    QList<QByteArray> answers;

    explicit Station(const QString &device)
        : dev(new ScriptedSerialDevice), m(nullptr, std::unique_ptr<SerialDevice>(dev))
    {
        m.ReadOnArrival = false;
        m.setDeviceMap({{1, device}});
        m.setComPort(pnCOM1);
        m.OnError = [this](TModbusM *s, const QString &) { errors << s->LastError(); };
        m.OnResponseReady = [this](TModbusM *s) { answers << s->ResponseData; };
    }
    void request(uint16_t quantity = 32, uint8_t slave = 1)
    {
        m.FunctionCode = 3;
        m.SlaveId = slave;
        m.Offset = 0;
        m.Quantity = quantity;
        m.SendRequest();
    }
    // What the last request wrote.
    QByteArray lastWritten(int size) const { return dev->written.right(size); }
};

} // namespace

class TestNetworkFrames : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void devicesAreMadeForTheirString();
    void malformedStringOpensNothing();
    void mbapRequests();
    void mbapAnswers();
    void mbapStaleAndLateAnswers();
    void mbapBrokenHeaders_data();
    void mbapBrokenHeaders();
    void mbapExceptions();
    void rtuPiecesWaitOnTcpOnly();
};

void TestNetworkFrames::devicesAreMadeForTheirString()
{
    // Without a device handed in, the master makes the one its string calls for, when it
    // opens (on the thread that opens it), and another when the string changes kind.
    TModbusM m;
    QVERIFY(m.Device() == nullptr);
    m.setDeviceMap({{1, QStringLiteral("tcp://127.0.0.1:9")}});
    m.setComPort(pnCOM1);
    QVERIFY(!m.OpenPort()); // a connection is never there at once
    QVERIFY(dynamic_cast<TcpDevice *>(m.Device()));
    QCOMPARE(int(m.Transport()), int(DeviceTransport::RtuOverTcp));
    SerialDevice *tcp = m.Device();
    m.setDeviceMap({{1, QStringLiteral("modbus-tcp://127.0.0.1:9")}});
    m.OpenPort();
    QCOMPARE(m.Device(), tcp); // the same kind of device serves both network modes
    QCOMPARE(int(m.Transport()), int(DeviceTransport::ModbusTcp));
    m.ClosePort();
    m.setDeviceMap({{1, QStringLiteral("/nonexistent/ttyQZ")}});
    QVERIFY(!m.OpenPort());
    QVERIFY(dynamic_cast<TcpDevice *>(m.Device()) == nullptr);
    QVERIFY(m.Device() != nullptr);
    QCOMPARE(int(m.Transport()), int(DeviceTransport::Serial));
}

void TestNetworkFrames::malformedStringOpensNothing()
{
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=300"));
    QVERIFY(!s.m.OpenPort());
    QVERIFY(s.dev->calls.isEmpty()); // the device was not even asked
    QVERIFY(s.m.PortErrorText().startsWith(QStringLiteral("单元号必须写成 ?unit=N")));
    QVERIFY(!s.m.PortOpening());
    s.request();
    QCOMPARE(s.errors, QList<int>{mePortClosed});
    QVERIFY(s.dev->written.isEmpty());
}

void TestNetworkFrames::mbapRequests()
{
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QVERIFY(s.m.OpenPort());
    QCOMPARE(s.dev->openedPath, QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QCOMPARE(s.m.TransactionId(), uint16_t(0));
    // No address, no CRC: the header carries id 1, protocol 0, six bytes, unit 7 (not the
    // slave address 1 the station asks for).
    s.request(32, 1);
    QCOMPARE(hex(s.dev->written), QByteArray("000100000006070300000020"));
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    s.m.ResponseTimeout();
    s.request(64, 1);
    QCOMPARE(hex(s.lastWritten(12)), QByteArray("000200000006070300000040"));
    QCOMPARE(s.m.TransactionId(), uint16_t(2));

    // Without ?unit the slave address goes in the unit field.
    Station t(QStringLiteral("modbus-tcp://10.0.0.7"));
    QVERIFY(t.m.OpenPort());
    t.request(32, 5);
    QCOMPARE(hex(t.dev->written), QByteArray("000100000006050300000020"));

    // Write requests keep their data, framed the same way.
    Station w(QStringLiteral("modbus-tcp://10.0.0.7?unit=1"));
    QVERIFY(w.m.OpenPort());
    w.m.FunctionCode = 6;
    w.m.Offset = 0x10;
    w.m.WriteData = QByteArray::fromHex("ABCD");
    w.m.SendRequest();
    QCOMPARE(hex(w.dev->written), QByteArray("00010000000601060010ABCD"));
    w.m.ReceiveBytes(QByteArray::fromHex("00010000000601060010ABCD").constData(), 12);
    QCOMPARE(w.errors, QList<int>());
    QCOMPARE(hex(w.answers.value(0)), QByteArray("ABCD")); // the value written, echoed

    // The id wraps after 65535 without ever stalling.
    Station r(QStringLiteral("modbus-tcp://h?unit=1"));
    QVERIFY(r.m.OpenPort());
    for (int i = 0; i < 65536; ++i) {
        r.request();
        r.m.ResponseTimeout();
    }
    QCOMPARE(r.m.TransactionId(), uint16_t(0));
    r.request();
    QCOMPARE(hex(r.lastWritten(12)), QByteArray("000100000006010300000020"));
}

void TestNetworkFrames::mbapAnswers()
{
    const QByteArray data = registerData();
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QVERIFY(s.m.OpenPort());

    // Whole.
    s.request();
    const QByteArray a1 = mbapAnswer(1, data);
    s.m.ReceiveBytes(a1.constData(), int(a1.size()));
    QCOMPARE(s.errors, QList<int>());
    QCOMPARE(s.answers, QList<QByteArray>{data});
    QVERIFY(!s.m.Busy());
    QVERIFY(!s.m.ResponseTimer().isActive());
    QVERIFY(s.m.RxBuffer().isEmpty());

    // Byte by byte, header included: taken once it is whole, never an error, and the wait
    // runs on meanwhile. (Cuts at every place, over a real connection: tst_modbus_tcp.)
    s.answers.clear();
    s.request();
    const QByteArray a = mbapAnswer(s.m.TransactionId(), data);
    for (qsizetype i = 0; i < a.size(); ++i) {
        QVERIFY(s.answers.isEmpty() && s.m.ResponseTimer().isActive());
        s.m.ReceiveBytes(a.constData() + i, 1);
    }
    QCOMPARE(s.answers, QList<QByteArray>{data});
    QCOMPARE(s.errors, QList<int>());
}

void TestNetworkFrames::mbapStaleAndLateAnswers()
{
    QByteArray data = registerData();
    QByteArray old = data;
    old[0] = char(0x7F); // an older reading, told apart by its first byte
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QVERIFY(s.m.OpenPort());

    // Request 1 times out; request 2 goes out; request 1's answer arrives now, followed by
    // request 2's in the same read. Only the second is the answer.
    s.request();
    s.m.ResponseTimeout();
    QCOMPARE(s.errors, QList<int>{meTimeout});
    s.errors.clear();
    s.request();
    const QByteArray both = mbapAnswer(1, old) + mbapAnswer(2, data);
    s.m.ReceiveBytes(both.constData(), int(both.size()));
    QCOMPARE(s.answers, QList<QByteArray>{data});
    QCOMPARE(s.errors, QList<int>());

    // A stale answer alone is dropped; the request still waits, and ends by its time-out.
    s.answers.clear();
    s.request(); // id 3
    const QByteArray stale = mbapAnswer(2, old);
    s.m.ReceiveBytes(stale.constData(), int(stale.size()));
    QVERIFY(s.answers.isEmpty());
    QVERIFY(s.errors.isEmpty());
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    QVERIFY(s.m.RxBuffer().isEmpty());
    // An id from the future is no answer either.
    const QByteArray future = mbapAnswer(4, old);
    s.m.ReceiveBytes(future.constData(), int(future.size()));
    QVERIFY(s.answers.isEmpty());
    s.m.ResponseTimeout();
    QCOMPARE(s.errors, QList<int>{meTimeout});

    // After its time-out, the late answer to the last request is still taken (as on the
    // serial line), once: a repeat of it is dropped.
    const QByteArray late = mbapAnswer(3, data);
    s.m.ReceiveBytes(late.constData(), int(late.size()));
    QCOMPARE(s.answers, QList<QByteArray>{data});
    s.m.ReceiveBytes(late.constData(), int(late.size()));
    QCOMPARE(s.answers.size(), 1);
    QCOMPARE(s.errors, QList<int>{meTimeout});

    // A stale frame still coming in when the next request goes out is completed and dropped;
    // its tail is not taken for the start of the next answer.
    s.answers.clear();
    s.request(); // id 4
    const QByteArray slow = mbapAnswer(4, old);
    s.m.ReceiveBytes(slow.constData(), 30);
    s.m.ResponseTimeout();
    s.errors.clear();
    s.request(); // id 5
    const QByteArray rest = slow.mid(30) + mbapAnswer(5, data);
    s.m.ReceiveBytes(rest.constData(), int(rest.size()));
    QCOMPARE(s.answers, QList<QByteArray>{data});
    QCOMPARE(s.errors, QList<int>());
}

void TestNetworkFrames::mbapBrokenHeaders_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("error"); // -1: none (the wait goes on to its time-out)
    const QByteArray data = registerData();
    QTest::newRow("protocol id 1") << mbapAnswer(1, data, 7, 1) << int(meCommError);
    QTest::newRow("length 0") << mbapAnswer(1, data, 7, 0, 0) << int(meCommError);
    QTest::newRow("length 1") << mbapAnswer(1, data, 7, 0, 1) << int(meCommError);
    QTest::newRow("length 255") << mbapAnswer(1, data, 7, 0, 255) << int(meCommError);
    QTest::newRow("length one short") << mbapAnswer(1, data, 7, 0, 66) << int(meSlaveFailure);
    QTest::newRow("length beyond the bytes sent") << mbapAnswer(1, data.left(60), 7, 0, 67) << -1;
    QTest::newRow("length one long") << mbapAnswer(1, data, 7, 0, 68) << -1;
    QTest::newRow("wrong unit") << mbapAnswer(1, data, 8) << int(meCommError);
}

void TestNetworkFrames::mbapBrokenHeaders()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, error);
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QVERIFY(s.m.OpenPort());
    s.request();
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QVERIFY(s.answers.isEmpty()); // never decoded
    if (error < 0) {
        // The frame claims more than came: it waits for the rest, then times out.
        QVERIFY(s.errors.isEmpty());
        QVERIFY(s.m.Busy());
        s.m.ResponseTimeout();
        QCOMPARE(s.errors, QList<int>{meTimeout});
    } else {
        QCOMPARE(s.errors, QList<int>{error});
        QVERIFY(!s.m.Busy());
        QVERIFY(!s.m.ResponseTimer().isActive());
        // Nothing of it is kept to spoil the next frame.
        QVERIFY(s.m.RxBuffer().isEmpty());
    }
    QVERIFY(s.answers.isEmpty());
}

void TestNetworkFrames::mbapExceptions()
{
    Station s(QStringLiteral("modbus-tcp://10.0.0.7:502?unit=7"));
    QVERIFY(s.m.OpenPort());
    s.request();
    const QByteArray illegal = QByteArray::fromHex("000100000003078302");
    s.m.ReceiveBytes(illegal.constData(), int(illegal.size()));
    QCOMPARE(s.errors, QList<int>{meIllegalAddress});
    QVERIFY(!s.m.Busy());

    // Exception 5: the transaction stays open under its id; the real answer follows.
    s.errors.clear();
    s.request(); // id 2
    const QByteArray ack = QByteArray::fromHex("000200000003078305");
    s.m.ReceiveBytes(ack.constData(), int(ack.size()));
    QCOMPARE(s.errors, QList<int>{meAcknowledge});
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    const QByteArray answer = mbapAnswer(2, registerData());
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(s.answers, QList<QByteArray>{registerData()});
    QVERIFY(!s.m.Busy());
}

void TestNetworkFrames::rtuPiecesWaitOnTcpOnly()
{
    // 01 03 40, 64 data bytes, CRC.
    QByteArray answer = QByteArray::fromHex("010340") + registerData();
    const uint16_t crc = Crc16(answer.constData(), answer.size());
    answer.append(char(crc & 0xFF)).append(char(crc >> 8));

    // Over TCP the same RTU request goes out, and an answer cut waits for its rest: in the
    // header, in the data, before the last byte.
    Station tcp(QStringLiteral("tcp://192.168.1.20:4001"));
    QVERIFY(tcp.m.OpenPort());
    for (int cut : {1, 2, 4, 30, 67, 68}) {
        tcp.answers.clear();
        tcp.request();
        QCOMPARE(hex(tcp.lastWritten(8)), QByteArray("0103000000204412"));
        tcp.m.ReceiveBytes(answer.constData(), cut);
        QVERIFY2(tcp.answers.isEmpty() && tcp.errors.isEmpty(), qPrintable(QString::number(cut)));
        QVERIFY(tcp.m.ResponseTimer().isActive());
        tcp.m.ReceiveBytes(answer.constData() + cut, int(answer.size()) - cut);
        QCOMPARE(tcp.answers, QList<QByteArray>{registerData()});
    }
    QCOMPARE(tcp.errors, QList<int>());
    // An exception frame is whole at five bytes.
    tcp.request();
    const QByteArray exception = QByteArray::fromHex("018302C0F1");
    tcp.m.ReceiveBytes(exception.constData(), 3);
    QVERIFY(tcp.errors.isEmpty());
    tcp.m.ReceiveBytes(exception.constData() + 3, 2);
    QCOMPARE(tcp.errors, QList<int>{meIllegalAddress});
    // A whole frame that is too short (its CRC closes it) fails its length check at once.
    tcp.errors.clear();
    tcp.request();
    QByteArray half = QByteArray::fromHex("010320") + registerData().left(32);
    const uint16_t halfCrc = Crc16(half.constData(), half.size());
    half.append(char(halfCrc & 0xFF)).append(char(halfCrc >> 8));
    tcp.m.ReceiveBytes(half.constData(), int(half.size()));
    QCOMPARE(tcp.errors, QList<int>{meSlaveFailure});
    // A whole frame with a bad CRC still fails at once.
    tcp.errors.clear();
    tcp.request();
    QByteArray damaged = answer;
    damaged[10] = char(damaged[10] ^ 0x01);
    tcp.m.ReceiveBytes(damaged.constData(), int(damaged.size()));
    QCOMPARE(tcp.errors, QList<int>{meCommError});

    // On the serial line a frame cut in two stays what it was: a CRC error first, then the
    // answer once the rest has come (its frame gap lets a real line never cut a frame).
    Station serial(QStringLiteral("/dev/ttyQZ0"));
    QVERIFY(serial.m.OpenPort());
    serial.request();
    serial.m.ReceiveBytes(answer.constData(), 30);
    QCOMPARE(serial.errors, QList<int>{meCommError});
    serial.m.ReceiveBytes(answer.constData() + 30, int(answer.size()) - 30);
    QCOMPARE(serial.answers, QList<QByteArray>{registerData()});
}

QTEST_GUILESS_MAIN(TestNetworkFrames)
#include "tst_networkframes.moc"
