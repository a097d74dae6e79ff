#pragma once
// Line chart of the history window: the red curve Series1 over a date-time axis, and up to
// three further curves of other channels to compare with it (each in its own colour, named in
// a small legend that shows only while there is more than one curve).
// Keys are seconds since 1970-01-01T00:00 UTC with milliseconds (the unit of QCustomPlot's
// date-time ticker); a NaN value is a gap in a curve, kept at every span (GapKeepingGraph),
// and every curve also breaks across a span without records (RecordBreaks.h), found over all
// the points it holds, on the screen and in the picture alike.
// Points are kept in ascending key order whatever order they are added in. The value axis
// starts at -100 … 1000 with labels "#,##0.### ℃ ".
//
// Zoom and pan follow ChartZoom.h: a rubber band with the left button zooms in, a drag up and
// to the left goes back to the full view, the right button pans along the time axis. The full
// view is what setBottomRange and setLeftRange last set (the window's query, channel click and
// span rules); zoom and pan only move away from it. The right button's click opens the context
// menu with "保存图片…".

#include "ChartZoom.h"
#include "CustomPlot.h"

#include <QDateTime>
#include <QImage>
#include <QTimer>
#include <QVector>

class GapKeepingGraph;
class PointMarks;
class QAction;
class QMenu;

class HistoryChart : public QCustomPlot {
    Q_OBJECT
public:
    static constexpr double InitialLeftMin = -100.0;
    static constexpr double InitialLeftMax = 1000.0;

    explicit HistoryChart(QWidget *parent = nullptr);
    ~HistoryChart() override;

    static double keyOf(const QDateTime &dt);

    // Series1.
    QCPGraph *series() const;
    void clearSeries();
    // Adds points; pointsAdded() follows once the points are in. Points without a finite key
    // are skipped. A point whose key the series holds already replaces that point, so reading
    // the same records again never grows the series.
    void addPoint(double key, double value);
    void addPoints(const QVector<double> &keys, const QVector<double> &values);
    // The same for any curve (0 is Series1, whose pointsAdded follows); an added curve's
    // points join its own the same way, and the time axis stays.
    void addPointsTo(int curve, const QVector<double> &keys, const QVector<double> &values);
    int pointCount() const;
    double maxX() const; // the largest key; NaN when the series is empty

    // Curves: 0 is Series1, 1 … are the added ones, in the order they were added.
    int curveCount() const;
    QCPGraph *curve(int index) const;
    QString curveName(int index) const;
    void setCurveName(int index, const QString &name);
    // A further curve with these points (no pointsAdded: the time axis stays where it is).
    // Its colour is the first of ChartCompare::curveColour not in use. Null when the chart
    // holds ChartCompare::MaxCurves already.
    QCPGraph *addCurve(const QString &name, const QVector<double> &keys, const QVector<double> &values);
    // Takes an added curve off (index ≥ 1); the others keep their colours.
    void removeCurve(int index);
    void removeAddedCurves();

    // Axes. A range with no width (or not finite) is ignored and the axis keeps its range.
    // These set the full view that zooming out returns to.
    void setBottomRange(double min, double max);
    QCPRange bottomRange() const;
    double bottomMax() const { return bottomRange().upper; }
    void setLeftRange(double min, double max);
    QCPRange leftRange() const;

    // Zoom.
    ChartView view() const;
    ChartView fullView() const { return m_full; }
    bool zoomed() const { return view() != m_full; } // zoomed or panned away from the full view
    bool zoomAnimating() const { return m_zoomTimer.isActive(); }
    // Animated: ChartZoom::ZoomSteps steps, ChartZoom::ZoomStepMs apart, from what is shown.
    void zoomTo(const ChartView &target);
    void zoomOut();
    // At once back to the full view (a new query or a channel click ends any zoom).
    void endZoom();
    // A running animation jumps to its last step.
    void finishZoom();
    // The rubber band while the left button is dragged; empty otherwise.
    QRect rubberBand() const { return m_bandShown ? m_band : QRect(); }

    // The value marks ("参数指示"), on every curve (PointMarks.h).
    void setMarksVisible(bool visible);
    bool marksVisible() const;
    int pointsInView() const; // of Series1
    bool marksDrawn() const;  // Series1's marks switched on and a marked point in view
    PointMarks *marks(int curve) const;

    // The context menu and its "保存图片…" (the window does the saving).
    QMenu *contextMenu() const { return m_menu; }
    QAction *savePictureAction() const { return m_savePicture; }
    // The chart as shown, at ChartCompare::PictureScale times the screen's resolution.
    QImage picture();

Q_SIGNALS:
    void pointsAdded();
    // One step of an animated zoom is on the screen (1 … ChartZoom::ZoomSteps).
    void zoomStepShown(int step);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Curve {
        GapKeepingGraph *graph = nullptr;
        PointMarks *marks = nullptr;
        int slot = 0;
    };
    enum class Drag { None, Band, Pan };

    Curve makeCurve(int slot);
    bool mergePoints(int curve, const QVector<double> &keys, const QVector<double> &values);
    void applyView(const ChartView &v);
    void zoomTick();
    void updateLegend();

    QList<Curve> m_curves; // [0] is Series1
    bool m_marksShown = true;

    ChartView m_full;
    QTimer m_zoomTimer;
    QList<ChartView> m_zoomSteps;
    int m_zoomNext = 0;

    Drag m_drag = Drag::None;
    Qt::MouseButton m_dragButton = Qt::NoButton;
    QPointF m_pressAt;
    QCPRange m_keysAtPress;
    bool m_panning = false;
    QRect m_band;
    bool m_bandShown = false;

    QMenu *m_menu = nullptr;
    QAction *m_savePicture = nullptr;
};
