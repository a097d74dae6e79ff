#pragma once
// Line chart of the history window: one red curve (Series1) over a date-time axis.
// Keys are seconds since 1970-01-01T00:00 UTC with milliseconds (the unit of QCustomPlot's
// date-time ticker); a NaN value is a gap in the curve. Points are kept in ascending key
// order whatever order they are added in. The value axis starts at -100 … 1000 with labels
// "#,##0.### ℃ "; the mouse pans along the time axis only.

#include "CustomPlot.h"

#include <QDateTime>
#include <QVector>

class PointMarks;

class HistoryChart : public QCustomPlot {
    Q_OBJECT
public:
    static constexpr double InitialLeftMin = -100.0;
    static constexpr double InitialLeftMax = 1000.0;
    // Value marks are drawn up to about 60 points in view: a 5-minute window of 5-second
    // records holds 61.
    static constexpr int MarkPointLimit = 64;

    explicit HistoryChart(QWidget *parent = nullptr);

    static double keyOf(const QDateTime &dt);

    // Series1.
    QCPGraph *series() const { return m_series; }
    void clearSeries();
    // Adds points; pointsAdded() follows once the points are in. Points without a finite key
    // are skipped. A point whose key the series holds already replaces that point, so reading
    // the same records again never grows the series.
    void addPoint(double key, double value);
    void addPoints(const QVector<double> &keys, const QVector<double> &values);
    int pointCount() const;
    double maxX() const; // the largest key; NaN when the series is empty

    // Axes. A range with no width (or not finite) is ignored and the axis keeps its range.
    void setBottomRange(double min, double max);
    QCPRange bottomRange() const;
    double bottomMax() const { return bottomRange().upper; }
    void setLeftRange(double min, double max);
    QCPRange leftRange() const;

    // The value marks ("参数指示").
    void setMarksVisible(bool visible);
    bool marksVisible() const;
    int pointsInView() const;
    bool marksDrawn() const; // marks switched on and few enough points in view

Q_SIGNALS:
    void pointsAdded();

private:
    QCPGraph *m_series = nullptr;
    PointMarks *m_marks = nullptr;
};
