#pragma once
// The device list of the communication dialog, without widgets: which serial devices this
// machine has, under which name to store them in [devices] of KTcom.ini, and what to show.
//
// A USB adapter's kernel name (/dev/ttyUSB0) depends on the order in which adapters were
// plugged in; udev also links every adapter under /dev/serial/by-id with a name made of its
// maker, model and serial number. That stable name is what the list offers and stores, where
// one exists.

#include <QList>
#include <QString>

// A serial port the system reports (QSerialPortInfo).
struct FoundSerialPort {
    QString location;     // "/dev/ttyUSB0"
    QString description;  // "FT232R USB UART"
    QString manufacturer; // "FTDI"
    QString serialNumber; // "A50285BI"
};

// A stable name and the device it stands for now.
struct StableDeviceName {
    QString link;   // "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
    QString target; // "/dev/ttyUSB0" (canonical)
};

// One item of the device list.
struct DeviceChoice {
    QString device;       // what "设置" stores as COMn = device
    QString text;         // what the list shows
    bool current = false; // the device the port opens now
    bool found = true;    // present on this machine now (a network device always counts)
    bool network = false; // a device behind Ethernet, or the entry for typing one
};

// The last item of the list: a device behind Ethernet, typed as HOST:PORT with its mode.
inline const QString NetworkDeviceChoiceText = QStringLiteral("网络设备…");
DeviceChoice networkDeviceChoice();

inline const QString StableSerialNameDir = QStringLiteral("/dev/serial/by-id");

// The serial ports Qt finds on this machine.
QList<FoundSerialPort> findSerialPorts();
// The links in dir (every entry that resolves to an existing file), sorted by name. A missing
// directory (no USB adapter plugged in) gives an empty list.
QList<StableDeviceName> readStableDeviceNames(const QString &dir = StableSerialNameDir);

// What the dialog lists: the ports found and the stable names.
struct SerialDeviceScan {
    QList<FoundSerialPort> found;
    QList<StableDeviceName> stable;
};
SerialDeviceScan scanSerialDevices();

// The number of a port name: "COM3" (any case) → 3; 0 for anything else.
int portNumber(const QString &port);
// The device an unmapped port opens: /dev/ttyS<n-1> ("COMn" on Windows), as the Modbus
// master does.
QString unmappedDevicePath(int port);

// The device list for one port. `mapped` is its [devices] entry (empty when it has none),
// `fallback` the device it opens without one. The device the port opens now comes first,
// marked current, also when it is not there now (a network device is shown as such); then the
// found devices, those with a stable name first, each shown under its stable name with the
// kernel name, description, manufacturer and serial number. A stable name whose target Qt
// does not report is listed all the same. Two names of one device (kernel and stable name)
// give one item. The dialog adds networkDeviceChoice() at the end.
QList<DeviceChoice> buildDeviceChoices(const QList<FoundSerialPort> &found,
                                       const QList<StableDeviceName> &stable,
                                       const QString &mapped, const QString &fallback);

// What the list's edit field holds when "设置" is pressed: an item's text picks that item's
// device; other text is a device path or a network device string (tcp://HOST:PORT,
// modbus-tcp://HOST:PORT?unit=N) typed by hand. Returns the device, or an empty string and
// *error (Chinese first) when the text is neither an absolute path nor a valid network device.
QString chosenDevice(const QString &text, const QList<DeviceChoice> &choices, QString *error);

// Whether "设置" writes COMn = device: not when it names what the port has now (its entry, or
// the fallback of a port without one), so an unchanged choice leaves [devices] as it is.
bool deviceMappingChanges(const QString &device, const QString &mapped, const QString &fallback);
