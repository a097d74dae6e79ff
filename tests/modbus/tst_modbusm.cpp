// TModbusM over a real pseudo-terminal (frames on the wire, answers, time-outs, a lost and
// returning line) and, where a pseudo-terminal cannot produce the situation, over a
// scripted device (full output queue, stalled or failing writes, data bits and parity).

#include "ModbusM.h"
#include "Pty.h"
#include "ScriptedSerialDevice.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <termios.h>

namespace {

QByteArray hex(const QByteArray &b) { return b.toHex().toUpper(); }

// The hex digits plus their CRC, low byte first.
QByteArray frame(const char *hexDigits)
{
    QByteArray f = QByteArray::fromHex(hexDigits);
    const uint16_t crc = Crc16(f.constData(), f.size());
    f.append(char(crc & 0xFF));
    f.append(char(crc >> 8));
    return f;
}

QByteArray registerData(int bytes)
{
    QByteArray d;
    for (int i = 0; i < bytes; ++i)
        d.append(char(i));
    return d;
}

// 01 03 <count> <data> CRC
QByteArray readAnswer(uint8_t slave, int count, const QByteArray &data)
{
    QByteArray f;
    f.append(char(slave));
    f.append(char(3));
    f.append(char(count));
    f.append(data);
    return frame(f.toHex().constData());
}

// A master on a fresh pseudo-terminal (mapped as COM1) that records its events.
struct Station {
    Pty pty;
    TModbusM m;
    QList<int> errors;
    QStringList messages;
    int ready = 0;
    QList<bool> busyInHandler;

    // Most cases tick the master by hand: arrivals must not drain the line behind their back.
    explicit Station(bool readOnArrival = false)
    {
        m.ReadOnArrival = readOnArrival;
        m.setDeviceMap({{1, pty.slavePath()}});
        m.setComPort(pnCOM1);
        m.OnError = [this](TModbusM *s, const QString &msg) {
            errors << s->LastError();
            messages << msg;
            busyInHandler << s->Busy();
        };
        m.OnResponseReady = [this](TModbusM *s) {
            ++ready;
            busyInHandler << s->Busy();
        };
    }

    void request(uint8_t function, uint16_t quantity, uint16_t offset = 0, uint8_t slave = 1)
    {
        m.FunctionCode = function;
        m.Quantity = quantity;
        m.Offset = offset;
        m.SlaveId = slave;
        m.SendRequest();
    }
};

// Records the chunks the poll tick hands over.
class ChunkRecorder : public TModbusM {
public:
    using TModbusM::TModbusM;
    QList<int> chunks;
    void ReceiveBytes(const char *data, int count) override
    {
        chunks << count;
        TModbusM::ReceiveBytes(data, count);
    }
};

} // namespace

class TestModbusM : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void crc_data();
    void crc();
    void enumerationNames();
    void constructionDefaults();
    void errorMessages();
    void devicePaths();

    void openMissingDevice();
    void openTwiceLeavesPortAlone();
    void closePortTwice();
    void requestFrames_data();
    void requestFrames();
    void requestsRefused_data();
    void requestsRefused();
    void receivePaths_data();
    void receivePaths();
    void exceptionFiveKeepsWaiting();
    void strayByteBeforeAnyRequest();
    void rxBufferStaysBounded();
    void busyRefusesSecondRequest();
    void eventHandlers();
    void handlerMayDestroyComponent();
    void timeoutAndLateAnswer();
    void roundTripOnPollTimer();
    void answersReadOnArrival();
    void frameGap();
    void timeoutSetter();
    void pollTickChunks();
    void propertySettersOnPty();
    void lineSettingsAndOrder_data();
    void lineSettingsAndOrder();
    void lostLineIsReopened();

    void txQueueRoom();
    void sendBytes();
    void sendRequestWithStalledLine();
};

// ---------------------------------------------------------------------------------------

void TestModbusM::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0x4B37;
    QTest::newRow("empty") << QByteArray() << 0xFFFF;
    // Read 32 holding registers of slave 1: 01 03 00 00 00 20, CRC 44 12 on the wire.
    QTest::newRow("read 32") << QByteArray::fromHex("010300000020") << 0x1244;
    QTest::newRow("read 64") << QByteArray::fromHex("010300000040") << 0x3A44;
}

void TestModbusM::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(Crc16(bytes.constData(), bytes.size())), crc);
    // ModbusCrc16 leaves out the two places reserved for the CRC.
    QCOMPARE(int(ModbusCrc16(bytes + QByteArray(2, '\x55'))), crc);
    QCOMPARE(int(ModbusCrc16(QByteArray::fromHex("0102"))), 0xFFFF);
}

void TestModbusM::enumerationNames()
{
    TComPortNumber pn = pnCOM1;
    QVERIFY(ComPortNumberFromName(QStringLiteral("pnCOM3"), &pn));
    QCOMPARE(pn, pnCOM3);
    QVERIFY(ComPortNumberFromName(QStringLiteral("PNcom12"), &pn));
    QCOMPARE(pn, pnCOM12);
    QVERIFY(ComPortNumberFromName(QStringLiteral("pnCOM16"), &pn));
    QCOMPARE(pn, pnCOM16);
    QVERIFY(!ComPortNumberFromName(QStringLiteral("pnCOM17"), &pn));
    QVERIFY(!ComPortNumberFromName(QStringLiteral("pnCOM0"), &pn));
    QVERIFY(!ComPortNumberFromName(QStringLiteral("COM3"), &pn));
    QCOMPARE(pn, pnCOM16); // untouched by failed look-ups
    QCOMPARE(int(pnCOM12), 11);

    TComPortBaudRate br = br110;
    QVERIFY(ComPortBaudRateFromName(QStringLiteral("br9600"), &br));
    QCOMPARE(br, br9600);
    QCOMPARE(int(br9600), 6);
    QVERIFY(ComPortBaudRateFromName(QStringLiteral("br256000"), &br));
    QCOMPARE(br, br256000);
    QCOMPARE(int(br256000), 14);
    QVERIFY(!ComPortBaudRateFromName(QStringLiteral("br9601"), &br));
    QVERIFY(!ComPortBaudRateFromName(QStringLiteral("9600"), &br));
    QVERIFY(!ComPortBaudRateFromName(QString(), &br));
    QCOMPARE(br, br256000);

    const QList<int> rates = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400,
                              56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i < rates.size(); ++i) {
        QCOMPARE(BaudRateOf(TComPortBaudRate(i)), rates[i]);
        QCOMPARE(ComPortBaudRateName(TComPortBaudRate(i)), QStringLiteral("br%1").arg(rates[i]));
    }
    QCOMPARE(ComPortNumberName(pnCOM1), QStringLiteral("pnCOM1"));
}

