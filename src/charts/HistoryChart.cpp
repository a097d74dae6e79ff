#include "HistoryChart.h"

#include "ChartCompare.h"
#include "GapKeepingGraph.h"
#include "PointMarks.h"
#include "ScreenText.h"
#include "ValueAxisTicker.h"

#include <QAction>
#include <QLinearGradient>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

bool usableRange(double min, double max)
{
    return std::isfinite(min) && std::isfinite(max) && QCPRange::validRange(std::min(min, max), std::max(min, max));
}

// The points with a finite key, in ascending key order (stable: equal keys keep their order).
QVector<QCPGraphData> sortedPoints(const QVector<double> &keys, const QVector<double> &values)
{
    const qsizetype n = std::min(keys.size(), values.size());
    QVector<QCPGraphData> points;
    points.reserve(n);
    for (qsizetype i = 0; i < n; ++i)
        if (std::isfinite(keys.at(i)))
            points.append(QCPGraphData(keys.at(i), values.at(i)));
    // Query rows come in time order; anything else is sorted here.
    const auto byKey = [](const QCPGraphData &a, const QCPGraphData &b) { return a.key < b.key; };
    if (!std::is_sorted(points.cbegin(), points.cend(), byKey))
        std::stable_sort(points.begin(), points.end(), byKey);
    return points;
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

    auto timeTicker = QSharedPointer<QCPAxisTickerDateTime>::create();
    // The time of day over the date, in the system's long time and short date formats; month
    // and day names (where a format has them) in the system's language.
    timeTicker->setDateTimeFormat(longTimeFormat() + QLatin1Char('\n') + shortDateFormat());
    setLocale(QLocale::system());
    timeTicker->setDateTimeSpec(Qt::LocalTime);
    timeTicker->setTickCount(6);
    xAxis->setTicker(timeTicker);
    // The minor grid of the time axis is drawn between the labelled ticks, dotted grey; the
    // axis itself carries no minor tick marks. QCustomPlot places the sub-grid at the sub-tick
    // positions, so sub-ticks are on with a tick length of zero.
    xAxis->setSubTicks(true);
    xAxis->setSubTickLength(0, 0);
    xAxis->setSubTickPen(Qt::NoPen);
    xAxis->grid()->setPen(QPen(QColor(160, 160, 160), 0, Qt::DotLine));
    xAxis->grid()->setSubGridVisible(true);
    xAxis->grid()->setSubGridPen(QPen(QColor(150, 150, 150), 0, Qt::DotLine));

    yAxis->setTicker(QSharedPointer<ValueAxisTicker>::create());
    yAxis->setSubTicks(false);
    yAxis->grid()->setPen(QPen(QColor(212, 208, 200), 0, Qt::SolidLine));
    for (QCPAxis *axis : {xAxis, yAxis}) {
        axis->setTickLabelColor(Qt::black);
        axis->setBasePen(QPen(Qt::black));
        axis->setTickPen(QPen(Qt::black));
    }
    yAxis->setRange(InitialLeftMin, InitialLeftMax);

    // The legend names the curves while channels are compared; one curve needs no legend.
    QFont legendFont(QStringLiteral("Arial"));
    legendFont.setPixelSize(11);
    legend->setFont(legendFont);
    legend->setBrush(QColor(255, 255, 255, 215));
    legend->setBorderPen(QPen(QColor(128, 128, 128)));
    legend->setIconSize(18, 8);
    legend->setMargins(QMargins(5, 2, 5, 2));
    legend->setRowSpacing(0);
    axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    legend->setVisible(false);

    m_curves.append(makeCurve(0));
    series()->setName(QStringLiteral("Series1"));

    // No interaction of QCustomPlot's own: the mouse gestures are this chart's (ChartZoom.h).
    setInteractions(QCP::Interactions());
    m_full = view();

    m_zoomTimer.setInterval(ChartZoom::ZoomStepMs);
    m_zoomTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_zoomTimer, &QTimer::timeout, this, &HistoryChart::zoomTick);

    m_menu = new QMenu(this);
    m_savePicture = m_menu->addAction(QStringLiteral("保存图片…"));
}

