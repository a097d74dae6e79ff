// What the web view costs and how fast it is, against the headless station on qzsim (a record
// every second) and Debian's chromium, headless:
//   1. latency: from a decoded answer (the answerTime of the live message) to its values on the
//      page (the moment the page has put them into the tiles), per answer; median and 99th
//      percentile (goal ≤ 1.2 s: the tiles follow the 1-s refresh tick, as the window's do);
//   2. day chart: from the history request to the chart drawn, a day of 5-s records
//      (17,280 per channel) on four channels; median and 99th percentile (goal ≤ 500 ms);
//   3. station CPU (all its threads, user + system, from /proc) with 0, 10 and 50 browser pages
//      on the overview; goal: at most 2 % of a core more at 50 than at 0.
#include "Browser.h"
#include "WebStation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

void wait(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

double percentile(QList<double> v, double p)
{
    if (v.isEmpty())
        return NAN;
    std::sort(v.begin(), v.end());
    const double rank = p / 100.0 * double(v.size() - 1);
    const qsizetype lo = qsizetype(std::floor(rank));
    const qsizetype hi = qMin(lo + 1, v.size() - 1);
    return v.at(lo) + (v.at(hi) - v.at(lo)) * (rank - double(lo));
}

// CPU seconds (user + system) of a process so far.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return NAN;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // After the command: state is field 3; utime and stime are fields 14 and 15.
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / ticks;
}

bool fail(const QString &what)
{
    std::fprintf(stderr, "bench_web: %s\n", qPrintable(what));
    return false;
}

bool login(Browser &browser, const QString &page, WebStation &station, const QString &next)
{
    QString error;
    if (!browser.navigate(page, station.baseUrl() + QStringLiteral("/login?next=") + next, &error))
        return fail(error);
    browser.evaluate(page, QStringLiteral("user.value = '%1'; password.value = '%2'; document.getElementById('login').submit(); true")
                               .arg(WebStation::User, WebStation::Password));
    if (!browser.waitFor(page, QStringLiteral("location.pathname === '%1' && document.readyState === 'complete'").arg(next), 20000, &error))
        return fail(error);
    return true;
}

bool latency(int seconds)
{
    std::printf("\n1. From a decoded answer to its values in the browser (%d s)\n", seconds);
    WebStation station;
    Browser browser;
    QString error;
    WebStationOptions o;
    o.buildDir = QStringLiteral(QZ_BINARY_DIR);
    if (!station.start(o, &error) || !browser.start(&error))
        return fail(error);
    const QString page = browser.newPage(&error);
    if (page.isEmpty() || !login(browser, page, station, QStringLiteral("/")))
        return fail(error);
    QList<double> samples;
    QSet<QString> seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(seconds) * 1000) {
        wait(5000);
        // The page keeps its last 600 messages; read them every few seconds.
        const QJsonArray log = browser.evaluate(page, QStringLiteral("window.qzShown.map(e => [e[0], e[3]])")).toArray();
        for (const QJsonValue &v : log) {
            const QJsonArray e = v.toArray();
            const QString answer = e.at(1).toString();
            if (answer.isEmpty() || seen.contains(answer))
                continue; // the first message that showed an answer counts, not its repeats
            seen.insert(answer);
            const QDateTime at = QDateTime::fromString(answer, Qt::ISODateWithMs);
            samples.append(e.at(0).toDouble() - double(at.toMSecsSinceEpoch()));
        }
    }
    std::printf("   answers shown: %lld\n   median %.0f ms, 99th percentile %.0f ms, max %.0f ms (goal ≤ 1200 ms)\n",
                qlonglong(samples.size()), percentile(samples, 50), percentile(samples, 99),
                samples.isEmpty() ? NAN : *std::max_element(samples.begin(), samples.end()));
    station.stop();
    return !samples.isEmpty();
}