void TestModbusM::constructionDefaults()
{
    TModbusM m;
    QCOMPARE(m.ComPort(), pnCOM2);
    QCOMPARE(m.ComPortSpeed(), br9600);
    QCOMPARE(m.ComPortDataBits(), db8BITS);
    QCOMPARE(m.ComPortStopBits(), sb1BITS);
    QCOMPARE(m.ComPortParity(), ptNONE);
    QCOMPARE(m.ComPortHwHandshaking(), hhNONE);
    QCOMPARE(int(m.Timeout()), 1000);
    QCOMPARE(m.ResponseTimer().interval(), 1000);
    QCOMPARE(m.PollTimer().interval(), 1000);
    QCOMPARE(int(m.WriteTimeout), 5000);
    QCOMPARE(int(m.RegisterDim), 2);
    QCOMPARE(int(m.SlaveId) + m.FunctionCode + m.Offset + m.Quantity, 0);
    QVERIFY(!m.Busy());
    QCOMPARE(int(m.LastError()), 0);
    QVERIFY(!m.IsPortOpen());
    QVERIFY(!m.ResponseTimer().isActive());
    QVERIFY(!m.PollTimer().isActive());
    QVERIFY(m.ResponseData.isEmpty() && m.WriteData.isEmpty() && m.RxBuffer().isEmpty());
    QVERIFY(!m.OnResponseReady && !m.OnError);
    QCOMPARE(int(m.TxQueueRoom()), 0xFFFF);
}

void TestModbusM::errorMessages()
{
    const QStringList expected = {
        QStringLiteral(" 00-No Hay Error"),
        QStringLiteral(" 01-Función ilegal"),
        QStringLiteral(" 02-Dirección ilegal"),
        QStringLiteral("  "),
        QStringLiteral(" 04-Error de trabajo del esclavo"),
        QStringLiteral(" 05-El esclavo requiere más tiempo"),
        QStringLiteral(" 06-El esclavo está ocupado y no atiende al query"),
        QStringLiteral(" 07-Time out"),
        QStringLiteral(" 08-Error de acceso a memoria del esclavo"),
        QStringLiteral(" 09-Error de comunicación"),
        QStringLiteral(" 10-Controlador ocupado"),
        QStringLiteral(" 11-Puerto no iniciado"),
    };
    for (int code = 0; code < expected.size(); ++code)
        QCOMPARE(TModbusM::ErrorMessage(code), expected[code]);
    // Proper Unicode, not Latin-1 bytes read as UTF-8.
    QCOMPARE(TModbusM::ErrorMessage(1).at(9), QChar(0x00F3));
    QCOMPARE(TModbusM::ErrorMessage(1).toUtf8().size(), TModbusM::ErrorMessage(1).size() + 1);
    QVERIFY(TModbusM::ErrorMessage(12).isEmpty());
    QVERIFY(TModbusM::ErrorMessage(-1).isEmpty());
}

