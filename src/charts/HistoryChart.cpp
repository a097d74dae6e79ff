#include "HistoryChart.h"

#include "PointMarks.h"
#include "ValueAxisTicker.h"

#include <QLinearGradient>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

bool usableRange(double min, double max)
{
    return std::isfinite(min) && std::isfinite(max) && QCPRange::validRange(std::min(min, max), std::max(min, max));
}

} // namespace

HistoryChart::HistoryChart(QWidget *parent) : QCustomPlot(parent)
{
    // Grey at the top to dark teal at the bottom, whatever the chart's size; the plot area
    // is left unfilled so the gradient shows behind the curve.
    QLinearGradient gradient(0.0, 0.0, 0.0, 1.0);
    gradient.setCoordinateMode(QGradient::ObjectBoundingMode);
    gradient.setColorAt(0.0, QColor(128, 128, 128));
    gradient.setColorAt(1.0, QColor(64, 128, 128));
    setBackground(QBrush(gradient));
    axisRect()->setBackground(Qt::NoBrush);
    legend->setVisible(false);

    auto timeTicker = QSharedPointer<QCPAxisTickerDateTime>::create();
    timeTicker->setDateTimeFormat(QStringLiteral("HH:mm:ss\nyyyy-MM-dd"));
    timeTicker->setDateTimeSpec(Qt::LocalTime);
    timeTicker->setTickCount(6);
    xAxis->setTicker(timeTicker);
    xAxis->setSubTicks(false);
    xAxis->grid()->setPen(QPen(QColor(160, 160, 160), 0, Qt::DotLine));
    xAxis->grid()->setSubGridVisible(true);
    xAxis->grid()->setSubGridPen(QPen(QColor(128, 128, 128), 0, Qt::DotLine));

    yAxis->setTicker(QSharedPointer<ValueAxisTicker>::create());
    yAxis->setSubTicks(false);
    yAxis->grid()->setPen(QPen(QColor(212, 208, 200), 0, Qt::SolidLine));
    for (QCPAxis *axis : {xAxis, yAxis}) {
        axis->setTickLabelColor(Qt::black);
        axis->setBasePen(QPen(Qt::black));
        axis->setTickPen(QPen(Qt::black));
    }
    yAxis->setRange(InitialLeftMin, InitialLeftMax);

    m_series = addGraph(xAxis, yAxis);
    m_series->setName(QStringLiteral("Series1"));
    m_series->removeFromLegend();
    m_series->setLineStyle(QCPGraph::lsLine);
    m_series->setPen(QPen(Qt::red, 2));
    m_series->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
    // Hundreds of thousands of points stay quick to draw at wide spans.
    m_series->setAdaptiveSampling(true);

    m_marks = new PointMarks(this, m_series, MarkPointLimit);

    setInteractions(QCP::iRangeDrag);
    axisRect()->setRangeDrag(Qt::Horizontal);
}

double HistoryChart::keyOf(const QDateTime &dt) { return double(dt.toMSecsSinceEpoch()) / 1000.0; }

void HistoryChart::clearSeries() { m_series->data()->clear(); }

void HistoryChart::addPoint(double key, double value) { addPoints({key}, {value}); }

void HistoryChart::addPoints(const QVector<double> &keys, const QVector<double> &values)
{
    const qsizetype n = std::min(keys.size(), values.size());
    QVector<QCPGraphData> incoming;
    incoming.reserve(n);
    for (qsizetype i = 0; i < n; ++i)
        if (std::isfinite(keys.at(i)))
            incoming.append(QCPGraphData(keys.at(i), values.at(i)));
    if (incoming.isEmpty())
        return;
    // Query rows come in time order; anything else is sorted here (stable: equal keys keep
    // their order).
    const auto byKey = [](const QCPGraphData &a, const QCPGraphData &b) { return a.key < b.key; };
    if (!std::is_sorted(incoming.cbegin(), incoming.cend(), byKey))
        std::stable_sort(incoming.begin(), incoming.end(), byKey);

    const auto data = m_series->data();
    if (data->isEmpty()) {
        data->set(incoming, true);
    } else if (incoming.first().key > (data->constEnd() - 1)->key) {
        data->add(incoming, true);
    } else {
        // Merge; on equal keys the incoming point wins and the held one is dropped.
        QVector<QCPGraphData> merged;
        merged.reserve(data->size() + incoming.size());
        auto held = data->constBegin();
        const auto heldEnd = data->constEnd();
        for (const QCPGraphData &p : incoming) {
            while (held != heldEnd && held->key < p.key)
                merged.append(*held++);
            while (held != heldEnd && held->key == p.key)
                ++held;
            merged.append(p);
        }
        while (held != heldEnd)
            merged.append(*held++);
        data->set(merged, true);
    }
    Q_EMIT pointsAdded();
}

int HistoryChart::pointCount() const { return m_series->data()->size(); }

double HistoryChart::maxX() const
{
    const auto data = m_series->data();
    return data->isEmpty() ? std::numeric_limits<double>::quiet_NaN() : (data->constEnd() - 1)->key;
}

void HistoryChart::setBottomRange(double min, double max)
{
    if (usableRange(min, max))
        xAxis->setRange(std::min(min, max), std::max(min, max));
}

QCPRange HistoryChart::bottomRange() const { return xAxis->range(); }

void HistoryChart::setLeftRange(double min, double max)
{
    if (usableRange(min, max))
        yAxis->setRange(std::min(min, max), std::max(min, max));
}

QCPRange HistoryChart::leftRange() const { return yAxis->range(); }

void HistoryChart::setMarksVisible(bool visible) { m_marks->setShown(visible); }

bool HistoryChart::marksVisible() const { return m_marks->shown(); }

int HistoryChart::pointsInView() const { return m_marks->pointsInView(); }

bool HistoryChart::marksDrawn() const { return m_marks->drawsMarks(); }
