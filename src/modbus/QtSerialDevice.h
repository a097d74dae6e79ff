#pragma once
// The real serial port, on Qt SerialPort. Received bytes collect in the port's own buffer
// (bounded by the input queue size) as the event loop delivers them; writes go straight to
// the driver and block until it has taken the bytes.
//
// After a hang-up (the far end of a pseudo-terminal closed, a USB adapter unplugged)
// QSerialPort reports ReadError again and again, about 100,000 times a second, for as long as
// the port stays open. So the port is closed on the first read, write or resource error and
// the owner is told through the lost handler; it reopens the port when the device is back.

#include "SerialDevice.h"

#include <QSerialPort>

class QtSerialDevice final : public SerialDevice {
public:
    QtSerialDevice();
    ~QtSerialDevice() override;

    bool open(const QString &path) override;
    void close() override;
    bool isOpen() const override;
    bool configure(const SerialLineSettings &settings) override;
    bool purge(bool rx, bool tx) override;
    void setQueueSizes(int inputSize, int outputSize) override;
    int outputQueued() const override;
    int inputQueued() const override;
    qint64 read(char *data, qint64 maxSize) override;
    qint64 write(const char *data, qint64 size, int waitMs) override;
    void waitForRoom(int waitMs) override;

private:
    void onError(QSerialPort::SerialPortError error);
    void lose();

    QSerialPort m_port;
    bool m_losing = false;
};
