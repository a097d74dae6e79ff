// The device list of the communication dialog without widgets: which items, in which order,
// under which name, what "设置" stores; once with a real pseudo-terminal linked under a
// by-id-like directory, opened by the Modbus master through the stored name.
#include "ModbusM.h"
#include "Pty.h"
#include "SerialPortChoices.h"
#include "SettingsFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString ById = QStringLiteral("/dev/serial/by-id/");
const QString Ftdi = ById + QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
const QString Silabs = ById + QStringLiteral("usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_0001-if00-port0");

// Two USB adapters with stable names and an on-board port, as Qt reports them (in its order).
QList<FoundSerialPort> machinePorts()
{
    return {
        {QStringLiteral("/dev/ttyUSB1"), QStringLiteral("CP2102 USB to UART Bridge Controller"), QStringLiteral("Silicon Labs"),
         QStringLiteral("0001")},
        {QStringLiteral("/dev/ttyS0"), QString(), QString(), QString()},
        {QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART"), QStringLiteral("FTDI"), QStringLiteral("A50285BI")},
    };
}

QList<StableDeviceName> machineNames()
{
    return {{Ftdi, QStringLiteral("/dev/ttyUSB0")}, {Silabs, QStringLiteral("/dev/ttyUSB1")}};
}

QStringList devices(const QList<DeviceChoice> &choices)
{
    QStringList out;
    for (const DeviceChoice &c : choices)
        out.append(c.device);
    return out;
}

} // namespace

class TestSerialPortChoices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void portNames();
    void unmappedPortOpensWhatTheMasterOpens();
    void listShowsStableNamesWithDetails();
    void currentDeviceComesFirst_data();
    void currentDeviceComesFirst();
    void oneItemPerDevice();
    void typedOrChosen();
    void networkDevices();
    void realPseudoTerminalUnderStableName();
};

void TestSerialPortChoices::portNames()
{
    QCOMPARE(portNumber(QStringLiteral("COM1")), 1);
    QCOMPARE(portNumber(QStringLiteral("com16")), 16);
    QCOMPARE(portNumber(QStringLiteral(" COM3 ")), 3);
    QCOMPARE(portNumber(QStringLiteral("COM0")), 0);
    QCOMPARE(portNumber(QStringLiteral("COM")), 0);
    QCOMPARE(portNumber(QStringLiteral("COM01")), 0);
    QCOMPARE(portNumber(QStringLiteral("/dev/ttyS0")), 0);
    QCOMPARE(portNumber(QString()), 0);
}

void TestSerialPortChoices::unmappedPortOpensWhatTheMasterOpens()
{
    // The dialog marks as current what the station will really open for a port without entry.
    TModbusM master;
    for (int n = 1; n <= 16; ++n) {
        master.setComPort(TComPortNumber(n - 1));
        QCOMPARE(unmappedDevicePath(n), master.DevicePath());
    }
    QCOMPARE(unmappedDevicePath(1), QStringLiteral("/dev/ttyS0"));
}

