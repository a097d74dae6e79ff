#include "CurveText.h"

#include "NumberText.h"
#include "ScreenText.h"
#include "SharedState.h"

#include <limits>

double curveValue(float pv)
{
    return isInterrupted(pv) ? std::numeric_limits<double>::quiet_NaN() : double(pv);
}

QString curveTitle(const QString &name, float pv)
{
    const QString separator = QStringLiteral(":  ");
    if (isInterrupted(pv))
        return name + separator + InterruptedText;
    return name + separator + screenNumber(formatRecord(pv));
}
