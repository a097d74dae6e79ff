#pragma once
// TModbusM: the station's Modbus RTU master. It owns one serial port, builds request frames
// for functions 1, 2, 3, 4, 5, 6, 15 and 16, collects what the line delivers, checks it (CRC,
// length, exception responses) and reports every outcome by event: OnResponseReady with the
// payload in ResponseData, or OnError with a fixed text per code. It never throws and shows
// nothing.
//
// Bytes are collected as soon as they have arrived: the device tells when bytes come in, and
// once the line has been quiet for a frame gap the master drains them. The 1000 ms poll tick
// drains as well, so a device that never tells, or a line that is never quiet, is still read.
//
// The device string ([devices] of KTcom.ini, DeviceAddress.h) may also name an instrument bank
// behind Ethernet. tcp://HOST:PORT carries the same RTU frames over TCP; modbus-tcp://… frames
// each request with the MBAP header instead of the CRC and accepts only the answer carrying the
// request's transaction id. A TCP connection opens in the background: OpenPort starts it and
// returns at once, true only once it is there (TcpDevice.h has the time-out and retry rules).
// On TCP a frame may come in pieces with any pause between them, so an RTU answer still
// shorter than the one expected waits for the rest instead of failing its CRC.
//
// Everything runs on the thread that owns the master: create it there, or move it there before
// its first OpenPort (its timers move with it; its device is made by the first OpenPort, on the
// thread that calls it). The poll tick, the response time-out and the owner's calls never
// overlap. One transaction is in flight at a time (Busy).

#include "DeviceAddress.h"
#include "SerialDevice.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

// A growable byte array that knows its length: frames, receive buffer, payloads.
using TDataByte = QByteArray;

// The port properties. The ordinals are stored (settings, forms), so the order is fixed.
enum TComPortNumber : uint8_t {
    pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
    pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum TComPortBaudRate : uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
    br56000, br57600, br115200, br128000, br256000
};
enum TComPortDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TComPortStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking : uint8_t { hhNONE, hhRTSCTS };

// Looks an enumeration member up by its name ("pnCOM3", "br9600"), ignoring case like the
// settings file does. False, *value untouched, when no member has that name.
bool ComPortNumberFromName(const QString &name, TComPortNumber *value);
bool ComPortBaudRateFromName(const QString &name, TComPortBaudRate *value);
// The member's own name: "pnCOM3", "br9600".
QString ComPortNumberName(TComPortNumber value);
QString ComPortBaudRateName(TComPortBaudRate value);
// Bit rate of a speed: br9600 gives 9600, br256000 gives 256000.
qint32 BaudRateOf(TComPortBaudRate value);

// CRC-16 of the Modbus serial line (reflected polynomial 0xA001, initial 0xFFFF, no final
// inversion), bit by bit, over all size bytes. "123456789" gives 0x4B37.
uint16_t Crc16(const char *data, qsizetype size);
// The CRC of a frame: covers every byte but the last two, the places reserved for the CRC
// itself (low byte first on the wire). A frame of fewer than three bytes gives 0xFFFF.
uint16_t ModbusCrc16(const TDataByte &frame);

// Modbus TCP's MBAP header: transaction id, protocol id (0), the count of the bytes that follow
// it (unit id and PDU), unit id; 16-bit fields high byte first.
constexpr int MbapHeaderSize = 7;
// The largest count the length field may give: unit id + a PDU of at most 253 bytes.
constexpr int MbapMaxLength = 254;
// The header for transactionId and unit, then pdu (function code and data).
TDataByte MbapFrame(uint16_t transactionId, uint8_t unit, const TDataByte &pdu);

namespace ModbusFrames {
struct ResponseCheck;
}

// Failure codes; ErrorMessage(code) gives the text OnError passes.
enum TModbusError : uint8_t {
    meNoError = 0,
    meIllegalFunction = 1,
    meIllegalAddress = 2,
    meIllegalValue = 3,
    meSlaveFailure = 4,
    meAcknowledge = 5, // exception 5: the slave needs more time; the transaction goes on
    meSlaveBusy = 6,
    meTimeout = 7,
    meMemoryParity = 8,
    meCommError = 9,
    meMasterBusy = 10,
    mePortClosed = 11,
};

