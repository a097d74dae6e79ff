#include "MainF.h"

#include "AlmFrm.h"
#include "CommFrm.h"
#include "DeviceAddress.h"
#include "EventJournal.h"
#include "MyPanels.h"
#include "PvFrm.h"
#include "RealAlarmFrm.h"
#include "RealLineFrm.h"
#include "SettingsFiles.h"
#include "StationAlarmBoard.h"
#include "StationTexts.h"
#include "Tiles.h"
#include "Ui.h"
#include "Unit3.h"
#include "WindowState.h"
#include "sysFrm.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>

#include <cstdio>

TMainFrm::TMainFrm(QWidget *parent, bool autoStart, StationThreading threading)
    : QMainWindow(parent), Core(StationConfig{programDirectory(), autoStart}, threading), m_autoStart(autoStart)
{
    setWindowTitle(ui::AppTitle);
    resize(1024, 721);
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont.setPointSize(8);
    setFont(windowFont);

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setAutoFillBackground(true);
    QPalette pal = Panel2->palette();
    pal.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0)); // silver
    Panel2->setPalette(pal);
    setCentralWidget(Panel2);

    buildStatusBar();
    buildMenu();

    AlarmView = new StationAlarmBoard(
        programDirectory(),
        [this](const QList<AlarmKey> &keys, bool all) {
            if (all)
                Core.post([](Station &s) { s.acknowledgeAll(); });
            else
                Core.post([keys](Station &s) { s.acknowledge(keys); });
        },
        this);

    FormCreate();
}

TMainFrm::~TMainFrm()
{
    // The core journals the end, says "offline" to the broker and closes its tables.
    Core.stop();
}

void TMainFrm::buildStatusBar()
{
    const QString creationTexts[] = {RunStatePanelTitle, CommStatePanelTitle, LoginStatePanelTitle};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(creationTexts[i], this);
        StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i < 2)
            StatusPanels[i]->setFixedWidth(200);
        statusBar()->addWidget(StatusPanels[i], i < 2 ? 0 : 1);
    }
    // The alarm count stands on the right, beside the rest of the bar.
    StatusPanels[3] = new QLabel(this);
    StatusPanels[3]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusPanels[3]->setMinimumWidth(160);
    statusBar()->addPermanentWidget(StatusPanels[3]);
    statusBar()->setSizeGripEnabled(false);
}

void TMainFrm::buildMenu()
{
    QMenuBar *bar = menuBar();
    QMenu *start = bar->addMenu(QStringLiteral("开始"));
    N2 = start->addAction(QStringLiteral("开始运行"), this, &TMainFrm::N2Click);
    N3 = start->addAction(QStringLiteral("停止运行"), this, &TMainFrm::N3Click);
    N4 = start->addAction(QStringLiteral("清空数据"), this, &TMainFrm::N4Click);

    QMenu *settings = bar->addMenu(QStringLiteral("参数设置"));
    N6 = settings->addAction(QStringLiteral("通讯参数设置"), this, &TMainFrm::N6Click);
    N7 = settings->addAction(QStringLiteral("系统参数设置"), this, &TMainFrm::N7Click);
    NAlm = settings->addAction(QStringLiteral("报警状态设置"), this, &TMainFrm::NAlmClick);

    QMenu *live = bar->addMenu(QStringLiteral("实时监控"));
    N16 = live->addAction(QStringLiteral("实时数据"), this, &TMainFrm::N16Click);
    N17 = live->addAction(QStringLiteral("实时曲线"), this, &TMainFrm::N17Click);
    N18 = live->addAction(QStringLiteral("实时报警"), this, &TMainFrm::N18Click);

    // "数据查询" is an item of the menu bar itself, without sub-items.
    N19 = bar->addAction(QStringLiteral("数据查询"), this, &TMainFrm::N19Click);

    QMenu *help = bar->addMenu(QStringLiteral("帮助"));
    NHelp = help->addAction(QStringLiteral("帮助"));
    NAbout = help->addAction(QStringLiteral("关于"), this, &TMainFrm::AboutClick);
}

QString TMainFrm::statusPanelText(int panel) const { return StatusPanels[panel]->text(); }

