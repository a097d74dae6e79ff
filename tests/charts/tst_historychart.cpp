// The history chart: value-axis labels, keeping points in key order with replacement of equal
// keys, one after-add notice per batch, NaN gaps, axis ranges that ignore empty spans, the
// point-mark rule and the chart's fixed settings.

#include "HistoryChart.h"
#include "PointMarks.h"
#include "ValueAxisTicker.h"

#include <QSignalSpy>
#include <QtTest>
#include <cmath>
#include <limits>

namespace {
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double T0 = 1709280000.0; // 2024-03-01 08:00:00 UTC

QList<QPair<double, double>> points(const HistoryChart &chart)
{
    QList<QPair<double, double>> out;
    const auto data = chart.series()->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        out.append({it->key, it->value});
    return out;
}
} // namespace

class TestHistoryChart : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void valueText_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("thousand") << 1000.0 << "1,000";
        QTest::newRow("negative hundred") << -100.0 << "-100";
        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("half") << 0.5 << "0.5";
        QTest::newRow("three decimals") << 25.125 << "25.125";
        QTest::newRow("rounded to three") << 1234567.8916 << "1,234,567.892";
        QTest::newRow("trailing zeros dropped") << 12.300 << "12.3";
        QTest::newRow("below a thousandth") << 0.0004 << "0";
        QTest::newRow("negative below a thousandth") << -0.0004 << "0";
        QTest::newRow("inexact step") << 0.30000000000000004 << "0.3";
        QTest::newRow("negative grouped") << -1000.5 << "-1,000.5";
        QTest::newRow("hundreds not grouped") << 999.0 << "999";
    }
    void valueText()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(ValueAxisTicker::valueText(value), text);
        QCOMPARE(ValueAxisTicker::labelText(value), text + QStringLiteral(" ℃ "));
    }

    void settings()
    {
        HistoryChart chart;
        QCOMPARE(chart.graphCount(), 1);
        QCOMPARE(chart.leftRange(), QCPRange(-100, 1000));
        QVERIFY(dynamic_cast<ValueAxisTicker *>(chart.yAxis->ticker().data()));
        // Panning along the time axis only, no zooming by the wheel.
        QVERIFY(chart.interactions().testFlag(QCP::iRangeDrag));
        QVERIFY(!chart.interactions().testFlag(QCP::iRangeZoom));
        QCOMPARE(chart.axisRect()->rangeDrag(), Qt::Horizontal);

        // Grey at the top, teal at the bottom, behind an unfilled plot area.
        chart.resize(400, 300);
        const QImage image = chart.toPixmap(400, 300).toImage();
        QCOMPARE(QColor(image.pixel(2, 1)), QColor(128, 128, 128));
        const QColor bottom(image.pixel(2, 298));
        QVERIFY(qAbs(bottom.red() - 64) <= 2 && bottom.green() == 128 && bottom.blue() == 128);
    }

    void addKeepsKeyOrder()
    {
        HistoryChart chart;
        QSignalSpy added(&chart, &HistoryChart::pointsAdded);
        QVERIFY(std::isnan(chart.maxX()));
        chart.addPoints({T0 + 10, T0 + 20}, {1, 2});
        QCOMPARE(added.size(), 1);
        chart.addPoints({T0 + 15, T0, T0 + 30}, {3, 4, 5}); // unsorted, interleaved
        QCOMPARE(added.size(), 2);
        QCOMPARE(points(chart), (QList<QPair<double, double>>{{T0, 4}, {T0 + 10, 1}, {T0 + 15, 3}, {T0 + 20, 2}, {T0 + 30, 5}}));
        QCOMPARE(chart.maxX(), T0 + 30);

        // The same keys again replace their points: reading the same rows never grows the series.
        chart.addPoints({T0 + 10, T0 + 20}, {11, 22});
        QCOMPARE(chart.pointCount(), 5);
        QCOMPARE(points(chart).at(1).second, 11.0);
        QCOMPARE(points(chart).at(3).second, 22.0);
        chart.addPoint(T0 + 40, 6);
        QCOMPARE(chart.pointCount(), 6);
        QCOMPARE(added.size(), 4);

        // Nothing to add: no notice. Keys that are not finite are left out.
        chart.addPoints({}, {});
        chart.addPoints({NaN}, {1});
        QCOMPARE(added.size(), 4);
        chart.addPoints({NaN, T0 + 50}, {1, 7});
        QCOMPARE(chart.pointCount(), 7);

        // A gap stays a gap.
        chart.addPoint(T0 + 60, NaN);
        QVERIFY(std::isnan(points(chart).last().second));

        chart.clearSeries();
        QCOMPARE(chart.pointCount(), 0);
        QVERIFY(std::isnan(chart.maxX()));
    }

    void ranges()
    {
        HistoryChart chart;
        chart.setBottomRange(T0, T0 + 3600);
        QCOMPARE(chart.bottomRange(), QCPRange(T0, T0 + 3600));
        QCOMPARE(chart.bottomMax(), T0 + 3600);
        chart.setBottomRange(T0 + 100, T0 + 100); // no width
        chart.setBottomRange(NaN, T0);
        QCOMPARE(chart.bottomRange(), QCPRange(T0, T0 + 3600));
        chart.setLeftRange(200, -50); // swapped limits
        QCOMPARE(chart.leftRange(), QCPRange(-50, 200));
        chart.setLeftRange(50, 50);
        QCOMPARE(chart.leftRange(), QCPRange(-50, 200));
    }

    void marks()
    {
        HistoryChart chart;
        chart.resize(800, 400);
        QVector<double> keys;
        QVector<double> values;
        for (int i = 0; i < 720; ++i) {
            keys.append(T0 + 5 * i);
            values.append(i);
        }
        chart.addPoints(keys, values);
        chart.setBottomRange(T0, T0 + 3600);
        QVERIFY(chart.marksVisible());
        QCOMPARE(chart.pointsInView(), 720);
        QVERIFY(!chart.marksDrawn());
        // A 5-minute window of 5-second records: 61 points, still labelled.
        chart.setBottomRange(T0 + 600, T0 + 900);
        QCOMPARE(chart.pointsInView(), 61);
        QVERIFY(chart.marksDrawn());
        chart.setBottomRange(T0 + 600, T0 + 600 + 5 * HistoryChart::MarkPointLimit);
        QVERIFY(!chart.marksDrawn());
        chart.setBottomRange(T0 + 600, T0 + 660);
        QVERIFY(chart.marksDrawn());
        chart.setMarksVisible(false);
        QVERIFY(!chart.marksDrawn());

        // Drawing the marks changes the picture; hidden marks leave the curve alone.
        const QImage without = chart.toPixmap(800, 400).toImage();
        chart.setMarksVisible(true);
        const QImage with = chart.toPixmap(800, 400).toImage();
        QVERIFY(with != without);
    }
};

QTEST_MAIN(TestHistoryChart)
#include "tst_historychart.moc"
