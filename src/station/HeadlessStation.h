#pragma once
// The station without a window (qzstation): the same core in a QCoreApplication, for a station
// that runs as a system service. It loads no Gui or Widgets library. The run starts at once;
// messages go to standard error (and the journal, where the core writes them); SIGTERM, SIGINT
// and SIGHUP end it cleanly (the last record committed, "offline" published, the journal's
// "程序退出"). The directory lock is the window's: one station per directory, whichever kind.

#include "ProgramDirectory.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class StationThread;

// qzstation takes only the options common to both programs.
using HeadlessOptions = CommonOptions;

HeadlessOptions parseHeadlessOptions(const QStringList &arguments);
QString headlessUsage();

// What runs beside the core (the web view): started once the core has started, given the core
// and the program directory; what it returns is destroyed before the core stops.
using BesideCore = std::function<std::unique_ptr<QObject>(StationThread &core, const QString &programDir)>;

// Runs the headless station in the running QCoreApplication until a stop signal arrives;
// returns the exit status (1 when the directory cannot be entered or another station holds it).
int runHeadlessStation(const HeadlessOptions &options, const BesideCore &besideCore = {});
