// What the test suites include on top of the station's common headers.
#pragma once
#include "qz_pch.h"
#include <QtTest/QtTest>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
