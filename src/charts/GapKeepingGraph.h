#pragma once
// A line graph that never bridges an interruption. A NaN value is a gap in the line; QCustomPlot's
// own adaptive sampling merges the points of one pixel column into their minimum and maximum and
// passes over a NaN among them, so at wide spans a short interruption disappeared from the
// curve. It is switched off here. With many more points than pixel columns in view the graph
// reduces them itself, column by column:
//   - a column without a gap keeps its first, lowest, highest and last point (in key order),
//     so the curve's envelope and its joins to the neighbouring columns are exact;
//   - a column with a gap becomes one NaN point: the line stops before it and starts again
//     after it, so an interruption stays visible (about a pixel wide) at any span.
// A month of 5-second records (518,400 points) in view is reduced to a few thousand. A reduced
// curve is a band of short strokes, one column after the other: it is drawn with a one-pixel
// pen, which costs a fraction of the wide pen's stroking at that density and looks alike.
//
// With record breaks on (setRecordBreaks), the line also stops where two points lie much
// further apart than the points around them (RecordBreaks.h), as if a NaN point stood
// half-way between them; the data itself is left as it is. A point with no line on either
// side (one record between two breaks or gaps) is drawn as a dot, so it does not vanish.

#include "CustomPlot.h"

#include <QVector>

// Linear map of keys to pixel positions along the key axis.
struct KeyPixels {
    double lower = 0;  // key at `origin`
    double origin = 0; // pixel of `lower`
    double scale = 1;  // pixels per key unit
    double pixel(double key) const { return origin + (key - lower) * scale; }
};

// The reduction above for points in ascending key order. Keys and values are kept as they are
// (only points are left out, and a gap column gives one NaN at its first key).
QVector<QCPGraphData> reduceToPixelColumns(const QCPGraphData *begin, const QCPGraphData *end, const KeyPixels &map);

class GapKeepingGraph : public QCPGraph {
    Q_OBJECT
public:
    // Points in view beyond this many per pixel column of the plot are reduced.
    static constexpr double PointsPerPixelBeforeReducing = 2.0;

    GapKeepingGraph(QCPAxis *keyAxis, QCPAxis *valueAxis);

    // The line as the next replot draws it, in pixels (NaN where it breaks).
    QVector<QPointF> linePixels() const;

    // Breaks at spans without records (off by default). The owner calls keysChanged() after
    // every change of the data's keys; the breaks are found again then, over all the data.
    void setRecordBreaks(bool on);
    bool recordBreaks() const { return m_breaksOn; }
    void keysChanged();
    // Keys of the points after which the line breaks (ascending).
    const QVector<double> &breakKeys() const { return m_breakKeys; }
    // Whether the last replot drew a reduced curve.
    bool reduced() const { return m_reduced; }

protected:
    void drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const override;
    void getOptimizedLineData(QVector<QCPGraphData> *lineData, const QCPGraphDataContainer::const_iterator &begin,
                              const QCPGraphDataContainer::const_iterator &end) const override;

private:
    mutable bool m_reduced = false; // set while the line is computed, used when it is drawn
    bool m_breaksOn = false;
    QVector<double> m_breakKeys;
};