HistoryChart::~HistoryChart()
{
    // Marks point at their graphs: they go first.
    for (Curve &c : m_curves)
        delete c.marks;
}

HistoryChart::Curve HistoryChart::makeCurve(int slot)
{
    Curve c;
    c.slot = slot;
    c.graph = new GapKeepingGraph(xAxis, yAxis);
    c.graph->removeFromLegend();
    c.graph->setLineStyle(QCPGraph::lsLine);
    QPen pen(ChartCompare::curveColour(slot), 2);
    // Flat ends: a square cap would reach a pixel into the gap of an interruption.
    pen.setCapStyle(Qt::FlatCap);
    c.graph->setPen(pen);
    c.graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
    c.graph->setRecordBreaks(true);
    c.marks = new PointMarks(this, c.graph);
    c.marks->setShown(m_marksShown);
    return c;
}

double HistoryChart::keyOf(const QDateTime &dt) { return double(dt.toMSecsSinceEpoch()) / 1000.0; }

QCPGraph *HistoryChart::series() const { return m_curves.first().graph; }

void HistoryChart::clearSeries()
{
    series()->data()->clear();
    m_curves.first().graph->keysChanged();
}

void HistoryChart::addPoint(double key, double value) { addPoints({key}, {value}); }

void HistoryChart::addPoints(const QVector<double> &keys, const QVector<double> &values)
{
    if (mergePoints(0, keys, values))
        Q_EMIT pointsAdded();
}

void HistoryChart::addPointsTo(int curve, const QVector<double> &keys, const QVector<double> &values)
{
    if (mergePoints(curve, keys, values) && curve == 0)
        Q_EMIT pointsAdded();
}

bool HistoryChart::mergePoints(int curve, const QVector<double> &keys, const QVector<double> &values)
{
    if (curve < 0 || curve >= m_curves.size())
        return false;
    const QVector<QCPGraphData> incoming = sortedPoints(keys, values);
    if (incoming.isEmpty())
        return false;
    GapKeepingGraph *graph = m_curves.at(curve).graph;
    const auto data = graph->data();
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
    graph->keysChanged();
    return true;
}

int HistoryChart::pointCount() const { return series()->data()->size(); }

double HistoryChart::maxX() const
{
    const auto data = series()->data();
    return data->isEmpty() ? std::numeric_limits<double>::quiet_NaN() : (data->constEnd() - 1)->key;
}

int HistoryChart::curveCount() const { return int(m_curves.size()); }

QCPGraph *HistoryChart::curve(int index) const
{
    return index >= 0 && index < m_curves.size() ? m_curves.at(index).graph : nullptr;
}

QString HistoryChart::curveName(int index) const
{
    const QCPGraph *graph = curve(index);
    return graph ? graph->name() : QString();
}

void HistoryChart::setCurveName(int index, const QString &name)
{
    if (QCPGraph *graph = curve(index))
        graph->setName(name);
}

QCPGraph *HistoryChart::addCurve(const QString &name, const QVector<double> &keys, const QVector<double> &values)
{
    if (m_curves.size() >= ChartCompare::MaxCurves)
        return nullptr;
    int slot = 0;
    while (std::any_of(m_curves.cbegin(), m_curves.cend(), [slot](const Curve &c) { return c.slot == slot; }))
        ++slot;
    Curve c = makeCurve(slot);
    c.graph->setName(name);
    c.graph->data()->set(sortedPoints(keys, values), true);
    c.graph->keysChanged();
    m_curves.append(c);
    updateLegend();
    return c.graph;
}

void HistoryChart::removeCurve(int index)
{
    if (index < 1 || index >= m_curves.size())
        return;
    const Curve c = m_curves.takeAt(index);
    delete c.marks;
    removeGraph(c.graph);
    updateLegend();
}

