#include "RealAlarmFrm.h"

#include "AlarmBoard.h"
#include "AlarmCenter.h"
#include "EventJournal.h"
#include "AlarmModels.h"
#include "EventsExport.h"
#include "HistoryQuery.h"
#include "LiveViewHeader.h"
#include "ScreenText.h"
#include "Ui.h"

#include <QAction>
#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QPainter>
#include <QResizeEvent>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace {

constexpr int AlarmViewWidth = 1014;
constexpr int AlarmViewHeight = 674;
constexpr int AlarmReturnLeft = 928;
constexpr int AlarmReturnTop = 24;
constexpr int AlarmBlinkMs = 500;

QFont alarmViewFont(const QString &face, int pixelSize, bool bold = false)
{
    QFont font(face);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void setAlarmViewColour(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget->setPalette(palette);
}

QTableView *alarmViewGrid(QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(22);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setFont(alarmViewFont(QStringLiteral("宋体"), 15));
    return view;
}

// The alarm list's cells: a selected row keeps the colours of its state (the blinking red of
// an unacknowledged alarm above all) and shows the selection as a frame around the row, where
// the usual selection fill would hide them.
class AlarmRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const bool looked = index.data(Qt::BackgroundRole).isValid() || index.data(Qt::ForegroundRole).isValid();
        if (!looked || !option.state.testFlag(QStyle::State_Selected)) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        // The view has filled the selected row already; the grid's own ground goes back first.
        painter->fillRect(option.rect, option.palette.brush(QPalette::Base));
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_Selected;
        plain.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, plain, index);

        const QColor frame = option.palette.color(QPalette::Active, QPalette::Highlight);
        const QRect r = option.rect;
        const int w = SelectedRowFrame;
        painter->save();
        painter->fillRect(QRect(r.left(), r.top(), r.width(), w), frame);
        painter->fillRect(QRect(r.left(), r.bottom() - w + 1, r.width(), w), frame);
        if (index.column() == 0)
            painter->fillRect(QRect(r.left(), r.top(), w, r.height()), frame);
        if (index.column() == index.model()->columnCount(index.parent()) - 1)
            painter->fillRect(QRect(r.right() - w + 1, r.top(), w, r.height()), frame);
        painter->restore();
    }
};

} // namespace

void showAlarmPanel(QLabel *panel, int unacknowledged)
{
    panel->setText(alarmPanelText(unacknowledged));
    QPalette palette = panel->palette();
    palette.setColor(QPalette::WindowText, unacknowledged > 0 ? QColor(Qt::red) : QApplication::palette().color(QPalette::WindowText));
    panel->setPalette(palette);
}

