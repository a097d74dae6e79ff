#include "StripChart.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

QFont boldArial(int pixelSize)
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

void styleAxis(QCPAxis *axis)
{
    axis->setLabelFont(boldArial(13));
    axis->setLabelColor(Qt::white);
    // Tick labels, ticks and the axis line in white too: black is hard to read on dark green.
    axis->setTickLabelColor(Qt::white);
    axis->setBasePen(QPen(Qt::white));
    axis->setTickPen(QPen(Qt::white));
    axis->setSubTickPen(QPen(Qt::white));
    axis->grid()->setVisible(true);
    axis->grid()->setPen(QPen(QColor(255, 255, 255, 110), 0, Qt::DotLine));
}

} // namespace

StripChart::StripChart(QWidget *parent) : QCustomPlot(parent)
{
    setBackground(QBrush(QColor(0, 128, 0)));
    setInteractions(QCP::Interactions());
    legend->setVisible(false);

    plotLayout()->insertRow(0);
    m_title = new QCPTextElement(this, QString(), boldArial(19));
    m_title->setTextColor(Qt::white);
    plotLayout()->addElement(0, 0, m_title);

    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeFormat(QStringLiteral("hh:mm:ss"));
    ticker->setDateTimeSpec(Qt::LocalTime);
    ticker->setTickCount(6);
    xAxis->setTicker(ticker);
    styleAxis(xAxis);
    styleAxis(yAxis);
    yAxis->setNumberFormat(QStringLiteral("g"));
    yAxis->setNumberPrecision(4);

    m_channel = addGraph(xAxis, yAxis);
    m_channel->removeFromLegend();
    m_channel->setLineStyle(QCPGraph::lsLine);
    m_channel->setPen(QPen(QColor(255, 255, 0), 2));
    // Only the visible 30 minutes (about 1800 points) are drawn, so sampling buys nothing here,
    // and it could bridge a one-second gap by merging a NaN into its neighbours' pixel column.
    m_channel->setAdaptiveSampling(false);

    setYRange(1.0, 100.0);
    xAxis->setRange(xRangeFor(keyOf(QDateTime::currentDateTime())));
}

QCPRange StripChart::yRangeFor(double min, double span)
{
    if (!std::isfinite(min))
        min = 0.0;
    if (std::isfinite(span)) {
        double lower = min;
        double upper = min + span;
        if (upper < lower)
            std::swap(lower, upper);
        if (upper > lower && QCPRange::validRange(lower, upper))
            return QCPRange(lower, upper);
    }
    const double half = std::max(FallbackSpan / 2.0, std::abs(min) * 1e-3);
    return QCPRange(min - half, min + half);
}

QCPRange StripChart::xRangeFor(double newestKey) { return QCPRange(newestKey - SpanSeconds, newestKey); }

double StripChart::keyOf(const QDateTime &dt) { return QCPAxisTickerDateTime::dateTimeToKey(dt); }

void StripChart::setYRange(double min, double span)
{
    yAxis->setRange(yRangeFor(min, span));
    replot(rpQueuedReplot);
}

QCPRange StripChart::yRange() const { return yAxis->range(); }
QCPRange StripChart::xRange() const { return xAxis->range(); }

void StripChart::setTitle(const QString &text)
{
    m_title->setText(text);
    replot(rpQueuedReplot);
}

QString StripChart::title() const { return m_title->text(); }

void StripChart::setChannelTitle(const QString &text) { m_channel->setName(text); }
QString StripChart::channelTitle() const { return m_channel->name(); }

void StripChart::clear()
{
    m_channel->data()->clear();
    replot(rpQueuedReplot);
}

void StripChart::addPoint(const QDateTime &at, double value)
{
    if (!at.isValid())
        return; // no place on the time axis
    addPoint(keyOf(at), value);
}

void StripChart::addPoint(double key, double value)
{
    if (!std::isfinite(key))
        return;
    m_channel->addData(key, value);
    applyRetention(key);
    xAxis->setRange(xRangeFor(key));
    replot(rpQueuedReplot);
}

int StripChart::pointCount() const { return m_channel->data()->size(); }

void StripChart::applyRetention(double newestKey)
{
    QSharedPointer<QCPGraphDataContainer> data = m_channel->data();
    // Keep (newest − 24 h, newest]: removeBefore drops keys strictly below its argument.
    data->removeBefore(std::nextafter(newestKey - RetentionSeconds, std::numeric_limits<double>::infinity()));
    // Points closer together than one second: cap the count as well. Removing from the front
    // only moves the container's start, so this stays cheap.
    while (data->size() > MaxPoints) {
        const int excess = data->size() - MaxPoints;
        data->removeBefore((data->constBegin() + excess)->key);
        if (data->size() > MaxPoints)
            data->remove(data->constBegin()->key); // equal keys at the cut: one at a time
    }
}
