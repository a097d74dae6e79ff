// Feeds the strip chart a full day of one-second points and measures one full redraw and the
// per-tick cost (add a point, drop the oldest, scroll, redraw). Memory is read before and after
// a further long feed to show that it stays flat.
//   QT_QPA_PLATFORM=offscreen ./bench_stripchart [width height]

#include "StripChart.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

constexpr double T0 = 1709280000.0; // 2024-03-01 08:00:00 UTC

double sample(long s)
{
    // A wandering temperature with a two-minute interruption every hour (gaps in the line).
    if (s % 3600 >= 1800 && s % 3600 < 1920)
        return std::numeric_limits<double>::quiet_NaN();
    return 80.0 + 40.0 * std::sin(double(s) / 600.0) + 5.0 * std::sin(double(s) / 7.0);
}

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

struct Stats {
    double medianMs, p95Ms, maxMs;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[size_t(double(v.size()) * 0.95)], v.back()};
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int width = argc > 2 ? std::atoi(argv[1]) : 1791;
    const int height = argc > 2 ? std::atoi(argv[2]) : 983;

    StripChart chart;
    chart.resize(width, height);
    chart.setYRange(0.0, 200.0);
    chart.setTitle(QStringLiteral("油储温度1:    25.300"));
    chart.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    long s = 0;
    clock.start();
    for (; s < StripChart::MaxPoints; ++s)
        chart.addPoint(T0 + double(s), sample(s));
    const double feedMs = double(clock.nsecsElapsed()) / 1e6;

    std::vector<double> replots;
    for (int i = 0; i < 30; ++i) {
        clock.restart();
        chart.replot(QCustomPlot::rpImmediateRefresh);
        replots.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    const double firstReplot = replots.front();

    // Steady state: every tick adds a point, drops the oldest and scrolls; then one redraw.
    std::vector<double> adds, ticks;
    for (int i = 0; i < 300; ++i, ++s) {
        clock.restart();
        chart.addPoint(T0 + double(s), sample(s));
        const double addMs = double(clock.nsecsElapsed()) / 1e6;
        chart.replot(QCustomPlot::rpImmediateRefresh);
        adds.push_back(addMs);
        ticks.push_back(double(clock.nsecsElapsed()) / 1e6);
    }

    // Twenty more days in four stretches: the count stays at the bound and memory stays flat.
    QStringList rss{QString::number(rssKiB())};
    const long stretch = 5L * StripChart::MaxPoints;
    clock.restart();
    for (int k = 0; k < 4; ++k) {
        for (long end = s + stretch; s < end; ++s)
            chart.addPoint(T0 + double(s), sample(s));
        rss.append(QString::number(rssKiB()));
    }
    const double longFeedMs = double(clock.nsecsElapsed()) / 1e6;
    clock.restart();
    chart.replot(QCustomPlot::rpImmediateRefresh);
    const double replotAfter = double(clock.nsecsElapsed()) / 1e6;

    const Stats r = stats(replots), a = stats(adds), t = stats(ticks);
    QTextStream out(stdout);
    out << "strip chart " << width << "x" << height << ", " << chart.pointCount() << " points kept\n";
    out << QStringLiteral("feed 86400 points:        %1 ms total, %2 us per point\n")
               .arg(feedMs, 0, 'f', 1)
               .arg(feedMs * 1000.0 / StripChart::MaxPoints, 0, 'f', 2);
    out << QStringLiteral("full replot (30 runs):    first %1 ms, median %2 ms, p95 %3 ms, max %4 ms\n")
               .arg(firstReplot, 0, 'f', 2)
               .arg(r.medianMs, 0, 'f', 2)
               .arg(r.p95Ms, 0, 'f', 2)
               .arg(r.maxMs, 0, 'f', 2);
    out << QStringLiteral("tick: add+drop+scroll:    median %1 us, p95 %2 us, max %3 us\n")
               .arg(a.medianMs * 1000.0, 0, 'f', 1)
               .arg(a.p95Ms * 1000.0, 0, 'f', 1)
               .arg(a.maxMs * 1000.0, 0, 'f', 1);
    out << QStringLiteral("tick incl. replot (300):  median %1 ms, p95 %2 ms, max %3 ms\n")
               .arg(t.medianMs, 0, 'f', 2)
               .arg(t.p95Ms, 0, 'f', 2)
               .arg(t.maxMs, 0, 'f', 2);
    out << QStringLiteral("twenty more days (%1 points): %2 us per point, count %3, replot %4 ms\n")
               .arg(4 * stretch)
               .arg(longFeedMs * 1000.0 / double(4 * stretch), 0, 'f', 2)
               .arg(chart.pointCount())
               .arg(replotAfter, 0, 'f', 2);
    out << QStringLiteral("RSS KiB at 1, 6, 11, 16, 21 days: ") << rss.join(QStringLiteral(", ")) << '\n';
    return 0;
}