// ---------------------------------------------------------------------------------------------
// Start-up

void TMainFrm::FormCreate()
{
    const StationStart start = Core.start([this](Station &station) {
        connect(&station, &Station::snapshotPublished, this, &TMainFrm::showSnapshot);
        connect(&station, &Station::messageRaised, this, &TMainFrm::showStationMessage);
        connect(&station, &Station::eventsJournaled, AlarmView, &StationAlarmBoard::journaled);
    });
    // The window's copies of what the core read: the tiles, the dialogs and the live views
    // work on them.
    Option = start.option;
    SysParams = start.sysParams;
    SettingsLoad = start.settingsLoad;
    if (SettingsLoad.channels >= 0) {
        try {
            CreateTiles(SysParams.ChannelCount);
        } catch (const AppError &e) {
            showStationMessage({StationMessage::Kind::Error, e.text(), true});
        }
    }
    // The tiles show what the core holds now (every channel interrupted until answers come).
    refreshChannelTiles(Panel2, SysParams.ChannelCount);
    if (m_autoStart) {
        N2->setEnabled(false);
        N3->setEnabled(true);
    }
}

void TMainFrm::startupMessage(const QString &text)
{
    if (!m_autoStart) {
        ui::showMessage(text, this);
        return;
    }
    std::fprintf(stderr, "qzmonitor: %s\n", qPrintable(text));
    ui::showNotice(text, this);
}

void TMainFrm::showStationMessage(const StationMessage &message)
{
    if (message.startup && m_autoStart) {
        startupMessage(message.text);
        return;
    }
    if (message.kind == StationMessage::Kind::Message)
        ui::showMessage(message.text, this);
    else
        ui::reportError(message.text);
}

void TMainFrm::CreateTiles(int count) { createChannelTiles(Panel2, count); }

// ---------------------------------------------------------------------------------------------
// What the core publishes

void TMainFrm::showSnapshot(const StationSnapshot &snapshot)
{
    m_snapshot = snapshot;
    // The live views read the window's copy on their own timers.
    AllRecord = snapshot.record;

    if (snapshot.lastPoll.isValid()) {
        QString caption = ui::AppTitle + QLatin1Char(' ') + ui::localDateTimeText(snapshot.lastPoll);
        if (snapshot.answerBytes >= 0)
            caption += QStringLiteral(" Receive:") + QString::number(snapshot.answerBytes) + QStringLiteral("字节");
        if (caption != windowTitle())
            setWindowTitle(caption);
    }

    if (snapshot.reason == StationSnapshot::Reason::Refresh) {
        // Panel 0 keeps the last text set until the other one replaces it.
        if (snapshot.comm != m_commShown && snapshot.comm != CommShown::None)
            StatusPanels[0]->setText(snapshot.comm == CommShown::Ok ? CommOkText : CommErrorText);
        m_commShown = snapshot.comm;
        refreshChannelTiles(Panel2, snapshot.channelCount);
    }

    if (snapshot.portShown && !m_portShown) {
        StatusPanels[1]->setText(portPanelText(true, snapshot.portName));
        m_portShown = true;
    }
    // Where the port leads: the device, or HOST:PORT behind Ethernet.
    if (const QString where = deviceDisplayText(snapshot.device); StatusPanels[1]->toolTip() != where)
        StatusPanels[1]->setToolTip(where);
    showSpeedPanel(snapshot);
    showAlarmPanel(StatusPanels[3], snapshot.unacknowledged);
    showStoringState(snapshot);
    AlarmView->show(snapshot);
    Q_EMIT snapshotShown(snapshot);
}

void TMainFrm::showStoringState(const StationSnapshot &snapshot)
{
    // Where the operator looks first: the alarm panel turns red, its text white, while no record
    // can be stored ("存盘失败" stands in the alarm list meanwhile); its tooltip says why. Runs
    // after showAlarmPanel, which sets the text and its colour.
    QLabel *panel = StatusPanels[3];
    const bool failing = !snapshot.storageError.isEmpty();
    QPalette palette = panel->palette();
    if (failing) {
        palette.setColor(QPalette::Window, QColor(Qt::red));
        palette.setColor(QPalette::WindowText, QColor(Qt::white));
    }
    if (panel->autoFillBackground() != failing)
        panel->setAutoFillBackground(failing);
    if (palette != panel->palette())
        panel->setPalette(palette);
    if (panel->toolTip() != storingToolTip(snapshot))
        panel->setToolTip(storingToolTip(snapshot));
}