void HistoryChart::removeAddedCurves()
{
    while (m_curves.size() > 1)
        removeCurve(int(m_curves.size()) - 1);
}

void HistoryChart::updateLegend()
{
    const bool compare = m_curves.size() > 1;
    legend->setVisible(compare);
    for (qsizetype i = 0; i < m_curves.size(); ++i) {
        const Curve &c = m_curves.at(i);
        c.marks->setComparing(compare, int(i), int(m_curves.size()));
        if (compare)
            c.graph->addToLegend();
        else
            c.graph->removeFromLegend();
    }
}

void HistoryChart::setBottomRange(double min, double max)
{
    finishZoom();
    if (usableRange(min, max))
        xAxis->setRange(std::min(min, max), std::max(min, max));
    m_full.keys = xAxis->range();
}

QCPRange HistoryChart::bottomRange() const { return xAxis->range(); }

void HistoryChart::setLeftRange(double min, double max)
{
    finishZoom();
    if (usableRange(min, max))
        yAxis->setRange(std::min(min, max), std::max(min, max));
    m_full.values = yAxis->range();
}

QCPRange HistoryChart::leftRange() const { return yAxis->range(); }

ChartView HistoryChart::view() const { return {xAxis->range(), yAxis->range()}; }

void HistoryChart::applyView(const ChartView &v)
{
    xAxis->setRange(v.keys);
    yAxis->setRange(v.values);
}

void HistoryChart::zoomTo(const ChartView &target)
{
    m_zoomSteps = ChartZoom::zoomSteps(view(), target);
    m_zoomNext = 0;
    m_zoomTimer.start();
}

void HistoryChart::zoomOut()
{
    finishZoom();
    if (zoomed())
        zoomTo(m_full);
}

void HistoryChart::endZoom()
{
    m_zoomTimer.stop();
    m_zoomSteps.clear();
    applyView(m_full);
    replot(rpQueuedReplot);
}

void HistoryChart::finishZoom()
{
    if (!m_zoomTimer.isActive())
        return;
    m_zoomTimer.stop();
    if (!m_zoomSteps.isEmpty())
        applyView(m_zoomSteps.constLast());
    m_zoomSteps.clear();
    replot(rpQueuedReplot);
}

void HistoryChart::zoomTick()
{
    if (m_zoomNext >= m_zoomSteps.size()) {
        m_zoomTimer.stop();
        return;
    }
    applyView(m_zoomSteps.at(m_zoomNext++));
    if (m_zoomNext >= m_zoomSteps.size()) {
        m_zoomTimer.stop();
        m_zoomSteps.clear();
    }
    // Each step is painted now; a queued replot could fold two steps into one picture.
    replot(rpImmediateRefresh);
    Q_EMIT zoomStepShown(m_zoomNext);
}

void HistoryChart::mousePressEvent(QMouseEvent *event)
{
    const bool left = event->button() == Qt::LeftButton;
    const bool right = event->button() == Qt::RightButton;
    if (m_drag != Drag::None || !(left || right)) {
        event->accept();
        if (m_drag == Drag::None)
            QCustomPlot::mousePressEvent(event);
        return;
    }
    finishZoom(); // a gesture starts from a settled view
    const QPointF at = event->position();
    // A rubber band starts inside the plot area; the time axis pans from anywhere.
    if (left && !axisRect()->rect().contains(at.toPoint())) {
        event->accept();
        return;
    }
    m_drag = left ? Drag::Band : Drag::Pan;
    m_dragButton = event->button();
    m_pressAt = at;
    m_keysAtPress = xAxis->range();
    m_panning = false;
    m_bandShown = false;
    event->accept();
}

