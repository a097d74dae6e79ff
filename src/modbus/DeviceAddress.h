#pragma once
// What a [devices] entry of KTcom.ini names: a serial device by its path, or an instrument bank
// behind Ethernet.
//
//   /dev/ttyUSB0                       a serial device (COMn on Windows)
//   tcp://HOST:PORT                    RTU frames, CRC included, over a plain TCP connection: a
//                                      serial device server (RS-485/Ethernet) in "TCP server" mode
//   modbus-tcp://HOST:PORT?unit=N      Modbus TCP: the MBAP header instead of the CRC; unit N
//                                      (0 … 255), or the request's slave address without ?unit;
//                                      port 502 when none is given
//
// HOST is a host name, an IPv4 address or an IPv6 address in brackets. Schemes match without
// regard to case. Line settings (speed, parity) do not apply on TCP.

#include <QString>
#include <QtGlobal>

enum class DeviceTransport { Serial, RtuOverTcp, ModbusTcp };

struct DeviceAddress {
    DeviceTransport transport = DeviceTransport::Serial;
    QString path;     // the serial device as written
    QString host;     // without brackets
    quint16 port = 0;
    int unit = -1;    // Modbus TCP unit id; -1: the request's slave address

    bool isNetwork() const { return transport != DeviceTransport::Serial; }
};

// The standard port of Modbus TCP.
constexpr quint16 ModbusTcpPort = 502;

// Reads a device string. Text without a scheme is a serial path and always parses. A network
// address that is malformed, or an unknown scheme, gives false and *error (Chinese first, then
// the technical detail); *out is then untouched.
bool parseDeviceAddress(const QString &text, DeviceAddress *out, QString *error = nullptr);

// HOST:PORT, with an IPv6 address in brackets ("[fe80::1]:4001").
QString hostPortText(const QString &host, quint16 port);

// What to show an operator for a device string: HOST:PORT for a network device, else the text
// itself (also for a malformed address, so it is shown as it stands).
QString deviceDisplayText(const QString &device);

// HOST:PORT as typed in a dialog. Blanks around it are dropped. False and *error when the host
// is missing or holds characters no host name has, or the port is not 1 … 65535.
bool parseHostPort(const QString &text, QString *host, quint16 *port, QString *error);

// The device string for HOST:PORT and a transport: tcp://HOST:PORT, or
// modbus-tcp://HOST:PORT?unit=N (no ?unit when unit is -1). Empty with *error when hostPort or
// unit is bad, or transport is Serial.
QString networkDeviceString(const QString &hostPort, DeviceTransport transport, int unit, QString *error);
