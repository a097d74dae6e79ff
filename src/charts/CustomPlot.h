#pragma once
// Include QCustomPlot through this header. The project builds with QT_NO_KEYWORDS, but
// qcustomplot.h declares its signals with the `signals` keyword and loops with `foreach`, so
// the two are defined as Qt's macro forms for the length of that header only.

#ifdef QT_NO_KEYWORDS
#define QZ_QCP_KEYWORDS_DEFINED
#define signals Q_SIGNALS
#define slots Q_SLOTS
#define emit Q_EMIT
#define foreach Q_FOREACH
#endif

#include <qcustomplot.h>

#ifdef QZ_QCP_KEYWORDS_DEFINED
#undef signals
#undef slots
#undef emit
#undef foreach
#undef QZ_QCP_KEYWORDS_DEFINED
#endif
