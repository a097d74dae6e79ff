// qzsim: the instrument bank as Modbus RTU slave 1, for demonstrations and end-to-end tests.
//
//   qzsim [--channels 16|32] [--baud 9600] [--device PATH] [--link PATH]
//         [--outage SECONDS] [--outage-every SECONDS]
//
// SIGUSR1 switches answering off and on (for tests that need a silence at a moment of their
// choosing).
//
// Without --device it makes a null-modem cable of pseudo-terminals and prints the path of the
// station's end as the first line of standard output; with --device it serves that serial
// device and prints its path. --link makes a symbolic link to the printed path (removed on
// exit). Runs until SIGINT or SIGTERM.

#include "InstrumentBank.h"
#include "NullModem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QModbusDataUnit>
#include <QModbusRtuSerialServer>
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
    parser.addOptions({channelsOpt, baudOpt, deviceOpt, linkOpt, outageOpt, everyOpt});
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
    // Answering can be switched off by hand (SIGUSR1) or by the planned outages.
    QModbusRtuSerialServer server;
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
    QString serverPath = parser.value(deviceOpt);
    QString stationPath = serverPath;
    if (serverPath.isEmpty()) {
        QString error;
        if (!cable.open(&error)) {
            fail(QStringLiteral("cannot make pseudo-terminals: %1").arg(error));
            return 1;
        }
        serverPath = cable.serverSide();
        stationPath = cable.stationSide();
    }

    server.setConnectionParameter(QModbusDevice::SerialPortNameParameter, serverPath);
    server.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
    server.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    server.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
    server.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
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
        fail(QStringLiteral("cannot open %1: %2").arg(serverPath, server.errorString()));
        return 1;
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
