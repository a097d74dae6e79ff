#include "PointMarks.h"

#include "ValueAxisTicker.h"

#include <cmath>

PointMarks::PointMarks(QCustomPlot *plot, QCPGraph *graph, int pointLimit)
    : QCPLayerable(plot), m_graph(graph), m_pointLimit(pointLimit)
{
    // Above the curve, below the axes.
    setLayer(graph->layer());
}

int PointMarks::pointsInView() const
{
    const auto data = m_graph->data();
    const QCPRange range = m_graph->keyAxis()->range();
    const auto begin = data->findBegin(range.lower, false);
    const auto end = data->findEnd(range.upper, false);
    return int(end - begin);
}

bool PointMarks::drawsMarks() const { return m_shown && pointsInView() <= m_pointLimit; }

void PointMarks::applyDefaultAntialiasingHint(QCPPainter *painter) const
{
    applyAntialiasingHint(painter, true, QCP::aeOther);
}

QRect PointMarks::clipRect() const
{
    return m_graph->keyAxis() ? m_graph->keyAxis()->axisRect()->rect() : QCPLayerable::clipRect();
}

void PointMarks::draw(QCPPainter *painter)
{
    if (!drawsMarks())
        return;
    const auto data = m_graph->data();
    const QCPRange range = m_graph->keyAxis()->range();
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(11);
    painter->setFont(font);
    const QFontMetrics metrics(font);
    const QPen framePen(QColor(128, 128, 128));
    const QBrush fill(QColor(255, 255, 225)); // the pale yellow of tool tips
    // A label that would cover the one drawn before it is left out: the curve still shows
    // the point, and the labels that are drawn stay readable.
    QRectF previous;
    for (auto it = data->findBegin(range.lower, false); it != data->findEnd(range.upper, false); ++it) {
        if (std::isnan(it->value))
            continue; // a gap has no value to show
        const QPointF at = m_graph->coordsToPixels(it->key, it->value);
        const QString text = ValueAxisTicker::valueText(it->value);
        const QPointF tip(at.x(), at.y() - ArrowLength);
        const int width = metrics.horizontalAdvance(text) + 6;
        const int height = metrics.height() + 2;
        const QRectF box(tip.x() - width / 2.0, tip.y() - height, width, height);
        if (!previous.isNull() && box.intersects(previous))
            continue;
        previous = box;
        painter->setPen(QPen(Qt::white));
        painter->drawLine(at, tip);
        painter->setPen(framePen);
        painter->setBrush(fill);
        painter->drawRect(box);
        painter->setPen(QPen(Qt::black));
        painter->drawText(box, Qt::AlignCenter, text);
    }
}
