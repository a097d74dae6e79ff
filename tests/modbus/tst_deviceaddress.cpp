// Device strings of [devices]: which transport, host, port and unit they name, how they are
// shown, and what the dialog builds from HOST:PORT.

#include "DeviceAddress.h"
#include "ModbusM.h"

#include <QtTest>

class TestDeviceAddress : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void refused_data();
    void refused();
    void displayAndBuild();
    void mbapFrame();
};

void TestDeviceAddress::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("transport");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("unit");
    const int serial = int(DeviceTransport::Serial), rtu = int(DeviceTransport::RtuOverTcp), mb = int(DeviceTransport::ModbusTcp);
    QTest::newRow("serial path") << "/dev/ttyUSB0" << serial << "" << 0 << -1;
    QTest::newRow("Windows name") << "COM3" << serial << "" << 0 << -1;
    QTest::newRow("path with a colon") << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0" << serial << "" << 0 << -1;
    QTest::newRow("device server") << "tcp://192.168.1.20:4001" << rtu << "192.168.1.20" << 4001 << -1;
    QTest::newRow("scheme in capitals, host name, slash") << "TCP://gw-1.plant_a.local:4001/" << rtu << "gw-1.plant_a.local" << 4001 << -1;
    QTest::newRow("IPv6") << "tcp://[fe80::1]:4001" << rtu << "fe80::1" << 4001 << -1;
    QTest::newRow("Modbus TCP with unit") << "modbus-tcp://10.0.0.7:1502?unit=3" << mb << "10.0.0.7" << 1502 << 3;
    QTest::newRow("Modbus TCP, standard port, no unit") << "modbus-tcp://10.0.0.7" << mb << "10.0.0.7" << 502 << -1;
    QTest::newRow("unit 0 and 255") << "Modbus-TCP://[::1]?UNIT=255" << mb << "::1" << 502 << 255;
    QTest::newRow("unit 0") << "modbus-tcp://h:502?unit=0" << mb << "h" << 502 << 0;
}

void TestDeviceAddress::parse()
{
    QFETCH(QString, text);
    QFETCH(int, transport);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, unit);
    DeviceAddress a;
    QString error;
    QVERIFY2(parseDeviceAddress(text, &a, &error), qPrintable(error));
    QCOMPARE(int(a.transport), transport);
    QCOMPARE(a.isNetwork(), transport != int(DeviceTransport::Serial));
    if (a.isNetwork()) {
        QCOMPARE(a.host, host);
        QCOMPARE(int(a.port), port);
        QCOMPARE(a.unit, unit);
    } else {
        QCOMPARE(a.path, text);
    }
}

void TestDeviceAddress::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message"); // the start of the Chinese line
    const QString hostPort = QStringLiteral("网络设备的地址应为 主机:端口");
    const QString badPort = QStringLiteral("端口必须是 1 到 65535");
    QTest::newRow("device server without port") << "tcp://10.0.0.7" << hostPort;
    QTest::newRow("port 0") << "tcp://10.0.0.7:0" << badPort;
    QTest::newRow("port 65536") << "tcp://10.0.0.7:65536" << badPort;
    QTest::newRow("port with letters") << "tcp://10.0.0.7:40x1" << badPort;
    QTest::newRow("signed port") << "tcp://10.0.0.7:+502" << badPort;
    QTest::newRow("no host") << "tcp://:4001" << hostPort;
    QTest::newRow("blank in host") << "tcp://gate way:4001" << hostPort;
    QTest::newRow("host ends in a dash") << "tcp://gateway-:4001" << hostPort;
    QTest::newRow("empty label") << "tcp://a..b:4001" << hostPort;
    QTest::newRow("IPv6 without brackets") << "tcp://fe80::1:4001" << hostPort;
    QTest::newRow("brackets around a name") << "tcp://[gateway]:4001" << hostPort;
    QTest::newRow("user name") << "tcp://admin@10.0.0.7:4001" << hostPort;
    QTest::newRow("unit 256") << "modbus-tcp://h:502?unit=256" << QStringLiteral("单元号必须写成 ?unit=N");
    QTest::newRow("empty unit") << "modbus-tcp://h:502?unit=" << QStringLiteral("单元号必须写成 ?unit=N");
    QTest::newRow("other parameter") << "modbus-tcp://h:502?id=1" << QStringLiteral("单元号必须写成 ?unit=N");
    QTest::newRow("unit on a device server") << "tcp://h:4001?unit=1" << QStringLiteral("tcp:// 地址不带参数");
    QTest::newRow("unknown scheme") << "udp://h:4001" << QStringLiteral("不认识的设备地址");
}

