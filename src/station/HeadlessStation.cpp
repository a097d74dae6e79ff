#include "HeadlessStation.h"

#include "ProgramDirectory.h"
#include "StationLock.h"
#include "StationThread.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Signals reach the event loop through a socket pair: the handler only writes a byte.
int g_signalFds[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[0], &byte, 1);
}

void say(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(HeadlessProgramName), qPrintable(text));
    std::fflush(stderr);
}

} // namespace

HeadlessOptions parseHeadlessOptions(const QStringList &arguments)
{
    HeadlessOptions o;
    for (int i = 1; i < arguments.size() && o.error.isEmpty(); ++i)
        if (!takeCommonOption(arguments, &i, o))
            o.error = unexpectedArgument(arguments[i]);
    return o;
}

QString headlessUsage()
{
    return QStringLiteral(
        "Usage: qzstation [--home DIR]\n"
        "  The monitoring station without a window, for a station run as a service: polls and stores\n"
        "  from the start; messages go to standard error and the event journal; SIGTERM ends it cleanly.\n"
        "  --home DIR   program directory (KTcom.ini, *.Pf, wwdd, Data/); also the working directory.\n"
        "               Default: as for qzmonitor (the per-user data directory when installed).\n"
        "  --help       show this text\n"
        "  --version    show the version\n");
}

int runHeadlessStation(const HeadlessOptions &options, const BesideCore &besideCore)
{
    const QString home = options.home.isEmpty() ? defaultProgramDirectory(QCoreApplication::applicationDirPath())
                                                : options.home;
    QString dir;
    if (const QString error = enterDirectory(home, &dir); !error.isEmpty()) {
        say(error);
        return 1;
    }
    StationLock lock;
    if (QString why; !lock.acquire(dir, &why)) {
        say(why);
        return 1;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0) {
        say(QStringLiteral("cannot make the signal pipe"));
        return 1;
    }
    QSocketNotifier stopNotifier(g_signalFds[1], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalFds[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);

    int status = 0;
    {
        StationThread core(StationConfig{dir, true, true});
        core.start([](Station &station) {
            QObject::connect(&station, &Station::messageRaised, QCoreApplication::instance(),
                             [](const StationMessage &m) { say(m.text); });
        });
        say(QStringLiteral("监控站已启动，程序目录 %1 (station running in %1)").arg(dir));
        std::unique_ptr<QObject> beside = besideCore ? besideCore(core, dir) : nullptr;
        status = QCoreApplication::exec();
        beside.reset();
        // Ends on its thread: the record being stored is committed, "offline" is published and
        // the journal says "程序退出".
        core.stop();
    }
    say(QStringLiteral("监控站已停止 (station stopped)"));
    ::close(g_signalFds[0]);
    ::close(g_signalFds[1]);
    return status;
}
