#include "ModbusM.h"

#include "QtSerialDevice.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <array>

namespace {

constexpr std::array<qint32, 15> BaudRateTable = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200,
    128000, 256000,
};

// Response checking, free of side effects: what a receive buffer amounts to.
struct ResponseCheck {
    enum Kind { Accepted, Failed, KeepWaiting } kind = Failed;
    uint8_t code = meNoError;
    TDataByte data;
};

uint8_t byteAt(const TDataByte &b, qsizetype i) { return uint8_t(b.at(i)); }

ResponseCheck checkResponse(const TDataByte &rx, uint16_t quantity, uint8_t registerDim)
{
    ResponseCheck r;
    const qsizetype size = rx.size();
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

    // The data field lies between the header and the CRC: bytes 3 … size − 3 for reads
    // (address, function, byte count first), 4 and 5 for writes.
    auto readAnswer = [&](qsizetype expected) {
        if (size != expected) {
            r.code = meSlaveFailure;
            return;
        }
        const int count = byteAt(rx, 2);
        // A byte count claiming more than the frame holds is a broken frame, not a short one.
        if (3 + count > size - 2) {
            r.code = meSlaveFailure;
            return;
        }
        r.kind = ResponseCheck::Accepted;
        r.data = rx.mid(3, count);
    };
    auto writeAnswer = [&](qsizetype expected) {
        if (size != expected) {
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
        // One bit per coil, rounded up to whole bytes; the byte count field is 8 bits wide.
        readAnswer(((int(quantity) + 7) / 8) % 256 + 5);
        break;
    case 3:
    case 4:
        // address + function + byte count + Quantity × RegisterDim data bytes + 2 bytes CRC
        readAnswer(qsizetype(quantity) * registerDim + 5);
        break;
    case 5:
        writeAnswer(8);
        break;
    case 6:
        writeAnswer(qsizetype(registerDim) + 6);
        break;
    case 15:
    case 16:
        writeAnswer(8);
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
    : QObject(owner), FDevice(device ? std::move(device) : std::make_unique<QtSerialDevice>())
{
    FReadBuffer.resize(InQueueSize);
    FPollTimer.setInterval(PollInterval);
    connect(&FPollTimer, &QTimer::timeout, this, &TModbusM::PollTick);
    FFrameGapTimer.setSingleShot(true);
    FFrameGapTimer.setTimerType(Qt::PreciseTimer);
    connect(&FFrameGapTimer, &QTimer::timeout, this, &TModbusM::FrameGapTimeout);
    FResponseTimer.setInterval(FTimeout);
    connect(&FResponseTimer, &QTimer::timeout, this, &TModbusM::ResponseTimeout);
    // A lost line is forgotten at once, so the next OpenPort opens it again.
    FDevice->setLostHandler([this] { ClosePort(); });
    FDevice->setArrivalHandler([this] { BytesArrived(); });
}

TModbusM::~TModbusM()
{
    // No event may follow destruction.
    FResponseTimer.stop();
    FFrameGapTimer.stop();
    OnResponseReady = nullptr;
    OnError = nullptr;
    FDevice->setLostHandler({});
    FDevice->setArrivalHandler({});
    ClosePort();
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
    if (IsPortOpen())
        return true;
    if (!FDevice->open(DevicePath()))
        return false;
    ConfigurePort();
    // Configuring may already have found the line dead.
    if (!IsPortOpen())
        return false;
    FPollTimer.start(PollInterval);
    return true;
}

void TModbusM::ClosePort()
{
    FPollTimer.stop();
    FFrameGapTimer.stop();
    FDevice->close();
}

bool TModbusM::IsPortOpen() const { return FDevice->isOpen(); }

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
    // Every arrival restarts the gap: the frame is drained once the line has fallen quiet.
    if (ReadOnArrival && IsPortOpen())
        FFrameGapTimer.start(FrameGapMs(BaudRateOf(FComPortSpeed)));
}

void TModbusM::DrainPort()
{
    FFrameGapTimer.stop();
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

    frame.append(2, '\0');
    const uint16_t crc = ModbusCrc16(frame);
    frame[frame.size() - 2] = char(crc & 0xFF);
    frame[frame.size() - 1] = char(crc >> 8);

    if (SendBytes(frame.constData(), int32_t(frame.size())) == frame.size())
        FResponseTimer.start();
    else
        RaiseError(meCommError, true);
}

void TModbusM::ReceiveBytes(const char *data, int count)
{
    FResponseTimer.stop();
    if (data && count > 0)
        FRxBuffer.append(data, count);

    const ResponseCheck check = checkResponse(FRxBuffer, Quantity, RegisterDim);
    // Stray bytes never pile up: only the newest bytes, as many as the largest frame, stay.
    TrimRxBuffer();

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
