#pragma once
// The station's main window: start-up, menu and run states, status bar and tiles. It shows
// what the station core publishes and sends it commands; the acquisition cycle itself (poll,
// decode, refresh, store, alarms, site publisher) runs in the core, on a thread of its own,
// so nothing the window does can delay a poll or a record.

#include "StationSnapshot.h"
#include "StationThread.h"

#include <QMainWindow>
#include <functional>
#include <memory>

class QAction;
class QFrame;
class QDialog;
class QLabel;
class StationAlarmBoard;

// The tooltip of the alarm panel: why records cannot be stored; empty while they are.
QString storingToolTip(const StationSnapshot &snapshot);

class TMainFrm : public QMainWindow {
    Q_OBJECT
public:
    // autoStart: the station starts by itself (--start): the run begins at the end of start-up,
    // and start-up problems are shown in boxes that do not wait for OK and written to stderr,
    // since nobody may be there to press OK. threading: where the core runs (its own thread;
    // tests of the window's behaviour may run it on the window's thread and tick it by hand).
    explicit TMainFrm(QWidget *parent = nullptr, bool autoStart = false,
                      StationThreading threading = StationThreading::OwnThread);
    ~TMainFrm() override;

    // Start-up sequence; the constructor runs it: the core starts (journal, port, history
    // table, settings files), then the tiles are built from the settings it read.
    void FormCreate();
    void CreateTiles(int count);

    // Menu handlers.
    void N2Click();  // 开始运行
    void N3Click();  // 停止运行
    void N4Click();  // 清空数据
    void N6Click();  // 通讯参数设置
    void N7Click();  // 系统参数设置
    void NAlmClick(); // 报警状态设置
    void N16Click(); // 实时数据
    void N17Click(); // 实时曲线
    void N18Click(); // 实时报警
    void N19Click(); // 数据查询
    void AboutClick();

    // What the core published: caption, status panels, tiles (at refresh ticks), the live
    // state the live views read, the alarms.
    void showSnapshot(const StationSnapshot &snapshot);
    // A message the core raised: a box, or, starting by itself, a notice and a line on stderr.
    void showStationMessage(const StationMessage &message);

    QString statusPanelText(int panel) const;
    const StationSnapshot &lastSnapshot() const { return m_snapshot; }

    // The core. Its members belong to its thread: with StationThreading::OwnThread reach it only
    // through Core.post(); tests that run it on the window's thread may use core() directly.
    StationThread Core;
    Station &core() { return *Core.station(); }

    QFrame *Panel2 = nullptr;
    // 0 communication state, 1 port, 2 speed (the rest of the bar), 3 unacknowledged alarms.
    QLabel *StatusPanels[4] = {};
    // The alarms as the core last published them, for the "实时报警" view.
    StationAlarmBoard *AlarmView = nullptr;

    QAction *N2 = nullptr;
    QAction *N3 = nullptr;
    QAction *N4 = nullptr;
    QAction *N6 = nullptr;
    QAction *N7 = nullptr;
    QAction *NAlm = nullptr;
    QAction *N16 = nullptr;
    QAction *N17 = nullptr;
    QAction *N18 = nullptr;
    QAction *N19 = nullptr;
    QAction *NHelp = nullptr;
    QAction *NAbout = nullptr;

    bool autoStart() const { return m_autoStart; }

Q_SIGNALS:
    // A snapshot has been shown (tests watch what the operator saw).
    void snapshotShown(const StationSnapshot &snapshot);

private:
    void buildMenu();
    void buildStatusBar();
    // A start-up problem: a plain box that waits for OK, or, starting by itself, one that does
    // not wait, and a line on stderr.
    void startupMessage(const QString &text);
    // Panel 2: the line speed, and the site network's link state while it is configured.
    void showSpeedPanel(const StationSnapshot &snapshot);
    // Panel 3 in red while records cannot be stored.
    void showStoringState(const StationSnapshot &snapshot);
    // Runs a settings dialog; whatever it saved reaches the core, which journals it and lets
    // it take effect at once.
    void runSettingsDialog(const std::function<int()> &run, const QStringList &files);

    bool m_autoStart = false;
    bool m_portShown = false;  // status panels 1 and 2 show port and speed
    CommShown m_commShown = CommShown::None;
    StationSnapshot m_snapshot;
};