void TestModbusM::devicePaths()
{
    TModbusM m;
    QCOMPARE(m.DevicePath(pnCOM3), QStringLiteral("/dev/ttyS2"));
    QCOMPARE(m.DevicePath(pnCOM1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(m.DevicePath(), QStringLiteral("/dev/ttyS1")); // the default pnCOM2
    m.setDeviceMap({{3, QStringLiteral("/dev/ttyUSB0")}, {16, QStringLiteral("/dev/ttyACM1")}});
    QCOMPARE(m.DevicePath(pnCOM3), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(m.DevicePath(pnCOM16), QStringLiteral("/dev/ttyACM1"));
    QCOMPARE(m.DevicePath(pnCOM4), QStringLiteral("/dev/ttyS3"));
    // An empty entry is no mapping.
    m.setDeviceMap({{4, QStringLiteral("  ")}});
    QCOMPARE(m.DevicePath(pnCOM4), QStringLiteral("/dev/ttyS3"));
}

// ---------------------------------------------------------------------------------------

void TestModbusM::openMissingDevice()
{
    QTemporaryDir dir;
    TModbusM m;
    QList<int> errors;
    m.OnError = [&](TModbusM *s, const QString &msg) {
        errors << s->LastError();
        QCOMPARE(msg, QStringLiteral(" 11-Puerto no iniciado"));
    };
    m.setDeviceMap({{2, dir.filePath(QStringLiteral("no-such-tty"))}});
    QVERIFY(!m.OpenPort());
    QVERIFY(!m.IsPortOpen());
    QVERIFY(!m.PollTimer().isActive());

    m.FunctionCode = 3;
    m.Quantity = 32;
    m.SendRequest();
    QCOMPARE(errors, QList<int>{mePortClosed});
    QCOMPARE(int(m.LastError()), int(mePortClosed));
    QVERIFY(!m.Busy());
    QVERIFY(!m.ResponseTimer().isActive());
    QCOMPARE(m.SendBytes("abc", 3), 0);

    // A regular file is no serial line either.
    QFile plain(dir.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    m.setDeviceMap({{2, plain.fileName()}});
    QVERIFY(!m.OpenPort());
    QVERIFY(!m.PollTimer().isActive());
}

void TestModbusM::openTwiceLeavesPortAlone()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    QVERIFY(s.m.IsPortOpen());
    QVERIFY(s.m.PollTimer().isActive());
    QVERIFY(s.pty.write(QByteArray::fromHex("0102030405")));
    QTRY_COMPARE(s.m.Device()->inputQueued(), 5);
    // Opening an open port neither reconfigures nor purges it.
    QVERIFY(s.m.OpenPort());
    QCOMPARE(s.m.Device()->inputQueued(), 5);
}

void TestModbusM::closePortTwice()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    s.request(3, 32);
    QVERIFY(s.m.Busy());
    s.m.ClosePort();
    s.m.ClosePort();
    QVERIFY(!s.m.IsPortOpen());
    QVERIFY(!s.m.PollTimer().isActive());
    // The pending wait is left to its time-out.
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    QTRY_COMPARE(s.errors, QList<int>{meTimeout});
    QVERIFY(!s.m.Busy());
}

void TestModbusM::requestFrames_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("slave");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("quantity");
    QTest::addColumn<int>("registerDim");
    QTest::addColumn<QByteArray>("writeData");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("3, 32 registers") << 3 << 1 << 0 << 32 << 2 << QByteArray() << QByteArray("0103000000204412");
    QTest::newRow("3, 64 registers") << 3 << 1 << 0 << 64 << 2 << QByteArray() << QByteArray("010300000040443A");
    QTest::newRow("1, read coils") << 1 << 0x11 << 0x13 << 0x25 << 2 << QByteArray() << QByteArray("1101001300250E84");
    QTest::newRow("2, read inputs") << 2 << 1 << 0xC4 << 0x16 << 2 << QByteArray() << QByteArray("010200C40016B839");
    QTest::newRow("4, input registers") << 4 << 1 << 8 << 1 << 2 << QByteArray() << QByteArray("010400080001B008");
    QTest::newRow("5, single coil") << 5 << 1 << 0xAC << 0 << 2 << QByteArray::fromHex("FF00") << QByteArray("010500ACFF004C1B");
    QTest::newRow("5, extra data ignored") << 5 << 1 << 0xAC << 0 << 2 << QByteArray::fromHex("FF0099") << QByteArray("010500ACFF004C1B");
    QTest::newRow("6, single register") << 6 << 1 << 1 << 0 << 2 << QByteArray::fromHex("0003") << QByteArray("010600010003980B");
    QTest::newRow("6, one-byte registers") << 6 << 1 << 1 << 0 << 1 << QByteArray::fromHex("07") << QByteArray("0106000107591A");
    QTest::newRow("15, ten coils") << 15 << 1 << 0x13 << 10 << 2 << QByteArray::fromHex("CD01") << QByteArray("010F0013000A02CD0172CB");
    QTest::newRow("16, two registers") << 16 << 1 << 1 << 2 << 2 << QByteArray::fromHex("000A0102") << QByteArray("01100001000204000A01029230");
}

void TestModbusM::requestFrames()
{
    QFETCH(int, function);
    QFETCH(int, slave);
    QFETCH(int, offset);
    QFETCH(int, quantity);
    QFETCH(int, registerDim);
    QFETCH(QByteArray, writeData);
    QFETCH(QByteArray, wire);

    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.RegisterDim = uint8_t(registerDim);
    s.m.WriteData = writeData;
    s.request(uint8_t(function), uint16_t(quantity), uint16_t(offset), uint8_t(slave));
    QCOMPARE(s.errors, QList<int>{});
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    QCOMPARE(int(s.m.LastError()), 0);
    const QByteArray expected = QByteArray::fromHex(wire);
    QCOMPARE(hex(s.pty.readAtLeast(expected.size(), 2000)), hex(expected));
}

void TestModbusM::requestsRefused_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("quantity");
    QTest::addColumn<QByteArray>("writeData");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    const QString illegal = QStringLiteral(" 01-Función ilegal");
    const QString shortData = QStringLiteral("  ");
    QTest::newRow("function 7") << 7 << 1 << QByteArray() << 1 << illegal;
    QTest::newRow("function 0") << 0 << 1 << QByteArray() << 1 << illegal;
    QTest::newRow("function 0x83") << 0x83 << 1 << QByteArray() << 1 << illegal;
    QTest::newRow("5, one byte") << 5 << 0 << QByteArray::fromHex("FF") << 3 << shortData;
    QTest::newRow("6, one byte") << 6 << 0 << QByteArray::fromHex("00") << 3 << shortData;
    QTest::newRow("15, ten coils, one byte") << 15 << 10 << QByteArray::fromHex("CD") << 3 << shortData;
    QTest::newRow("16, two registers, three bytes") << 16 << 2 << QByteArray::fromHex("000A01") << 3 << shortData;
}

void TestModbusM::requestsRefused()
{
    QFETCH(int, function);
    QFETCH(int, quantity);
    QFETCH(QByteArray, writeData);
    QFETCH(int, code);
    QFETCH(QString, message);

    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.WriteData = writeData;
    s.request(uint8_t(function), uint16_t(quantity));
    QCOMPARE(s.errors, QList<int>{code});
    QCOMPARE(s.messages, QStringList{message});
    QCOMPARE(s.busyInHandler, QList<bool>{true}); // cleared only after the handler
    QVERIFY(!s.m.Busy());
    QVERIFY(!s.m.ResponseTimer().isActive());
    // Nothing reached the wire.
    QCOMPARE(hex(s.pty.readAtLeast(1, 200)), QByteArray());
    // The master is ready for the next request.
    s.request(3, 32);
    QCOMPARE(s.errors.size(), 1);
    QVERIFY(s.m.Busy());
}

