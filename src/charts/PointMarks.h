#pragma once
// The value marks of the history curve: a small label with the point's value above each point,
// joined to it by an arrow 8 pixels long. Marks are drawn only while few enough points are in
// view to read them; with more, the curve alone is drawn and the marks stay switched on.

#include "CustomPlot.h"

class PointMarks : public QCPLayerable {
    Q_OBJECT
public:
    static constexpr int ArrowLength = 8;

    PointMarks(QCustomPlot *plot, QCPGraph *graph, int pointLimit);

    void setShown(bool shown) { m_shown = shown; }
    bool shown() const { return m_shown; }
    int pointLimit() const { return m_pointLimit; }

    // Points of the graph inside the current key range of its axis (gaps included).
    int pointsInView() const;
    // Whether the next replot draws marks: shown, and at most pointLimit points in view.
    bool drawsMarks() const;

protected:
    void applyDefaultAntialiasingHint(QCPPainter *painter) const override;
    void draw(QCPPainter *painter) override;
    QRect clipRect() const override;

private:
    QCPGraph *m_graph;
    int m_pointLimit;
    bool m_shown = true;
};
