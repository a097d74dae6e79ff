#pragma once
// The operating-system side of the serial port, as the Modbus master needs it: open by path,
// line settings, purge, queue levels, a non-blocking drain and a blocking write. The master's
// own logic (when to open, configure, purge, wait and give up) lives in TModbusM; only these
// calls differ between the real port (QtSerialDevice), a TCP connection to a serial device
// server (TcpDevice) and a test's stand-in.

#include <QString>
#include <QtGlobal>
#include <functional>

struct SerialLineSettings {
    // Numbered like the line settings of the serial drivers: parity 0 none … 4 space,
    // stop bits 0 one, 1 one and a half, 2 two.
    enum class Parity { None, Odd, Even, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baudRate = 9600;
    int dataBits = 8; // 5 … 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    // RTS/CTS handshaking; without it DTR and RTS are held inactive.
    bool rtsCtsHandshake = false;

    bool operator==(const SerialLineSettings &) const = default;
};

class SerialDevice {
public:
    virtual ~SerialDevice();

    // Opens the device for reading and writing, for this process alone. False when it is
    // missing, in use or not permitted.
    virtual bool open(const QString &path) = 0;
    // Harmless when closed.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // A device that opens asynchronously (a network connection) is on its way: open() has
    // started it and returns true once it is there. A serial device never is.
    virtual bool isOpening() const { return false; }
    // Why the device is not open or was lost, when it can tell (a network device: host not
    // found, refused, time-out, closed by the far end); empty otherwise or once it is open.
    virtual QString errorText() const { return {}; }

    // Applies the line settings; false when the device refused any of them (the others are
    // applied all the same).
    virtual bool configure(const SerialLineSettings &settings) = 0;
    // Discards what was received and not yet drained (rx) and what was written and not yet
    // sent (tx).
    virtual bool purge(bool rx, bool tx) = 0;
    // Size of the input queue (the most a drain can find) and of the output queue.
    virtual void setQueueSizes(int inputSize, int outputSize) = 0;

    // Bytes written and not yet sent; -1 when the device cannot tell.
    virtual int outputQueued() const = 0;
    // Bytes received and not yet drained; -1 when the device cannot tell.
    virtual int inputQueued() const = 0;

    // Non-blocking drain: copies whatever is buffered, up to maxSize bytes. Returns the count,
    // 0 when nothing is there, -1 on a hard error (the device has then closed itself).
    virtual qint64 read(char *data, qint64 maxSize) = 0;
    // Blocking write: returns once the driver has taken all bytes, or when waitMs pass without
    // the driver taking any. Returns the number taken (0 … size), or -1 on a hard error (the
    // device has then closed itself).
    virtual qint64 write(const char *data, qint64 size, int waitMs) = 0;
    // Blocks until the output queue may have room again, at most waitMs.
    virtual void waitForRoom(int waitMs) = 0;

    // Called when the device closed itself because the line was lost (unplugged adapter,
    // hang-up, hard read or write error). The owner forgets the port then and opens it again
    // later.
    void setLostHandler(std::function<void()> handler) { m_lost = std::move(handler); }
    // Called on the owner's thread when new bytes have arrived and wait to be drained. A device
    // that cannot tell never calls it; the owner's poll tick drains it all the same.
    void setArrivalHandler(std::function<void()> handler) { m_arrival = std::move(handler); }

protected:
    void reportLost();
    void reportArrival();

private:
    std::function<void()> m_lost;
    std::function<void()> m_arrival;
};