void TestModbusM::receivePaths_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("quantity");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<int>>("errors");
    QTest::addColumn<int>("ready");
    QTest::addColumn<QByteArray>("data"); // ResponseData afterwards, hex; it starts as EE
    QTest::addColumn<bool>("busy");

    const QByteArray data64 = registerData(64);
    const QByteArray answer = readAnswer(1, 64, data64);
    QByteArray badCrc = answer;
    badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);
    const QByteArray stale = "EE";
    using L = QList<int>;
    using C = QList<QByteArray>;

    QTest::newRow("accepted, 64 data bytes") << 3 << 32 << C{answer} << L{} << 1 << hex(data64) << false;
    QTest::newRow("other slave address") << 3 << 32 << C{readAnswer(7, 64, data64)} << L{} << 1 << hex(data64) << false;
    QTest::newRow("split over two ticks") << 3 << 32 << C{answer.left(30), answer.mid(30)} << L{meCommError} << 1 << hex(data64) << false;
    QTest::newRow("wrong length") << 3 << 32 << C{readAnswer(1, 66, registerData(66))} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("wrong CRC") << 3 << 32 << C{badCrc} << L{meCommError} << 0 << stale << false;
    QTest::newRow("exception 2") << 3 << 32 << C{frame("018302")} << L{meIllegalAddress} << 0 << stale << false;
    QTest::newRow("exception 1") << 3 << 32 << C{frame("018301")} << L{meIllegalFunction} << 0 << stale << false;
    QTest::newRow("exception 6") << 3 << 32 << C{frame("018306")} << L{meSlaveBusy} << 0 << stale << false;
    QTest::newRow("exception 8, function 16") << 16 << 2 << C{frame("019008")} << L{meMemoryParity} << 0 << stale << false;
    QTest::newRow("exception 5 keeps waiting") << 3 << 32 << C{frame("018305")} << L{meAcknowledge} << 0 << stale << true;
    QTest::newRow("exception code 0") << 3 << 32 << C{frame("018300")} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("exception code 7") << 3 << 32 << C{frame("018307")} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("exception code 9") << 3 << 32 << C{frame("018309")} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("exception code FF") << 3 << 32 << C{frame("0183FF")} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("byte count beyond the frame") << 3 << 32 << C{readAnswer(1, 0xFF, data64)} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("byte count 65") << 3 << 32 << C{readAnswer(1, 65, data64)} << L{meSlaveFailure} << 0 << stale << false;
    QTest::newRow("byte count shorter than the frame") << 3 << 32 << C{readAnswer(1, 2, data64)} << L{} << 1 << QByteArray("0001") << false;
    QTest::newRow("quantity 0, empty answer") << 3 << 0 << C{frame("010300")} << L{} << 1 << QByteArray() << false;
    QTest::newRow("unknown function byte") << 3 << 32 << C{frame("01070000")} << L{meIllegalFunction} << 0 << stale << false;
    QTest::newRow("two bytes FF FF") << 3 << 32 << C{QByteArray::fromHex("FFFF")} << L{meIllegalFunction} << 0 << stale << false;
    QTest::newRow("one byte") << 3 << 32 << C{QByteArray::fromHex("01")} << L{meCommError} << 0 << stale << false;
    QTest::newRow("read coils, 10") << 1 << 10 << C{frame("010102CD01")} << L{} << 1 << QByteArray("CD01") << false;
    QTest::newRow("read inputs, 8") << 2 << 8 << C{frame("010201AC")} << L{} << 1 << QByteArray("AC") << false;
    QTest::newRow("input registers") << 4 << 1 << C{frame("0104020102")} << L{} << 1 << QByteArray("0102") << false;
    QTest::newRow("write coil echo") << 5 << 0 << C{frame("010500ACFF00")} << L{} << 1 << QByteArray("FF00") << false;
    QTest::newRow("write register echo") << 6 << 0 << C{frame("010600010003")} << L{} << 1 << QByteArray("0003") << false;
    QTest::newRow("write coils echo") << 15 << 10 << C{frame("010F0013000A")} << L{} << 1 << QByteArray("000A") << false;
    QTest::newRow("write registers echo") << 16 << 2 << C{frame("011000010002")} << L{} << 1 << QByteArray("0002") << false;
    QTest::newRow("write echo too long") << 16 << 2 << C{frame("01100001000200")} << L{meSlaveFailure} << 0 << stale << false;
}

void TestModbusM::receivePaths()
{
    QFETCH(int, function);
    QFETCH(int, quantity);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<int>, errors);
    QFETCH(int, ready);
    QFETCH(QByteArray, data);
    QFETCH(bool, busy);

    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.WriteData = QByteArray(8, '\0');
    s.request(uint8_t(function), uint16_t(quantity));
    QCOMPARE(s.errors, QList<int>{});
    s.m.ResponseData = QByteArray::fromHex("EE");

    for (const QByteArray &chunk : chunks)
        s.m.ReceiveBytes(chunk.constData(), int(chunk.size()));

    QCOMPARE(s.errors, errors);
    for (int code : errors)
        QVERIFY(s.messages.contains(TModbusM::ErrorMessage(code)));
    QCOMPARE(s.ready, ready);
    QCOMPARE(hex(s.m.ResponseData), data);
    QCOMPARE(s.m.Busy(), busy);
    QCOMPARE(s.m.ResponseTimer().isActive(), busy);
    QCOMPARE(int(s.m.LastError()), errors.isEmpty() ? 0 : errors.last());
    // The event that ended the transaction came while it was still marked busy.
    QCOMPARE(s.busyInHandler.size(), errors.size() + ready);
    QVERIFY(s.busyInHandler.first());
}

void TestModbusM::exceptionFiveKeepsWaiting()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.setTimeout(300);
    s.request(3, 32);
    const QByteArray ack = frame("018305");
    s.m.ReceiveBytes(ack.constData(), int(ack.size()));
    QCOMPARE(s.errors, QList<int>{meAcknowledge});
    QCOMPARE(s.messages, QStringList{QStringLiteral(" 05-El esclavo requiere más tiempo")});
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    // Still pending: a further request is refused.
    s.request(3, 32);
    QCOMPARE(s.errors.last(), int(meMasterBusy));
    // The wait ends with the time-out.
    QTRY_COMPARE(s.errors.last(), int(meTimeout));
    QVERIFY(!s.m.Busy());
    QCOMPARE(s.ready, 0);

    // With no transaction pending, exception 5 restarts the wait without marking busy.
    s.errors.clear();
    s.m.ReceiveBytes(nullptr, 0); // RxBuffer still holds the frame: checked again
    QCOMPARE(s.errors, QList<int>{meAcknowledge});
    QVERIFY(!s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    QTRY_COMPARE(s.errors.last(), int(meTimeout));
}

void TestModbusM::strayByteBeforeAnyRequest()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    QVERIFY(s.pty.write(QByteArray::fromHex("5A")));
    QTRY_COMPARE(s.m.Device()->inputQueued(), 1);
    s.m.PollTick();
    QCOMPARE(s.errors, QList<int>{meCommError});
    QCOMPARE(s.messages, QStringList{QStringLiteral(" 09-Error de comunicación")});
    QVERIFY(!s.m.Busy());
    QCOMPARE(hex(s.m.RxBuffer()), QByteArray("5A"));
    // A request starts with an empty buffer, so the stray byte does not spoil its answer.
    s.request(3, 32);
    const QByteArray answer = readAnswer(1, 64, registerData(64));
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(s.ready, 1);
}

