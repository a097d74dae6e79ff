// qzpoll: polls a Modbus RTU slave with the station's own master (TModbusM), for diagnosis
// in the field.
//
//   qzpoll --device DEVICE [--baud 9600] [--slave 1] [--function 3] [--offset 0]
//          [--quantity 32] [--count 1] [--data HEX]
//
// DEVICE is what [devices] of KTcom.ini may hold: a serial device path, tcp://HOST:PORT (a
// serial device server) or modbus-tcp://HOST:PORT?unit=N (Modbus TCP). A network device is
// connected to first (at most ConnectWaitMs); --baud does not apply to it.
//
// Sends the requests one after another. Each answer's data bytes are printed in hex; a 64- or
// 128-byte answer is also decoded, one line per channel: "<channel> <value> <state>". Failures
// print the master's error text. A request counts as answered when its answer arrives within
// 3 s (also after a time-out report). Exit status 0 when every request was answered, 1
// otherwise, 2 for bad arguments.

#include "DeviceAddress.h"
#include "InstrumentAnswer.h"
#include "ModbusM.h"
#include "TcpDevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int AnswerWaitMs = 3000;
// A connection attempt, and the longest retry wait before one after a lost connection.
constexpr int ConnectWaitMs = TcpDevice::ConnectTimeoutMs + 1000;
constexpr int ReconnectWaitMs = TcpDevice::LastRetryMs + ConnectWaitMs;

// Opens the master's port. A network device connects in the background: the event loop runs
// until it is open, or until waitMs have passed; with giveUpOnFailure also as soon as an
// attempt has failed.
bool openPort(TModbusM &master, int waitMs, bool giveUpOnFailure)
{
    if (master.OpenPort())
        return true;
    if (master.Transport() == DeviceTransport::Serial)
        return false;
    QEventLoop loop;
    QTimer tick;
    const QDeadlineTimer deadline(waitMs);
    bool open = false;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        open = master.OpenPort();
        const bool failed = !master.PortOpening() && !master.PortErrorText().isEmpty();
        if (open || deadline.hasExpired() || (giveUpOnFailure && failed))
            loop.quit();
    });
    tick.start(20);
    loop.exec();
    return open;
}

void printLine(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void usageError(const QString &text)
{
    std::fprintf(stderr, "qzpoll: %s\n", text.toUtf8().constData());
}

bool parseNumber(const QString &text, int min, int max, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

void printAnswer(const QByteArray &data)
{
    printLine(QString::fromLatin1(data.toHex(' ').toUpper()));
    for (const ChannelReading &c : DecodeInstrumentAnswer(data)) {
        QString line = QString::asprintf("%d %.3f", c.channel, c.value());
        const QString state = c.stateText();
        if (!state.isEmpty())
            line += QLatin1Char(' ') + state;
        printLine(line);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qzpoll"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Polls a Modbus RTU slave and decodes the instruments' answer."));
    parser.addHelpOption();
    const QCommandLineOption deviceOpt(QStringLiteral("device"), QStringLiteral("Serial device, tcp://HOST:PORT or modbus-tcp://HOST:PORT?unit=N."), QStringLiteral("DEVICE"));
    const QCommandLineOption baudOpt(QStringLiteral("baud"), QStringLiteral("Bit rate (default 9600)."), QStringLiteral("RATE"), QStringLiteral("9600"));
    const QCommandLineOption slaveOpt(QStringLiteral("slave"), QStringLiteral("Slave address (default 1)."), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption functionOpt(QStringLiteral("function"), QStringLiteral("Function code (default 3)."), QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption offsetOpt(QStringLiteral("offset"), QStringLiteral("Start address (default 0)."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption quantityOpt(QStringLiteral("quantity"), QStringLiteral("Registers or coils (default 32)."), QStringLiteral("N"), QStringLiteral("32"));
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("Requests to send (default 1)."), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption dataOpt(QStringLiteral("data"), QStringLiteral("Data bytes of a write request, in hex."), QStringLiteral("HEX"));
    parser.addOptions({deviceOpt, baudOpt, slaveOpt, functionOpt, offsetOpt, quantityOpt, countOpt, dataOpt});
    parser.process(app);

    const QString device = parser.value(deviceOpt).trimmed();
    if (device.isEmpty()) {
        usageError(QStringLiteral("--device DEVICE is required"));
        return 2;
    }
    DeviceAddress address;
    QString addressError;
    if (!parseDeviceAddress(device, &address, &addressError)) {
        usageError(addressError);
        return 2;
    }
    TComPortBaudRate speed = br9600;
    if (!ComPortBaudRateFromName(QStringLiteral("br") + parser.value(baudOpt).trimmed(), &speed)) {
        usageError(QStringLiteral("unsupported bit rate %1").arg(parser.value(baudOpt)));
        return 2;
    }
    int slave = 0, function = 0, offset = 0, quantity = 0, count = 0;
    if (!parseNumber(parser.value(slaveOpt), 0, 255, &slave)
        || !parseNumber(parser.value(functionOpt), 0, 255, &function)
        || !parseNumber(parser.value(offsetOpt), 0, 65535, &offset)
        || !parseNumber(parser.value(quantityOpt), 0, 65535, &quantity)
        || !parseNumber(parser.value(countOpt), 1, 1000000, &count)) {
        usageError(QStringLiteral("--slave and --function take 0 … 255, --offset and --quantity 0 … 65535, --count at least 1"));
        return 2;
    }
    const QByteArray dataHex = parser.value(dataOpt).toLatin1().replace(' ', "");
    const QByteArray data = QByteArray::fromHex(dataHex);
    if (dataHex.size() % 2 != 0 || data.toHex().toLower() != dataHex.toLower()) {
        usageError(QStringLiteral("--data takes hex digits"));
        return 2;
    }

    TModbusM master;
    master.setDeviceMap({{1, device}});
    master.setComPort(pnCOM1);
    master.setComPortSpeed(speed);
    if (!openPort(master, ConnectWaitMs, true)) {
        const QString why = master.PortErrorText();
        usageError(QStringLiteral("cannot open %1").arg(device) + (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
        return 1;
    }

    QEventLoop loop;
    QTimer answerWait; // one timer, restarted per request, so no old wait ends a newer one
    answerWait.setSingleShot(true);
    QObject::connect(&answerWait, &QTimer::timeout, &loop, &QEventLoop::quit);
    bool answered = false;
    master.OnResponseReady = [&](TModbusM *m) {
        answered = true;
        printAnswer(m->ResponseData);
        loop.quit();
    };
    master.OnError = [](TModbusM *, const QString &message) { printLine(message); };

    int answers = 0;
    for (int i = 0; i < count; ++i) {
        openPort(master, ReconnectWaitMs, false); // the line may have been lost and come back
        master.SlaveId = uint8_t(slave);
        master.FunctionCode = uint8_t(function);
        master.Offset = uint16_t(offset);
        master.Quantity = uint16_t(quantity);
        master.WriteData = data;
        answered = false;
        master.SendRequest();
        // Refused at once (closed port, bad function, short data): nothing to wait for.
        if (!answered && (master.Busy() || master.ResponseTimer().isActive())) {
            answerWait.start(AnswerWaitMs);
            loop.exec();
            answerWait.stop();
        }
        if (answered)
            ++answers;
    }
    return answers == count ? 0 : 1;
}