TRealAlarmForm::TRealAlarmForm(AlarmBoard &center, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), m_center(center)
{
    setObjectName(QStringLiteral("RealAlarmForm"));
    resize(AlarmViewWidth, AlarmViewHeight);
    setWindowState(Qt::WindowMaximized);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(65);
    layout->addWidget(Panel1);
    const LiveViewHeader header = buildLiveViewHeader(Panel1, QStringLiteral("实时报警"), 16, QPoint(72, 32),
                                                      QPoint(AlarmReturnLeft, AlarmReturnTop));
    Label1 = header.title;
    Label2 = header.clock;
    Button1 = header.back;
    connect(Button1, &QPushButton::clicked, this, &TRealAlarmForm::Button1Click);

    auto *body = new QVBoxLayout;
    body->setContentsMargins(8, 4, 8, 8);
    body->setSpacing(6);
    layout->addLayout(body, 1);

    // The alarm list and its buttons.
    auto *listRow = new QHBoxLayout;
    auto *listTitle = new QLabel(QStringLiteral("当前报警"), this);
    listTitle->setFont(alarmViewFont(QStringLiteral("黑体"), 19));
    setAlarmViewColour(listTitle, QColor(0, 0, 128));
    listRow->addWidget(listTitle);
    CountLabel = new QLabel(this);
    CountLabel->setFont(alarmViewFont(QStringLiteral("宋体"), 17));
    listRow->addWidget(CountLabel);
    listRow->addStretch(1);
    const QFont buttonFont = alarmViewFont(QStringLiteral("宋体"), 19);
    AckButton = new QPushButton(QStringLiteral("确认"), this);
    AckAllButton = new QPushButton(QStringLiteral("全部确认"), this);
    for (QPushButton *b : {AckButton, AckAllButton}) {
        b->setFont(buttonFont);
        b->setFixedSize(130, 30);
        b->setAutoDefault(false);
        listRow->addWidget(b);
    }
    connect(AckButton, &QPushButton::clicked, this, &TRealAlarmForm::AckClick);
    connect(AckAllButton, &QPushButton::clicked, this, &TRealAlarmForm::AckAllClick);
    body->addLayout(listRow);

    AlarmGrid = alarmViewGrid(this);
    AlarmModel = new AlarmListModel(this);
    AlarmGrid->setModel(AlarmModel);
    AlarmGrid->setSelectionMode(QAbstractItemView::ExtendedSelection);
    AlarmGrid->setItemDelegate(new AlarmRowDelegate(AlarmGrid));
    AlarmGrid->setFont(alarmViewFont(QStringLiteral("宋体"), 17));
    AlarmGrid->verticalHeader()->setDefaultSectionSize(24);
    body->addWidget(AlarmGrid, 1);
    connect(AlarmGrid->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TRealAlarmForm::updateButtons);

    // The journal: range pickers as in the history window, then the grid.
    auto *queryRow = new QHBoxLayout;
    queryRow->setSpacing(4);
    auto *journalTitle = new QLabel(QStringLiteral("报警记录"), this);
    journalTitle->setFont(alarmViewFont(QStringLiteral("黑体"), 19));
    setAlarmViewColour(journalTitle, QColor(0, 0, 128));
    queryRow->addWidget(journalTitle);
    queryRow->addSpacing(12);
    const QFont pickerFont = alarmViewFont(QStringLiteral("黑体"), 19);
    auto label = [&](const QString &text) {
        auto *l = new QLabel(text, this);
        l->setFont(alarmViewFont(font().family(), 19));
        setAlarmViewColour(l, Qt::blue);
        queryRow->addWidget(l);
    };
    auto datePicker = [&] {
        auto *p = new QDateEdit(this);
        p->setDisplayFormat(pickerDateFormat()); // the system's short date
        p->setCalendarPopup(true);
        p->setFont(pickerFont);
        p->setFixedSize(129, 30);
        queryRow->addWidget(p);
        return p;
    };
    auto timePicker = [&] {
        auto *p = new QTimeEdit(this);
        p->setDisplayFormat(longTimeFormat()); // and long time formats
        p->setFont(pickerFont);
        p->setFixedSize(108, 30);
        queryRow->addWidget(p);
        return p;
    };
    label(QStringLiteral("从"));
    DateTimePicker1 = datePicker();
    DateTimePicker2 = timePicker();
    label(QStringLiteral("到.."));
    DateTimePicker3 = datePicker();
    DateTimePicker4 = timePicker();
    QueryButton = new QPushButton(QStringLiteral("查询"), this);
    QueryButton->setFont(buttonFont);
    QueryButton->setFixedSize(130, 30);
    QueryButton->setAutoDefault(false);
    queryRow->addWidget(QueryButton);
    connect(QueryButton, &QPushButton::clicked, this, &TRealAlarmForm::QueryClick);
    JournalLabel = new QLabel(this);
    JournalLabel->setFont(alarmViewFont(QStringLiteral("宋体"), 15));
    queryRow->addWidget(JournalLabel);
    queryRow->addStretch(1);
    body->addLayout(queryRow);

    JournalGrid = alarmViewGrid(this);
    JournalRows = new JournalModel(this);
    JournalGrid->setModel(JournalRows);
    ExportCsvAction = new QAction(QStringLiteral("导出CSV…"), JournalGrid);
    ExportCsvAction->setEnabled(false);
    JournalGrid->addAction(ExportCsvAction);
    JournalGrid->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(ExportCsvAction, &QAction::triggered, this, &TRealAlarmForm::ExportCsvClick);
    body->addWidget(JournalGrid, 1);

    connect(&m_center, &AlarmBoard::alarmsChanged, this, &TRealAlarmForm::refreshList);
    connect(&m_center, &AlarmBoard::eventsJournaled, this, &TRealAlarmForm::eventsJournaled);

    Timer1.setInterval(AlarmBlinkMs);
    connect(&Timer1, &QTimer::timeout, this, &TRealAlarmForm::Timer1Timer);

    FormCreate();
    Timer1.start();
}

void TRealAlarmForm::FormCreate()
{
    refreshList();
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime dayAgo = now.addDays(-1);
    DateTimePicker1->setDate(dayAgo.date());
    DateTimePicker2->setTime(QTime(dayAgo.time().hour(), dayAgo.time().minute(), dayAgo.time().second()));
    setEndPickersToNow();
    runQuery(dayAgo, now);

    QHeaderView *alarmHeader = AlarmGrid->horizontalHeader();
    const int alarmWidths[] = {190, 60, 200, 150, 110};
    for (int c = 0; c < 5; ++c)
        alarmHeader->resizeSection(c, alarmWidths[c]);
    QHeaderView *journalHeader = JournalGrid->horizontalHeader();
    const int journalWidths[] = {210, 50, 50, 160, 130, 90, 50, 90};
    for (int c = 0; c < 8; ++c)
        journalHeader->resizeSection(c, journalWidths[c]);
}

void TRealAlarmForm::Timer1Timer()
{
    Label2->setText(ui::localDateTimeText(QDateTime::currentDateTime()));
    Label2->adjustSize();
    AlarmModel->setBlinkOn(!AlarmModel->blinkOn());
}

