#include "ModbusM.h"

#include "QtSerialDevice.h"
#include "TcpDevice.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <array>

namespace {

constexpr std::array<qint32, 15> BaudRateTable = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200,
    128000, 256000,
};

} // namespace

// Response checking, free of side effects: what a receive buffer amounts to.
struct ModbusFrames::ResponseCheck {
    enum Kind { Accepted, Failed, KeepWaiting } kind = Failed;
    uint8_t code = meNoError;
    TDataByte data;
};

namespace {

using ModbusFrames::ResponseCheck;

uint8_t byteAt(const TDataByte &b, qsizetype i) { return uint8_t(b.at(i)); }

// Length of a whole RTU answer, CRC included, as its function byte announces it for the request
// made (Quantity, RegisterDim); 5 for an exception frame; 0 when the byte tells nothing.
qsizetype expectedRtuLength(uint8_t function, uint16_t quantity, uint8_t registerDim)
{
    switch (function) {
    case 1:
    case 2:
        // One bit per coil, rounded up to whole bytes; the byte count field is 8 bits wide.
        return ((int(quantity) + 7) / 8) % 256 + 5;
    case 3:
    case 4:
        // address + function + byte count + Quantity × RegisterDim data bytes + 2 bytes CRC
        return qsizetype(quantity) * registerDim + 5;
    case 5:
        return 8;
    case 6:
        return qsizetype(registerDim) + 6;
    case 15:
    case 16:
        return 8;
    default:
        // address + function + exception code + 2 bytes CRC
        return (function & 0x80) ? 5 : 0;
    }
}

// Checks a frame: address (or unit id), function, data and, with crcBytes 2, the CRC. A Modbus
// TCP frame has no CRC (crcBytes 0); its lengths are those of RTU less the two CRC bytes.
ResponseCheck checkResponse(const TDataByte &rx, uint16_t quantity, uint8_t registerDim, int crcBytes = 2)
{
    ResponseCheck r;
    const qsizetype size = rx.size();
    if (crcBytes > 0) {
        // The CRC closes the frame, low byte first.
        if (size < 2) {
            r.code = meCommError;
            return r;
        }
        const uint16_t crc = ModbusCrc16(rx);
        if (byteAt(rx, size - 2) != (crc & 0xFF) || byteAt(rx, size - 1) != (crc >> 8)) {
            r.code = meCommError;
            return r;
        }
    }

    // The data field lies between the header and the CRC: bytes 3 … size − 3 for reads
    // (address, function, byte count first), 4 and 5 for writes.
    auto readAnswer = [&](qsizetype expected) {
        if (size != expected - 2 + crcBytes) {
            r.code = meSlaveFailure;
            return;
        }
        const int count = byteAt(rx, 2);
        // A byte count claiming more than the frame holds is a broken frame, not a short one.
        if (3 + count > size - crcBytes) {
            r.code = meSlaveFailure;
            return;
        }
        r.kind = ResponseCheck::Accepted;
        r.data = rx.mid(3, count);
    };
    auto writeAnswer = [&](qsizetype expected) {
        if (size != expected - 2 + crcBytes) {
            r.code = meSlaveFailure;
            return;
        }
        r.kind = ResponseCheck::Accepted;
        r.data = rx.mid(4, 2);
    };

    const uint8_t function = size > 1 ? byteAt(rx, 1) : 0;
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
        readAnswer(expectedRtuLength(function, quantity, registerDim));
        break;
    case 5:
    case 6:
    case 15:
    case 16:
        writeAnswer(expectedRtuLength(function, quantity, registerDim));
        break;
    case 0x81: case 0x82: case 0x83: case 0x84: case 0x85: case 0x86: case 0x8F: case 0x90: {
        const int exception = size > 2 ? byteAt(rx, 2) : -1;
        switch (exception) {
        case 1: case 2: case 3: case 4: case 6: case 8:
            r.code = uint8_t(exception);
            break;
        case 5:
            r.kind = ResponseCheck::KeepWaiting;
            r.code = meAcknowledge;
            break;
        default:
            // Codes the master has no text for (0, 7, above 8) are a failure of the slave,
            // never an answer: ResponseData would be stale.
            r.code = meSlaveFailure;
            break;
        }
        break;
    }
    default:
        r.code = meIllegalFunction;
        break;
    }
    return r;
}

