#pragma once
// A TCP connection playing the serial line: to a serial device server (RTU frames pass through
// unchanged) or to a Modbus TCP instrument (the master frames the bytes with MBAP itself).
//
// Nothing here ever blocks the thread: the host name is looked up and the connection made in
// the background, open() only starts or checks that and returns at once (true once connected),
// writes go to the socket's buffer. Create the device on the thread that uses it.
//
//  - A connection attempt that has not succeeded within ConnectTimeoutMs (host lookup
//    included) is given up.
//  - After a failed attempt or a lost connection the next attempt waits: FirstRetryMs, then
//    twice as long each time up to LastRetryMs. A connection that has carried an answer starts
//    the series over.
//  - TCP keepalive is on, and on Linux unacknowledged data ends the connection after
//    UserTimeoutMs, so a gateway that was unplugged is noticed and reconnected to when it is
//    back, not after the kernel's quarter of an hour of retransmissions.
//  - Bytes that arrived with the far end's close are kept and handed out by read() after the
//    close, so an answer the gateway sends just before hanging up is not lost.

#include "DeviceAddress.h"
#include "SerialDevice.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTimer>

class TcpDevice final : public SerialDevice {
public:
    static constexpr int ConnectTimeoutMs = 3000;
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 10000;
    static constexpr int KeepAliveIdleS = 5;
    static constexpr int KeepAliveIntervalS = 2;
    static constexpr int KeepAliveProbes = 3;
    static constexpr int UserTimeoutMs = 10000;
    // A far end that takes no bytes lets unsent requests pile up; beyond this the connection
    // counts as lost.
    static constexpr qint64 MaxUnsent = 64 * 1024;

    TcpDevice();
    ~TcpDevice() override;

    // device: tcp://HOST:PORT or modbus-tcp://HOST:PORT… (DeviceAddress.h). Another address
    // than before drops the old connection and its retry wait.
    bool open(const QString &device) override;
    void close() override;
    bool isOpen() const override;
    bool isOpening() const override;
    QString errorText() const override;

    // No line settings on TCP: accepted and ignored.
    bool configure(const SerialLineSettings &settings) override;
    // rx drops what was received and not yet drained; sent bytes cannot be called back.
    bool purge(bool rx, bool tx) override;
    void setQueueSizes(int inputSize, int outputSize) override;
    // -1: the kernel's send queue is no measure of a stalled line; write() bounds it instead.
    int outputQueued() const override;
    int inputQueued() const override;
    qint64 read(char *data, qint64 maxSize) override;
    // Hands the bytes to the socket and returns at once.
    qint64 write(const char *data, qint64 size, int waitMs) override;
    void waitForRoom(int waitMs) override;

    // The wait the next failure will impose.
    int nextRetryDelayMs() const { return m_retryDelay; }
    // Time left before open() may start another attempt; 0 when it may now.
    qint64 retryWaitMs() const;
    // Connection attempts started so far.
    int attempts() const { return m_attempts; }

private:
    void startConnect();
    void onConnected();
    void onSocketError(QAbstractSocket::SocketError error);
    // Gives the attempt or the connection up, records why, arms the retry wait.
    void fail(const QString &text);
    void abortSocket();

    QTcpSocket m_socket;
    QTimer m_connectTimer;
    QString m_device;
    DeviceAddress m_address;
    QDeadlineTimer m_retryAt;
    int m_retryDelay = FirstRetryMs;
    int m_attempts = 0;
    QString m_error;
    QByteArray m_tail;       // bytes that came with the far end's close, not yet read
    bool m_connected = false;
    bool m_answered = false; // this connection has carried bytes
    bool m_aborting = false;
};
