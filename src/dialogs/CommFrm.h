#pragma once
// The communication parameter dialog: serial port, line speed and the serial device the port
// stands for, written to KTcom.ini in the program directory ([communication] COM and Bps,
// [devices] COMn). The running connection is not touched; the values count from the next
// start. Created for each use, shown modally, destroyed after.
//
// The device may also be a network device ("网络设备…"): HOST:PORT and its mode (a serial
// device server passing RTU frames, or Modbus TCP with a unit id), stored as tcp://HOST:PORT
// or modbus-tcp://HOST:PORT?unit=N. "测试" polls it once in the background and shows the
// outcome; the dialog stays usable meanwhile.

#include "DeviceAddress.h"
#include "SerialPortChoices.h"

#include <QDialog>
#include <QMap>
#include <functional>

class DeviceProbe;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TCommForm : public QDialog {
    Q_OBJECT
public:
    // scan lists the serial devices of this machine (tests hand in their own); by default
    // the ports Qt finds and the stable names under /dev/serial/by-id.
    explicit TCommForm(QWidget *parent = nullptr, std::function<SerialDeviceScan()> scan = {});

    // Shows the port and speed saved in KTcom.ini (COM1 and 9600 Bps when the saved values
    // are not in the lists) and the device list of that port; the constructor runs it. A file
    // that cannot be read is reported and the dialog opens on the first items.
    void FormCreate();
    // "设置": writes port and speed, and COMn = the chosen device when it differs from what
    // the port opens now; tells the operator to restart, closes. A typed device that is not
    // a full path is refused with a message and nothing is written. Input/output failures
    // propagate as AppError (the button reports them; the dialog stays open).
    void BitBtn1Click();
    // "刷新": looks for serial devices again (an adapter plugged in while the dialog is open).
    void RefreshDevices();
    // "测试": polls the network device of the address row once; the outcome appears in
    // NetResultLabel. A typing error is shown there at once.
    void TestNetworkDevice();

    QFrame *Panel1 = nullptr;
    QComboBox *ComboBox1 = nullptr; // "COM1" … "COM16"
    QComboBox *ComboBox2 = nullptr; // "9600 Bps" … "1200 Bps"
    QComboBox *ComboBox3 = nullptr; // the serial devices; a path may also be typed
    QPushButton *RefreshButton = nullptr;
    // The network device row, enabled while a network item is chosen in ComboBox3.
    QLineEdit *NetAddressEdit = nullptr; // HOST:PORT
    QComboBox *NetModeBox = nullptr;     // serial device server (RTU) or Modbus TCP
    QSpinBox *NetUnitBox = nullptr;      // Modbus TCP unit id; its lowest value: the slave address
    QPushButton *TestButton = nullptr;
    QLabel *NetResultLabel = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;

    // The items of ComboBox3, in order.
    const QList<DeviceChoice> &deviceChoices() const { return m_choices; }

private:
    // Rebuilds ComboBox3 for the port selected in ComboBox1.
    void showDevicesOfPort();
    void showChosenDevice();
    QString mappedDevice() const;
    bool networkChosen() const;
    void updateNetworkRow();
    DeviceTransport chosenTransport() const;
    // The device string of the address row; empty with *error when it is not valid.
    QString networkDevice(QString *error) const;

    std::function<SerialDeviceScan()> m_scan;
    SerialDeviceScan m_devices;
    QMap<int, QString> m_deviceMap; // [devices] as the dialog found it
    QList<DeviceChoice> m_choices;
    DeviceProbe *m_probe = nullptr;
};
