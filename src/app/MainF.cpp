#include "MainF.h"

#include "AlarmCenter.h"
#include "AlmFrm.h"
#include "CommFrm.h"
#include "DataModuleFrm.h"
#include "ModbusM.h"
#include "MyPanels.h"
#include "PvFrm.h"
#include "RealAlarmFrm.h"
#include "RealLineFrm.h"
#include "SiteLink.h"
#include "SerialAccess.h"
#include "SettingsFiles.h"
#include "SharedState.h"
#include "HistoryTable.h"
#include "TTable.h"
#include "Tiles.h"
#include "Ui.h"
#include "Unit3.h"
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

namespace {

const QString OpenPortError = QStringLiteral("打开串口错误");
const QString CommErrorText = QStringLiteral("通讯接收错误：ERROR！！！ ");
const QString CommOkText = QStringLiteral("通讯接收正常：OK！ ");

} // namespace

TMainFrm::TMainFrm(QWidget *parent, bool autoStart)
    : QMainWindow(parent), HistoryTable(std::make_unique<db::TTable>()), m_autoStart(autoStart)
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

    Write_timer.setInterval(1000);
    Send.setInterval(1500);
    Receive.setInterval(5000);
    connect(&Write_timer, &QTimer::timeout, this, &TMainFrm::Write_timerTimer);
    connect(&Send, &QTimer::timeout, this, &TMainFrm::SendTimer);
    connect(&Receive, &QTimer::timeout, this, &TMainFrm::ReceiveTimer);
    Write_timer.start();

    comm1 = new TModbusM(this);
    comm1->setObjectName(QStringLiteral("comm1"));
    comm1->SlaveId = 1;
    comm1->FunctionCode = 0;
    comm1->Offset = 0;
    comm1->Quantity = 0;
    comm1->RegisterDim = 2;
    comm1->setTimeout(1000);
    comm1->OnResponseReady = [this](TModbusM *) { comm1ResponseReady(); };

    Alarms = new AlarmCenter(this);
    connect(Alarms, &AlarmCenter::unacknowledgedCountChanged, this,
            [this](int n) { showAlarmPanel(StatusPanels[3], n); });
    Site = new SiteLink(this);
    // Journal events travel to the broker too; the nudge only says there is something to read.
    connect(Alarms, &AlarmCenter::eventsJournaled, Site, [this] { Site->eventJournaled(); });
    connect(Site, &SiteLink::stateChanged, this, [this] { showSpeedPanel(); });

    FormCreate();
}

TMainFrm::~TMainFrm()
{
    // "offline" to the broker and a clean disconnect (a crash leaves it to the last will).
    Site->shutdown();
}

