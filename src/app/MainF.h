#pragma once
// The station's main window: start-up, menu and run states, status bar, tiles, and the
// timer-driven acquisition cycle (poll, decode, refresh, store).

#include "Acquisition.h"

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <memory>

class AlarmCenter;
class SiteLink;
class QAction;
class QFrame;
class QDialog;
class QLabel;
class TModbusM;
namespace db {
class TTable;
}

class TMainFrm : public QMainWindow {
    Q_OBJECT
public:
    // autoStart: the station starts by itself (--start): the run begins at the end of start-up,
    // and start-up problems are shown in boxes that do not wait for OK and written to stderr,
    // since nobody may be there to press OK.
    explicit TMainFrm(QWidget *parent = nullptr, bool autoStart = false);
    ~TMainFrm() override;

    // Start-up sequence; the constructor runs it. The settings files are read whatever
    // happens to the port or the history table.
    void FormCreate();
    void SetupCommAndHistory();
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

    // The acquisition cycle.
    void SendTimer();
    void comm1ResponseReady();
    void Write_timerTimer();
    void ReceiveTimer();

    // The storage tick follows the configured storage interval.
    void ApplyStorageInterval();

    QString statusPanelText(int panel) const;

    QFrame *Panel2 = nullptr;
    // 0 communication state, 1 port, 2 speed (the rest of the bar), 3 unacknowledged alarms.
    QLabel *StatusPanels[4] = {};
    QTimer Write_timer;
    QTimer Send;
    QTimer Receive;
    TModbusM *comm1 = nullptr;
    std::unique_ptr<db::TTable> HistoryTable;
    CommWatchCounter CommWatch;
    // Alarms (instrument states, station limits, communication), the event journal and the
    // notification command.
    AlarmCenter *Alarms = nullptr;
    // The site network (MQTT broker); off unless [mqtt] Host is set in KTcom.ini.
    SiteLink *Site = nullptr;

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

private:
    void buildMenu();
    void buildStatusBar();
    void openHistoryTable();
    // A start-up problem: a plain box that waits for OK, or, starting by itself, one that does
    // not wait, and a line on stderr.
    void startupMessage(const QString &text);
    // Runs fn; an error escaping it is shown like a start-up problem. False when one did.
    bool startupGuarded(const std::function<void()> &fn);
    void showPortInStatusBar();
    // Panel 2: the line speed, and the site network's link state while it is configured.
    void showSpeedPanel();
    // Runs a settings dialog; what it saved is journaled and takes effect in the alarms at once.
    void runSettingsDialog(QDialog *dialog, const QStringList &files);

    bool m_storageErrorShown = false;
    bool m_sendErrorShown = false;
    bool m_autoStart = false;
    bool m_portKnown = false;  // the configured port name names a port the master has
    bool m_portShown = false;  // status panels 1 and 2 show port and speed
    bool m_portUp = false;     // the port was open at the last attempt (journaled when it changes)
    int m_commShown = 0;       // what panel 0 shows: 0 nothing yet, 1 OK, 2 ERROR
    QString m_portName;        // as configured: "COM1"
    int m_speed = 0;           // bit/s as configured
};
