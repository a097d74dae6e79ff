#pragma once
// Comparing channels on the history chart and keeping a picture of it, without widgets:
//   - Ctrl+click in the channel list adds a channel as a further curve (up to MaxCurves, each
//     in its own colour), Ctrl+click on an added channel takes it off again; a plain click goes
//     back to one channel;
//   - the value axis then spans the union of the shown channels' limits;
//   - "保存图片…" writes the chart as shown to a PNG at twice the screen resolution, under a
//     name made from the channels and the time range in view.

#include "CustomPlot.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace ChartCompare {

constexpr int MaxCurves = 4;
constexpr double PictureScale = 2.0;

// Colour of curve slot 0 … MaxCurves − 1; slot 0 is the red of Series1.
QColor curveColour(int slot);

// What a Ctrl+click on `channel` does with the channels shown (the first is Series1's).
enum class CompareStep {
    Add,    // not shown and room for one more curve
    Remove, // an added curve: taken off
    Keep,   // Series1's own channel: stays (a plain click changes it)
    Full,   // not shown and MaxCurves already shown
};
CompareStep compareStep(const QList<int> &shown, int channel);

// The channels a new query draws: the ones shown when the selected line is one of them (a
// single curve or the compared ones), else the selected line alone; channel 1 (line 0) when
// no line is selected.
QList<int> channelsForQuery(const QList<int> &shown, int selected);

// The smallest range holding every usable [lower, upper] pair (in either order). Pairs with
// equal or non-finite ends are passed over; nothing when none is usable.
std::optional<QCPRange> unionOfLimits(const QList<QPair<double, double>> &limits);

// The name a curve goes by in the legend and in file names: the channel's name, or its field
// name when the channel has none.
QString curveName(const QString &channelName, const QString &fieldName);

// "<curve>+<curve>_yyyyMMdd-HHmmss_yyyyMMdd-HHmmss.png" for the key range in view (local
// time). Characters that file systems refuse (/ \ : * ? " < > | and control characters) and
// blanks become '_'.
QString pictureFileName(const QStringList &curveNames, const QCPRange &keys);

// Writes `image` as PNG. The file replaces an existing one only when every byte was written;
// otherwise nothing is left behind and `error` tells why.
bool writePicture(const QImage &image, const QString &file, QString *error);

} // namespace ChartCompare