void TestModbusM::rxBufferStaysBounded()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    s.request(3, 32);
    QByteArray noise;
    for (int i = 0; i < 1028; ++i)
        noise.append(char(i * 7 + 3));
    for (int tick = 0; tick < 20; ++tick) {
        s.m.ReceiveBytes(noise.constData(), int(noise.size()));
        QVERIFY(s.m.RxBuffer().size() <= TModbusM::MaxRxBuffer);
    }
    QCOMPARE(s.m.RxBuffer().size(), TModbusM::MaxRxBuffer);
    QCOMPARE(hex(s.m.RxBuffer()), hex(noise.right(TModbusM::MaxRxBuffer))); // the newest stay
    QCOMPARE(s.errors, QList<int>(20, meCommError));

    // A small chunk on top of a full buffer drops the oldest bytes.
    s.m.ReceiveBytes("\x11\x22\x33", 3);
    QCOMPARE(s.m.RxBuffer().size(), TModbusM::MaxRxBuffer);
    QCOMPARE(hex(s.m.RxBuffer().right(3)), QByteArray("112233"));
    QCOMPARE(s.m.RxBuffer().at(0), noise.at(noise.size() - TModbusM::MaxRxBuffer + 3));

    // A frame of exactly 256 bytes is still whole (function 3 with 251 data bytes).
    s.errors.clear();
    s.request(3, 0);
    s.m.RegisterDim = 1;
    s.m.Quantity = 251;
    const QByteArray big = readAnswer(1, 251, registerData(251));
    QCOMPARE(big.size(), 256);
    s.m.ReceiveBytes(big.constData(), 100);
    s.m.ReceiveBytes(big.constData() + 100, int(big.size() - 100));
    QCOMPARE(s.ready, 1);
    QCOMPARE(s.m.ResponseData.size(), 251);
}

void TestModbusM::busyRefusesSecondRequest()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    s.request(3, 32);
    QVERIFY(s.pty.readAtLeast(8, 2000).size() == 8);
    s.request(3, 64);
    QCOMPARE(s.errors, QList<int>{meMasterBusy});
    QCOMPARE(s.messages, QStringList{QStringLiteral(" 10-Controlador ocupado")});
    QVERIFY(s.m.Busy());
    QVERIFY(s.m.ResponseTimer().isActive());
    // Nothing more was written, and the pending transaction still completes (with the
    // current Quantity, as the response is checked against it).
    QCOMPARE(s.pty.readAtLeast(1, 100).size(), 0);
    s.m.Quantity = 32;
    const QByteArray answer = readAnswer(1, 64, registerData(64));
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(s.ready, 1);
    QVERIFY(!s.m.Busy());
}

void TestModbusM::eventHandlers()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    const QByteArray answer = readAnswer(1, 64, registerData(64));

    // Unassigned handlers are skipped; the state changes happen all the same.
    s.m.OnResponseReady = nullptr;
    s.m.OnError = nullptr;
    s.request(3, 32);
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QVERIFY(!s.m.Busy());
    QCOMPARE(s.m.ResponseData.size(), 64);
    s.request(7, 0);
    QCOMPARE(int(s.m.LastError()), int(meIllegalFunction));
    QVERIFY(!s.m.Busy());

    // Assigning replaces the handler.
    int first = 0, second = 0;
    s.m.OnResponseReady = [&](TModbusM *) { ++first; };
    s.m.OnResponseReady = [&](TModbusM *) { ++second; };
    s.request(3, 32);
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(first, 0);
    QCOMPARE(second, 1);

    // A request from inside a handler is refused with code 10; a handler may replace itself.
    QList<int> errors;
    s.m.OnError = [&](TModbusM *m, const QString &) { errors << m->LastError(); };
    s.m.OnResponseReady = [&](TModbusM *m) {
        QVERIFY(m->Busy());
        m->SendRequest();
        m->OnResponseReady = [&](TModbusM *) { ++second; };
    };
    s.request(3, 32);
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(errors, QList<int>{meMasterBusy});
    QVERIFY(!s.m.Busy());
    s.request(3, 32);
    s.m.ReceiveBytes(answer.constData(), int(answer.size()));
    QCOMPARE(second, 2);
}

void TestModbusM::handlerMayDestroyComponent()
{
    Pty pty;
    auto *m = new TModbusM;
    m->setDeviceMap({{1, pty.slavePath()}});
    m->setComPort(pnCOM1);
    QVERIFY(m->OpenPort());
    m->FunctionCode = 3;
    m->Quantity = 32;
    QPointer<TModbusM> guard(m);
    m->OnResponseReady = [](TModbusM *sender) { delete sender; };
    m->SendRequest();
    const QByteArray answer = readAnswer(1, 64, registerData(64));
    QVERIFY(pty.write(answer));
    QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 5000);

    m = new TModbusM;
    m->setDeviceMap({{1, pty.slavePath()}});
    m->setComPort(pnCOM1);
    QVERIFY(m->OpenPort());
    guard = m;
    m->OnError = [](TModbusM *sender, const QString &) { delete sender; };
    m->ReceiveBytes("\x01", 1);
    QVERIFY(guard.isNull());
}

void TestModbusM::timeoutAndLateAnswer()
{
    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.setTimeout(200);
    QElapsedTimer clock;
    clock.start();
    s.request(3, 32);
    QCOMPARE(s.pty.readAtLeast(8, 2000).size(), 8);
    QTRY_COMPARE(s.errors, QList<int>{meTimeout});
    QVERIFY(clock.elapsed() >= 190);
    QCOMPARE(s.messages, QStringList{QStringLiteral(" 07-Time out")});
    QVERIFY(!s.m.Busy());
    QVERIFY(!s.m.ResponseTimer().isActive());
    QCOMPARE(s.ready, 0);

    // The answer comes after the time-out: the next poll tick still checks it and reports it.
    const QByteArray answer = readAnswer(1, 64, registerData(64));
    QVERIFY(s.pty.write(answer));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 1, 3000);
    QCOMPARE(hex(s.m.ResponseData), hex(registerData(64)));
    QCOMPARE(s.errors, QList<int>{meTimeout});
    QVERIFY(!s.m.Busy());
}