void TMainFrm::buildStatusBar()
{
    static const char *const creationTexts[] = {"运行状态:", "通讯状态:", "登录状态： 未登录！"};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(QString::fromUtf8(creationTexts[i]), this);
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
    // The journal first, so the start is its first entry; a journal that cannot be opened is
    // reported and the alarms are still evaluated and listed.
    startupGuarded([this] {
        Alarms->open(programDirectory());
        Alarms->stationEvent(AlarmCenter::StationEvent::ProgramStarted, m_autoStart ? QStringLiteral("--start") : QString());
    });
    // Port and history table first. Whatever fails there, the settings are still read: a
    // dialog saving the zero state of an unread start would wipe every name and limit.
    startupGuarded([this] { SetupCommAndHistory(); });
    startupGuarded([] {
        LoadSysParams();
        LoadChannelSettings(SysParams.ChannelCount);
    });
    // No reading has happened yet: every channel starts interrupted, not at 0.
    for (int k = 1; k <= MaxChannels; ++k) {
        AllRecord.Pv[k] = InterruptionMarker;
        AllRecord.AlmText[k] = QStringLiteral("--");
    }
    if (SettingsLoad.channels >= 0)
        startupGuarded([this] { CreateTiles(SysParams.ChannelCount); });
    ApplyStorageInterval();
    startupGuarded([this] { Site->start(programDirectory()); });
    if (m_autoStart)
        N2Click();
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

bool TMainFrm::startupGuarded(const std::function<void()> &fn)
{
    if (!m_autoStart)
        return ui::guarded(fn);
    try {
        fn();
        return true;
    } catch (const ui::AppError &e) {
        startupMessage(e.text());
    } catch (const std::exception &e) {
        startupMessage(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void TMainFrm::SetupCommAndHistory()
{
    const CommSettings comm = ReadCommSettings(programDirectory());
    comm1->setDeviceMap(ReadDeviceMap(programDirectory()));
    m_portName = comm.port;
    m_speed = comm.speed;

    TComPortNumber port;
    TComPortBaudRate speed;
    m_portKnown = ComPortNumberFromName(QStringLiteral("pn") + comm.port, &port)
        && ComPortBaudRateFromName(QStringLiteral("br") + QString::number(comm.speed), &speed);
    bool opened = false;
    if (m_portKnown) {
        comm1->setComPort(port);
        comm1->setComPortSpeed(speed);
        opened = comm1->OpenPort();
    }
    m_portUp = opened;
    if (opened) {
        showPortInStatusBar();
    } else {
        Alarms->stationEvent(AlarmCenter::StationEvent::PortOpenFailed,
                             comm.port + (m_portKnown ? QStringLiteral(" ") + comm1->DevicePath() : QString()));
        if (m_portKnown)
            // A device there but not permitted is named with its fix (group membership).
            startupMessage(openPortFailureText(OpenPortError, comm1->DevicePath()));
        else
            startupMessage(OpenPortError);
    }

    // The history table is bound and opened even without a port, so a run started later
    // stores into it; storing itself only starts with the port or with the run.
    openHistoryTable();
    if (opened)
        Receive.start();
}

void TMainFrm::showPortInStatusBar()
{
    StatusPanels[1]->setText(QStringLiteral("通讯接口： ") + m_portName);
    m_portShown = true;
    showSpeedPanel();
}

void TMainFrm::showSpeedPanel()
{
    QString text = m_portShown ? QStringLiteral("通讯速率： ") + QString::number(m_speed) + QStringLiteral(" Bps")
                               : StatusPanels[2]->text().section(QStringLiteral("    "), 0, 0);
    if (Site && Site->enabled())
        text += QStringLiteral("    ") + Site->stateText();
    StatusPanels[2]->setText(text);
    StatusPanels[2]->setToolTip(Site && Site->enabled() ? Site->stateText() : QString());
}

void TMainFrm::openHistoryTable()
{
    HistoryTable->close();
    HistoryTable->setDatabaseName(programDirectory());
    HistoryTable->setTableName(QStringLiteral("wwdd"));
    HistoryTable->setExclusive(true);
    ensureHistoryTable(programDirectory());
    HistoryTable->open();
}

void TMainFrm::CreateTiles(int count) { createChannelTiles(Panel2, count); }

void TMainFrm::ApplyStorageInterval() { Receive.setInterval(storagePeriodMs(SysParams.StorageIntervalMs)); }

// ---------------------------------------------------------------------------------------------
// Run states

void TMainFrm::N2Click()
{
    Send.start();
    Receive.start();
    N2->setEnabled(false);
    N3->setEnabled(true);
    Alarms->stationEvent(AlarmCenter::StationEvent::RunStarted);
}

void TMainFrm::N3Click()
{
    Send.stop();
    Receive.stop();
    N3->setEnabled(false);
    N2->setEnabled(true);
    Alarms->stationEvent(AlarmCenter::StationEvent::RunStopped);
}

void TMainFrm::N4Click()
{
    if (!ui::askOkCancel(QStringLiteral("你真的想清除所有的历史数据吗?"), this))
        return;
    Send.stop();
    Receive.stop();
    if (ui::guarded([this] { EmptyHistory(*HistoryTable); })) {
        Alarms->stationEvent(AlarmCenter::StationEvent::HistoryEmptied);
        Site->recordStored(); // the publisher's cursor learns the table started again
    }
    // Polling and storing run afterwards whatever they did before; the menu says so too.
    Send.start();
    Receive.start();
    N2->setEnabled(false);
    N3->setEnabled(true);
}

// Settings dialogs, live views and the history window: polling, storing and the refresh go
// on behind every one of them, in the run state the operator last chose. The dialogs edit
// copies; what they save takes effect at once.
void TMainFrm::runSettingsDialog(QDialog *dialog, const QStringList &files)
{
    // The system dialog writes Sys_Para.Pf before it checks its rows, so a save is told by the
    // files' time stamps, not by the dialog's result alone.
    QList<QDateTime> before;
    for (const QString &f : files)
        before.append(QFileInfo(f).lastModified());
    const int result = ui::showModalOwned(dialog);
    for (int i = 0; i < files.size(); ++i) {
        const QDateTime after = QFileInfo(files.at(i)).lastModified();
        if (result == QDialog::Accepted || after != before.at(i)) {
            Alarms->settingsSaved(QFileInfo(files.at(i)).fileName(), AllRecord, Option, SysParams.ChannelCount);
            Site->settingsSaved();
        }
    }
}

void TMainFrm::N6Click()
{
    runSettingsDialog(new TCommForm(this), {QDir(programDirectory()).filePath(CommIniFileName)});
    ui::showMessage(QStringLiteral("通讯接口改变需重启程序才能生效！"), this);
}

void TMainFrm::N7Click()
{
    runSettingsDialog(new TSysForm(this), {SysParaFileName, SystemPvFileName});
    ApplyStorageInterval();
}

void TMainFrm::NAlmClick()
{
    if (!AlmForm)
        return;
    const QDateTime before = QFileInfo(SystemAlmFileName).lastModified();
    const int result = ui::showModal(AlmForm);
    if (result == QDialog::Accepted || QFileInfo(SystemAlmFileName).lastModified() != before) {
        Alarms->settingsSaved(SystemAlmFileName, AllRecord, Option, SysParams.ChannelCount);
        Site->settingsSaved();
    }
}

void TMainFrm::N16Click() { ui::showModalOwned(new TPvForm(this)); }

void TMainFrm::N17Click() { ui::showModalOwned(new TRealLineForm(this)); }

void TMainFrm::N18Click() { ui::showModalOwned(new TRealAlarmForm(*Alarms, this)); }

// The history window reads wwdd beside the storing station: a query shows the records stored
// up to the moment it ran.
void TMainFrm::N19Click() { ui::showModalOwned(new TForm3(this)); }

void TMainFrm::AboutClick()
{
    ui::showMessage(ui::AppTitle + QStringLiteral("\n") + QStringLiteral(QZ_VERSION), this);
}

// ---------------------------------------------------------------------------------------------
// The acquisition cycle

void TMainFrm::SendTimer()
{
    setWindowTitle(ui::AppTitle + QLatin1Char(' ') + ui::localDateTimeText(QDateTime::currentDateTime()));
    try {
        // A port name the master has no port for is never opened (it would open another one);
        // the request is then refused as "port not open", like a missing device.
        const bool open = m_portKnown && comm1->OpenPort();
        if (open && !m_portShown)
            showPortInStatusBar(); // the adapter has appeared since start-up
        if (open != m_portUp && m_portKnown) {
            m_portUp = open;
            Alarms->stationEvent(open ? AlarmCenter::StationEvent::PortRestored : AlarmCenter::StationEvent::PortOpenFailed,
                                 m_portName + QStringLiteral(" ") + comm1->DevicePath());
        }
        comm1->FunctionCode = 3;
        comm1->SlaveId = 1;
        comm1->Offset = 0;
        comm1->Quantity = quint16(pollQuantity(SysParams.ChannelCount));
        comm1->SendRequest();
        m_sendErrorShown = false;
    } catch (...) {
        // Shown once until a request goes out again: repeated boxes would pile up, behind a
        // modal window too.
        if (!m_sendErrorShown) {
            m_sendErrorShown = true;
            ui::showMessage(QStringLiteral("error address!"), this);
        }
    }
    CommWatch.polled();
}

void TMainFrm::comm1ResponseReady()
{
    const QByteArray data = comm1->ResponseData;
    setWindowTitle(windowTitle() + QStringLiteral(" Receive:") + QString::number(data.size()) + QStringLiteral("字节"));
    if (decodeAnswer(data, AllRecord, Option)) {
        CommWatch.answered();
        Alarms->answerDecoded(AllRecord, Option, SysParams.ChannelCount);
        Site->answerDecoded(AllRecord, SysParams.ChannelCount);
    }
}

void TMainFrm::Write_timerTimer()
{
    switch (CommWatch.tick()) {
    case CommWatchCounter::Event::Error:
        StatusPanels[0]->setText(CommErrorText);
        m_commShown = 2;
        Site->setCommState(StationComm::Error);
        // Answers stopped: the values shown and stored from now on are not current.
        markInterrupted(AllRecord, SysParams.ChannelCount);
        break;
    case CommWatchCounter::Event::Ok:
        StatusPanels[0]->setText(CommOkText);
        m_commShown = 1;
        Site->setCommState(StationComm::Ok);
        break;
    case CommWatchCounter::Event::None:
        break;
    }
    refreshChannelTiles(Panel2, SysParams.ChannelCount);
    // "通讯中断" is active while panel 0 shows the error.
    Alarms->refreshTick(m_commShown == 2 ? CommState::Error : m_commShown == 1 ? CommState::Ok : CommState::Unknown);
}

void TMainFrm::ReceiveTimer()
{
    try {
        StoreHistoryRecord(*HistoryTable, QDateTime::currentDateTime());
        Site->recordStored();
        if (m_storageErrorShown)
            Alarms->stationEvent(AlarmCenter::StationEvent::StorageRestored);
        m_storageErrorShown = false;
    } catch (const ui::AppError &e) {
        // Shown once: a failing disk must not pile up a message box every storage period.
        // Storage keeps retrying and reports again after it has worked once.
        if (!m_storageErrorShown) {
            m_storageErrorShown = true;
            Alarms->stationEvent(AlarmCenter::StationEvent::StorageFailed, e.text());
            ui::reportError(e.text());
        }
    }
}