class TModbusM : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TModbusM *Sender)>;
    using TOnErrorEvent = std::function<void(TModbusM *Sender, const QString &ErrorMsg)>;

    static constexpr int ErrorCount = 12;
    static constexpr uint16_t InQueueSize = 1028;  // input queue, and most bytes per poll tick
    static constexpr uint16_t OutQueueSize = 1028; // output queue
    static constexpr uint16_t PollInterval = 1000; // ms between drains of the port
    static constexpr int MaxRxBuffer = 256;        // the largest RTU frame

    // device: the port's operating-system side, used for every device string (tests hand in
    // their own). Without one, OpenPort makes the device its string calls for (Qt SerialPort
    // for a path, a TCP connection for a network address), on the calling thread.
    explicit TModbusM(QObject *owner = nullptr, std::unique_ptr<SerialDevice> device = nullptr);
    ~TModbusM() override;

    // ---- Port properties. While the port is open, ComPort is ignored and the others are
    // stored and applied at once (which purges both queues).
    TComPortNumber ComPort() const { return FComPort; }
    void setComPort(TComPortNumber value);
    TComPortBaudRate ComPortSpeed() const { return FComPortSpeed; }
    void setComPortSpeed(TComPortBaudRate value);
    TComPortDataBits ComPortDataBits() const { return FComPortDataBits; }
    void setComPortDataBits(TComPortDataBits value);
    TComPortStopBits ComPortStopBits() const { return FComPortStopBits; }
    void setComPortStopBits(TComPortStopBits value);
    TComPortParity ComPortParity() const { return FComPortParity; }
    void setComPortParity(TComPortParity value);
    TComPortHwHandshaking ComPortHwHandshaking() const { return FComPortHwHandshaking; }
    void setComPortHwHandshaking(TComPortHwHandshaking value);

    // COMn → device path: the map's entry for n when there is one (the owner fills it from
    // section "devices" of KTcom.ini), else /dev/ttyS<n-1> (Linux) or COMn (Windows).
    void setDeviceMap(const QMap<int, QString> &map) { FDeviceMap = map; }
    const QMap<int, QString> &DeviceMap() const { return FDeviceMap; }
    QString DevicePath(TComPortNumber port) const;
    QString DevicePath() const { return DevicePath(FComPort); }

    // Opens and configures the port unless it is open; true when it is open afterwards.
    // The poll tick runs while the port is open. Never waits: a network device connects in
    // the background and a later call finds it open.
    bool OpenPort();
    // A network connection is on its way.
    bool PortOpening() const;
    // Why the port is not open, when that is known (a malformed device string, a host not
    // found, a refused or timed-out connection, a connection the far end closed); empty while
    // open.
    QString PortErrorText() const;
    // How the device string of the last OpenPort is reached, and the Modbus TCP unit it names.
    DeviceTransport Transport() const { return FTransport; }
    // Transaction id of the last Modbus TCP request (0 before the first).
    uint16_t TransactionId() const { return FTransactionId; }
    // Stops the poll tick and closes the port; harmless when closed. A pending transaction
    // is left to its time-out.
    void ClosePort();
    bool IsPortOpen() const;
    // Line settings, then purge of both queues, then queue sizes. Nothing when closed.
    void ConfigurePort();
    void PurgePort(bool rx, bool tx);
    // Free room in the output queue; 0xFFFF when closed.
    uint16_t TxQueueRoom() const;
    // Writes count bytes. Returns count on success; otherwise the bytes written so far,
    // negated: when the whole send has taken WriteTimeout ms, or the line fails. 0 when closed.
    int32_t SendBytes(const char *data, int32_t count);
    // The poll tick: drains up to InQueueSize bytes from the port into ReceiveBytes.
    void PollTick();
    // The line has been quiet for a frame gap since bytes arrived: drains them like PollTick.
    void FrameGapTimeout();
    // Quiet time that ends a frame at a bit rate: 3.5 character times (11 bits each), but at
    // least MinFrameGapMs. On TCP bytes are drained as soon as they arrive (the frame's
    // length, not a pause, tells whether it is whole).
    static int FrameGapMs(qint32 baudRate);
    // USB adapters hand received bytes over in bursts up to 16 ms apart (their latency
    // timer), so a shorter quiet time would cut frames in two.
    static constexpr int MinFrameGapMs = 20;
    // Whether arrivals start the frame gap. Tests that tick the poll by hand switch it off.
    bool ReadOnArrival = true;

    // ms after which a send that has not got all its bytes out gives up.
    uint16_t WriteTimeout = 5000;

    // ---- Transaction. Events are single handlers: assigning replaces, unassigned is skipped.
    // Busy is still true while a handler runs and is cleared after it returns.
    TNotifyEvent OnResponseReady;
    TOnErrorEvent OnError;

    // Request properties; writing them only stores the value.
    uint8_t SlaveId = 0;
    uint8_t FunctionCode = 0;
    uint16_t Offset = 0;
    uint16_t Quantity = 0;
    uint8_t RegisterDim = 2; // bytes per register in the data field

    // Response wait in ms. Values of 10 or less, and the current value, are ignored; a
    // running wait starts again with the new interval.
    uint16_t Timeout() const { return FTimeout; }
    void setTimeout(uint16_t value);

    // Payload of the last accepted response; for functions 3 and 4 the registers' bytes as
    // the slave sent them (high byte first).
    TDataByte ResponseData;
    // Data bytes of write requests (functions 5, 6, 15, 16).
    TDataByte WriteData;

    // Every byte received since the last request started (at most MaxRxBuffer, the newest).
    // With Modbus TCP: the bytes of frames not yet complete (whole frames are taken out).
    const TDataByte &RxBuffer() const { return FRxBuffer; }
    uint8_t LastError() const { return FLastError; }
    bool Busy() const { return FBusy; }
    const QTimer &ResponseTimer() const { return FResponseTimer; }
    const QTimer &PollTimer() const { return FPollTimer; }
    const QTimer &FrameGapTimer() const { return FFrameGapTimer; }
    // Null until the first OpenPort when no device was handed in.
    SerialDevice *Device() const { return FDevice.get(); }

    // Builds the request from the properties, writes it and starts the response wait. The
    // outcome comes by event.
    void SendRequest();
    // Checks everything received so far with the new bytes appended, and reports.
    virtual void ReceiveBytes(const char *data, int count);
    // The response wait ran out.
    void ResponseTimeout();

    // The text OnError passes for a code; empty outside 0 … 11.
    static QString ErrorMessage(int code);