void TestModbusM::roundTripOnPollTimer()
{
    // The far end answers as soon as it sees the request; the real timers do the rest.
    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.setTimeout(3000);
    s.request(3, 32);
    QCOMPARE(hex(s.pty.readAtLeast(8, 2000)), QByteArray("0103000000204412"));
    QVERIFY(s.pty.write(readAnswer(1, 64, registerData(64))));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 1, 3000);
    QCOMPARE(s.errors, QList<int>{});
    QCOMPARE(s.m.ResponseData.size(), 64);
    QVERIFY(!s.m.ResponseTimer().isActive());
}

void TestModbusM::answersReadOnArrival()
{
    // Only the arrival path may deliver here: the poll tick is stopped.
    Station s(true);
    QVERIFY(s.m.OpenPort());
    const_cast<QTimer &>(s.m.PollTimer()).stop();
    const QByteArray answer = readAnswer(1, 64, registerData(64));

    s.request(3, 32);
    QCOMPARE(hex(s.pty.readAtLeast(8, 2000)), QByteArray("0103000000204412"));
    QVERIFY(s.pty.write(answer));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 1, 2000);
    QCOMPARE(s.errors, QList<int>{});
    QVERIFY(!s.m.ResponseTimer().isActive());
    QVERIFY(!s.m.Busy());

    // An answer in two bursts with a pause shorter than the frame gap is one frame: one
    // check, no error on the way.
    s.request(3, 32);
    QCOMPARE(s.pty.readAtLeast(8, 2000).size(), 8);
    QVERIFY(s.pty.write(answer.left(30)));
    QThread::msleep(3);
    QVERIFY(s.pty.write(answer.mid(30)));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 2, 2000);
    QCOMPARE(s.errors, QList<int>{});

    // A pause longer than the gap ends a frame: the first part fails its check and the whole
    // frame is accepted when the rest arrives.
    s.request(3, 32);
    QCOMPARE(s.pty.readAtLeast(8, 2000).size(), 8);
    QVERIFY(s.pty.write(answer.left(30)));
    QTRY_COMPARE_WITH_TIMEOUT(s.errors, QList<int>{meCommError}, 2000);
    QVERIFY(s.pty.write(answer.mid(30)));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 3, 2000);
    QCOMPARE(hex(s.m.ResponseData), hex(registerData(64)));

    // Closing the port drops a frame gap that is running.
    QVERIFY(s.pty.write(QByteArray::fromHex("01")));
    QTRY_VERIFY_WITH_TIMEOUT(s.m.FrameGapTimer().isActive() || s.errors.size() > 1, 2000);
    s.m.ClosePort();
    QVERIFY(!s.m.FrameGapTimer().isActive());
}

void TestModbusM::frameGap()
{
    // 3.5 characters of 11 bits, never below the USB adapters' burst spacing.
    QCOMPARE(TModbusM::FrameGapMs(9600), TModbusM::MinFrameGapMs);
    QCOMPARE(TModbusM::FrameGapMs(1200), 33); // 38.5 bits at 1200 bit/s: 32.08 ms
    QCOMPARE(TModbusM::FrameGapMs(300), 129);
    QCOMPARE(TModbusM::FrameGapMs(110), 350);
    QCOMPARE(TModbusM::FrameGapMs(256000), TModbusM::MinFrameGapMs);
    QCOMPARE(TModbusM::FrameGapMs(0), TModbusM::MinFrameGapMs);
}

void TestModbusM::timeoutSetter()
{
    TModbusM m;
    m.setTimeout(10);
    QCOMPARE(int(m.Timeout()), 1000);
    m.setTimeout(0);
    QCOMPARE(int(m.Timeout()), 1000);
    m.setTimeout(11);
    QCOMPARE(int(m.Timeout()), 11);
    QCOMPARE(m.ResponseTimer().interval(), 11);
    m.setTimeout(5000);
    QCOMPARE(m.ResponseTimer().interval(), 5000);
    QVERIFY(!m.ResponseTimer().isActive()); // setting it starts nothing

    // A running wait starts again with the new interval.
    Station s;
    QVERIFY(s.m.OpenPort());
    s.m.setTimeout(60000);
    s.request(3, 32);
    s.m.setTimeout(150);
    QVERIFY(s.m.ResponseTimer().isActive());
    QCOMPARE(s.m.ResponseTimer().interval(), 150);
    QTRY_COMPARE_WITH_TIMEOUT(s.errors, QList<int>{meTimeout}, 2000);
}

void TestModbusM::pollTickChunks()
{
    Pty pty;
    ChunkRecorder m;
    m.setDeviceMap({{1, pty.slavePath()}});
    m.setComPort(pnCOM1);
    m.ReadOnArrival = false;
    QVERIFY(m.OpenPort());
    // The test ticks by hand, so the timer's own ticks must not drain the bytes first.
    const_cast<QTimer &>(m.PollTimer()).stop();

    m.PollTick();
    QCOMPARE(m.chunks, QList<int>{}); // nothing buffered: nothing called

    QByteArray bytes(1500, '\x42');
    QVERIFY(pty.write(bytes));
    QTRY_COMPARE(m.Device()->inputQueued(), 1500);
    m.PollTick();
    QCOMPARE(m.chunks, QList<int>{1028});
    m.PollTick();
    QCOMPARE(m.chunks, (QList<int>{1028, 472}));
    m.PollTick();
    QCOMPARE(m.chunks.size(), 2);
}