void TestSerialPortChoices::listShowsStableNamesWithDetails()
{
    const QList<DeviceChoice> choices = buildDeviceChoices(machinePorts(), machineNames(), QString(), QStringLiteral("/dev/ttyS0"));
    // The port opens its default now, which is there: first; then the adapters by stable name.
    QCOMPARE(devices(choices), (QStringList{QStringLiteral("/dev/ttyS0"), Ftdi, Silabs}));
    QCOMPARE(choices[0].text, QStringLiteral("当前：/dev/ttyS0  —  默认设备"));
    QVERIFY(choices[0].current);
    QVERIFY(choices[0].found);
    QCOMPARE(choices[1].text, Ftdi + QStringLiteral("  —  /dev/ttyUSB0, FT232R USB UART, FTDI, 序列号 A50285BI"));
    QVERIFY(!choices[1].current);
    QCOMPARE(choices[2].text,
             Silabs + QStringLiteral("  —  /dev/ttyUSB1, CP2102 USB to UART Bridge Controller, Silicon Labs, 序列号 0001"));

    // Without stable names the kernel names are listed, in natural order (ttyS2 before ttyS10).
    const QList<FoundSerialPort> plain{{QStringLiteral("/dev/ttyUSB0"), {}, {}, {}},
                                       {QStringLiteral("/dev/ttyS10"), {}, {}, {}},
                                       {QStringLiteral("/dev/ttyS2"), {}, {}, {}},
                                       {QStringLiteral("/dev/ttyACM0"), {}, {}, {}}};
    QCOMPARE(devices(buildDeviceChoices(plain, {}, QStringLiteral("/dev/ttyS10"), QStringLiteral("/dev/ttyS0"))),
             (QStringList{"/dev/ttyS10", "/dev/ttyACM0", "/dev/ttyS2", "/dev/ttyUSB0"}));
    QCOMPARE(devices(buildDeviceChoices(plain, {}, QStringLiteral("/dev/ttyS7"), QStringLiteral("/dev/ttyS0"))),
             (QStringList{"/dev/ttyS7", "/dev/ttyACM0", "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
}

void TestSerialPortChoices::currentDeviceComesFirst_data()
{
    QTest::addColumn<QString>("mapped");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QString>("firstText");
    QTest::addColumn<bool>("firstFound");
    QTest::addColumn<bool>("storingFirstChanges");

    const QString s0 = QStringLiteral("/dev/ttyS0");
    QTest::newRow("mapped by stable name") << Ftdi << s0 << QStringList{Ftdi, Silabs, s0}
                                           << QStringLiteral("当前：") + Ftdi
            + QStringLiteral("  —  /dev/ttyUSB0, FT232R USB UART, FTDI, 序列号 A50285BI")
                                           << true << false;
    // An entry written by hand with the kernel name: the same adapter, offered under its
    // stable name, so keeping the choice stores the name that survives replugging.
    QTest::newRow("mapped by kernel name") << QStringLiteral("/dev/ttyUSB1") << s0 << QStringList{Silabs, Ftdi, s0}
                                           << QStringLiteral("当前：") + Silabs
            + QStringLiteral("  —  /dev/ttyUSB1, CP2102 USB to UART Bridge Controller, Silicon Labs, 序列号 0001")
                                           << true << true;
    QTest::newRow("mapped, adapter unplugged") << QStringLiteral("/dev/serial/by-id/usb-Prolific-if00") << s0
                                               << QStringList{QStringLiteral("/dev/serial/by-id/usb-Prolific-if00"), Ftdi, Silabs, s0}
                                               << QStringLiteral("当前：/dev/serial/by-id/usb-Prolific-if00  —  未找到") << false
                                               << false;
    QTest::newRow("unmapped, default missing") << QString() << QStringLiteral("/dev/ttyS3")
                                               << QStringList{QStringLiteral("/dev/ttyS3"), Ftdi, Silabs, s0}
                                               << QStringLiteral("当前：/dev/ttyS3  —  默认设备, 未找到") << false << false;
}

void TestSerialPortChoices::currentDeviceComesFirst()
{
    QFETCH(QString, mapped);
    QFETCH(QString, fallback);
    QFETCH(QStringList, order);
    QFETCH(QString, firstText);
    QFETCH(bool, firstFound);
    QFETCH(bool, storingFirstChanges);

    const QList<DeviceChoice> choices = buildDeviceChoices(machinePorts(), machineNames(), mapped, fallback);
    QCOMPARE(devices(choices), order);
    QCOMPARE(choices[0].text, firstText);
    QCOMPARE(choices[0].found, firstFound);
    QVERIFY(choices[0].current);
    for (int i = 1; i < choices.size(); ++i)
        QVERIFY(!choices[i].current);
    QCOMPARE(deviceMappingChanges(choices[0].device, mapped, fallback), storingFirstChanges);
    // Any other item is a change.
    QVERIFY(deviceMappingChanges(choices[1].device, mapped, fallback));
}

void TestSerialPortChoices::oneItemPerDevice()
{
    // Qt reporting a port twice, two stable names of one device, and a stable name whose
    // device Qt does not report (listed all the same, with its kernel name).
    const QList<FoundSerialPort> found{{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART"), {}, {}},
                                       {QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART"), {}, {}}};
    const QString other = ById + QStringLiteral("usb-FTDI_other_name");
    const QString acm = ById + QStringLiteral("usb-Arduino_Uno_7523-if00");
    const QList<StableDeviceName> names{{Ftdi, QStringLiteral("/dev/ttyUSB0")},
                                        {other, QStringLiteral("/dev/ttyUSB0")},
                                        {acm, QStringLiteral("/dev/ttyACM0")}};
    const QList<DeviceChoice> choices = buildDeviceChoices(found, names, QString(), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(devices(choices), (QStringList{QStringLiteral("/dev/ttyS0"), acm, Ftdi}));
    QCOMPARE(choices[1].text, acm + QStringLiteral("  —  /dev/ttyACM0"));
    QVERIFY(choices[1].found);
    QCOMPARE(choices[2].text, Ftdi + QStringLiteral("  —  /dev/ttyUSB0, FT232R USB UART"));

    // Nothing found and nothing mapped: the default alone.
    const QList<DeviceChoice> none = buildDeviceChoices({}, {}, QString(), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(devices(none), QStringList{QStringLiteral("/dev/ttyS0")});
    QVERIFY(!deviceMappingChanges(none[0].device, QString(), QStringLiteral("/dev/ttyS0")));
}

void TestSerialPortChoices::typedOrChosen()
{
    const QList<DeviceChoice> choices = buildDeviceChoices(machinePorts(), machineNames(), QString(), QStringLiteral("/dev/ttyS0"));
    QString error;
    QCOMPARE(chosenDevice(choices[1].text, choices, &error), Ftdi);
    QCOMPARE(chosenDevice(choices[0].text, choices, &error), QStringLiteral("/dev/ttyS0"));
    QVERIFY(error.isEmpty());
    // A device the list cannot know, typed: kept as typed, without the blanks around it.
    QCOMPARE(chosenDevice(QStringLiteral("  /tmp/ttyQZ "), choices, &error), QStringLiteral("/tmp/ttyQZ"));
    QVERIFY(error.isEmpty());

    QCOMPARE(chosenDevice(QStringLiteral("   "), choices, &error), QString());
    QVERIFY2(error.startsWith(QStringLiteral("请选择串口设备")), qPrintable(error));
    error.clear();
    QCOMPARE(chosenDevice(QStringLiteral("ttyUSB0"), choices, &error), QString());
    QVERIFY2(error.startsWith(QStringLiteral("串口设备必须是完整路径")) && error.contains(QStringLiteral("ttyUSB0")), qPrintable(error));
    error.clear();
    QCOMPARE(chosenDevice(QStringLiteral("/dev/my adapter"), choices, &error), QString());
    QVERIFY(!error.isEmpty());
    error.clear();
    // A line break would split the INI entry.
    QCOMPARE(chosenDevice(QStringLiteral("/dev/ttyUSB0\n[communication]"), choices, &error), QString());
    QVERIFY(!error.isEmpty());
    error.clear();
    // An item's text edited is no longer the item.
    QCOMPARE(chosenDevice(choices[1].text + QStringLiteral("x"), choices, &error), QString());
    QVERIFY(!error.isEmpty());
}

void TestSerialPortChoices::networkDevices()
{
    // A port mapped to a network device: it comes first as such, never "not found".
    const QString gateway = QStringLiteral("tcp://10.0.0.5:4001");
    QList<DeviceChoice> choices = buildDeviceChoices(machinePorts(), machineNames(), gateway, QStringLiteral("/dev/ttyS0"));
    QCOMPARE(choices[0].device, gateway);
    QCOMPARE(choices[0].text, QStringLiteral("当前：tcp://10.0.0.5:4001  —  网络设备"));
    QVERIFY(choices[0].current && choices[0].found && choices[0].network);
    QVERIFY(!choices[1].network);
    QVERIFY(!deviceMappingChanges(gateway, gateway, QStringLiteral("/dev/ttyS0")));
    // A malformed entry is shown as it stands, as a device that is not there.
    const QList<DeviceChoice> broken = buildDeviceChoices({}, {}, QStringLiteral("tcp://10.0.0.5"), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(broken[0].text, QStringLiteral("当前：tcp://10.0.0.5  —  未找到"));
    QVERIFY(!broken[0].network);

    choices.append(networkDeviceChoice());
    QString error;
    QCOMPARE(chosenDevice(choices[0].text, choices, &error), gateway);
    QVERIFY(error.isEmpty());
    // The entry for typing one names no device by itself.
    QCOMPARE(chosenDevice(QStringLiteral("网络设备…"), choices, &error), QString());
    QVERIFY2(error.startsWith(QStringLiteral("请填写网络设备的地址")), qPrintable(error));
    // Typed into the list: a valid network device string is kept as typed; a malformed one
    // is refused with what is wrong with it.
    error.clear();
    QCOMPARE(chosenDevice(QStringLiteral(" modbus-tcp://10.0.0.9:502?unit=4 "), choices, &error),
             QStringLiteral("modbus-tcp://10.0.0.9:502?unit=4"));
    QVERIFY(error.isEmpty());
    QCOMPARE(chosenDevice(QStringLiteral("tcp://10.0.0.9"), choices, &error), QString());
    QVERIFY2(error.startsWith(QStringLiteral("网络设备的地址应为 主机:端口")), qPrintable(error));
    QCOMPARE(chosenDevice(QStringLiteral("tcp://10.0.0.9:4001\n[communication]"), choices, &error), QString());
    QVERIFY(!error.isEmpty());
}

void TestSerialPortChoices::realPseudoTerminalUnderStableName()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString byId = dir.filePath(QStringLiteral("by-id"));
    QVERIFY(QDir().mkpath(byId));
    const QString link = byId + QStringLiteral("/usb-QZ_Test_Adapter_0001-if00-port0");
    QVERIFY(QFile::link(pty.slavePath(), link));
    // An adapter just unplugged leaves a link to nothing; a plain file is no device name.
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), byId + QStringLiteral("/usb-Gone-if00")));
    QFile plain(byId + QStringLiteral("/README"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    const QList<StableDeviceName> names = readStableDeviceNames(byId);
    QCOMPARE(names.size(), 1);
    QCOMPARE(names[0].link, link);
    QCOMPARE(names[0].target, pty.slavePath());
    QVERIFY(readStableDeviceNames(dir.filePath(QStringLiteral("missing"))).isEmpty());

    // Mapped by its kernel name (as Qt would report it): one item, under the stable name.
    const QList<FoundSerialPort> found{{pty.slavePath(), QStringLiteral("test adapter"), {}, {}}};
    QList<DeviceChoice> choices = buildDeviceChoices(found, names, pty.slavePath(), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(devices(choices), QStringList{link});
    QVERIFY(choices[0].current);
    QCOMPARE(choices[0].text, QStringLiteral("当前：%1  —  %2, test adapter").arg(link, pty.slavePath()));
    // Mapped by a second link to the same device: recognised as that device.
    const QString alias = dir.filePath(QStringLiteral("ttyALIAS"));
    QVERIFY(QFile::link(pty.slavePath(), alias));
    choices = buildDeviceChoices({}, names, alias, QStringLiteral("/dev/ttyS0"));
    QCOMPARE(devices(choices), QStringList{link});
    QVERIFY(choices[0].current);

    // Stored for COM2 ("设置") and opened by the Modbus master through the stable name.
    QString error;
    const QString device = chosenDevice(choices[0].text, choices, &error);
    QCOMPARE(device, link);
    QVERIFY(deviceMappingChanges(device, alias, QStringLiteral("/dev/ttyS1")));
    WriteDeviceMapping(dir.path(), 2, device);
    QCOMPARE(ReadDeviceMap(dir.path()).value(2), link);
    TModbusM master;
    master.setDeviceMap(ReadDeviceMap(dir.path()));
    master.setComPort(pnCOM2);
    QCOMPARE(master.DevicePath(), link);
    QVERIFY(master.OpenPort());
    master.ClosePort();
}

QTEST_GUILESS_MAIN(TestSerialPortChoices)
#include "tst_serialportchoices.moc"