private:
    void Conclude(const ModbusFrames::ResponseCheck &check);
    void ReceiveMbap();
    void RaiseError(uint8_t code, bool clearBusy);
    void RaiseResponseReady();
    void TrimRxBuffer();
    void DrainPort();
    void BytesArrived();
    void LineLost();
    void UseDeviceFor(DeviceTransport transport);

    std::unique_ptr<SerialDevice> FDevice;
    bool FDeviceHandedIn = false;
    bool FPortReady = false; // opened and configured by OpenPort, poll tick running
    DeviceTransport FDeviceKind = DeviceTransport::Serial; // what FDevice was made for
    DeviceTransport FTransport = DeviceTransport::Serial;
    int FUnit = -1;              // Modbus TCP unit from the device string; -1: SlaveId
    QString FAddressError;       // the device string could not be read
    uint16_t FTransactionId = 0;
    uint8_t FMbapUnit = 0;       // unit of the last Modbus TCP request
    bool FMbapAwaiting = false;  // the last Modbus TCP request has had no final answer yet
    TComPortNumber FComPort = pnCOM2;
    TComPortBaudRate FComPortSpeed = br9600;
    TComPortDataBits FComPortDataBits = db8BITS;
    TComPortStopBits FComPortStopBits = sb1BITS;
    TComPortParity FComPortParity = ptNONE;
    TComPortHwHandshaking FComPortHwHandshaking = hhNONE;
    QMap<int, QString> FDeviceMap;

    QByteArray FReadBuffer;
    QTimer FPollTimer;
    QTimer FFrameGapTimer;
    QTimer FResponseTimer;
    uint16_t FTimeout = 1000;
    TDataByte FRxBuffer;
    uint8_t FLastError = 0;
    bool FBusy = false;
};