void TestDeviceAddress::refused()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    DeviceAddress a;
    a.path = QStringLiteral("untouched");
    QString error;
    QVERIFY(!parseDeviceAddress(text, &a, &error));
    QVERIFY2(error.startsWith(message), qPrintable(error));
    QVERIFY2(error.contains(u'\n'), qPrintable(error)); // Chinese, then the technical line
    QCOMPARE(a.path, QStringLiteral("untouched"));
    // Shown as it stands, not half-parsed.
    QCOMPARE(deviceDisplayText(text), text);
}

void TestDeviceAddress::displayAndBuild()
{
    // What the status bar's tooltip shows.
    QCOMPARE(deviceDisplayText(QStringLiteral("tcp://10.0.0.5:4001")), QStringLiteral("10.0.0.5:4001"));
    QCOMPARE(deviceDisplayText(QStringLiteral("modbus-tcp://plc.local?unit=9")), QStringLiteral("plc.local:502"));
    QCOMPARE(deviceDisplayText(QStringLiteral("tcp://[fe80::1]:4001")), QStringLiteral("[fe80::1]:4001"));
    QCOMPARE(deviceDisplayText(QStringLiteral("/dev/ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));

    // What the dialog stores for HOST:PORT and a mode; each reads back as built.
    QString error;
    QCOMPARE(networkDeviceString(QStringLiteral(" 10.0.0.5:4001 "), DeviceTransport::RtuOverTcp, 1, &error),
             QStringLiteral("tcp://10.0.0.5:4001"));
    QCOMPARE(networkDeviceString(QStringLiteral("10.0.0.5:502"), DeviceTransport::ModbusTcp, 1, &error),
             QStringLiteral("modbus-tcp://10.0.0.5:502?unit=1"));
    QCOMPARE(networkDeviceString(QStringLiteral("10.0.0.5:502"), DeviceTransport::ModbusTcp, -1, &error),
             QStringLiteral("modbus-tcp://10.0.0.5:502"));
    const QString v6 = networkDeviceString(QStringLiteral("[::1]:1502"), DeviceTransport::ModbusTcp, 7, &error);
    QCOMPARE(v6, QStringLiteral("modbus-tcp://[::1]:1502?unit=7"));
    DeviceAddress a;
    QVERIFY(parseDeviceAddress(v6, &a));
    QCOMPARE(a.host, QStringLiteral("::1"));
    QCOMPARE(int(a.port), 1502);
    QCOMPARE(a.unit, 7);

    for (const QString &bad : {QStringLiteral("10.0.0.5"), QStringLiteral(""), QStringLiteral("10.0.0.5:"),
                               QStringLiteral("fe80::1:502"), QStringLiteral("tcp://10.0.0.5:4001")}) {
        error.clear();
        QVERIFY2(networkDeviceString(bad, DeviceTransport::RtuOverTcp, 1, &error).isEmpty(), qPrintable(bad));
        QVERIFY2(!error.isEmpty(), qPrintable(bad));
    }
    QVERIFY(networkDeviceString(QStringLiteral("h:502"), DeviceTransport::ModbusTcp, 256, &error).isEmpty());
    QVERIFY(error.startsWith(QStringLiteral("单元号")));
    QVERIFY(networkDeviceString(QStringLiteral("h:502"), DeviceTransport::Serial, 1, &error).isEmpty());
}

void TestDeviceAddress::mbapFrame()
{
    // Transaction 0x1234, protocol 0, six bytes follow (unit and a five-byte PDU), unit 1.
    QCOMPARE(MbapFrame(0x1234, 1, QByteArray::fromHex("0300000020")).toHex(),
             QByteArray("123400000006010300000020"));
    QCOMPARE(MbapFrame(0xFFFF, 0xFF, QByteArray::fromHex("03")).toHex(), QByteArray("ffff00000002ff03"));
}

QTEST_GUILESS_MAIN(TestDeviceAddress)
#include "tst_deviceaddress.moc"