void TRealAlarmForm::refreshList()
{
    QList<AlarmKey> selected;
    for (const QModelIndex &index : AlarmGrid->selectionModel()->selectedRows())
        selected.append(AlarmModel->alarms().value(index.row()).key);
    AlarmModel->setAlarms(m_center.alarms());
    for (const AlarmKey &key : selected) {
        const int row = AlarmModel->rowOf(key);
        if (row >= 0)
            AlarmGrid->selectionModel()->select(AlarmModel->index(row, 0),
                                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    const int n = m_center.unacknowledgedCount();
    CountLabel->setText(QStringLiteral("共 %1 条，%2 条未确认").arg(AlarmModel->rowCount()).arg(n));
    updateButtons();
}

void TRealAlarmForm::updateButtons()
{
    bool selectedUnacked = false;
    for (const QModelIndex &index : AlarmGrid->selectionModel()->selectedRows())
        selectedUnacked |= isUnacknowledged(AlarmModel->alarms().value(index.row()).state);
    AckButton->setEnabled(selectedUnacked);
    AckAllButton->setEnabled(m_center.unacknowledgedCount() > 0);
}

void TRealAlarmForm::AckClick()
{
    QList<AlarmKey> keys;
    for (const QModelIndex &index : AlarmGrid->selectionModel()->selectedRows())
        keys.append(AlarmModel->alarms().value(index.row()).key);
    if (!keys.isEmpty())
        m_center.acknowledge(keys);
}

void TRealAlarmForm::AckAllClick() { m_center.acknowledgeAll(); }

void TRealAlarmForm::setEndPickersToNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QTime t = now.time();
    DateTimePicker3->setDate(now.date());
    DateTimePicker4->setTime(QTime(t.hour(), t.minute(), t.second()));
    EndSetByWindow = QDateTime(DateTimePicker3->date(), DateTimePicker4->time());
}

void TRealAlarmForm::QueryClick()
{
    // Untouched end pickers mean "up to now": the journal keeps following, as the history
    // window's query does.
    if (QDateTime(DateTimePicker3->date(), DateTimePicker4->time()) == EndSetByWindow)
        setEndPickersToNow();
    QDateTime start;
    QDateTime end;
    if (!combinePickers(DateTimePicker1->date(), DateTimePicker2->time(), &start)
        || !combinePickers(DateTimePicker3->date(), DateTimePicker4->time(), &end)) {
        ui::showMessage(QStringLiteral("查询的日期时间无效。(invalid date and time)"), this);
        return;
    }
    if (isInvertedRange(start, end)) {
        ui::showMessage(QStringLiteral("查询的开始时间晚于结束时间。(the start lies after the end)"), this);
        return;
    }
    runQuery(start, end);
}

void TRealAlarmForm::runQuery(const QDateTime &start, const QDateTime &end)
{
    QueryStart = start;
    QueryEnd = end;
    // A range that reaches up to now keeps following the journal.
    Live = inclusiveEnd(end) >= QDateTime::currentDateTime().addSecs(-1);
    const ui::WaitCursor wait;
    QList<JournalEvent> rows;
    try {
        rows = m_center.journal().query(start, inclusiveEnd(end), MaxJournalRows);
    } catch (const AppError &e) {
        JournalRows->setRows({});
        ExportCsvAction->setEnabled(false);
        Live = false;
        showJournalCount();
        ui::showMessage(QStringLiteral("报警记录无法读取。\n%1").arg(e.text()), this);
        return;
    }
    JournalRows->setRows(rows);
    ExportCsvAction->setEnabled(true);
    showJournalCount();
}

void TRealAlarmForm::eventsJournaled(const QList<JournalEvent> &events)
{
    if (!Live)
        return;
    QList<JournalEvent> shown;
    for (const JournalEvent &e : events)
        if (e.time >= QueryStart)
            shown.append(e);
    JournalRows->prepend(shown, MaxJournalRows);
    showJournalCount();
}

void TRealAlarmForm::showJournalCount()
{
    const int n = JournalRows->rowCount();
    JournalLabel->setText(n >= MaxJournalRows ? QStringLiteral("仅显示最新的 %1 条（导出CSV含全部）").arg(n)
                                              : QStringLiteral("%1 条").arg(n));
}

void TRealAlarmForm::ExportCsvClick()
{
    if (!ExportCsvAction->isEnabled())
        return;
    // Rows shown since the query ran are in the file too.
    const QDateTime end = journalExportEnd(QueryEnd, Live, QDateTime::currentDateTime());
    const QString fileTime = QStringLiteral("yyyyMMdd-HHmmss");
    const QString suggested = QDir(m_center.programDirectory())
                                  .filePath(QStringLiteral("events_") + QueryStart.toString(fileTime) + QLatin1Char('_')
                                            + end.toString(fileTime) + QStringLiteral(".csv"));
    const QString file = ui::askSaveFile(this, QStringLiteral("导出CSV"), suggested, QStringLiteral("CSV (*.csv)"),
                                         QStringLiteral("csv"));
    if (file.isEmpty())
        return;
    const ui::WaitCursor wait;
    ui::guarded([&] { exportEventsCsv(m_center.journal(), QueryStart, end, file); });
}

void TRealAlarmForm::Button1Click() { close(); }

void TRealAlarmForm::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    Button1->move(width() - (AlarmViewWidth - AlarmReturnLeft), AlarmReturnTop);
}
