// Strip chart: Y range rule, X axis following the newest point, gaps, retention bound.
#include "StripChart.h"

#include <QtTest>
#include <cmath>
#include <limits>

namespace {
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
// 2024-03-01 08:00:00 UTC, as an axis key.
constexpr double T0 = 1709280000.0;
} // namespace

class TestStripChart : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void yRange_data();
    void yRange();
    void setYRangeReachesAxis();
    void xRangeFollowsNewest();
    void gapsAndZero();
    void retentionOneSecondPoints();
    void retentionDensePoints();
    void retentionAfterTimeJump();
    void clearAndTitles();
    void dateTimeKeys();
};

void TestStripChart::yRange_data()
{
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("span");
    QTest::addColumn<double>("lower");
    QTest::addColumn<double>("upper");
    QTest::newRow("0 over 200") << 0.0 << 200.0 << 0.0 << 200.0;
    QTest::newRow("-50 over 200") << -50.0 << 200.0 << -50.0 << 150.0;
    QTest::newRow("small span kept") << 20.0 << 0.5 << 20.0 << 20.5;
    QTest::newRow("equal limits: 100 wide around the limit") << 20.0 << 0.0 << -30.0 << 70.0;
    QTest::newRow("equal limits at 0") << 0.0 << 0.0 << -50.0 << 50.0;
    QTest::newRow("negative span: limits swapped") << 100.0 << -50.0 << 50.0 << 100.0;
    QTest::newRow("NaN span") << 5.0 << NaN << -45.0 << 55.0;
    QTest::newRow("infinite span") << 5.0 << Inf << -45.0 << 55.0;
    QTest::newRow("NaN min counts as 0") << NaN << 100.0 << 0.0 << 100.0;
    // 1 vanishes next to 1e20 in double arithmetic: the fallback must widen with the value.
    QTest::newRow("span lost to rounding") << 1e20 << 1.0 << 1e20 - 1e17 << 1e20 + 1e17;
}

void TestStripChart::yRange()
{
    QFETCH(double, min);
    QFETCH(double, span);
    QFETCH(double, lower);
    QFETCH(double, upper);
    const QCPRange r = StripChart::yRangeFor(min, span);
    QCOMPARE(r.lower, lower);
    QCOMPARE(r.upper, upper);
    QVERIFY(QCPRange::validRange(r));
}

void TestStripChart::setYRangeReachesAxis()
{
    StripChart chart;
    chart.setYRange(-50.0, 200.0);
    QCOMPARE(chart.yRange(), QCPRange(-50.0, 150.0));
    QCOMPARE(chart.yAxis->range(), QCPRange(-50.0, 150.0));
    // Equal limits must still move the axis (an invalid range would leave the old one).
    chart.setYRange(300.0, 0.0);
    QCOMPARE(chart.yAxis->range(), QCPRange(250.0, 350.0));
}

void TestStripChart::xRangeFollowsNewest()
{
    StripChart chart;
    chart.addPoint(T0, 1.0);
    QCOMPARE(chart.xRange(), QCPRange(T0 - 1800.0, T0));
    // 45 minutes of one-second points: only the latest 30 minutes show, newest at the right.
    for (int s = 1; s <= 45 * 60; ++s)
        chart.addPoint(T0 + s, double(s % 50));
    QCOMPARE(chart.xRange().upper, T0 + 2700.0);
    QCOMPARE(chart.xRange().size(), StripChart::SpanSeconds);
    QCOMPARE(chart.pointCount(), 45 * 60 + 1);

    // Points arriving after a backwards clock step still take the right edge.
    chart.addPoint(T0 + 100.5, 3.0);
    QCOMPARE(chart.xRange(), QCPRange(T0 + 100.5 - 1800.0, T0 + 100.5));
    QCOMPARE(chart.pointCount(), 45 * 60 + 2);
}

void TestStripChart::gapsAndZero()
{
    StripChart chart;
    chart.addPoint(T0, 25.0);
    chart.addPoint(T0 + 1, NaN);
    chart.addPoint(T0 + 2, 0.0);
    QCOMPARE(chart.pointCount(), 3);
    auto data = chart.channel()->data();
    QCOMPARE((data->constBegin() + 0)->value, 25.0);
    QVERIFY(std::isnan((data->constBegin() + 1)->value));
    QCOMPARE((data->constBegin() + 2)->value, 0.0);

    // A non-finite or invalid time has no place on the axis: nothing is added.
    chart.addPoint(Inf, 1.0);
    chart.addPoint(NaN, 1.0);
    chart.addPoint(QDateTime(), 1.0);
    QCOMPARE(chart.pointCount(), 3);
    QCOMPARE(chart.xRange().upper, T0 + 2);
}