void TestModbusM::propertySettersOnPty()
{
    Station s;
    // Closed: setters only store.
    s.m.setComPortSpeed(br19200);
    s.m.setComPortStopBits(sb2BITS);
    QCOMPARE(s.m.ComPortSpeed(), br19200);
    QVERIFY(s.m.OpenPort());
    QCOMPARE(s.pty.slaveBaudRate(), 19200);
    termios t{};
    QVERIFY(s.pty.slaveTermios(&t));
    QVERIFY(t.c_cflag & CSTOPB);
    QVERIFY(!(t.c_cflag & CRTSCTS));

    // Open: ComPort is ignored, also after a later close.
    s.m.setComPort(pnCOM4);
    QCOMPARE(s.m.ComPort(), pnCOM1);
    s.m.ClosePort();
    QCOMPARE(s.m.ComPort(), pnCOM1);
    QVERIFY(s.m.OpenPort());

    // Open: the speed applies at once and both queues are purged.
    QVERIFY(s.pty.write(QByteArray::fromHex("0102030405")));
    QTRY_COMPARE(s.m.Device()->inputQueued(), 5);
    s.m.setComPortSpeed(br4800);
    QCOMPARE(s.m.ComPortSpeed(), br4800);
    QCOMPARE(s.pty.slaveBaudRate(), 4800);
    QCOMPARE(s.m.Device()->inputQueued(), 0);
    s.m.PollTick();
    QCOMPARE(s.errors, QList<int>{});

    // The rates without a standard constant.
    s.m.setComPortSpeed(br128000);
    QCOMPARE(s.pty.slaveBaudRate(), 128000);
    s.m.setComPortSpeed(br256000);
    QCOMPARE(s.pty.slaveBaudRate(), 256000);
    s.m.setComPortSpeed(br14400);
    QCOMPARE(s.pty.slaveBaudRate(), 14400);

    s.m.setComPortStopBits(sb1BITS);
    s.m.setComPortHwHandshaking(hhRTSCTS);
    QVERIFY(s.pty.slaveTermios(&t));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(t.c_cflag & CRTSCTS);
    QVERIFY(!(t.c_iflag & (IXON | IXOFF)));
    s.m.setComPortHwHandshaking(hhNONE);
    QVERIFY(s.pty.slaveTermios(&t));
    QVERIFY(!(t.c_cflag & CRTSCTS));

    // Closed again: a new ComPort takes effect at the next OpenPort.
    s.m.ClosePort();
    s.m.setComPort(pnCOM4);
    QCOMPARE(s.m.ComPort(), pnCOM4);
    QCOMPARE(s.m.DevicePath(), QStringLiteral("/dev/ttyS3"));
}

void TestModbusM::lineSettingsAndOrder_data()
{
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("handshake");
    QTest::addColumn<int>("expectedBits");

    QTest::newRow("8N1") << int(db8BITS) << int(sb1BITS) << int(ptNONE) << int(hhNONE) << 8;
    QTest::newRow("7E2") << int(db7BITS) << int(sb2BITS) << int(ptEVEN) << int(hhNONE) << 7;
    QTest::newRow("5O1.5") << int(db5BITS) << int(sb1HALFBITS) << int(ptODD) << int(hhNONE) << 5;
    QTest::newRow("6 mark") << int(db6BITS) << int(sb1BITS) << int(ptMARK) << int(hhRTSCTS) << 6;
    QTest::newRow("8 space") << int(db8BITS) << int(sb1BITS) << int(ptSPACE) << int(hhRTSCTS) << 8;
}

void TestModbusM::lineSettingsAndOrder()
{
    // Pseudo-terminals always keep 8 bits without parity, so these are checked at the seam.
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    QFETCH(int, parity);
    QFETCH(int, handshake);
    QFETCH(int, expectedBits);

    auto owned = std::make_unique<ScriptedSerialDevice>();
    ScriptedSerialDevice *dev = owned.get();
    TModbusM m(nullptr, std::move(owned));
    m.setComPortDataBits(TComPortDataBits(dataBits));
    m.setComPortStopBits(TComPortStopBits(stopBits));
    m.setComPortParity(TComPortParity(parity));
    m.setComPortHwHandshaking(TComPortHwHandshaking(handshake));
    QVERIFY(dev->configured.isEmpty()); // closed: stored only

    QVERIFY(m.OpenPort());
    QCOMPARE(dev->openedPath, QStringLiteral("/dev/ttyS1"));
    QCOMPARE(dev->calls, (QStringList{"open", "configure", "purge", "queues"}));
    QCOMPARE(dev->purges.last(), qMakePair(true, true));
    QCOMPARE(dev->inputQueueSize, 1028);
    QCOMPARE(dev->outputQueueSize, 1028);
    const SerialLineSettings s = dev->configured.last();
    QCOMPARE(s.baudRate, 9600);
    QCOMPARE(s.dataBits, expectedBits);
    QCOMPARE(int(s.stopBits), stopBits);
    QCOMPARE(int(s.parity), parity);
    QCOMPARE(s.rtsCtsHandshake, handshake == hhRTSCTS);

    // Open: every line setter reconfigures, purging both queues.
    dev->calls.clear();
    m.setComPortParity(ptEVEN);
    m.setComPortDataBits(db7BITS);
    QCOMPARE(dev->calls, (QStringList{"configure", "purge", "queues", "configure", "purge", "queues"}));
    QCOMPARE(dev->configured.last().dataBits, 7);
    QCOMPARE(dev->configured.last().parity, SerialLineSettings::Parity::Even);
    // Out-of-range ordinals are no setting at all.
    m.setComPortParity(TComPortParity(9));
    QCOMPARE(m.ComPortParity(), ptEVEN);

    // OpenPort on the open port touches nothing.
    dev->calls.clear();
    QVERIFY(m.OpenPort());
    QVERIFY(dev->calls.isEmpty());
}

void TestModbusM::lostLineIsReopened()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyQZ"));
    const int baseline = Pty::openDescriptorCount();

    Station s;
    QVERIFY(QFile::link(s.pty.slavePath(), link));
    s.m.setDeviceMap({{1, link}});
    QVERIFY(s.m.OpenPort());

    // The far end disappears: the master closes the port by itself, stops its poll tick and
    // holds no descriptor of the dead line.
    s.pty.close();
    QTRY_VERIFY(!s.m.IsPortOpen());
    QVERIFY(!s.m.PollTimer().isActive());
    QCOMPARE(Pty::openDescriptorCount(), baseline);
    s.request(3, 32);
    QCOMPARE(s.errors, QList<int>{mePortClosed});

    // While the device is absent (its name gone, as when an adapter is unplugged), OpenPort
    // fails and starts nothing. The link goes too: another process may get the old number.
    QVERIFY(QFile::remove(link));
    QVERIFY(!s.m.OpenPort());
    QVERIFY(!s.m.PollTimer().isActive());

    // The device is back (a new pseudo-terminal behind the same name).
    QVERIFY(s.pty.reopen());
    QVERIFY(QFile::link(s.pty.slavePath(), link));
    QVERIFY(s.m.OpenPort());
    QVERIFY(s.m.PollTimer().isActive());
    s.m.setTimeout(3000);
    s.request(3, 32);
    QCOMPARE(hex(s.pty.readAtLeast(8, 2000)), QByteArray("0103000000204412"));
    QVERIFY(s.pty.write(readAnswer(1, 64, registerData(64))));
    QTRY_COMPARE_WITH_TIMEOUT(s.ready, 1, 3000);

    // Lost again while a request is pending: the wait ends with the time-out.
    s.request(3, 32);
    s.pty.close();
    QTRY_VERIFY(!s.m.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(s.errors.last(), int(meTimeout), 5000);
    QVERIFY(!s.m.Busy());
    QCOMPARE(Pty::openDescriptorCount(), baseline);
}

