// What nearly every test suite includes, compiled once per build: QtTest (whose module header
// alone is most of a small suite's compile time) and the widgets the suites drive. Valid for
// every suite because each one gets the same QT_TESTCASE_BUILDDIR (see QzTesting.cmake).
#pragma once
#include <QtTest/QtTest>
#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