// On a stream an RTU answer may come in pieces: true while rx is still shorter than the frame
// its function byte announces, unless its CRC already closes it (a whole frame of the wrong
// length, which then fails as such).
bool rtuFrameIncomplete(const TDataByte &rx, uint16_t quantity, uint8_t registerDim)
{
    // No answer is shorter: address, function, one byte, CRC.
    if (rx.size() < 5)
        return true;
    if (rx.size() >= expectedRtuLength(byteAt(rx, 1), quantity, registerDim))
        return false;
    const uint16_t crc = ModbusCrc16(rx);
    return byteAt(rx, rx.size() - 2) != (crc & 0xFF) || byteAt(rx, rx.size() - 1) != (crc >> 8);
}

// What the front of a Modbus TCP receive buffer holds.
struct MbapSplit {
    enum Kind { NeedMore, Broken, Frame } kind = NeedMore;
    uint16_t transactionId = 0;
    TDataByte frame; // unit id and PDU
};

MbapSplit splitMbap(const TDataByte &rx)
{
    MbapSplit r;
    if (rx.size() < MbapHeaderSize)
        return r;
    const uint16_t protocol = uint16_t(byteAt(rx, 2) << 8 | byteAt(rx, 3));
    const int length = byteAt(rx, 4) << 8 | byteAt(rx, 5);
    // Unit id and function code at least, a PDU of 253 bytes at most. Anything else means the
    // stream is out of step (or is not Modbus TCP), and no later byte can be trusted to start a
    // frame.
    if (protocol != 0 || length < 2 || length > MbapMaxLength) {
        r.kind = MbapSplit::Broken;
        return r;
    }
    if (rx.size() < 6 + length)
        return r;
    r.kind = MbapSplit::Frame;
    r.transactionId = uint16_t(byteAt(rx, 0) << 8 | byteAt(rx, 1));
    r.frame = rx.mid(6, length);
    return r;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Names, rates, CRC

bool ComPortNumberFromName(const QString &name, TComPortNumber *value)
{
    for (int i = pnCOM1; i <= pnCOM16; ++i) {
        if (name.compare(ComPortNumberName(TComPortNumber(i)), Qt::CaseInsensitive) == 0) {
            if (value)
                *value = TComPortNumber(i);
            return true;
        }
    }
    return false;
}

bool ComPortBaudRateFromName(const QString &name, TComPortBaudRate *value)
{
    for (int i = br110; i <= br256000; ++i) {
        if (name.compare(ComPortBaudRateName(TComPortBaudRate(i)), Qt::CaseInsensitive) == 0) {
            if (value)
                *value = TComPortBaudRate(i);
            return true;
        }
    }
    return false;
}

QString ComPortNumberName(TComPortNumber value)
{
    return QStringLiteral("pnCOM%1").arg(int(value) + 1);
}

QString ComPortBaudRateName(TComPortBaudRate value)
{
    return QStringLiteral("br%1").arg(BaudRateOf(value));
}

qint32 BaudRateOf(TComPortBaudRate value)
{
    return size_t(value) < BaudRateTable.size() ? BaudRateTable[value] : 9600;
}

uint16_t Crc16(const char *data, qsizetype size)
{
    uint16_t crc = 0xFFFF;
    for (qsizetype i = 0; i < size; ++i) {
        uint8_t byte = uint8_t(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc ^ byte) & 1)
                crc = (crc >> 1) ^ 0xA001;
            else
                crc >>= 1;
            byte >>= 1;
        }
    }
    return crc;
}

uint16_t ModbusCrc16(const TDataByte &frame)
{
    if (frame.size() < 3)
        return 0xFFFF;
    return Crc16(frame.constData(), frame.size() - 2);
}