// ---------------------------------------------------------------------------------------

void TestModbusM::txQueueRoom()
{
    auto owned = std::make_unique<ScriptedSerialDevice>();
    ScriptedSerialDevice *dev = owned.get();
    TModbusM m(nullptr, std::move(owned));
    QCOMPARE(int(m.TxQueueRoom()), 0xFFFF); // closed
    QVERIFY(m.OpenPort());
    dev->queued = 0;
    QCOMPARE(int(m.TxQueueRoom()), 1028);
    dev->queued = 1000;
    QCOMPARE(int(m.TxQueueRoom()), 28);
    dev->queued = 1028;
    QCOMPARE(int(m.TxQueueRoom()), 0);
    dev->queued = 5000; // a driver queue larger than ours is full, not "lots of room"
    QCOMPARE(int(m.TxQueueRoom()), 0);
    dev->queued = -1; // cannot tell: the write finds out
    QCOMPARE(int(m.TxQueueRoom()), 1028);
}

void TestModbusM::sendBytes()
{
    auto owned = std::make_unique<ScriptedSerialDevice>();
    ScriptedSerialDevice *dev = owned.get();
    TModbusM m(nullptr, std::move(owned));
    const char data[] = "0123456789";

    QCOMPARE(m.SendBytes(data, 10), 0); // closed
    QCOMPARE(dev->writeCalls, 0);
    QVERIFY(m.OpenPort());

    // Room: everything in one call.
    QCOMPARE(m.SendBytes(data, 10), 10);
    QCOMPARE(dev->written, QByteArray("0123456789"));
    QCOMPARE(dev->writeCalls, 1);

    // The driver takes the bytes in parts: the rest follows.
    dev->written.clear();
    dev->writeResults = {3, 4, 3};
    QCOMPARE(m.SendBytes(data, 10), 10);
    QCOMPARE(dev->written, QByteArray("0123456789"));

    m.WriteTimeout = 150;
    QElapsedTimer clock;

    // The output queue stays full: no write at all, and the send gives up after the stall
    // time-out with nothing written.
    dev->written.clear();
    dev->writeCalls = 0;
    dev->queued = 1028;
    clock.start();
    QCOMPARE(m.SendBytes(data, 10), 0);
    QVERIFY(clock.elapsed() >= 150);
    QCOMPARE(dev->writeCalls, 0);
    QVERIFY(dev->roomWaits > 0);
    QVERIFY(m.IsPortOpen());

    // Three bytes taken, then nothing although the queue has room: ends, negated count.
    dev->queued = 0;
    dev->writeResults = {3};
    dev->stalled = true;
    clock.start();
    QCOMPARE(m.SendBytes(data, 10), -3);
    QVERIFY(clock.elapsed() >= 150);
    QCOMPARE(dev->written, QByteArray("012"));
    dev->stalled = false;

    // A hard write error ends the send at once and the lost line is closed.
    dev->written.clear();
    dev->writeResults = {4, -1};
    dev->writeCalls = 0;
    QCOMPARE(m.SendBytes(data, 10), -4);
    QCOMPARE(dev->writeCalls, 2);
    QVERIFY(!m.IsPortOpen());
    QVERIFY(!m.PollTimer().isActive());

    // Reopened, it sends again.
    QVERIFY(m.OpenPort());
    QCOMPARE(m.SendBytes(data, 2), 2);

    // A driver that keeps taking a byte now and then: the whole send is bounded by
    // WriteTimeout, not each write call (which would let 10 bytes take 10 × 60 ms here).
    dev->written.clear();
    dev->writeWaits.clear();
    dev->blockedMs = 0;
    dev->takeEveryMs = 60;
    const int32_t partial = m.SendBytes(data, 10);
    QVERIFY2(partial < 0 && partial > -10, qPrintable(QString::number(partial)));
    QCOMPARE(dev->written.size(), -partial);
    for (int w : dev->writeWaits)
        QVERIFY(w <= m.WriteTimeout);
    // Each call gets what is left of the send's time, so the driver blocked it for at most
    // WriteTimeout in all (plus a millisecond of rounding per call).
    QVERIFY2(dev->blockedMs <= m.WriteTimeout + int(dev->writeWaits.size()), qPrintable(QString::number(dev->blockedMs)));
    dev->takeEveryMs = 0;
}

void TestModbusM::sendRequestWithStalledLine()
{
    auto owned = std::make_unique<ScriptedSerialDevice>();
    ScriptedSerialDevice *dev = owned.get();
    TModbusM m(nullptr, std::move(owned));
    QList<int> errors;
    m.OnError = [&](TModbusM *s, const QString &) { errors << s->LastError(); };
    QVERIFY(m.OpenPort());
    m.WriteTimeout = 100;
    m.SlaveId = 1;
    m.FunctionCode = 3;
    m.Quantity = 32;

    dev->queued = 1028;
    m.SendRequest();
    QCOMPARE(errors, QList<int>{meCommError});
    QVERIFY(!m.Busy());
    QVERIFY(!m.ResponseTimer().isActive());

    // A frame not written whole is a failed send too.
    dev->queued = 0;
    dev->writeResults = {5};
    dev->stalled = true;
    m.SendRequest();
    QCOMPARE(errors, (QList<int>{meCommError, meCommError}));
    QVERIFY(!m.Busy());
    QCOMPARE(hex(dev->written), QByteArray("0103000000"));
}

QTEST_GUILESS_MAIN(TestModbusM)
#include "tst_modbusm.moc"
