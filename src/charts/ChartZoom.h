#pragma once
// Zoom and pan of the history chart without widgets: which way a drag goes, the ranges a
// rubber band selects, the steps of the animated zoom and the pan along the time axis.
//
// Mouse conventions of the chart:
//   left button dragged down and to the right   a rubber band; on release the chart zooms to it
//   left button dragged up and to the left      back to the full view (what the last query,
//                                               channel click or span choice set)
//   right button dragged                        pans along the time axis only
//   right button clicked (not dragged)          the context menu
// Both zoom directions run in ZoomSteps animated steps, ZoomStepMs apart.

#include "CustomPlot.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <optional>

// What the chart shows: the key (time) range and the value range.
struct ChartView {
    QCPRange keys;
    QCPRange values;
    bool operator==(const ChartView &other) const { return keys == other.keys && values == other.values; }
    bool operator!=(const ChartView &other) const { return !(*this == other); }
};

namespace ChartZoom {

constexpr int ZoomSteps = 4;
constexpr int ZoomStepMs = 50; // 4 steps: about 200 ms in all
// A drag shorter than this along either axis is no zoom gesture (a click, or a slip of the hand).
constexpr double DragThreshold = 4.0;
// The narrowest time range a zoom gives: the axis labels show whole seconds.
constexpr double MinKeySpan = 1.0;

enum class LeftDrag { None, ZoomIn, ZoomOut };

// Right and down beyond the threshold on both axes: ZoomIn; left and up beyond it on both:
// ZoomOut; anything else does nothing.
LeftDrag leftDragIntent(const QPointF &press, const QPointF &release);

// A right-button release this close to its press is a click (the context menu), not a pan.
bool isClick(const QPointF &press, const QPointF &release);

// The view a rubber band selects. `band` and `plotArea` are in widget pixels; `plotArea`
// shows `view` (keys from left to right, values from bottom to top). The band is clipped to
// the plot area first. Nothing when the clipped band is narrower or lower than the drag
// threshold. A key range below MinKeySpan is widened about its middle.
std::optional<ChartView> zoomTarget(const QRectF &band, const QRectF &plotArea, const ChartView &view);

// The views of an animated zoom from `from` to `to`: `steps` views evenly spaced, the last one
// exactly `to`. Steps below 1 count as 1.
QList<ChartView> zoomSteps(const ChartView &from, const ChartView &to, int steps = ZoomSteps);

// The key range after the mouse moved from pressX to nowX (pixels) over a plot area
// `plotWidth` pixels wide that showed `atPress` when the button went down: the curve follows
// the mouse. An empty plot area leaves the range as it was.
QCPRange pannedKeys(const QCPRange &atPress, double pressX, double nowX, double plotWidth);

} // namespace ChartZoom
