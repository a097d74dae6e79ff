// qzsim: the instrument bank as Modbus RTU slave 1, for demonstrations and end-to-end tests.
//
//   qzsim [--channels 16|32] [--baud 9600] [--device PATH] [--link PATH]
//         [--outage SECONDS] [--outage-every SECONDS] [--hold]
//   qzsim --tcp PORT [--mbap] [--listen ADDRESS] [--channels 16|32] [--outage …] [--hold]
//
// SIGUSR1 switches answering off and on (for tests that need a silence at a moment of their
// choosing).
//
// Without --device it makes a null-modem cable of pseudo-terminals and prints the path of the
// station's end as the first line of standard output; with --device it serves that serial
// device and prints its path. --link makes a symbolic link to the printed path (removed on
// exit).
//
// With --tcp it is reached over TCP instead, on ADDRESS (default 127.0.0.1) and PORT (0: one
// the system picks), and prints the station's device string: tcp://ADDRESS:PORT, a serial
// device server passing RTU frames to the bank's line; with --mbap modbus-tcp://ADDRESS:PORT?unit=1,
// the bank speaking Modbus TCP itself.
//
// --hold keeps every value where it starts, so tests can compare answers byte for byte.
// Runs until SIGINT or SIGTERM.

#include "DeviceServer.h"

#include "InstrumentBank.h"
#include "NullModem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QModbusDataUnit>
#include <QModbusRtuSerialServer>
#include <QModbusTcpServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <functional>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const char c = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Quits the event loop on SIGINT and SIGTERM and calls onToggle on SIGUSR1 (through a socket
// pair: the handler itself may do next to nothing).
bool installSignalHandlers(QCoreApplication &app, std::function<void()> onToggle)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, onToggle] {
        char c = 0;
        if (::read(signalPipe[0], &c, 1) == 1 && c == char(SIGUSR1))
            onToggle();
        else
            app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0
        && ::sigaction(SIGUSR1, &sa, nullptr) == 0;
}

// The Modbus TCP server answers whatever ListenOnlyMode says, so silence is made here: while
// `silent`, requests are read off each connection before the server sees them, as from a
// gateway that takes the connection and never answers.
class SilenceObserver final : public QModbusTcpConnectionObserver {
public:
    explicit SilenceObserver(const bool &silent) : m_silent(silent) {}
    bool acceptNewConnection(QTcpSocket *client) override
    {
        // Connected before the server's own handler, so it runs first.
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client] {
            if (m_silent)
                client->readAll();
        });
        return true;
    }

private:
    const bool &m_silent;
};

void fail(const QString &message)
{
    std::fprintf(stderr, "qzsim: %s\n", qPrintable(message));
}

