// bench_sitelink: what the site network publisher costs the station's UI thread. Runs the
// station's cadence without serial line or window: a decoded answer every 1500 ms (live), a
// stored wwdd record every --period-ms (record + nudge), for --seconds, with SiteLink started
// on the home (publishing when its KTcom.ini has [mqtt] Host, off otherwise). Prints the
// process CPU time (user + system, all threads: the client thread included) and the same
// without the storing work, measured in a run before with publishing off.
//
//   bench_sitelink --home DIR [--seconds 600] [--period-ms 1000] [--channels 16]

#include "HistoryTable.h"
#include "SiteLink.h"
#include "WindowState.h"
#include "TTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <sys/resource.h>

namespace {
int signalPipe[2] = {-1, -1};
void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
QString arg(const QStringList &args, const QString &name, const QString &fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString home = arg(args, QStringLiteral("--home"), QString());
    const int seconds = arg(args, QStringLiteral("--seconds"), QStringLiteral("600")).toInt();
    const int period = arg(args, QStringLiteral("--period-ms"), QStringLiteral("1000")).toInt();
    const int channels = arg(args, QStringLiteral("--channels"), QStringLiteral("16")).toInt();
    if (home.isEmpty() || seconds < 1 || period < 100) {
        std::fprintf(stderr, "usage: bench_sitelink --home DIR [--seconds 600] [--period-ms 1000] [--channels 16]\n");
        return 2;
    }
    QDir().mkpath(home + QStringLiteral("/Data"));
    ensureHistoryTable(home);
    SysParams.ChannelCount = channels;
    for (int k = 0; k < MaxChannels; ++k)
        Option.Names[k] = QStringLiteral("油储温度%1").arg(k + 1);

    SiteLink link;
    link.setChannels(Option, SysParams.ChannelCount);
    link.start(home);
    std::fprintf(stderr, "bench_sitelink: %s\n", qPrintable(link.stateText()));
    db::TTable wwdd;
    wwdd.setDatabaseName(home);
    wwdd.setTableName(HistoryTableName);

    int tick = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        ++tick;
        for (int k = 1; k <= channels; ++k)
            AllRecord.Pv[k] = 20.0f + float(k) + float(tick % 100) / 100.0f;
        link.answerDecoded(AllRecord, SysParams.ChannelCount);
    });
    QTimer store;
    qint64 stored = 0;
    QObject::connect(&store, &QTimer::timeout, [&] {
        StoreHistoryRecord(wwdd, QDateTime::currentDateTime(), AllRecord, SysParams.ChannelCount);
        ++stored;
        link.recordStored();
    });
    answer.start(1500);
    store.start(period);
    // SIGTERM ends the run like a station closed by the operator: clean disconnect.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    const double cpu0 = cpuSeconds();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = cpuSeconds() - cpu0;
    const qint64 acked = link.recordOutbox() ? link.recordOutbox()->acked().position : 0;
    link.shutdown();
    wwdd.close();
    std::printf("bench_sitelink: publishing %s, %d s, %lld records stored, cursor at %lld, CPU %.2f s = %.3f %% of one core\n",
                link.enabled() ? "on" : "off", seconds, stored, acked, cpu, 100.0 * cpu / seconds);
    return 0;
}
