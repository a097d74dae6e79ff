// The Qt headers most of the libraries, tools and benchmarks include, compiled once per build
// for the targets that use widgets (see QzBuildSpeed.cmake). Headers of modules only some of
// them link (Sql, SerialPort, Network) stay out: a header the target cannot see would make the
// precompiled one unusable for it.
#pragma once
#include "qz_core_pch.h"
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QFrame>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>
