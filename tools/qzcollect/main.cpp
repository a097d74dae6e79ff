// qzcollect: the site network's collector. Takes the stations' status, record and event
// messages from the broker and writes them into PostgreSQL.
//
//   qzcollect --broker HOST[:PORT] --db "postgresql://user@host/db" [--user NAME]
//             [--password-file FILE] [--tls] [--cafile FILE] [--client-id ID] [--batch N]
//             [--verbose]
//
// The broker password comes from QZ_MQTT_PASSWORD or the first line of --password-file, never
// from the command line: every user of the machine sees the process list.
//
// The broker session is persistent (client id "qzcollect" unless given): while the collector
// is down the broker keeps the messages for it. Runs until SIGINT or SIGTERM, then writes what
// it holds and leaves; exit status 0, or 2 for a bad command line.

#include "Collector.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

bool installSignalHandlers(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

int usage(const QString &message)
{
    std::fprintf(stderr, "qzcollect: %s (see --help)\n", qPrintable(message));
    return 2;
}

// The first line of the file, without its line end; false with the reason.
bool readPasswordFile(const QString &path, QString *password, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--password-file %1: %2").arg(path, f.errorString());
        return false;
    }
    QByteArray line = f.readLine(65536);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        *error = QStringLiteral("--password-file %1: the first line is empty").arg(path);
        return false;
    }
    *password = QString::fromUtf8(line);
    if (QFileInfo(f).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
        std::fprintf(stderr, "qzcollect: warning: %s is readable by other users (chmod 600 it)\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qzcollect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Site network collector: broker → PostgreSQL."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption brokerOpt(QStringLiteral("broker"), QStringLiteral("Broker address (port 1883, 8883 with --tls)."), QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption dbOpt(QStringLiteral("db"), QStringLiteral("PostgreSQL connection string or URI."), QStringLiteral("CONNINFO"));
    const QCommandLineOption userOpt(QStringLiteral("user"), QStringLiteral("Broker user name."), QStringLiteral("NAME"));
    // Kept only to refuse it with the reason.
    const QCommandLineOption passwordOpt(QStringLiteral("password"), QStringLiteral("Refused: use QZ_MQTT_PASSWORD or --password-file."), QStringLiteral("PASSWORD"));
    const QCommandLineOption passwordFileOpt(QStringLiteral("password-file"), QStringLiteral("Broker password: the first line of FILE (or the environment variable QZ_MQTT_PASSWORD)."), QStringLiteral("FILE"));
    const QCommandLineOption tlsOpt(QStringLiteral("tls"), QStringLiteral("Connect to the broker with TLS."));
    const QCommandLineOption caOpt(QStringLiteral("cafile"), QStringLiteral("CA certificates (PEM) for --tls; default: the system's."), QStringLiteral("FILE"));
    const QCommandLineOption idOpt(QStringLiteral("client-id"), QStringLiteral("Session name at the broker (default qzcollect)."), QStringLiteral("ID"), QStringLiteral("qzcollect"));
    const QCommandLineOption batchOpt(QStringLiteral("batch"), QStringLiteral("Messages per transaction at most (default 5000)."), QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Report every committed batch."));
    parser.addOptions({brokerOpt, dbOpt, userOpt, passwordOpt, passwordFileOpt, tlsOpt, caOpt, idOpt, batchOpt, verboseOpt});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(passwordOpt))
        return usage(QStringLiteral("--password is refused: every user of this machine can read the command line "
                                    "in the process list; give the password in QZ_MQTT_PASSWORD or --password-file"));
    if (!parser.isSet(brokerOpt) || !parser.isSet(dbOpt))
        return usage(QStringLiteral("--broker and --db are required"));

    Collector::Options options;
    auto &b = options.broker;
    b.tls = parser.isSet(tlsOpt);
    b.caFile = parser.value(caOpt);
    const QString broker = parser.value(brokerOpt);
    const int colon = broker.lastIndexOf(u':');
    b.host = colon > 0 ? broker.left(colon) : broker;
    b.port = b.tls ? 8883 : 1883;
    if (colon > 0) {
        bool ok = false;
        const int port = broker.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return usage(QStringLiteral("--broker: bad port in %1").arg(broker));
        b.port = quint16(port);
    }
    if (b.host.isEmpty())
        return usage(QStringLiteral("--broker: no host"));
    if (!b.caFile.isEmpty() && !b.tls)
        return usage(QStringLiteral("--cafile needs --tls"));
    b.connect.clientId = parser.value(idOpt);
    b.connect.user = parser.value(userOpt);
    if (parser.isSet(passwordFileOpt)) {
        if (b.connect.user.isEmpty())
            return usage(QStringLiteral("--password-file needs --user"));
        QString error;
        if (!readPasswordFile(parser.value(passwordFileOpt), &b.connect.password, &error))
            return usage(error);
    } else if (!b.connect.user.isEmpty()) {
        b.connect.password = qEnvironmentVariable("QZ_MQTT_PASSWORD");
    }
    b.connect.receiveMaximum = 20000;
    b.filters = {QStringLiteral("qz/+/status"), QStringLiteral("qz/+/record"), QStringLiteral("qz/+/event")};
    options.conninfo = parser.value(dbOpt);
    bool ok = false;
    options.maxBatch = parser.value(batchOpt).toInt(&ok);
    if (!ok || options.maxBatch < 1 || options.maxBatch > 100000)
        return usage(QStringLiteral("--batch takes 1 … 100000"));
    options.verbose = parser.isSet(verboseOpt);

    if (!installSignalHandlers(app)) {
        std::fprintf(stderr, "qzcollect: cannot install signal handlers\n");
        return 1;
    }
    Collector collector(options);
    collector.start();
    const int rc = app.exec();
    collector.stop();
    const auto &c = collector.counters();
    std::fprintf(stderr, "qzcollect: ended; %lld messages committed (%lld records, %lld events), %lld refused into "
                         "qz_rejected, %lld batches (%lld with duplicates, %lld written row by row), %lld ms in PostgreSQL\n",
                 c.committed, c.records, c.events, c.rejected, c.batches, collector.batchesWithDuplicates(),
                 collector.batchesWrittenRowByRow(), c.writeMs);
    return rc;
}
