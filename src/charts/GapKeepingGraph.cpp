#include "GapKeepingGraph.h"

#include "RecordBreaks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// One pixel column's points while they are read.
struct Column {
    qint64 index = 0;
    bool gap = false;
    int count = 0; // finite points
    QCPGraphData first, low, high, last;

    void take(const QCPGraphData &p)
    {
        if (count == 0) {
            first = low = high = p;
        } else {
            if (p.value < low.value)
                low = p;
            if (p.value > high.value)
                high = p;
        }
        last = p;
        ++count;
    }
};

void appendNaN(QVector<QCPGraphData> *out, double key)
{
    if (out->isEmpty() || !std::isnan(out->constLast().value))
        out->append(QCPGraphData(key, std::numeric_limits<double>::quiet_NaN()));
}

void flush(const Column &c, double gapKey, QVector<QCPGraphData> *out)
{
    if (c.gap) {
        appendNaN(out, gapKey);
        return;
    }
    if (c.count == 0)
        return;
    out->append(c.first);
    // The extremes in the order they occurred; each point once.
    const QCPGraphData *a = &c.low;
    const QCPGraphData *b = &c.high;
    if (b->key < a->key)
        std::swap(a, b);
    for (const QCPGraphData *p : {a, b})
        if (p->key != out->constLast().key && p->key != c.last.key)
            out->append(*p);
    if (c.last.key != out->constLast().key)
        out->append(c.last);
}

} // namespace

QVector<QCPGraphData> reduceToPixelColumns(const QCPGraphData *begin, const QCPGraphData *end, const KeyPixels &map)
{
    QVector<QCPGraphData> out;
    if (begin == end)
        return out;
    out.reserve(int(std::min<qsizetype>(end - begin, 4096)));
    Column column;
    double gapKey = begin->key;
    bool started = false;
    for (const QCPGraphData *p = begin; p != end; ++p) {
        // Far off-screen neighbours (one on each side is passed in) stay in range of qint64.
        const qint64 index = qint64(std::clamp(std::floor(map.pixel(p->key)), -1e15, 1e15));
        if (!started || index != column.index) {
            if (started)
                flush(column, gapKey, &out);
            column = Column();
            column.index = index;
            started = true;
        }
        if (std::isnan(p->value)) {
            if (!column.gap)
                gapKey = p->key;
            column.gap = true;
        } else {
            column.take(*p);
        }
    }
    flush(column, gapKey, &out);
    return out;
}

GapKeepingGraph::GapKeepingGraph(QCPAxis *keyAxis, QCPAxis *valueAxis) : QCPGraph(keyAxis, valueAxis)
{
    setAdaptiveSampling(false);
}

void GapKeepingGraph::setRecordBreaks(bool on)
{
    m_breaksOn = on;
    keysChanged();
}

void GapKeepingGraph::keysChanged()
{
    m_breakKeys.clear();
    if (!m_breaksOn)
        return;
    const QCPGraphDataContainer &points = *data();
    const auto begin = points.constBegin();
    const QVector<qsizetype> after =
        RecordBreaks::breaksAfterKeys(points.size(), [begin](qsizetype i) { return (begin + i)->key; });
    m_breakKeys.reserve(after.size());
    for (qsizetype i : after)
        m_breakKeys.append((begin + i)->key);
}

QVector<QPointF> GapKeepingGraph::linePixels() const
{
    QVector<QPointF> lines;
    getLines(&lines, QCPDataRange(0, dataCount()));
    return lines;
}

void GapKeepingGraph::getOptimizedLineData(QVector<QCPGraphData> *lineData,
                                           const QCPGraphDataContainer::const_iterator &begin,
                                           const QCPGraphDataContainer::const_iterator &end) const
{
    m_reduced = false;
    if (!lineData)
        return;
    // The points in view with a NaN half-way across each break among them.
    QVector<QCPGraphData> broken;
    const QCPGraphData *first = begin == end ? nullptr : &*begin;
    qsizetype count = end - begin;
    if (count > 1 && !m_breakKeys.isEmpty()) {
        auto next = std::lower_bound(m_breakKeys.cbegin(), m_breakKeys.cend(), begin->key);
        if (next != m_breakKeys.cend() && *next < (end - 1)->key) {
            broken.reserve(count + 16);
            for (auto it = begin; it != end; ++it) {
                broken.append(*it);
                while (next != m_breakKeys.cend() && *next < it->key)
                    ++next;
                if (next != m_breakKeys.cend() && *next == it->key && it + 1 != end) {
                    broken.append(QCPGraphData((it->key + (it + 1)->key) / 2, std::numeric_limits<double>::quiet_NaN()));
                    ++next;
                }
            }
            first = broken.constData();
            count = broken.size();
        }
    }
    const QCPAxis *axis = keyAxis();
    if (axis && count > 1) {
        const double columns = std::abs(axis->coordToPixel((end - 1)->key) - axis->coordToPixel(begin->key));
        if (double(count) > PointsPerPixelBeforeReducing * columns + 2) {
            const QCPRange range = axis->range();
            const double left = axis->coordToPixel(range.lower);
            const double right = axis->coordToPixel(range.upper);
            const KeyPixels map{range.lower, left, (right - left) / range.size()};
            *lineData = reduceToPixelColumns(first, first + count, map);
            m_reduced = true;
            return;
        }
    }
    lineData->resize(int(count));
    if (count > 0)
        std::copy(first, first + count, lineData->begin());
}

void GapKeepingGraph::drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const
{
    if (m_reduced) {
        QPen thin = painter->pen();
        thin.setWidthF(1.0); // QCustomPlot draws a 1.0 pen on screen as a cosmetic one
        painter->setPen(thin);
    }
    QCPGraph::drawLinePlot(painter, lines);
    // A point with a break or a gap on both sides draws no line: a dot in the pen's colour.
    if (painter->pen().style() == Qt::NoPen)
        return;
    const auto lineAt = [&lines](qsizetype i) {
        return i >= 0 && i < lines.size() && !std::isnan(lines.at(i).y()) && !std::isnan(lines.at(i).x());
    };
    QPen dot = painter->pen();
    dot.setWidthF(std::max<double>(dot.widthF(), 1.0) + 2.0);
    dot.setCapStyle(Qt::RoundCap);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lineAt(i) && !lineAt(i - 1) && !lineAt(i + 1)) {
            painter->setPen(dot);
            painter->drawPoint(lines.at(i));
        }
    }
}