void TestStripChart::retentionOneSecondPoints()
{
    StripChart chart;
    const int fed = StripChart::MaxPoints + 500;
    for (int s = 0; s < fed; ++s)
        chart.addPoint(T0 + s, double(s));
    QCOMPARE(chart.pointCount(), StripChart::MaxPoints);
    auto data = chart.channel()->data();
    // The 500 oldest points are gone; the newest one is 24 h minus one second after the oldest.
    QCOMPARE(data->constBegin()->key, T0 + 500);
    QCOMPARE(data->constBegin()->value, 500.0);
    QCOMPARE((data->constEnd() - 1)->key, T0 + fed - 1);

    // Feeding on keeps the count (and the container) at the bound.
    for (int s = fed; s < fed + 3 * 3600; ++s)
        chart.addPoint(T0 + s, double(s));
    QCOMPARE(chart.pointCount(), StripChart::MaxPoints);
    QCOMPARE(data->constBegin()->key, T0 + 500 + 3 * 3600);
    QVERIFY(data->size() <= StripChart::MaxPoints);
}

void TestStripChart::retentionDensePoints()
{
    StripChart chart;
    // Ten points a second: the time window alone would keep 864,000; the count bound holds.
    const int fed = StripChart::MaxPoints + 1000;
    for (int i = 0; i < fed; ++i)
        chart.addPoint(T0 + i * 0.1, double(i));
    QCOMPARE(chart.pointCount(), StripChart::MaxPoints);
    auto data = chart.channel()->data();
    QCOMPARE(data->constBegin()->value, 1000.0);
    QCOMPARE((data->constEnd() - 1)->value, double(fed - 1));

    // Equal keys at the cut are removed one by one, oldest first.
    StripChart same;
    for (int i = 0; i < StripChart::MaxPoints + 3; ++i)
        same.addPoint(T0, double(i));
    QCOMPARE(same.pointCount(), StripChart::MaxPoints);
}

void TestStripChart::retentionAfterTimeJump()
{
    StripChart chart;
    for (int s = 0; s < 100; ++s)
        chart.addPoint(T0 + s, 1.0);
    // Exactly 24 h after the oldest point: that point is dropped, its successor stays.
    chart.addPoint(T0 + StripChart::RetentionSeconds, 2.0);
    QCOMPARE(chart.pointCount(), 100);
    QCOMPARE(chart.channel()->data()->constBegin()->key, T0 + 1);
    // Two days later (a machine that slept): everything older than a day goes.
    chart.addPoint(T0 + 2 * StripChart::RetentionSeconds + 50, 3.0);
    QCOMPARE(chart.pointCount(), 1);
}

void TestStripChart::clearAndTitles()
{
    StripChart chart;
    for (int s = 0; s < 10; ++s)
        chart.addPoint(T0 + s, 1.0);
    chart.clear();
    QCOMPARE(chart.pointCount(), 0);
    chart.addPoint(T0 + 20, 4.0);
    QCOMPARE(chart.pointCount(), 1);

    chart.setTitle(QStringLiteral("油储温度1:    25.300"));
    chart.setChannelTitle(QStringLiteral("油储温度1"));
    QCOMPARE(chart.title(), QStringLiteral("油储温度1:    25.300"));
    QCOMPARE(chart.titleElement()->text(), QStringLiteral("油储温度1:    25.300"));
    QCOMPARE(chart.channelTitle(), QStringLiteral("油储温度1"));
    QCOMPARE(chart.channel()->name(), QStringLiteral("油储温度1"));
    // The curve is not listed in a legend.
    QVERIFY(!chart.legend->visible() || !chart.legend->hasItemWithPlottable(chart.channel()));
}

void TestStripChart::dateTimeKeys()
{
    const QDateTime utc(QDate(2024, 3, 1), QTime(8, 0, 0, 250), Qt::UTC);
    QCOMPARE(StripChart::keyOf(utc), T0 + 0.25);
    StripChart chart;
    chart.addPoint(utc, 7.0);
    QCOMPARE(chart.xRange().upper, T0 + 0.25);
    // Labels are local clock times.
    auto ticker = chart.xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
    QVERIFY(ticker);
    QCOMPARE(ticker->dateTimeFormat(), QStringLiteral("hh:mm:ss"));
}

QTEST_MAIN(TestStripChart)
#include "tst_stripchart.moc"
