#include "PointMarks.h"

#include "ValueAxisTicker.h"

#include <algorithm>
#include <cmath>

namespace PointMarkRules {

qsizetype markStride(qsizetype points, double width, double spacing)
{
    if (points <= 1 || !(width > 0) || !(spacing > 0))
        return 1;
    const double needed = double(points) * spacing / width;
    qsizetype decade = 1;
    for (;;) {
        for (const qsizetype step : {decade, 2 * decade, 5 * decade})
            if (double(step) >= needed)
                return step;
        if (decade > (qsizetype(1) << 52))
            return points;
        decade *= 10;
    }
}

QVector<qsizetype> markIndexes(qsizetype first, qsizetype last, qsizetype anchor, qsizetype stride, qsizetype offset)
{
    QVector<qsizetype> out;
    if (stride < 1 || first < 0 || offset < 0)
        return out;
    last = std::min(last, anchor);
    if (last < first)
        return out;
    const qsizetype start = anchor - offset;
    if (start >= first) {
        // The first index at or after `first` that lies a whole number of strides before start.
        for (qsizetype at = start - ((start - first) / stride) * stride; at <= std::min(last, start); at += stride)
            out.append(at);
    }
    if (anchor <= last && (out.isEmpty() || out.constLast() != anchor))
        out.append(anchor);
    return out;
}

MarkColours markColours(const QColor &curve, bool comparing)
{
    if (!comparing) // the pale yellow of tool tips, a grey frame, a white arrow
        return {QColor(255, 255, 225), QColor(Qt::black), QColor(128, 128, 128), QColor(Qt::white)};
    // Text that stands out on the curve's colour: black on light colours, white on dark ones.
    const double lightness = 0.299 * curve.red() + 0.587 * curve.green() + 0.114 * curve.blue();
    return {curve, lightness > 150 ? QColor(Qt::black) : QColor(Qt::white), curve.darker(160), curve};
}

} // namespace PointMarkRules

using namespace PointMarkRules;

PointMarks::PointMarks(QCustomPlot *plot, QCPGraph *graph) : QCPLayerable(plot), m_graph(graph)
{
    // Above the curve, below the axes.
    setLayer(graph->layer());
}

void PointMarks::setComparing(bool comparing, int turn, int curves)
{
    m_comparing = comparing;
    m_curves = comparing ? std::max(1, curves) : 1;
    m_turn = comparing ? std::clamp(turn, 0, m_curves - 1) : 0;
}

MarkColours PointMarks::colours() const { return markColours(m_graph->pen().color(), m_comparing); }

int PointMarks::pointsInView() const
{
    const auto data = m_graph->data();
    const QCPRange range = m_graph->keyAxis()->range();
    const auto begin = data->findBegin(range.lower, false);
    const auto end = data->findEnd(range.upper, false);
    return int(end - begin);
}

QFont PointMarks::markFont() const
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(11);
    return font;
}

double PointMarks::markSpacing() const
{
    // The widest label a value on the value axis can have: its whole part at either end of
    // the axis, three decimals. Wide values give fewer marks, narrow ones more.
    const QFontMetrics metrics(markFont());
    const QCPRange values = m_graph->valueAxis()->range();
    int widest = 0;
    for (const double end : {values.lower, values.upper}) {
        const double whole = std::trunc(std::clamp(end, -1e12, 1e12));
        const double widestValue = whole + (end < 0 ? -0.888 : 0.888);
        widest = std::max(widest, metrics.horizontalAdvance(ValueAxisTicker::valueText(widestValue)));
    }
    return widest + 6 + 10; // the label's box and some room between two labels
}

QVector<qsizetype> PointMarks::markIndexes() const
{
    const auto data = m_graph->data();
    if (data->isEmpty())
        return {};
    // The anchor: the last point that has a value.
    qsizetype anchor = data->size() - 1;
    while (anchor >= 0 && std::isnan(data->at(int(anchor))->value))
        --anchor;
    if (anchor < 0)
        return {};
    const QCPRange range = m_graph->keyAxis()->range();
    const qsizetype first = data->findBegin(range.lower, false) - data->constBegin();
    const qsizetype end = data->findEnd(range.upper, false) - data->constBegin();
    if (end <= first)
        return {};
    const double width = m_graph->keyAxis()->axisRect()->width();
    // With n curves each takes every n-th place of the common spacing.
    const qsizetype stride = markStride(end - first, width, markSpacing() * m_curves);
    return PointMarkRules::markIndexes(first, end - 1, anchor, stride, stride * m_turn / m_curves);
}

bool PointMarks::drawsMarks() const { return m_shown && !markIndexes().isEmpty(); }

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
    if (!m_shown)
        return;
    const QVector<qsizetype> marked = markIndexes();
    if (marked.isEmpty())
        return;
    const auto data = m_graph->data();
    const QFont font = markFont();
    painter->setFont(font);
    const QFontMetrics metrics(font);
    const MarkColours look = colours();
    const QRectF plot = clipRect();
    // From the newest mark backwards, so the last point's label is always drawn; a label that
    // would cover the one drawn before it is left out (the curve still shows the point).
    QRectF previous;
    for (auto at = marked.crbegin(); at != marked.crend(); ++at) {
        const auto p = data->at(int(*at));
        if (std::isnan(p->value))
            continue; // a gap has no value to show
        const QPointF point = m_graph->coordsToPixels(p->key, p->value);
        const QString text = ValueAxisTicker::valueText(p->value);
        const QPointF tip(point.x(), point.y() - ArrowLength);
        const int width = metrics.horizontalAdvance(text) + 6;
        const int height = metrics.height() + 2;
        // A label at the plot's edge (the newest point stands at the right one) is moved
        // inwards whole; its arrow still points at the point.
        double left = tip.x() - width / 2.0;
        left = std::clamp(left, plot.left(), std::max(plot.left(), plot.right() - width));
        const QRectF box(left, tip.y() - height, width, height);
        if (!previous.isNull() && box.intersects(previous))
            continue;
        previous = box;
        painter->setPen(QPen(look.arrow));
        painter->drawLine(point, tip);
        painter->setPen(QPen(look.frame));
        painter->setBrush(look.fill);
        painter->drawRect(box);
        painter->setPen(QPen(look.text));
        painter->drawText(box, Qt::AlignCenter, text);
    }
}