bool parseInt(const QString &text, int min, int max, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qzsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Instrument bank simulator: Modbus RTU slave 1."));
    parser.addHelpOption();
    const QCommandLineOption channelsOpt(QStringLiteral("channels"), QStringLiteral("16 or 32 channels (default 16)."), QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption baudOpt(QStringLiteral("baud"), QStringLiteral("Bit rate (default 9600)."), QStringLiteral("RATE"), QStringLiteral("9600"));
    const QCommandLineOption deviceOpt(QStringLiteral("device"), QStringLiteral("Serve this serial device instead of a pseudo-terminal."), QStringLiteral("PATH"));
    const QCommandLineOption linkOpt(QStringLiteral("link"), QStringLiteral("Make a symbolic link to the station's end (removed on exit)."), QStringLiteral("PATH"));
    const QCommandLineOption outageOpt(QStringLiteral("outage"), QStringLiteral("Stop answering for this long every so often (default 0: never)."), QStringLiteral("SECONDS"), QStringLiteral("0"));
    const QCommandLineOption everyOpt(QStringLiteral("outage-every"), QStringLiteral("Seconds of answering between outages (default 60)."), QStringLiteral("SECONDS"), QStringLiteral("60"));
    const QCommandLineOption tcpOpt(QStringLiteral("tcp"), QStringLiteral("Serve over TCP on this port (0: any free one) instead of a serial line."), QStringLiteral("PORT"));
    const QCommandLineOption mbapOpt(QStringLiteral("mbap"), QStringLiteral("With --tcp: speak Modbus TCP (MBAP header) instead of passing RTU frames."));
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("With --tcp: the address to listen on (default 127.0.0.1)."), QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption holdOpt(QStringLiteral("hold"), QStringLiteral("Keep every value where it starts."));
    parser.addOptions({channelsOpt, baudOpt, deviceOpt, linkOpt, outageOpt, everyOpt, tcpOpt, mbapOpt, listenOpt, holdOpt});
    parser.process(app);

    int channels = 0, baud = 0, outage = 0, every = 0;
    if (!parseInt(parser.value(channelsOpt), 16, 32, &channels) || (channels != 16 && channels != 32)) {
        fail(QStringLiteral("--channels must be 16 or 32"));
        return 2;
    }
    if (!parseInt(parser.value(baudOpt), 50, 4000000, &baud)) {
        fail(QStringLiteral("--baud must be a bit rate"));
        return 2;
    }
    if (!parseInt(parser.value(outageOpt), 0, 86400, &outage) || !parseInt(parser.value(everyOpt), 1, 86400, &every)) {
        fail(QStringLiteral("--outage and --outage-every take whole seconds"));
        return 2;
    }
    const bool overTcp = parser.isSet(tcpOpt);
    const bool mbap = parser.isSet(mbapOpt);
    int tcpPort = 0;
    const QHostAddress listenAddress(parser.value(listenOpt));
    if (overTcp) {
        if (!parseInt(parser.value(tcpOpt), 0, 65535, &tcpPort)) {
            fail(QStringLiteral("--tcp takes a port, 0 … 65535"));
            return 2;
        }
        if (listenAddress.isNull()) {
            fail(QStringLiteral("--listen takes an IP address"));
            return 2;
        }
        if (parser.isSet(deviceOpt) || parser.isSet(linkOpt)) {
            fail(QStringLiteral("--tcp serves no serial device: --device and --link do not apply"));
            return 2;
        }
    } else if (mbap || parser.isSet(listenOpt)) {
        fail(QStringLiteral("--mbap and --listen need --tcp"));
        return 2;
    }

    // Answering can be switched off by hand (SIGUSR1) or by the planned outages.
    QModbusRtuSerialServer rtuServer;
    QModbusTcpServer tcpServer;
    QModbusServer &server = mbap ? static_cast<QModbusServer &>(tcpServer) : rtuServer;
    bool silent = false;
    auto setSilent = [&](bool on) {
        silent = on;
        server.setValue(QModbusServer::ListenOnlyMode, silent);
        std::fprintf(stderr, "qzsim: %s\n", silent ? "outage: not answering" : "answering again");
    };
    if (!installSignalHandlers(app, [&] { setSilent(!silent); })) {
        fail(QStringLiteral("cannot install signal handlers"));
        return 1;
    }

    NullModem cable;
    DeviceServer deviceServer;
    QString serverPath = parser.value(deviceOpt);
    QString stationPath = serverPath;
    if (overTcp && !mbap) {
        QString error;
        if (!deviceServer.open(listenAddress, quint16(tcpPort), &error)) {
            fail(QStringLiteral("cannot serve TCP port %1: %2").arg(tcpPort).arg(error));
            return 1;
        }
        serverPath = deviceServer.serverSide();
    } else if (serverPath.isEmpty() && !overTcp) {
        QString error;
        if (!cable.open(&error)) {
            fail(QStringLiteral("cannot make pseudo-terminals: %1").arg(error));
            return 1;
        }
        serverPath = cable.serverSide();
        stationPath = cable.stationSide();
    }

    if (mbap) {
        tcpServer.installConnectionObserver(new SilenceObserver(silent)); // the server owns it
        tcpServer.setConnectionParameter(QModbusDevice::NetworkAddressParameter, listenAddress.toString());
        tcpServer.setConnectionParameter(QModbusDevice::NetworkPortParameter, tcpPort);
    } else {
        rtuServer.setConnectionParameter(QModbusDevice::SerialPortNameParameter, serverPath);
        rtuServer.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
        rtuServer.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        rtuServer.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
        rtuServer.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    }
    server.setServerAddress(1);

    InstrumentBank bank(channels);
    const quint16 registerCount = quint16(2 * channels);
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::HoldingRegisters, QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, registerCount));
    server.setMap(map);
    auto publish = [&] {
        server.setData(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, bank.registers()));
    };
    publish();

    QObject::connect(&server, &QModbusDevice::errorOccurred, &app, [&server](QModbusDevice::Error) {
        fail(QStringLiteral("server: %1").arg(server.errorString()));
    });
    if (!server.connectDevice()) {
        fail(mbap ? QStringLiteral("cannot serve TCP port %1: %2").arg(tcpPort).arg(server.errorString())
                  : QStringLiteral("cannot open %1: %2").arg(serverPath, server.errorString()));
        return 1;
    }
    if (overTcp) {
        quint16 port = deviceServer.port();
        if (mbap) {
            // The Modbus TCP server keeps its listening socket as a child; with port 0 only it
            // knows which port the system picked.
            const QTcpServer *listener = tcpServer.findChild<QTcpServer *>();
            port = listener ? listener->serverPort() : quint16(tcpPort);
            if (port == 0) {
                fail(QStringLiteral("cannot tell which port was picked; give --tcp a port"));
                return 1;
            }
        }
        const QString host = listenAddress == QHostAddress::AnyIPv4 || listenAddress == QHostAddress::Any
            ? QStringLiteral("127.0.0.1")
            : listenAddress.toString();
        const QString hostPort = listenAddress.protocol() == QAbstractSocket::IPv6Protocol
            ? QStringLiteral("[%1]:%2").arg(host).arg(port)
            : QStringLiteral("%1:%2").arg(host).arg(port);
        stationPath = mbap ? QStringLiteral("modbus-tcp://%1?unit=1").arg(hostPort) : QStringLiteral("tcp://%1").arg(hostPort);
    }

    QString linkPath = parser.value(linkOpt);
    if (!linkPath.isEmpty()) {
        const QFileInfo existing(linkPath);
        if (existing.isSymLink())
            QFile::remove(linkPath);
        else if (existing.exists()) {
            fail(QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath));
            return 1;
        }
        if (!QFile::link(stationPath, linkPath)) {
            fail(QStringLiteral("cannot link %1").arg(linkPath));
            return 1;
        }
    }

    std::printf("%s\n", qPrintable(stationPath));
    std::fflush(stdout);
    if (overTcp)
        std::fprintf(stderr, "qzsim: %s, slave 1, %d channels (%d holding registers), channel %d sensor broken\n",
                     mbap ? "Modbus TCP" : "RTU over TCP", channels, int(registerCount), InstrumentBank::BrokenChannel);
    else
        std::fprintf(stderr, "qzsim: slave 1, %d channels (%d holding registers), %d bit/s, channel %d sensor broken\n",
                     channels, int(registerCount), baud, InstrumentBank::BrokenChannel);

    // Temperatures drift in real time.
    QElapsedTimer clock;
    clock.start();
    QTimer drift;
    QObject::connect(&drift, &QTimer::timeout, &app, [&] {
        bank.advance(double(clock.restart()) / 1000.0);
        publish();
    });
    if (!parser.isSet(holdOpt))
        drift.start(500);

    // Outages: answer for `every` seconds, then stay silent for `outage` seconds, and so on.
    QTimer outageTimer;
    outageTimer.setSingleShot(true);
    QObject::connect(&outageTimer, &QTimer::timeout, &app, [&] {
        setSilent(!silent);
        outageTimer.start((silent ? outage : every) * 1000);
    });
    if (outage > 0)
        outageTimer.start(every * 1000);

    const int rc = app.exec();

    server.disconnectDevice();
    if (!linkPath.isEmpty() && QFileInfo(linkPath).symLinkTarget() == QFileInfo(stationPath).absoluteFilePath())
        QFile::remove(linkPath);
    return rc;
}
