#pragma once
// What the live curve makes of a channel reading: the point it draws and the title it shows.

#include <QString>

// The value the curve draws for a reading: the reading itself, or NaN (a gap in the line)
// for an interrupted channel, which has no reading to draw. A real 0 stays 0.
double curveValue(float pv);

// The curve's title for a reading: the channel name, ":  ", then the value as "%8.3F"
// ("油储温度1:    25.300"). An interrupted channel shows "中断" in place of the value
// ("油储温度1:  中断").
QString curveTitle(const QString &name, float pv);
