#pragma once
// The value marks of the history curve ("参数指示"): a small label with the point's value above
// a point, joined to it by an arrow 8 pixels long. Every point cannot carry one at usual spans
// (an hour of 5-second records is 720 points), so evenly spaced points are marked, thinned to
// a readable density: every `stride`-th point counted back from the curve's last point with
// a value, which is therefore always marked when it is in view. The stride comes from
// 1, 2, 5, 10, 20, 50, … so the marks stay on the same points while the view pans.
//
// One curve: pale yellow labels. While curves are compared, each curve's labels take its own
// colour, and the curves take turns: with n curves each marks every n-th place of a common
// spacing, curve i shifted by i places, so labels of curves with close values do not stack
// on the same instant; each curve's last point is still marked.

#include "CustomPlot.h"

#include <QColor>
#include <QVector>

namespace PointMarkRules {

// The smallest stride of 1, 2, 5, 10, 20, 50, … that keeps marks at least `spacing` pixels
// apart on average when `points` evenly spaced points share `width` pixels.
qsizetype markStride(qsizetype points, double width, double spacing);

// The marked indexes among first … last (inclusive), ascending: those that lie `offset` plus a
// whole number of strides before `anchor`, and the anchor itself (none after it).
QVector<qsizetype> markIndexes(qsizetype first, qsizetype last, qsizetype anchor, qsizetype stride,
                               qsizetype offset = 0);

struct MarkColours {
    QColor fill;
    QColor text;
    QColor frame;
    QColor arrow;
};
MarkColours markColours(const QColor &curve, bool comparing);

} // namespace PointMarkRules

class PointMarks : public QCPLayerable {
    Q_OBJECT
public:
    static constexpr int ArrowLength = 8;

    PointMarks(QCustomPlot *plot, QCPGraph *graph);

    void setShown(bool shown) { m_shown = shown; }
    bool shown() const { return m_shown; }
    // Labels in the curve's own colour (while curves are compared), taking turns with the
    // other curves: this is curve `turn` of `curves`.
    void setComparing(bool comparing, int turn = 0, int curves = 1);
    bool comparing() const { return m_comparing; }
    PointMarkRules::MarkColours colours() const;

    // Points of the graph inside the current key range of its axis (gaps included).
    int pointsInView() const;
    // Least distance between marks on average, in pixels: the widest label of a value within
    // the value axis, and some room.
    double markSpacing() const;
    // Data indexes of the points the next replot labels (ascending; points without a value
    // and labels that would cover a later one are left out when drawn).
    QVector<qsizetype> markIndexes() const;
    // Whether the next replot draws marks: shown, and a marked point in view.
    bool drawsMarks() const;

protected:
    void applyDefaultAntialiasingHint(QCPPainter *painter) const override;
    void draw(QCPPainter *painter) override;
    QRect clipRect() const override;

private:
    QFont markFont() const;

    QCPGraph *m_graph;
    bool m_shown = true;
    bool m_comparing = false;
    int m_turn = 0;
    int m_curves = 1;
};
