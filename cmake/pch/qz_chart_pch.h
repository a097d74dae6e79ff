// QCustomPlot and the Qt headers around it, compiled once for the targets that draw charts.
// No QtTest here (see QzBuildSpeed.cmake).
#pragma once
#include <QtCore/QDateTime>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVector>
#include <QtWidgets/QWidget>
#include "../../src/charts/CustomPlot.h"