QString storingToolTip(const StationSnapshot &snapshot)
{
    return snapshot.storageError.isEmpty() ? QString() : StorageFailedKind + QStringLiteral("：") + snapshot.storageError;
}

void TMainFrm::showSpeedPanel(const StationSnapshot &snapshot)
{
    QString text = m_portShown ? speedText(snapshot.speed) : StatusPanels[2]->text().section(SiteStateSeparator, 0, 0);
    if (snapshot.siteEnabled)
        text += SiteStateSeparator + snapshot.siteState;
    if (text != StatusPanels[2]->text())
        StatusPanels[2]->setText(text);
    StatusPanels[2]->setToolTip(snapshot.siteEnabled ? snapshot.siteState : QString());
}

// ---------------------------------------------------------------------------------------------
// Run states

void TMainFrm::N2Click()
{
    Core.post([](Station &s) { s.startRun(); });
    N2->setEnabled(false);
    N3->setEnabled(true);
}

void TMainFrm::N3Click()
{
    Core.post([](Station &s) { s.stopRun(); });
    N3->setEnabled(false);
    N2->setEnabled(true);
}

void TMainFrm::N4Click()
{
    if (!ui::askOkCancel(QStringLiteral("你真的想清除所有的历史数据吗?"), this))
        return;
    Core.post([](Station &s) { s.emptyHistory(); });
    // Polling and storing run afterwards whatever they did before; the menu says so too.
    N2->setEnabled(false);
    N3->setEnabled(true);
}

// Settings dialogs, live views and the history window: polling, storing and the refresh go
// on behind every one of them, in the run state the operator last chose. The dialogs edit
// copies; what they save reaches the core and takes effect at once.
void TMainFrm::runSettingsDialog(const std::function<int()> &run, const QStringList &files)
{
    // The system dialog writes Sys_Para.Pf before it checks its rows, so a save is told by the
    // files' time stamps, not by the dialog's result alone.
    QList<QDateTime> before;
    for (const QString &f : files)
        before.append(QFileInfo(f).lastModified());
    const int result = run();
    QStringList saved;
    for (int i = 0; i < files.size(); ++i)
        if (result == QDialog::Accepted || QFileInfo(files.at(i)).lastModified() != before.at(i))
            saved.append(files.at(i));
    if (saved.isEmpty())
        return;
    Core.post([saved, option = Option, sysParams = SysParams](Station &s) { s.settingsSaved(saved, option, sysParams); });
}

void TMainFrm::N6Click()
{
    runSettingsDialog([this] { return ui::showModalOwned(new TCommForm(this)); },
                      {QDir(programDirectory()).filePath(CommIniFileName)});
    ui::showMessage(QStringLiteral("通讯接口改变需重启程序才能生效！"), this);
}

void TMainFrm::N7Click()
{
    runSettingsDialog([this] { return ui::showModalOwned(new TSysForm(this)); }, {SysParaFileName, SystemPvFileName});
}

void TMainFrm::NAlmClick()
{
    if (!AlmForm)
        return;
    runSettingsDialog([] { return ui::showModal(AlmForm); }, {SystemAlmFileName});
}

void TMainFrm::N16Click() { ui::showModalOwned(new TPvForm(this)); }

void TMainFrm::N17Click() { ui::showModalOwned(new TRealLineForm(this)); }

void TMainFrm::N18Click() { ui::showModalOwned(new TRealAlarmForm(*AlarmView, this)); }

// The history window reads wwdd beside the storing station: a query shows the records stored
// up to the moment it ran.
void TMainFrm::N19Click() { ui::showModalOwned(new TForm3(this)); }

void TMainFrm::AboutClick()
{
    ui::showMessage(ui::AppTitle + QStringLiteral("\n") + QStringLiteral(QZ_VERSION), this);
}