TDataByte MbapFrame(uint16_t transactionId, uint8_t unit, const TDataByte &pdu)
{
    const int length = int(pdu.size()) + 1;
    TDataByte f;
    f.reserve(MbapHeaderSize + pdu.size());
    f.append(char(transactionId >> 8));
    f.append(char(transactionId & 0xFF));
    f.append(2, '\0'); // protocol id 0: Modbus
    f.append(char((length >> 8) & 0xFF));
    f.append(char(length & 0xFF));
    f.append(char(unit));
    f.append(pdu);
    return f;
}

// ---------------------------------------------------------------------------------------
// Component

QString TModbusM::ErrorMessage(int code)
{
    static const std::array<QString, ErrorCount> ErrorMessages = {
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
    return code >= 0 && code < ErrorCount ? ErrorMessages[size_t(code)] : QString();
}

TModbusM::TModbusM(QObject *owner, std::unique_ptr<SerialDevice> device)
    : QObject(owner), FDevice(std::move(device)), FDeviceHandedIn(FDevice != nullptr)
{
    FReadBuffer.resize(InQueueSize);
    // The timers are the master's children, so moving the master to another thread (before its
    // first OpenPort) takes them along. As members they are gone before QObject's destructor
    // would delete its children.
    FPollTimer.setParent(this);
    FFrameGapTimer.setParent(this);
    FResponseTimer.setParent(this);
    FPollTimer.setInterval(PollInterval);
    connect(&FPollTimer, &QTimer::timeout, this, &TModbusM::PollTick);
    FFrameGapTimer.setSingleShot(true);
    FFrameGapTimer.setTimerType(Qt::PreciseTimer);
    connect(&FFrameGapTimer, &QTimer::timeout, this, &TModbusM::FrameGapTimeout);
    FResponseTimer.setInterval(FTimeout);
    connect(&FResponseTimer, &QTimer::timeout, this, &TModbusM::ResponseTimeout);
    if (FDevice) {
        FDevice->setLostHandler([this] { LineLost(); });
        FDevice->setArrivalHandler([this] { BytesArrived(); });
    }
}

TModbusM::~TModbusM()
{
    // No event may follow destruction.
    FResponseTimer.stop();
    FFrameGapTimer.stop();
    OnResponseReady = nullptr;
    OnError = nullptr;
    if (FDevice) {
        FDevice->setLostHandler({});
        FDevice->setArrivalHandler({});
    }
    ClosePort();
}

void TModbusM::LineLost()
{
    // Bytes that came just before the loss (an answer, then the gateway hung up) still count;
    // then the line is forgotten, so the next OpenPort opens it again.
    DrainPort();
    ClosePort();
}

void TModbusM::UseDeviceFor(DeviceTransport transport)
{
    const bool network = transport != DeviceTransport::Serial;
    if (FDeviceHandedIn || (FDevice && (FDeviceKind != DeviceTransport::Serial) == network))
        return;
    // Made here, on the thread that opens it: sockets and serial ports belong to their thread.
    if (network)
        FDevice = std::make_unique<TcpDevice>();
    else
        FDevice = std::make_unique<QtSerialDevice>();
    FDeviceKind = transport;
    FDevice->setLostHandler([this] { LineLost(); });
    FDevice->setArrivalHandler([this] { BytesArrived(); });
}

void TModbusM::setComPort(TComPortNumber value)
{
    // Moving to another port means closing first; an open port stays where it is.
    if (IsPortOpen() || value > pnCOM16)
        return;
    FComPort = value;
}

void TModbusM::setComPortSpeed(TComPortBaudRate value)
{
    if (value > br256000)
        return;
    FComPortSpeed = value;
    ConfigurePort();
}

void TModbusM::setComPortDataBits(TComPortDataBits value)
{
    if (value > db8BITS)
        return;
    FComPortDataBits = value;
    ConfigurePort();
}

void TModbusM::setComPortStopBits(TComPortStopBits value)
{
    if (value > sb2BITS)
        return;
    FComPortStopBits = value;
    ConfigurePort();
}

void TModbusM::setComPortParity(TComPortParity value)
{
    if (value > ptSPACE)
        return;
    FComPortParity = value;
    ConfigurePort();
}

void TModbusM::setComPortHwHandshaking(TComPortHwHandshaking value)
{
    if (value > hhRTSCTS)
        return;
    FComPortHwHandshaking = value;
    ConfigurePort();
}

QString TModbusM::DevicePath(TComPortNumber port) const
{
    const int n = int(port) + 1;
    const QString mapped = FDeviceMap.value(n).trimmed();
    if (!mapped.isEmpty())
        return mapped;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

bool TModbusM::OpenPort()
{
    if (FPortReady && IsPortOpen())
        return true;
    // A network connection comes up between two calls, outside this one: the call that first
    // finds it open still configures it and starts the poll tick.
    FPortReady = false;
    const QString path = DevicePath();
    DeviceAddress address;
    FAddressError.clear();
    if (!parseDeviceAddress(path, &address, &FAddressError)) {
        // Nothing to open; the transport stays what it was, so no frame goes out in a form the
        // far end does not speak.
        return false;
    }
    FTransport = address.transport;
    FUnit = address.unit;
    UseDeviceFor(FTransport);
    if (!FDevice->open(path))
        return false;
    ConfigurePort();
    // Configuring may already have found the line dead.
    if (!IsPortOpen())
        return false;
    // A fresh connection carries nothing of the last one: half a frame left over from a
    // connection that broke off would swallow the first answer.
    if (FTransport == DeviceTransport::ModbusTcp)
        FRxBuffer.clear();
    FPollTimer.start(PollInterval);
    FPortReady = true;
    return true;
}

bool TModbusM::PortOpening() const { return FDevice && !FDevice->isOpen() && FDevice->isOpening(); }

QString TModbusM::PortErrorText() const
{
    if (!FAddressError.isEmpty())
        return FAddressError;
    return FDevice && !FDevice->isOpen() ? FDevice->errorText() : QString();
}

void TModbusM::ClosePort()
{
    FPortReady = false;
    FPollTimer.stop();
    FFrameGapTimer.stop();
    if (FDevice)
        FDevice->close();
}

bool TModbusM::IsPortOpen() const { return FDevice && FDevice->isOpen(); }

void TModbusM::ConfigurePort()
{
    if (!IsPortOpen())
        return;
    SerialLineSettings s;
    s.baudRate = BaudRateOf(FComPortSpeed);
    s.dataBits = int(FComPortDataBits) + 5;
    s.parity = SerialLineSettings::Parity(FComPortParity);
    s.stopBits = SerialLineSettings::StopBits(FComPortStopBits);
    s.rtsCtsHandshake = FComPortHwHandshaking == hhRTSCTS;
    // The order is fixed: line settings, then purge, then queue sizes. Refusals are not
    // fatal: the line runs with what the device accepted.
    FDevice->configure(s);
    PurgePort(true, true);
    if (IsPortOpen())
        FDevice->setQueueSizes(InQueueSize, OutQueueSize);
}

void TModbusM::PurgePort(bool rx, bool tx)
{
    if (!IsPortOpen())
        return;
    FDevice->purge(rx, tx);
}

uint16_t TModbusM::TxQueueRoom() const
{
    if (!IsPortOpen())
        return 0xFFFF;
    const int queued = FDevice->outputQueued();
    // When the device cannot tell, the write itself finds out whether the line takes bytes.
    if (queued < 0)
        return OutQueueSize;
    return uint16_t(qMax(0, int(OutQueueSize) - queued));
}

int32_t TModbusM::SendBytes(const char *data, int32_t count)
{
    if (!IsPortOpen())
        return 0;
    int32_t total = 0;
    // One bound for the whole send: a driver that takes a byte now and then must not hold the
    // station for WriteTimeout per write call.
    QDeadlineTimer deadline(WriteTimeout);
    while (count > 0) {
        if (TxQueueRoom() > 0) {
            const qint64 w = FDevice->write(data + total, count, int(qMax<qint64>(deadline.remainingTime(), 0)));
            if (w < 0) // the line failed; the device has closed itself
                return -total;
            if (w > 0) {
                const int32_t taken = int32_t(qMin<qint64>(w, count));
                total += taken;
                count -= taken;
                if (count > 0 && deadline.hasExpired())
                    return -total;
                continue;
            }
        }
        // No room, or a write that took nothing: wait for room until the send's time is up.
        if (!IsPortOpen() || deadline.hasExpired())
            return -total;
        FDevice->waitForRoom(int(qBound(qint64(1), deadline.remainingTime(), qint64(10))));
    }
    return total;
}

void TModbusM::PollTick()
{
    if (!IsPortOpen()) {
        FPollTimer.stop();
        return;
    }
    DrainPort();
}

void TModbusM::FrameGapTimeout()
{
    if (IsPortOpen())
        DrainPort();
}

int TModbusM::FrameGapMs(qint32 baudRate)
{
    if (baudRate <= 0)
        return MinFrameGapMs;
    // 3.5 characters of 11 bits: 38.5 bit times, rounded up to whole milliseconds.
    const qint64 ms = (qint64(385) * 1000 + qint64(baudRate) * 10 - 1) / (qint64(baudRate) * 10);
    return int(qMax<qint64>(ms, MinFrameGapMs));
}

void TModbusM::BytesArrived()
{
    // Every arrival restarts the gap: the frame is drained once the line has fallen quiet. On
    // TCP the pauses are the network's, not the instrument's: drain at once.
    if (ReadOnArrival && IsPortOpen())
        FFrameGapTimer.start(FTransport == DeviceTransport::Serial ? FrameGapMs(BaudRateOf(FComPortSpeed)) : 0);
}

void TModbusM::DrainPort()
{
    FFrameGapTimer.stop();
    if (!FDevice)
        return;
    const qint64 n = FDevice->read(FReadBuffer.data(), InQueueSize);
    if (n > 0)
        ReceiveBytes(FReadBuffer.constData(), int(n));
}

void TModbusM::setTimeout(uint16_t value)
{
    if (value == FTimeout || value <= 10)
        return;
    FTimeout = value;
    FResponseTimer.setInterval(value); // restarts a running wait
}

void TModbusM::SendRequest()
{
    if (!IsPortOpen()) {
        RaiseError(mePortClosed, false);
        return;
    }
    if (FBusy) {
        RaiseError(meMasterBusy, false);
        return;
    }
    FBusy = true;
    FLastError = meNoError;
    // On Modbus TCP the buffer is the connection's byte stream: a late answer's frame that is
    // still coming in is completed and then dropped by its transaction id, instead of its tail
    // being taken for the start of the next frame.
    if (FTransport != DeviceTransport::ModbusTcp)
        FRxBuffer.clear();

    TDataByte frame;
    frame.reserve(264);
    frame.append(char(SlaveId));
    frame.append(char(FunctionCode));
    frame.append(char(Offset >> 8));
    frame.append(char(Offset & 0xFF));
    auto appendQuantity = [&] {
        frame.append(char(Quantity >> 8));
        frame.append(char(Quantity & 0xFF));
    };
    auto appendWriteData = [&](qsizetype n) {
        if (WriteData.size() < n)
            return false;
        frame.append(WriteData.constData(), n);
        return true;
    };

    switch (FunctionCode) {
    case 1: case 2: case 3: case 4:
        appendQuantity();
        break;
    case 5:
        if (!appendWriteData(2)) {
            RaiseError(meIllegalValue, true);
            return;
        }
        break;
    case 6:
        if (!appendWriteData(RegisterDim)) {
            RaiseError(meIllegalValue, true);
            return;
        }
        break;
    case 15:
    case 16: {
        // The byte count field is 8 bits wide.
        const int n = (FunctionCode == 15 ? (int(Quantity) + 7) / 8 : int(Quantity) * RegisterDim) % 256;
        if (WriteData.size() < n) {
            RaiseError(meIllegalValue, true);
            return;
        }
        appendQuantity();
        frame.append(char(n));
        appendWriteData(n);
        break;
    }
    default:
        RaiseError(meIllegalFunction, true);
        return;
    }

    if (FTransport == DeviceTransport::ModbusTcp) {
        // The MBAP header replaces address and CRC; every request has an id of its own.
        FMbapUnit = FUnit >= 0 ? uint8_t(FUnit) : SlaveId;
        frame = MbapFrame(++FTransactionId, FMbapUnit, frame.mid(1));
        FMbapAwaiting = true;
    } else {
        frame.append(2, '\0');
        const uint16_t crc = ModbusCrc16(frame);
        frame[frame.size() - 2] = char(crc & 0xFF);
        frame[frame.size() - 1] = char(crc >> 8);
    }

    if (SendBytes(frame.constData(), int32_t(frame.size())) == frame.size())
        FResponseTimer.start();
    else
        RaiseError(meCommError, true);
}

void TModbusM::ReceiveBytes(const char *data, int count)
{
    if (data && count > 0)
        FRxBuffer.append(data, count);
    if (FTransport == DeviceTransport::ModbusTcp) {
        ReceiveMbap();
        return;
    }
    if (FTransport == DeviceTransport::RtuOverTcp && rtuFrameIncomplete(FRxBuffer, Quantity, RegisterDim)) {
        // The rest is on its way; the response wait goes on meanwhile.
        TrimRxBuffer();
        return;
    }
    FResponseTimer.stop();

    const ResponseCheck check = checkResponse(FRxBuffer, Quantity, RegisterDim);
    // Stray bytes never pile up: only the newest bytes, as many as the largest frame, stay.
    TrimRxBuffer();
    Conclude(check);
}

void TModbusM::ReceiveMbap()
{
    for (;;) {
        const MbapSplit split = splitMbap(FRxBuffer);
        if (split.kind == MbapSplit::NeedMore)
            return;
        if (split.kind == MbapSplit::Broken) {
            // Nothing in the buffer can be trusted to start a frame: drop it all. The answer to
            // the pending request may still follow and is then taken.
            FRxBuffer.clear();
            FResponseTimer.stop();
            RaiseError(meCommError, true);
            return;
        }
        FRxBuffer.remove(0, 6 + split.frame.size());
        // An answer to an earlier request (it came after its time-out) or a second answer to
        // this one: never taken for the answer awaited now.
        if (!FMbapAwaiting || split.transactionId != FTransactionId)
            continue;
        FResponseTimer.stop();
        if (byteAt(split.frame, 0) != FMbapUnit) {
            // The right transaction from the wrong instrument: the gateway mixed them up.
            FMbapAwaiting = false;
            FRxBuffer.clear();
            RaiseError(meCommError, true);
            return;
        }
        const ResponseCheck outcome = checkResponse(split.frame, Quantity, RegisterDim, 0);
        // Exception 5 keeps the transaction open for its real answer, under the same id.
        FMbapAwaiting = outcome.kind == ResponseCheck::KeepWaiting;
        if (outcome.kind == ResponseCheck::Failed)
            FRxBuffer.clear();
        Conclude(outcome);
        return;
    }
}

void TModbusM::Conclude(const ResponseCheck &check)
{
    switch (check.kind) {
    case ResponseCheck::Accepted:
        ResponseData = check.data;
        RaiseResponseReady();
        break;
    case ResponseCheck::KeepWaiting:
        // Exception 5: the slave has the request and needs longer; wait another Timeout.
        FResponseTimer.start();
        RaiseError(check.code, false);
        break;
    case ResponseCheck::Failed:
        RaiseError(check.code, true);
        break;
    }
}

void TModbusM::ResponseTimeout()
{
    FResponseTimer.stop();
    RaiseError(meTimeout, true);
}

void TModbusM::RaiseError(uint8_t code, bool clearBusy)
{
    FLastError = code;
    QPointer<TModbusM> self(this);
    // A copy: the handler may assign another one while it runs.
    const TOnErrorEvent handler = OnError;
    if (handler)
        handler(this, ErrorMessage(code));
    if (self && clearBusy)
        FBusy = false;
}

void TModbusM::RaiseResponseReady()
{
    QPointer<TModbusM> self(this);
    const TNotifyEvent handler = OnResponseReady;
    if (handler)
        handler(this);
    if (self)
        FBusy = false;
}

void TModbusM::TrimRxBuffer()
{
    if (FRxBuffer.size() > MaxRxBuffer)
        FRxBuffer.remove(0, FRxBuffer.size() - MaxRxBuffer);
}