void HistoryChart::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF at = event->position();
    if (m_drag == Drag::Band) {
        // The band shows only while the drag goes the zooming way, down and to the right.
        const bool zooming = at.x() > m_pressAt.x() && at.y() > m_pressAt.y();
        const QRect band = QRectF(m_pressAt, at).toAlignedRect().intersected(axisRect()->rect());
        if (zooming != m_bandShown || band != m_band) {
            m_band = band;
            m_bandShown = zooming;
            setCursor(zooming ? Qt::CrossCursor : Qt::ArrowCursor);
            update();
        }
        event->accept();
    } else if (m_drag == Drag::Pan) {
        if (m_panning || !ChartZoom::isClick(m_pressAt, at)) {
            if (!m_panning)
                setCursor(Qt::ClosedHandCursor);
            m_panning = true;
            xAxis->setRange(ChartZoom::pannedKeys(m_keysAtPress, m_pressAt.x(), at.x(), axisRect()->width()));
            replot(rpQueuedReplot);
        }
        event->accept();
    } else {
        QCustomPlot::mouseMoveEvent(event);
    }
}

void HistoryChart::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_drag == Drag::None || event->button() != m_dragButton) {
        if (m_drag == Drag::None)
            QCustomPlot::mouseReleaseEvent(event);
        event->accept();
        return;
    }
    const QPointF at = event->position();
    const Drag drag = std::exchange(m_drag, Drag::None);
    m_dragButton = Qt::NoButton;
    unsetCursor();
    if (drag == Drag::Band) {
        const bool wasShown = std::exchange(m_bandShown, false);
        switch (ChartZoom::leftDragIntent(m_pressAt, at)) {
        case ChartZoom::LeftDrag::ZoomIn:
            if (const auto target = ChartZoom::zoomTarget(QRectF(m_pressAt, at), axisRect()->rect(), view()))
                zoomTo(*target);
            break;
        case ChartZoom::LeftDrag::ZoomOut:
            zoomOut();
            break;
        case ChartZoom::LeftDrag::None:
            break;
        }
        if (wasShown)
            update();
    } else if (m_panning) {
        xAxis->setRange(ChartZoom::pannedKeys(m_keysAtPress, m_pressAt.x(), at.x(), axisRect()->width()));
        replot(rpQueuedReplot);
    } else {
        m_menu->popup(event->globalPosition().toPoint());
    }
    event->accept();
}

void HistoryChart::contextMenuEvent(QContextMenuEvent *event)
{
    // The right button's menu opens on its release, so that the button can pan; the menu key
    // opens it at once.
    if (event->reason() != QContextMenuEvent::Mouse)
        m_menu->popup(mapToGlobal(rect().center()));
    event->accept();
}

void HistoryChart::paintEvent(QPaintEvent *event)
{
    QCustomPlot::paintEvent(event);
    if (!m_bandShown || m_band.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
    painter.setBrush(QColor(255, 255, 255, 48));
    painter.drawRect(m_band.adjusted(0, 0, -1, -1));
}

void HistoryChart::setMarksVisible(bool visible)
{
    m_marksShown = visible;
    for (Curve &c : m_curves)
        c.marks->setShown(visible);
}

bool HistoryChart::marksVisible() const { return m_marksShown; }

int HistoryChart::pointsInView() const { return m_curves.first().marks->pointsInView(); }

bool HistoryChart::marksDrawn() const { return m_curves.first().marks->drawsMarks(); }

PointMarks *HistoryChart::marks(int curve) const
{
    return curve >= 0 && curve < m_curves.size() ? m_curves.at(curve).marks : nullptr;
}

QImage HistoryChart::picture()
{
    const double scale = ChartCompare::PictureScale * devicePixelRatioF();
    QImage image = toPixmap(width(), height(), scale).toImage();
    // Printed at the size it has on the screen.
    const int dotsPerMetre = int(std::lround(96.0 * scale / 0.0254));
    image.setDotsPerMeterX(dotsPerMetre);
    image.setDotsPerMeterY(dotsPerMetre);
    return image;
}