bool dayChart(int runs)
{
    std::printf("\n2. Day chart: request to drawn, 4 channels of 17,280 records (%d runs)\n", runs);
    WebStationOptions o;
    o.buildDir = QStringLiteral(QZ_BINARY_DIR);
    o.storageMs = 5000;
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime first = now.addSecs(-86400 + 5);
    QString prepareError;
    o.prepareHome = [&](const QString &home) {
        writeHistory(
            home, first, 5000, 17279,
            [](int r, int k) { return k > 16 ? QString() : QString::asprintf("%8.3f", 60.0 + 10.0 * k + 20.0 * std::sin(r / 300.0 + k)); },
            {}, &prepareError);
    };
    WebStation station;
    Browser browser;
    QString error;
    if (!station.start(o, &error) || !browser.start(&error) || !prepareError.isEmpty())
        return fail(error + prepareError);
    const QString page = browser.newPage(&error);
    if (page.isEmpty() || !login(browser, page, station, QStringLiteral("/history")))
        return fail(error);
    browser.setViewport(page, 1280, 800, &error);
    if (!browser.waitFor(page, QStringLiteral("document.body.dataset.drawn"), 20000, &error))
        return fail(error);
    browser.evaluate(page, QStringLiteral("document.querySelector('input[name=span][value=\"86400\"]').checked = true;"
                                          "for (const b of document.querySelectorAll('#channels input')) b.checked = Number(b.value) <= 4; true"));
    QList<double> fetched, drawn;
    qint64 records = 0;
    for (int i = 0; i < runs; ++i) {
        browser.evaluate(page, QStringLiteral("window.qzRun(); true"));
        if (!browser.waitFor(page, QStringLiteral("document.body.dataset.drawn > 17000"), 30000, &error))
            return fail(error);
        const QJsonObject d = browser.evaluate(page, QStringLiteral(
            "({rows: Number(document.body.dataset.drawn), fetch: Number(document.body.dataset.fetchMs),"
            "  draw: Number(document.body.dataset.drawMs)})")).toObject();
        records = d.value(QLatin1String("rows")).toInteger();
        fetched.append(d.value(QLatin1String("fetch")).toDouble());
        drawn.append(d.value(QLatin1String("draw")).toDouble());
    }
    std::printf("   %lld records a channel\n   data received: median %.0f ms, 99th percentile %.0f ms\n"
                "   chart drawn:   median %.0f ms, 99th percentile %.0f ms (goal ≤ 500 ms)\n",
                qlonglong(records), percentile(fetched, 50), percentile(fetched, 99), percentile(drawn, 50),
                percentile(drawn, 99));
    station.stop();
    return true;
}

bool cpu(int seconds, const QList<int> &browsers)
{
    std::printf("\n3. Station CPU with browsers on the overview (%d s each; %% of one core, all threads)\n", seconds);
    WebStation station;
    Browser browser;
    QString error;
    WebStationOptions o;
    o.buildDir = QStringLiteral(QZ_BINARY_DIR);
    if (!station.start(o, &error) || !browser.start(&error))
        return fail(error);
    const QString first = browser.newPage(&error);
    if (first.isEmpty() || !login(browser, first, station, QStringLiteral("/")))
        return fail(error);
    browser.navigate(first, QStringLiteral("about:blank"), &error);
    QStringList pages;
    double baseline = NAN;
    for (const int n : browsers) {
        while (pages.size() < n) {
            const QString p = browser.newPage(&error);
            if (p.isEmpty() || !browser.navigate(p, station.baseUrl() + QStringLiteral("/"), &error))
                return fail(error);
            pages.append(p);
        }
        for (const QString &p : std::as_const(pages))
            if (!browser.waitFor(p, QStringLiteral("document.querySelectorAll('.tile').length === 16 && document.body.dataset.comm === 'OK'"), 30000, &error))
                return fail(error);
        wait(5000); // settle
        const double before = cpuSeconds(station.stationPid());
        QElapsedTimer t;
        t.start();
        wait(seconds * 1000);
        const double used = cpuSeconds(station.stationPid()) - before;
        const double percent = used / (double(t.elapsed()) / 1000.0) * 100.0;
        if (std::isnan(baseline))
            baseline = percent;
        // Every page still live at the end: its last message is recent.
        const int live = int(std::count_if(pages.cbegin(), pages.cend(), [&](const QString &p) {
            return browser.evaluate(p, QStringLiteral("Date.now() - window.qzShown[window.qzShown.length - 1][0] < 3000")).toBool();
        }));
        std::printf("   %2d browsers: %.2f %% of a core (%+.2f against none); %d of %d pages live\n", n, percent,
                    percent - baseline, live, n);
    }
    station.stop();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int latencySeconds = 120, charts = 10, cpuSeconds = 60;
    QList<int> browsers = {0, 10, 50};
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--latency-seconds"))
            latencySeconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--charts"))
            charts = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--cpu-seconds"))
            cpuSeconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--browsers")) {
            browsers.clear();
            for (const QString &n : args[i + 1].split(QLatin1Char(',')))
                browsers.append(n.toInt());
        } else {
            std::fprintf(stderr, "usage: bench_web [--latency-seconds N] [--charts N] [--cpu-seconds N] [--browsers 0,10,50]\n");
            return 2;
        }
    }
    std::printf("Web view benchmark (%s)\n", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)));
    bool ok = latency(latencySeconds);
    ok = dayChart(charts) && ok;
    ok = cpu(cpuSeconds, browsers) && ok;
    return ok ? 0 : 1;
}
