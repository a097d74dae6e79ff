#include "ChartZoom.h"

#include <algorithm>
#include <cmath>

namespace ChartZoom {

LeftDrag leftDragIntent(const QPointF &press, const QPointF &release)
{
    const double dx = release.x() - press.x();
    const double dy = release.y() - press.y();
    if (dx >= DragThreshold && dy >= DragThreshold)
        return LeftDrag::ZoomIn;
    if (dx <= -DragThreshold && dy <= -DragThreshold)
        return LeftDrag::ZoomOut;
    return LeftDrag::None;
}

bool isClick(const QPointF &press, const QPointF &release)
{
    return std::abs(release.x() - press.x()) < DragThreshold && std::abs(release.y() - press.y()) < DragThreshold;
}

std::optional<ChartView> zoomTarget(const QRectF &band, const QRectF &plotArea, const ChartView &view)
{
    const QRectF clipped = band.normalized().intersected(plotArea);
    if (clipped.width() < DragThreshold || clipped.height() < DragThreshold || plotArea.width() <= 0
        || plotArea.height() <= 0)
        return std::nullopt;
    // Keys grow to the right from the plot area's left edge, values upwards from its bottom.
    const auto keyAt = [&](double x) { return view.keys.lower + (x - plotArea.left()) / plotArea.width() * view.keys.size(); };
    const auto valueAt = [&](double y) {
        return view.values.lower + (plotArea.bottom() - y) / plotArea.height() * view.values.size();
    };
    ChartView target{QCPRange(keyAt(clipped.left()), keyAt(clipped.right())),
                     QCPRange(valueAt(clipped.bottom()), valueAt(clipped.top()))};
    if (target.keys.size() < MinKeySpan) {
        const double middle = target.keys.center();
        target.keys = QCPRange(middle - MinKeySpan / 2, middle + MinKeySpan / 2);
    }
    if (!QCPRange::validRange(target.keys) || !QCPRange::validRange(target.values))
        return std::nullopt;
    return target;
}

QList<ChartView> zoomSteps(const ChartView &from, const ChartView &to, int steps)
{
    steps = std::max(1, steps);
    const auto between = [](const QCPRange &a, const QCPRange &b, double f) {
        return QCPRange(a.lower + (b.lower - a.lower) * f, a.upper + (b.upper - a.upper) * f);
    };
    QList<ChartView> views;
    views.reserve(steps);
    for (int i = 1; i < steps; ++i) {
        const double f = double(i) / steps;
        views.append({between(from.keys, to.keys, f), between(from.values, to.values, f)});
    }
    views.append(to); // exactly the target, whatever rounding did on the way
    return views;
}

QCPRange pannedKeys(const QCPRange &atPress, double pressX, double nowX, double plotWidth)
{
    if (!(plotWidth > 0))
        return atPress;
    const double shift = -(nowX - pressX) / plotWidth * atPress.size();
    return QCPRange(atPress.lower + shift, atPress.upper + shift);
}

} // namespace ChartZoom
