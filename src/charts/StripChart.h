#pragma once
// Scrolling strip chart of one channel: one point per second, the X axis shows the latest
// 30 minutes as clock times and follows the newest point, the curve keeps the latest 24 hours.
// A NaN value is stored as is and drawn as a gap in the line (a reading that does not exist).

#include "CustomPlot.h"

#include <QDateTime>
#include <QString>

class StripChart : public QCustomPlot {
    Q_OBJECT
public:
    // Visible X span: 30 minutes, in seconds (the key unit of the date-time axis).
    static constexpr double SpanSeconds = 30.0 * 60.0;
    // Retention: points older than 24 hours before the newest one are dropped, and never more
    // than one day's worth of one-second points is kept.
    static constexpr double RetentionSeconds = 24.0 * 60.0 * 60.0;
    static constexpr int MaxPoints = 86400;
    // Y range when the limits give no usable span (equal limits, or a span lost to rounding):
    // this many units wide, centred on the lower limit (wider for values so large that this
    // width would vanish in rounding).
    static constexpr double FallbackSpan = 100.0;

    explicit StripChart(QWidget *parent = nullptr);

    // The Y range for an axis minimum and span. A negative span counts downwards from min
    // (the range is the same as with the limits swapped); a zero, non-finite or vanishing span
    // gives FallbackSpan centred on min; a non-finite min counts as 0.
    static QCPRange yRangeFor(double min, double span);
    // The X range that shows the latest SpanSeconds with newestKey at the right edge.
    static QCPRange xRangeFor(double newestKey);
    // Axis key of a date-time: seconds since 1970-01-01T00:00 UTC, with milliseconds.
    static double keyOf(const QDateTime &dt);

    void setYRange(double min, double span);
    QCPRange yRange() const;
    QCPRange xRange() const;

    // The title above the plot.
    void setTitle(const QString &text);
    QString title() const;
    // The name of the plotted channel (the curve's own name).
    void setChannelTitle(const QString &text);
    QString channelTitle() const;

    // Removes every point.
    void clear();
    // Adds a point; value NaN leaves a gap. Drops points beyond the retention and scrolls the
    // X axis so that this point stands at the right edge.
    void addPoint(const QDateTime &at, double value);
    void addPoint(double key, double value);

    int pointCount() const;
    QCPGraph *channel() const { return m_channel; }
    QCPTextElement *titleElement() const { return m_title; }

private:
    void applyRetention(double newestKey);

    QCPGraph *m_channel = nullptr;
    QCPTextElement *m_title = nullptr;
};
