// The acquisition cycle at work for minutes: qzsim as the instrument bank, the station's own
// timers, nothing ticked by hand. Reports, per answer, the time from the request leaving the
// station to its decoded answer, and the share of refresh ticks on which the status bar said OK,
// for each way of reaching the bank:
//   serial  a pseudo-terminal, beside the time the same frames take on a real 8N1 line at that
//           rate (a pseudo-terminal moves bytes at once whatever the rate, so the measured time
//           is the station's own share, frame gap and decoding, plus the simulator's turnaround);
//   tcp     RTU frames over TCP on loopback, through qzsim's serial device server;
//   mbap    Modbus TCP on loopback.
//
//   qz_bench_comm [--transport serial|tcp|mbap|all] [--channels 16|32] [--seconds 600] [--baud 9600]
//
// "all" (the default) runs each row for --seconds in a process of its own, then prints them side
// by side.

#include "StationThread.h"
#include "ModbusM.h"
#include "SharedState.h"
#include "StationOptions.h"
#include "Ui.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <csignal>

namespace {

QTextStream out(stdout);

class SilentPrompter final : public ui::Prompter {
public:
    ui::Reply message(const ui::MessageRequest &r) override
    {
        out << "message: " << r.text << '\n';
        return ui::Reply::Ok;
    }
    int execModal(QDialog *) override { return QDialog::Rejected; }
    void standardError(const QString &text) override { out << "error: " << text << '\n'; }
    void notice(const ui::MessageRequest &r) override { out << "notice: " << r.text << '\n'; }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

// Runs each row in a child process (the station's state is process-wide) and prints the rows
// side by side.
int runAllRows(const QStringList &common)
{
    const QStringList transports{QStringLiteral("serial"), QStringLiteral("tcp"), QStringLiteral("mbap")};
    QStringList rows;
    for (const QString &t : transports) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--transport"), t} + common);
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            out << t << ": the run failed\n";
            return 1;
        }
        const QString text = QString::fromUtf8(child.readAllStandardOutput());
        out << text;
        static const QRegularExpression rowLine(QStringLiteral("^row: (.*)$"), QRegularExpression::MultilineOption);
        const QRegularExpressionMatch m = rowLine.match(text);
        rows << (m.hasMatch() ? m.captured(1) : t + QStringLiteral(" (no result)"));
    }
    out << QStringLiteral("\nrequest to decoded answer, per way to the bank:\n")
        << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("transport"), -26)
               .arg(QStringLiteral("answers"), 9)
               .arg(QStringLiteral("median ms"), 10)
               .arg(QStringLiteral("p99 ms"), 8)
               .arg(QStringLiteral("max ms"), 8)
               .arg(QStringLiteral("OK ticks %"), 11);
    for (const QString &r : rows)
        out << r << '\n';
    out.flush();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption transportOpt(QStringLiteral("transport"), QStringLiteral("serial, tcp, mbap or all"), QStringLiteral("T"), QStringLiteral("all"));
    const QCommandLineOption channelsOpt(QStringLiteral("channels"), QStringLiteral("16 or 32"), QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"), QStringLiteral("how long"), QStringLiteral("S"), QStringLiteral("600"));
    const QCommandLineOption baudOpt(QStringLiteral("baud"), QStringLiteral("bit rate"), QStringLiteral("B"), QStringLiteral("9600"));
    parser.addOptions({transportOpt, channelsOpt, secondsOpt, baudOpt});
    parser.process(app);
    const int channels = parser.value(channelsOpt).toInt() == 32 ? 32 : 16;
    const int seconds = qMax(10, parser.value(secondsOpt).toInt());
    const int baud = parser.value(baudOpt).toInt();
    const QString transport = parser.value(transportOpt);
    if (transport == QStringLiteral("all"))
        return runAllRows({QStringLiteral("--channels"), QString::number(channels), QStringLiteral("--seconds"),
                           QString::number(seconds), QStringLiteral("--baud"), QString::number(baud)});
    const bool serial = transport == QStringLiteral("serial");
    if (!serial && transport != QStringLiteral("tcp") && transport != QStringLiteral("mbap")) {
        out << "--transport takes serial, tcp, mbap or all\n";
        return 2;
    }

    SilentPrompter prompter;
    ui::setPrompter(&prompter);

    QStringList simArgs{QStringLiteral("--channels"), QString::number(channels), QStringLiteral("--baud"), QString::number(baud)};
    if (!serial)
        simArgs << QStringLiteral("--tcp") << QStringLiteral("0");
    if (transport == QStringLiteral("mbap"))
        simArgs << QStringLiteral("--mbap");
    QProcess sim;
    sim.start(QStringLiteral(QZ_BINARY_DIR "/tools/qzsim/qzsim"), simArgs);
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(10000)) {
        out << "qzsim did not start\n";
        return 1;
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QTemporaryDir home;
    {
        QFile ini(home.filePath(QStringLiteral("KTcom.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write(QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=%1\r\n[devices]\r\nCOM1=%2\r\n").arg(baud).arg(device).toUtf8());
        QFile para(home.filePath(QStringLiteral("Sys_Para.Pf")));
        para.open(QIODevice::WriteOnly);
        para.write(QByteArray::number(channels) + "\r\n60000\r\n");
    }
    enterProgramDirectory(home.path());

    // The core alone, on this thread, so its timers and the master can be watched directly.
    StationThread core(StationConfig{home.path(), false}, StationThreading::CallerThread);
    core.start();
    Station &w = *core.station();
    QElapsedTimer clock;
    clock.start();
    qint64 requestAt = -1;
    std::vector<double> latencies;
    int requests = 0, okTicks = 0, ticks = 0;
    // After the core's own poll handler: the request has just been written.
    QObject::connect(&w.Send, &QTimer::timeout, &app, [&] {
        requestAt = clock.nsecsElapsed();
        ++requests;
    });
    const TModbusM::TNotifyEvent decode = w.comm1->OnResponseReady;
    w.comm1->OnResponseReady = [&](TModbusM *m) {
        if (requestAt >= 0)
            latencies.push_back(double(clock.nsecsElapsed() - requestAt) / 1e6);
        requestAt = -1;
        decode(m);
    };
    bool counting = false;
    QObject::connect(&w.Write_timer, &QTimer::timeout, &app, [&] {
        if (!counting)
            return;
        ++ticks;
        okTicks += w.snapshot().comm == CommShown::Ok;
    });
    w.startRun();
    // The first answer takes a poll period, over TCP one more for the connection; count from
    // then on.
    QTimer::singleShot(serial ? 3000 : 4500, &app, [&] { counting = true; });
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();

    const int quantity = channels == 32 ? 64 : 32;
    const double wireMs = double((8 + 5 + 2 * quantity) * 10) * 1000.0 / baud;
    const QString label = serial ? QStringLiteral("serial (pty, %1 bit/s)").arg(baud)
        : transport == QStringLiteral("tcp") ? QStringLiteral("RTU over TCP (lo)")
                                             : QStringLiteral("Modbus TCP (lo)");
    const double median = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
    const double maximum = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
    const double okShare = ticks ? 100.0 * okTicks / ticks : 0.0;
    out << QStringLiteral("%1, %2: channels %3, %4 s: %5 requests, %6 answers decoded\n")
               .arg(label, device).arg(channels).arg(seconds).arg(requests).arg(latencies.size());
    out << QStringLiteral("request to decoded answer: median %1 ms, 99th percentile %2 ms, max %3 ms\n")
               .arg(median, 0, 'f', 1)
               .arg(p99, 0, 'f', 1)
               .arg(maximum, 0, 'f', 1);
    if (serial)
        out << QStringLiteral("wire time of request and answer at %1 bit/s (8N1): %2 ms; frame gap %3 ms\n")
                   .arg(baud).arg(wireMs, 0, 'f', 1).arg(TModbusM::FrameGapMs(baud));
    out << QStringLiteral("refresh ticks showing OK: %1 of %2 (%3 %)\n")
               .arg(okTicks).arg(ticks).arg(okShare, 0, 'f', 2);
    out << QStringLiteral("row: %1 %2 %3 %4 %5 %6\n")
               .arg(label, -26)
               .arg(qulonglong(latencies.size()), 9)
               .arg(median, 10, 'f', 2)
               .arg(p99, 8, 'f', 2)
               .arg(maximum, 8, 'f', 2)
               .arg(okShare, 11, 'f', 2);
    out.flush();
    ::kill(pid_t(sim.processId()), SIGTERM);
    sim.waitForFinished(5000);
    return 0;
}
