// The history chart: value-axis labels, keeping points in key order with replacement of equal
// keys, one after-add notice per batch, NaN gaps (also at wide spans), breaks at spans without
// records, axis ranges that ignore empty spans, the thinned point marks and their colours, the
// chart's fixed settings and the dotted minor time grid;
// zoom and pan (the arithmetic, then real mouse events and the real animation timer), curves to
// compare with their legend, and the picture of the chart.

#include "ChartCompare.h"
#include "ChartZoom.h"
#include "GapKeepingGraph.h"
#include "HistoryChart.h"
#include "PointMarks.h"
#include "RecordBreaks.h"
#include "ValueAxisTicker.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
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

QList<QPair<double, double>> pairs(const QVector<QCPGraphData> &data)
{
    QList<QPair<double, double>> out;
    for (const QCPGraphData &p : data)
        out.append({p.key, p.value});
    return out;
}

bool isNaNPair(const QPair<double, double> &p) { return std::isnan(p.second); }

void mouse(QWidget *w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held, const QPointF &at)
{
    QMouseEvent event(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

// Press, move in a few steps, release: a drag as the hand makes it.
void drag(QWidget *w, Qt::MouseButton button, const QPointF &from, const QPointF &to)
{
    mouse(w, QEvent::MouseButtonPress, button, button, from);
    for (int i = 1; i <= 4; ++i)
        mouse(w, QEvent::MouseMove, Qt::NoButton, button, from + (to - from) * (i / 4.0));
    mouse(w, QEvent::MouseButtonRelease, button, Qt::NoButton, to);
}

// A chart on the screen with an hour of 5-second points, laid out at its window size.
struct ShownChart {
    HistoryChart chart;
    ShownChart()
    {
        chart.resize(858, 404);
        QVector<double> keys;
        QVector<double> values;
        for (int i = 0; i < 720; ++i) {
            keys.append(T0 + 5 * i);
            values.append(100 + i % 50);
        }
        chart.addPoints(keys, values);
        chart.setBottomRange(T0, T0 + 3600);
        chart.setLeftRange(0, 500);
        chart.show();
        chart.replot();
    }
    QRectF plot() const { return chart.axisRect()->rect(); }
};

// Red of Series1 in a picture, also blended into its neighbours by antialiasing: the grey and
// teal behind the curve and the grid never have more red than green or blue.
bool isCurveRed(QRgb c) { return qRed(c) > qGreen(c) + 40 && qRed(c) > qBlue(c) + 40; }
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
        // The mouse gestures are the chart's own: QCustomPlot's drag and wheel zoom stay off.
        QCOMPARE(chart.interactions(), QCP::Interactions());
        // QCustomPlot's adaptive sampling would bridge gaps; the curve reduces points itself.
        QVERIFY(dynamic_cast<GapKeepingGraph *>(chart.series()));
        QVERIFY(!chart.series()->adaptiveSampling());
        QVERIFY(!chart.legend->visible()); // one curve, no legend
        QCOMPARE(chart.contextMenu()->actions(), QList<QAction *>{chart.savePictureAction()});
        QCOMPARE(chart.savePictureAction()->text(), QStringLiteral("保存图片…"));

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

    // "参数指示" at usual spans: evenly spaced points are marked, thinned to a readable
    // density, the last point always among them, the same points while the view pans; each
    // compared curve's marks in its own colour, and no curve colour that vanishes on the chart.
    void marksThinnedToAReadableDensity()
    {
        using namespace PointMarkRules;
        // The stride: 1, 2, 5, 10, … the smallest that keeps marks `spacing` apart.
        QCOMPARE(markStride(13, 780, 70), qsizetype(2));   // 1 minute of 5-second records
        QCOMPARE(markStride(10, 780, 70), qsizetype(1));
        QCOMPARE(markStride(720, 780, 70), qsizetype(100)); // 1 hour: 64.6 → 100
        QCOMPARE(markStride(518400, 780, 70), qsizetype(50000));
        QCOMPARE(markStride(0, 780, 70), qsizetype(1));
        QCOMPARE(markStride(720, 0, 70), qsizetype(1)); // no width yet: no division by zero
        // Indexes a whole number of strides before the anchor, none after it.
        QCOMPARE(markIndexes(0, 20, 20, 5), QVector<qsizetype>({0, 5, 10, 15, 20}));
        QCOMPARE(markIndexes(3, 20, 20, 5), QVector<qsizetype>({5, 10, 15, 20}));
        QCOMPARE(markIndexes(3, 14, 20, 5), QVector<qsizetype>({5, 10}));
        QCOMPARE(markIndexes(0, 30, 17, 5), QVector<qsizetype>({2, 7, 12, 17}));
        QCOMPARE(markIndexes(18, 30, 17, 5), QVector<qsizetype>());
        // Taking turns: shifted by the offset, the anchor itself still marked.
        QCOMPARE(markIndexes(0, 20, 20, 10, 5), QVector<qsizetype>({5, 15, 20}));
        QCOMPARE(markIndexes(0, 14, 20, 10, 5), QVector<qsizetype>({5}));

        HistoryChart chart;
        chart.resize(858, 404);
        QVector<double> keys;
        QVector<double> values;
        for (int i = 0; i < 720; ++i) {
            keys.append(T0 + 5 * i);
            values.append(100 + i % 7);
        }
        chart.addPoints(keys, values);
        chart.setBottomRange(T0, T0 + 3600);
        chart.toPixmap(858, 404); // lays the axis rect out
        PointMarks *marks = chart.marks(0);
        QVERIFY(chart.marksVisible());
        QCOMPARE(chart.pointsInView(), 720);
        // An hour of 5-second records is marked (it was not, at any span above 5 minutes).
        QVERIFY(chart.marksDrawn());
        const QVector<qsizetype> hour = marks->markIndexes();
        QVERIFY(hour.size() >= 4);
        QCOMPARE(hour.last(), qsizetype(719)); // the last point
        const double width = chart.axisRect()->width();
        QVERIFY(hour.size() <= width / marks->markSpacing() + 1); // readable: far apart enough
        for (qsizetype i = 1; i < hour.size(); ++i)
            QCOMPARE(hour.at(i) - hour.at(i - 1), hour.at(1) - hour.at(0)); // evenly spaced
        // Panning keeps the marks on the same points.
        chart.setBottomRange(T0 - 600, T0 + 3000);
        for (qsizetype at : marks->markIndexes())
            QVERIFY(hour.contains(at));
        // Two days of them too, and a few points each get their own mark.
        chart.setBottomRange(T0 + 3600 - 172800, T0 + 3600);
        QVERIFY(chart.marksDrawn());
        QCOMPARE(marks->markIndexes().last(), qsizetype(719));
        chart.setLeftRange(0, 200); // labels of three digits: each point of a minute its own
        chart.setBottomRange(T0 + 600, T0 + 660);
        QCOMPARE(marks->markIndexes().size(), 13);
        // The last point with a value is the anchor: an interruption at the end has no mark.
        chart.addPoint(T0 + 3600, NaN);
        chart.setBottomRange(T0, T0 + 3600);
        QCOMPARE(marks->markIndexes().last(), qsizetype(719));
        chart.setMarksVisible(false);
        QVERIFY(!chart.marksDrawn());

        // Drawing the marks changes the picture; the newest label stands whole inside the plot.
        const QImage without = chart.toPixmap(858, 404).toImage();
        chart.setMarksVisible(true);
        const QImage with = chart.toPixmap(858, 404).toImage();
        QVERIFY(with != without);
        const QRect plot = chart.axisRect()->rect();
        const auto paleYellow = [&](int x) {
            int n = 0;
            for (int y = plot.top(); y <= plot.bottom(); ++y)
                n += with.pixel(x, y) == QColor(255, 255, 225).rgb();
            return n;
        };
        QVERIFY(paleYellow(plot.right() - 8) > 0); // the label of the point at the right edge

        // Compared curves: each curve's labels in its own colour.
        QCOMPARE(marks->colours().fill, QColor(255, 255, 225));
        QVERIFY(chart.addCurve(QStringLiteral("2"), keys, values));
        QVERIFY(chart.addCurve(QStringLiteral("3"), keys, values));
        QVERIFY(chart.addCurve(QStringLiteral("4"), keys, values));
        for (int c = 0; c < chart.curveCount(); ++c) {
            const MarkColours look = chart.marks(c)->colours();
            QCOMPARE(look.fill, chart.curve(c)->pen().color());
            QVERIFY(look.text != look.fill);
        }
        // The curves take turns: apart from the last point, no two curves mark one instant,
        // and all of them together are no denser than one curve alone.
        chart.setBottomRange(T0, T0 + 3600);
        QSet<qsizetype> taken;
        int together = 0;
        for (int c = 0; c < chart.curveCount(); ++c) {
            const QVector<qsizetype> at = chart.marks(c)->markIndexes();
            QCOMPARE(at.last(), qsizetype(719));
            for (qsizetype i = 0; i + 1 < at.size(); ++i) {
                QVERIFY2(!taken.contains(at.at(i)), qPrintable(QStringLiteral("point %1 twice").arg(at.at(i))));
                taken.insert(at.at(i));
            }
            together += int(at.size()) - 1;
        }
        QVERIFY(together <= hour.size());
        const QImage compared = chart.toPixmap(858, 404).toImage();
        for (int c = 1; c < chart.curveCount(); ++c) {
            const QRgb fill = chart.curve(c)->pen().color().rgb();
            bool found = false;
            for (int y = plot.top(); y <= plot.bottom() && !found; ++y)
                for (int x = plot.left(); x <= plot.right() && !found; ++x)
                    found = compared.pixel(x, y) == fill;
            QVERIFY2(found, qPrintable(QStringLiteral("no label in the colour of curve %1").arg(c)));
        }
        chart.removeAddedCurves();
        QCOMPARE(marks->colours().fill, QColor(255, 255, 225));

        // Every curve colour stands apart from the chart's light grid, its grey-to-teal ground
        // and the white of the marks' arrows (the fourth colour was white), and from each other.
        const auto distance = [](const QColor &a, const QColor &b) {
            return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue());
        };
        QList<QColor> apart = {QColor(212, 208, 200), QColor(128, 128, 128), QColor(64, 128, 128), Qt::white};
        for (int slot = 0; slot < ChartCompare::MaxCurves; ++slot) {
            const QColor c = ChartCompare::curveColour(slot);
            for (const QColor &g : apart)
                QVERIFY2(distance(c, g) >= 200, qPrintable(QStringLiteral("curve colour %1 close to %2").arg(c.name(), g.name())));
            apart.append(c);
        }
    }

    // Spans without records: the curve breaks where two records lie much further apart than
    // the records around them, on the screen and in the picture, over merged queries too; a
    // change of the storage period does not break it, and a lone record is still drawn.
    void recordBreaks_data()
    {
        QTest::addColumn<QVector<double>>("keys");
        QTest::addColumn<QVector<qsizetype>>("breaks");
        const auto every = [](double from, double step, int n) {
            QVector<double> k;
            for (int i = 0; i < n; ++i)
                k.append(from + step * i);
            return k;
        };
        QTest::newRow("steady") << every(0, 5, 50) << QVector<qsizetype>();
        QTest::newRow("an hour stopped") << every(0, 5, 20) + every(3695, 5, 20) << QVector<qsizetype>{19};
        QTest::newRow("four periods missed") << every(0, 5, 20) + every(115, 5, 20) << QVector<qsizetype>{19};
        QTest::newRow("two periods missed (jitter, a late record)") << every(0, 5, 20) + every(110, 5, 20)
                                                                    << QVector<qsizetype>();
        QTest::newRow("period 5 s, then 60 s") << every(0, 5, 20) + every(155, 60, 20) << QVector<qsizetype>();
        QTest::newRow("period 60 s, then 1 s") << every(0, 60, 20) + every(1200, 1, 50) << QVector<qsizetype>();
        QTest::newRow("period 1 s, then a few of 600 s") << every(0, 1, 50) + every(649, 600, 3) << QVector<qsizetype>();
        QTest::newRow("period 1 s, then two of 600 s") << every(0, 1, 50) + every(649, 600, 2) << QVector<qsizetype>{50};
        QTest::newRow("period 5 s, then one record 60 s later") << every(0, 5, 20) + QVector<double>{155}
                                                               << QVector<qsizetype>{19};
        QTest::newRow("stopped twice as long as before") << every(0, 5, 20) + every(1095, 5, 20) + every(3095, 5, 5)
                                                         << QVector<qsizetype>({19, 39});
        QTest::newRow("started again a moment ago") << every(0, 5, 20) + QVector<double>{5000} << QVector<qsizetype>{19};
        QTest::newRow("one record inside a stop") << every(0, 5, 20) + QVector<double>{2000} + every(4000, 5, 20)
                                                  << QVector<qsizetype>{19, 20};
        QTest::newRow("stopped at the start") << QVector<double>{0} + every(3600, 5, 20) << QVector<qsizetype>{0};
        QTest::newRow("two records") << QVector<double>{0, 3600} << QVector<qsizetype>();
        QTest::newRow("three records") << QVector<double>{0, 5, 100} << QVector<qsizetype>{1};
        QTest::newRow("clock stepped back") << every(0, 5, 10) + every(-3000, 5, 10) << QVector<qsizetype>();
        QTest::newRow("unreadable stamps") << every(0, 5, 5) + QVector<double>{NaN} + every(25, 5, 5)
                                           << QVector<qsizetype>();
        QTest::newRow("empty") << QVector<double>() << QVector<qsizetype>();
    }
    void recordBreaks()
    {
        QFETCH(QVector<double>, keys);
        QFETCH(QVector<qsizetype>, breaks);
        QCOMPARE(RecordBreaks::breaksAfter(keys), breaks);
    }

    void curvesBreakAtSpansWithoutRecords()
    {
        // An hour of 5-second records, then the station stopped 10 minutes, then 20 minutes
        // more; one lone record stands in a second, longer stop.
        HistoryChart chart;
        chart.resize(858, 404);
        QVector<double> keys;
        QVector<double> values;
        for (int i = 0; i < 360; ++i) {
            keys.append(T0 + 5 * i);
            values.append(400);
        }
        for (int i = 0; i < 240; ++i) {
            keys.append(T0 + 2400 + 5 * i);
            values.append(600);
        }
        keys.append(T0 + 4800);
        values.append(500);
        for (int i = 0; i < 60; ++i) {
            keys.append(T0 + 6000 + 5 * i);
            values.append(400);
        }
        chart.addPoints(keys, values);
        chart.setBottomRange(T0, T0 + 6300);
        chart.setLeftRange(0, 1000);
        chart.setMarksVisible(false);
        const auto *graph = dynamic_cast<GapKeepingGraph *>(chart.series());
        QVERIFY(graph->recordBreaks());
        QCOMPARE(graph->breakKeys(), QVector<double>({T0 + 1795, T0 + 3595, T0 + 4800}));
        QCOMPARE(chart.pointCount(), 661); // the data itself is left alone

        const QImage image = chart.picture();
        const double scale = double(image.width()) / chart.width();
        const auto redIn = [&](double key, double value) {
            const QPointF at = chart.series()->coordsToPixels(key, value) * scale;
            int n = 0;
            for (int dy = -6; dy <= 6; ++dy)
                n += isCurveRed(image.pixel(int(at.x()), int(at.y()) + dy));
            return n;
        };
        // In the picture: nothing across the stop (a line from 400 to 600 would cross 500),
        // the curve on both sides, the lone record as a dot.
        QCOMPARE(redIn(T0 + 2100, 500), 0);
        QVERIFY(redIn(T0 + 900, 400) > 0);
        QVERIFY(redIn(T0 + 3000, 600) > 0);
        QCOMPARE(redIn(T0 + 4200, 550), 0);
        QCOMPARE(redIn(T0 + 5400, 450), 0);
        QVERIFY(redIn(T0 + 4800, 500) > 0);

        // On the screen the line breaks once per stop, at every span: reduced at two days too.
        const auto breaksIn = [&](double from, double to) {
            const QVector<QPointF> line = graph->linePixels();
            const double a = chart.xAxis->coordToPixel(from);
            const double b = chart.xAxis->coordToPixel(to);
            int n = 0;
            for (qsizetype i = 1; i + 1 < line.size(); ++i)
                n += std::isnan(line.at(i).y()) && line.at(i - 1).x() >= a - 1 && line.at(i + 1).x() <= b + 1;
            return n;
        };
        QCOMPARE(breaksIn(T0 + 1795, T0 + 2400), 1);
        chart.setBottomRange(T0 + 6300 - 172800, T0 + 6300);
        chart.toPixmap(858, 404);
        QCOMPARE(breaksIn(T0 + 1790, T0 + 2405), 1);

        // Two queries of disjoint ranges merged into the curve break between them.
        HistoryChart merged;
        merged.resize(858, 404);
        QVector<double> morning, evening, flat;
        for (int i = 0; i < 100; ++i) {
            morning.append(T0 + 5 * i);
            evening.append(T0 + 36000 + 5 * i);
            flat.append(100);
        }
        merged.addPoints(evening, flat);
        QCOMPARE(dynamic_cast<GapKeepingGraph *>(merged.series())->breakKeys(), QVector<double>());
        merged.addPoints(morning, flat);
        QCOMPARE(dynamic_cast<GapKeepingGraph *>(merged.series())->breakKeys(), QVector<double>({T0 + 495}));
        // Added curves break too; clearing forgets the breaks.
        auto *added = dynamic_cast<GapKeepingGraph *>(merged.addCurve(QStringLiteral("2"), keys, values));
        QVERIFY(added);
        QCOMPARE(added->breakKeys().size(), 3);
        merged.clearSeries();
        QVERIFY(dynamic_cast<GapKeepingGraph *>(merged.series())->breakKeys().isEmpty());
    }

    // The minor grid of the time axis is drawn, dotted, and the axis carries no minor tick
    // marks: against a chart without sub-ticks at all, the plot area differs and the strip of
    // the axis below it does not.
    void minorGridDrawn()
    {
        HistoryChart chart;
        chart.resize(858, 404);
        chart.setBottomRange(T0, T0 + 3600);
        QCOMPARE(chart.xAxis->grid()->subGridPen().style(), Qt::DotLine);
        const QImage with = chart.toPixmap(858, 404).toImage();
        const QRect plot = chart.axisRect()->rect();
        chart.xAxis->setSubTicks(false);
        const QImage without = chart.toPixmap(858, 404).toImage();
        QVERIFY(with.copy(plot) != without.copy(plot));
        const QRect axisStrip(plot.left(), plot.bottom() + 1, plot.width(), 8);
        QCOMPARE(with.copy(axisStrip), without.copy(axisStrip));
    }

    void reduceToPixelColumns()
    {
        // Two points per key unit, one pixel per key unit: columns [0,1), [1,2), ...
        const KeyPixels map{0.0, 0.0, 1.0};
        QCPGraphDataContainer data;
        data.add({{0.0, 5}, {0.2, 1}, {0.4, 9}, {0.6, 3}, {0.8, 4}, // column 0: first 5, low 1, high 9, last 4
                  {1.0, 7},                                          // column 1: one point
                  {2.0, 2}, {2.5, NaN}, {2.7, 8},                    // column 2: a gap
                  {3.1, NaN}, {3.9, 6},                              // column 3: a gap next to it
                  {4.0, 1}, {4.5, 1}},                               // column 4: flat
                 true);
        const auto out = pairs(::reduceToPixelColumns(&*data.constBegin(), &*data.constEnd(), map));
        const QList<QPair<double, double>> head{{0.0, 5}, {0.2, 1}, {0.4, 9}, {0.8, 4}, {1.0, 7}};
        QCOMPARE(out.mid(0, 5), head);
        // Both gap columns give one NaN at the first NaN's key: the line breaks once.
        QCOMPARE(out.at(5).first, 2.5);
        QVERIFY(isNaNPair(out.at(5)));
        QCOMPARE(out.mid(6), (QList<QPair<double, double>>{{4.0, 1}, {4.5, 1}}));

        // Extremes come in the order they occurred (high before low here).
        QCPGraphDataContainer falling;
        falling.add({{10.0, 0}, {10.1, 9}, {10.2, -9}, {10.3, 0}}, true);
        QCOMPARE(pairs(::reduceToPixelColumns(&*falling.constBegin(), &*falling.constEnd(), map)),
                 (QList<QPair<double, double>>{{10.0, 0}, {10.1, 9}, {10.2, -9}, {10.3, 0}}));

        // A month of 5-second points over 800 pixels: at most four points per column, and each
        // of the 240 two-minute interruptions still breaks the line.
        QCPGraphDataContainer month;
        QVector<QCPGraphData> points;
        for (int i = 0; i < 518400; ++i)
            points.append(QCPGraphData(5.0 * i, std::fmod(5.0 * i, 10800.0) < 120 ? NaN : std::sin(i / 50.0)));
        month.set(points, true);
        const KeyPixels wide{0.0, 0.0, 800.0 / (5.0 * 518400)};
        const auto reduced = ::reduceToPixelColumns(&*month.constBegin(), &*month.constEnd(), wide);
        QVERIFY(reduced.size() <= 4 * 801);
        const auto breaks = std::count_if(reduced.cbegin(), reduced.cend(), [](const QCPGraphData &p) { return std::isnan(p.value); });
        QCOMPARE(breaks, 240);
    }

    // A day of 5-second records (17,280 points) at the 2-day span, about 20 points per pixel:
    // a gap of three records (15 s, far less than a pixel) still breaks the drawn line, where
    // QCustomPlot's adaptive sampling bridges it; a 10-minute interruption shows on the screen.
    void gapsSurviveAtTwoDays()
    {
        HistoryChart chart;
        chart.resize(858, 404);
        QVector<double> keys;
        QVector<double> values;
        for (int i = 0; i < 17280; ++i) {
            keys.append(T0 + 5 * i);
            const bool gap = (i >= 9000 && i < 9003) || (i >= 4000 && i < 4120);
            values.append(gap ? NaN : 400 + 50 * std::sin(i / 700.0));
        }
        chart.addPoints(keys, values);
        chart.setBottomRange(T0 + 86400 - 172800, T0 + 86400);
        chart.setLeftRange(0, 1000);
        const QImage image = chart.toPixmap(858, 404).toImage();

        const auto *graph = dynamic_cast<GapKeepingGraph *>(chart.series());
        QVERIFY(graph);
        QVERIFY(graph->reduced()); // and drawn with the thin pen
        const QVector<QPointF> line = graph->linePixels();
        QVERIFY(line.size() < 17280 / 4);
        const auto breaksBetween = [](const QVector<QPointF> &l, double from, double to) {
            int n = 0;
            for (qsizetype i = 1; i + 1 < l.size(); ++i)
                n += std::isnan(l.at(i).y()) && l.at(i - 1).x() >= from && l.at(i + 1).x() <= to;
            return n;
        };
        const double before = chart.xAxis->coordToPixel(T0 + 5 * 8999);
        const double after = chart.xAxis->coordToPixel(T0 + 5 * 9003);
        QVERIFY(after - before < 1.0);
        QCOMPARE(breaksBetween(line, before - 1, after + 1), 1);
        QCOMPARE(std::count_if(line.cbegin(), line.cend(), [](const QPointF &p) { return std::isnan(p.y()); }), 2);

        // The same points in a plain QCustomPlot graph with its sampling: no break there.
        struct SampledGraph : QCPGraph {
            using QCPGraph::QCPGraph;
            QVector<QPointF> lines() const
            {
                QVector<QPointF> l;
                getLines(&l, QCPDataRange(0, dataCount()));
                return l;
            }
        };
        auto *sampled = new SampledGraph(chart.xAxis, chart.yAxis);
        sampled->setData(keys, values, true);
        QVERIFY(sampled->adaptiveSampling());
        QCOMPARE(breaksBetween(sampled->lines(), before - 1, after + 1), 0);
        chart.removeGraph(sampled);

        // Ten minutes are about three pixels here: the middle one carries no curve.
        const int gapColumn = int(std::lround(chart.xAxis->coordToPixel(T0 + 5 * 4060)));
        const auto redIn = [&](int x) {
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                n += isCurveRed(image.pixel(x, y));
            return n;
        };
        QCOMPARE(redIn(gapColumn), 0);
        QVERIFY(redIn(gapColumn - 10) > 0);
        QVERIFY(redIn(gapColumn + 10) > 0);

        // An hour holds fewer points than pixels: not reduced, the wide pen.
        chart.setBottomRange(T0, T0 + 3600);
        chart.toPixmap(858, 404);
        QVERIFY(!graph->reduced());
        QCOMPARE(graph->linePixels().size(), 721 + 1); // one point beyond the right edge too
    }

    void dragIntent_data()
    {
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<int>("intent");
        const int in = int(ChartZoom::LeftDrag::ZoomIn);
        const int out = int(ChartZoom::LeftDrag::ZoomOut);
        const int none = int(ChartZoom::LeftDrag::None);
        // From (100, 100).
        QTest::newRow("down right") << QPointF(300, 200) << in;
        QTest::newRow("up left") << QPointF(20, 40) << out;
        QTest::newRow("up right") << QPointF(300, 20) << none;
        QTest::newRow("down left") << QPointF(20, 300) << none;
        QTest::newRow("right only") << QPointF(300, 100) << none;
        QTest::newRow("down right, too flat") << QPointF(300, 103) << none;
        QTest::newRow("down right at the threshold") << QPointF(104, 104) << in;
        QTest::newRow("up left at the threshold") << QPointF(96, 96) << out;
        QTest::newRow("a click") << QPointF(101, 101) << none;
    }
    void dragIntent()
    {
        QFETCH(QPointF, to);
        QFETCH(int, intent);
        QCOMPARE(int(ChartZoom::leftDragIntent(QPointF(100, 100), to)), intent);
    }

    void zoomArithmetic()
    {
        using namespace ChartZoom;
        const QRectF plot(100, 50, 800, 400);
        const ChartView view{QCPRange(0, 800), QCPRange(0, 400)};
        // Keys to the right, values upwards from the bottom edge.
        auto target = zoomTarget(QRectF(QPointF(300, 150), QPointF(500, 250)), plot, view);
        QVERIFY(target);
        QCOMPARE(target->keys, QCPRange(200, 400));
        QCOMPARE(target->values, QCPRange(200, 300));
        // Drawn the other way round it selects the same; beyond the plot area it is clipped.
        QCOMPARE(zoomTarget(QRectF(QPointF(500, 250), QPointF(300, 150)), plot, view), target);
        target = zoomTarget(QRectF(QPointF(0, 0), QPointF(300, 150)), plot, view);
        QVERIFY(target);
        QCOMPARE(target->keys, QCPRange(0, 200));
        QCOMPARE(target->values, QCPRange(300, 400));
        // A band that is too thin once clipped, or outside the plot area, selects nothing.
        QVERIFY(!zoomTarget(QRectF(QPointF(300, 150), QPointF(302, 250)), plot, view));
        QVERIFY(!zoomTarget(QRectF(QPointF(0, 0), QPointF(90, 40)), plot, view));
        QVERIFY(!zoomTarget(QRectF(QPointF(300, 448), QPointF(500, 600)), plot, view));
        // Never narrower than a second of time.
        const ChartView seconds{QCPRange(1000, 1008), QCPRange(0, 400)};
        target = zoomTarget(QRectF(QPointF(300, 150), QPointF(310, 250)), plot, seconds);
        QVERIFY(target);
        QCOMPARE(target->keys.size(), MinKeySpan);
        QCOMPARE(target->keys.center(), 1000 + 8 * 205.0 / 800);

        // Four even steps; the last one is exactly the target.
        const ChartView to{QCPRange(200, 400), QCPRange(100, 300)};
        const QList<ChartView> steps = zoomSteps(view, to);
        QCOMPARE(steps.size(), 4);
        QCOMPARE(steps.at(0).keys, QCPRange(50, 700));
        QCOMPARE(steps.at(0).values, QCPRange(25, 375));
        QCOMPARE(steps.at(1).keys, QCPRange(100, 600));
        QCOMPARE(steps.at(2).values, QCPRange(75, 325));
        QCOMPARE(steps.at(3), to);
        QCOMPARE(zoomSteps(view, to, 0), QList<ChartView>{to});

        // Panning: the curve follows the mouse, so dragging right shows earlier times.
        QCOMPARE(pannedKeys(QCPRange(0, 800), 500, 600, 400), QCPRange(-200, 600));
        QCOMPARE(pannedKeys(QCPRange(0, 800), 500, 300, 400), QCPRange(400, 1200));
        QCOMPARE(pannedKeys(QCPRange(0, 800), 500, 600, 0), QCPRange(0, 800));
        QVERIFY(isClick(QPointF(10, 10), QPointF(13, 7)));
        QVERIFY(!isClick(QPointF(10, 10), QPointF(14, 10)));
    }

    // Real mouse events and the real step timer: a rubber band zooms in in four steps spread
    // over about 200 ms, a drag up and to the left goes back to the full view the same way.
    void zoomWithTheMouse()
    {
        ShownChart shown;
        HistoryChart &chart = shown.chart;
        const ChartView full = chart.view();
        QCOMPARE(chart.fullView(), full);
        QList<ChartView> seen;
        QElapsedTimer clock;
        QList<qint64> at;
        connect(&chart, &HistoryChart::zoomStepShown, this, [&](int step) {
            QCOMPARE(step, int(seen.size()) + 1);
            seen.append(chart.view());
            at.append(clock.elapsed());
        });

        const QRectF plot = shown.plot();
        const QPointF from = plot.topLeft() + QPointF(200, 100);
        const QPointF to = from + QPointF(300, 150);
        mouse(&chart, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from);
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, to);
        QCOMPARE(chart.rubberBand(), QRectF(from, to).toAlignedRect());
        clock.start();
        mouse(&chart, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to);
        QCOMPARE(chart.rubberBand(), QRect());
        QVERIFY(chart.zoomAnimating());
        QCOMPARE(chart.view(), full); // nothing moves before the first step
        const auto target = ChartZoom::zoomTarget(QRectF(from, to), plot, full);
        QVERIFY(target);
        QTRY_COMPARE(seen.size(), 4);
        QCOMPARE(seen, ChartZoom::zoomSteps(full, *target));
        QVERIFY(!chart.zoomAnimating());
        QVERIFY(chart.zoomed());
        QCOMPARE(chart.fullView(), full);
        // Timers never fire early: the steps are spread over at least three intervals.
        QVERIFY(at.last() >= 3 * ChartZoom::ZoomStepMs - 5);

        // Zooming again works from the zoomed view.
        seen.clear();
        drag(&chart, Qt::LeftButton, from, to);
        QTRY_COMPARE(seen.size(), 4);
        QVERIFY(chart.view().keys.size() < target->keys.size());

        // Up and to the left: back to the full view, also in four steps.
        seen.clear();
        drag(&chart, Qt::LeftButton, to, from);
        QTRY_COMPARE(seen.size(), 4);
        QCOMPARE(seen.last(), full);
        QVERIFY(!chart.zoomed());

        // Up and to the right, a click, a short drag, a press outside the plot area: nothing.
        seen.clear();
        drag(&chart, Qt::LeftButton, from, from + QPointF(200, -80));
        drag(&chart, Qt::LeftButton, from, from + QPointF(2, 2));
        drag(&chart, Qt::LeftButton, plot.bottomLeft() + QPointF(10, 20), plot.center());
        QTest::qWait(4 * ChartZoom::ZoomStepMs);
        QVERIFY(seen.isEmpty());
        QCOMPARE(chart.view(), full);
    }

    void panWithTheRightButton()
    {
        ShownChart shown;
        HistoryChart &chart = shown.chart;
        const ChartView full = chart.view();
        const QRectF plot = shown.plot();
        // 200 pixels to the right: the time axis moves back by a quarter of its width at 800 px.
        drag(&chart, Qt::RightButton, plot.center(), plot.center() + QPointF(200, 60));
        const double shift = 200.0 / plot.width() * full.keys.size();
        QCOMPARE(chart.view().keys, QCPRange(full.keys.lower - shift, full.keys.upper - shift));
        QCOMPARE(chart.view().values, full.values); // the time axis only
        QVERIFY(chart.zoomed());
        QCOMPARE(chart.fullView(), full);
        QVERIFY(!chart.contextMenu()->isVisible()); // a drag opens no menu
        QCOMPARE(chart.cursor().shape(), Qt::ArrowCursor);

        // Up and to the left with the left button: the full view again.
        drag(&chart, Qt::LeftButton, plot.center(), plot.center() - QPointF(100, 100));
        QTRY_VERIFY(!chart.zoomed());

        // A right click opens the context menu.
        drag(&chart, Qt::RightButton, plot.center(), plot.center() + QPointF(1, 1));
        QVERIFY(chart.contextMenu()->isVisible());
        chart.contextMenu()->close();
        QCOMPARE(chart.view(), full);
    }

    void compareCurves()
    {
        using namespace ChartCompare;
        QCOMPARE(compareStep({3}, 3), CompareStep::Keep);
        QCOMPARE(compareStep({3}, 4), CompareStep::Add);
        QCOMPARE(compareStep({3, 4}, 4), CompareStep::Remove);
        QCOMPARE(compareStep({3, 4, 5, 6}, 7), CompareStep::Full);
        QCOMPARE(compareStep({3, 4, 5, 6}, 6), CompareStep::Remove); // taking off works when full

        QCOMPARE(unionOfLimits({{0, 100}, {-50, 80}}), std::optional<QCPRange>(QCPRange(-50, 100)));
        QCOMPARE(unionOfLimits({{200, 100}, {150, 300}}), std::optional<QCPRange>(QCPRange(100, 300))); // either order
        QCOMPARE(unionOfLimits({{50, 50}, {0, 10}}), std::optional<QCPRange>(QCPRange(0, 10)));       // equal ends passed over
        QCOMPARE(unionOfLimits({{NaN, 10}, {0, INFINITY}}), std::nullopt);
        QCOMPARE(unionOfLimits({}), std::nullopt);
        QCOMPARE(curveName(QStringLiteral(" 油温 "), QStringLiteral("aa3")), QStringLiteral("油温"));
        QCOMPARE(curveName(QString(), QStringLiteral("aa3")), QStringLiteral("aa3"));

        HistoryChart chart;
        chart.setCurveName(0, QStringLiteral("通道1"));
        chart.addPoints({T0, T0 + 5}, {1, 2});
        QSignalSpy added(&chart, &HistoryChart::pointsAdded);
        const QCPRange keys = chart.bottomRange();
        QCPGraph *second = chart.addCurve(QStringLiteral("通道2"), {T0 + 5, T0, T0 + 10}, {20, 10, 30});
        QVERIFY(second);
        QCOMPARE(added.size(), 0);           // Series1's after-add rule is not run
        QCOMPARE(chart.bottomRange(), keys); // and the time axis stays
        QCOMPARE(second->data()->at(0)->value, 10.0); // in key order
        QVERIFY(chart.legend->visible());
        QCOMPARE(chart.legend->itemCount(), 2);
        QVERIFY(chart.addCurve(QStringLiteral("通道3"), {}, {}));
        QVERIFY(chart.addCurve(QStringLiteral("通道4"), {}, {}));
        QVERIFY(!chart.addCurve(QStringLiteral("通道5"), {}, {}));
        QCOMPARE(chart.curveCount(), MaxCurves);
        QSet<QRgb> colours;
        for (int i = 0; i < chart.curveCount(); ++i)
            colours.insert(chart.curve(i)->pen().color().rgb());
        QCOMPARE(colours.size(), MaxCurves);

        // Taking one off keeps the others' colours; the next one takes the free colour.
        const QColor third = chart.curve(2)->pen().color();
        const QColor freed = chart.curve(1)->pen().color();
        chart.removeCurve(1);
        QCOMPARE(chart.curveCount(), 3);
        QCOMPARE(chart.curve(1)->pen().color(), third);
        QCOMPARE(chart.legend->itemCount(), 3);
        QCOMPARE(chart.addCurve(QStringLiteral("通道6"), {}, {})->pen().color(), freed);
        chart.removeCurve(0); // Series1 stays
        QCOMPARE(chart.curveCount(), 4);

        // Marks follow "参数指示" on every curve.
        chart.setMarksVisible(false);
        const QImage without = chart.toPixmap(400, 300).toImage();
        chart.setMarksVisible(true);
        chart.setBottomRange(T0 - 5, T0 + 15);
        QVERIFY(chart.toPixmap(400, 300).toImage() != without);

        chart.removeAddedCurves();
        QCOMPARE(chart.curveCount(), 1);
        QVERIFY(!chart.legend->visible());
        QCOMPARE(chart.pointCount(), 2);
    }

    void picture()
    {
        HistoryChart chart;
        chart.resize(500, 300);
        chart.addPoints({T0, T0 + 60}, {100, 900});
        chart.setBottomRange(T0, T0 + 60);
        const QImage image = chart.picture();
        QCOMPARE(image.size(), QSize(1000, 600));
        QCOMPARE(QColor(image.pixel(4, 2)), QColor(128, 128, 128));
        QCOMPARE(image.dotsPerMeterX(), int(std::lround(192 / 0.0254)));

        QTemporaryDir dir;
        const QString file = QDir(dir.path()).filePath(QStringLiteral("chart.png"));
        QString error;
        QVERIFY2(ChartCompare::writePicture(image, file, &error), qPrintable(error));
        const QImage back(file);
        QCOMPARE(back.size(), image.size());
        QCOMPARE(back.pixel(4, 2), image.pixel(4, 2));
        // Written again over itself; no temporary file is left beside it.
        QVERIFY(ChartCompare::writePicture(image.copy(0, 0, 10, 10), file, &error));
        QCOMPARE(QImage(file).size(), QSize(10, 10));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("chart.png")});

        // A missing directory, a directory in the file's place: nothing written, the reason given.
        const QString missing = QDir(dir.path()).filePath(QStringLiteral("no/such/chart.png"));
        QVERIFY(!ChartCompare::writePicture(image, missing, &error));
        QVERIFY(error.contains(missing));
        const QString folder = QDir(dir.path()).filePath(QStringLiteral("folder.png"));
        QVERIFY(QDir().mkdir(folder));
        error.clear();
        QVERIFY(!ChartCompare::writePicture(image, folder, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(folder).isDir());

        const QCPRange keys(HistoryChart::keyOf(QDateTime(QDate(2024, 3, 5), QTime(10, 0))),
                            HistoryChart::keyOf(QDateTime(QDate(2024, 3, 5), QTime(11, 30, 15))));
        QCOMPARE(ChartCompare::pictureFileName({QStringLiteral("油温 1"), QStringLiteral("a/b:c")}, keys),
                 QStringLiteral("油温_1+a_b_c_20240305-100000_20240305-113015.png"));
    }
};

QTEST_MAIN(TestHistoryChart)
#include "tst_historychart.moc"
