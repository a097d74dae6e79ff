#include "Unit3.h"

#include "HistoryChart.h"
#include "HistoryExport.h"
#include "HistoryGridModel.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "PrintProgressDialog.h"
#include "SharedState.h"
#include "Ui.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTableView>
#include <QTimeEdit>

namespace {

QFont faceFont(const QString &face, int pixelSize)
{
    QFont font(face);
    font.setPixelSize(pixelSize);
    return font;
}

QFont sizedFont(const QFont &base, int pixelSize)
{
    QFont font(base);
    font.setPixelSize(pixelSize);
    return font;
}

void setTextColour(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget->setPalette(palette);
}

// The hourglass for the length of a job, put back however the job ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

const QString DesignCaption = QString(56, QLatin1Char(' ')) + QStringLiteral("温度纪录查询");
const QColor Navy(0, 0, 128);

} // namespace

TForm3::TForm3(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                         | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(DesignCaption);
    setFixedSize(ClientWidth, ClientHeight);
    setTextColour(this, Qt::red); // the window's default font colour

    Label1 = new QLabel(QStringLiteral("查询日期:"), this);
    Label1->setFont(faceFont(QStringLiteral("宋体"), 20));
    setTextColour(Label1, Navy);
    Label1->move(0, 5);

    Label2 = new QLabel(QStringLiteral("从"), this);
    Label2->setFont(sizedFont(font(), 19));
    setTextColour(Label2, Qt::blue);
    Label2->move(81, 1);

    const QFont pickerFont = faceFont(QStringLiteral("黑体"), 19);
    auto datePicker = [&](int left, int width) {
        auto *picker = new QDateEdit(this);
        picker->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        picker->setCalendarPopup(true);
        picker->setFont(pickerFont);
        picker->setGeometry(left, 1, width, 30);
        return picker;
    };
    auto timePicker = [&](int left, int width) {
        auto *picker = new QTimeEdit(this);
        picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        picker->setFont(pickerFont);
        picker->setGeometry(left, 1, width, 30);
        return picker;
    };
    DateTimePicker1 = datePicker(105, 124);
    DateTimePicker2 = timePicker(226, 108);
    Label3 = new QLabel(QStringLiteral("到.."), this);
    Label3->setFont(sizedFont(font(), 19));
    setTextColour(Label3, Qt::blue);
    Label3->move(332, 1);
    DateTimePicker3 = datePicker(360, 129);
    DateTimePicker4 = timePicker(488, 106);

    const QFont buttonFont = faceFont(QStringLiteral("宋体"), 19);
    auto button = [&](const QString &text, int left, const QFont &f) {
        auto *b = new QPushButton(text, this);
        b->setFont(f);
        b->setGeometry(left, 1, 130, 30);
        b->setAutoDefault(false);
        return b;
    };
    Button1 = button(QStringLiteral("查询"), 598, buttonFont);
    Button2 = button(QStringLiteral("打印"), 734, buttonFont);
    Button2->setEnabled(false);
    Button3 = button(QStringLiteral("退出"), 870, faceFont(QStringLiteral("幼圆"), 19));
    connect(Button1, &QPushButton::clicked, this, [this] { ui::guarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { ui::guarded([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, &TForm3::Button3Click);

    DBGrid1 = new QTableView(this);
    DBGrid1->setGeometry(-1, 32, 1002, 129);
    GridModel = new HistoryGridModel(&Query1, this);
    DBGrid1->setModel(GridModel);
    DBGrid1->verticalHeader()->hide();
    DBGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    DBGrid1->verticalHeader()->setDefaultSectionSize(18);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setWordWrap(false);
    DBGrid1->setFont(faceFont(QStringLiteral("MS Sans Serif"), 10));
    ExportCsvAction = new QAction(QStringLiteral("导出CSV…"), DBGrid1);
    ExportCsvAction->setEnabled(false);
    DBGrid1->addAction(ExportCsvAction);
    DBGrid1->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(ExportCsvAction, &QAction::triggered, this, &TForm3::ExportCsvClick);

    Chart1 = new HistoryChart(this);
    Chart1->setGeometry(-1, 165, 858, 404);
    connect(Chart1, &HistoryChart::pointsAdded, this, &TForm3::Series1AfterAdd);

    CheckBox1 = new QCheckBox(QStringLiteral("参数指示"), this);
    CheckBox1->setChecked(true);
    CheckBox1->move(894, 163);
    CheckBox1->adjustSize();
    connect(CheckBox1, &QCheckBox::toggled, this, &TForm3::CheckBox1Click);

    Label4 = new QLabel(QStringLiteral("时间间隔："), this);
    Label4->move(894, 186);

    ComboBox1 = new QComboBox(this);
    for (const SpanChoice &choice : SpanChoices())
        ComboBox1->addItem(choice.text);
    ComboBox1->setMaxVisibleItems(14);
    ComboBox1->setGeometry(864, 205, 129, ComboBox1->sizeHint().height());
    connect(ComboBox1, &QComboBox::activated, this, &TForm3::ComboBox1Change);

    ListBox1 = new QListWidget(this);
    ListBox1->setGeometry(860, 234, 131, 324);
    ListBox2 = new QListWidget(this);
    ListBox2->setGeometry(952, 234, 5, 324);
    for (QListWidget *list : {ListBox1, ListBox2}) {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        connect(list, &QListWidget::itemPressed, this,
                [this, list](QListWidgetItem *item) { ui::guarded([&] { ListBox1MouseDown(list, list->row(item)); }); });
    }
    // The field list is a 5-pixel strip over the channel list; with rows of one height in
    // both, its selection lines up with the channel list's.
    ListBox2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListBox2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    FormCreate();
}

TForm3::~TForm3()
{
    // The grid lets go of the rows before the query frees them.
    DBGrid1->setModel(nullptr);
}

QPrinter &TForm3::printer()
{
    if (!m_printer) {
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        m_printer->setResolution(600);
        m_printer->setPageSize(QPageSize(QPageSize::A4));
    }
    return *m_printer;
}

void TForm3::FormCreate()
{
    const QString dir = programDirectory();
    Query1.setDatabaseName(dir);
    Table1.setDatabaseName(dir);
    Table1.setTableName(HistoryTableName);

    const QDateTime now = QDateTime::currentDateTime();
    DateTimePicker1->setDate(now.date());
    DateTimePicker2->setTime(QTime(0, 0, 0));
    DateTimePicker3->setDate(now.date());
    const QTime t = now.time();
    DateTimePicker4->setTime(QTime(t.hour(), t.minute(), t.second()));

    // The span first: the empty chart opening on the last span up to now needs it.
    ComboBox1->setCurrentIndex(InitialSpanIndex);
    ViewSpan = spanForChoice(InitialSpanIndex, ViewSpan);

    // An empty chart: made-up values on a history chart would read as real data.
    Chart1->clearSeries();
    const double key = HistoryChart::keyOf(now);
    Chart1->setBottomRange(key - ViewSpan, key);
    Chart1->replot();

    ListBox2->clear();
    ListBox1->clear();
    const bool listed = ui::guarded([this] {
        Table1.open();
        const QStringList names = Table1.fieldNames();
        if (!names.isEmpty())
            setWindowTitle(names.first());
        const int rowHeight = ListBox1->fontMetrics().height() + 2;
        for (qsizetype k = 1; k < names.size(); ++k) {
            ListBox2->addItem(names.at(k));
            ListBox1->addItem(channelLine(k <= MaxChannels ? Option.Names[size_t(k - 1)] : QString()));
            ListBox2->item(ListBox2->count() - 1)->setSizeHint(QSize(0, rowHeight));
            ListBox1->item(ListBox1->count() - 1)->setSizeHint(QSize(0, rowHeight));
        }
        if (ListBox2->count() > 0) {
            ListBox2->setCurrentRow(0);
            ListBox1->setCurrentRow(0);
        }
    });
    Table1.close();
    if (!listed) {
        ListBox1->clear();
        ListBox2->clear();
    }
}

void TForm3::Button1Click()
{
    Button2->setEnabled(true);

    QDateTime start;
    QDateTime end;
    if (!combinePickers(DateTimePicker1->date(), DateTimePicker2->time(), &start)
        || !combinePickers(DateTimePicker3->date(), DateTimePicker4->time(), &end)) {
        ui::showMessage(QStringLiteral("valid datetime format"), this);
        return;
    }
    QueryStart = start;
    QueryEnd = end;
    if (isInvertedRange(QueryStart, QueryEnd)) {
        Button2->setEnabled(false);
        return;
    }

    GridModel->queryAboutToChange();
    bool opened = true;
    try {
        runHistoryQuery(Query1, programDirectory(), QueryStart, QueryEnd);
    } catch (const std::exception &) {
        Query1.close();
        opened = false;
    }
    GridModel->setTimeTitle(opened ? QStringLiteral("时间") : GridModel->timeTitle());
    GridModel->queryChanged();
    ExportCsvAction->setEnabled(opened);
    if (!opened) {
        ui::showMessage(QStringLiteral("open error"), this);
        return;
    }

    // After a query the curve takes channel 1 (the first line of the field list), whatever
    // line is selected; its points join those already drawn.
    plotField(ListBox2->count() > 0 ? ListBox2->item(0)->text() : historyFieldName(1));
    Query1.seek(Query1.recordCount()); // left after its last row
    sizeGridColumns();
}

void TForm3::sizeGridColumns()
{
    QHeaderView *header = DBGrid1->horizontalHeader();
    if (header->count() == 0)
        return;
    header->resizeSection(0, TimeColumnWidth);
    for (int c = 1; c <= SizedChannelColumns && c < header->count(); ++c)
        header->resizeSection(c, ChannelColumnWidth);
}

void TForm3::plotField(const QString &fieldName)
{
    const Curve curve = curveOfField(Query1, fieldName);
    Chart1->addPoints(curve.keys, curve.values);
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TForm3::ListBox1MouseDown(QListWidget *list, int row)
{
    if (row < 0)
        return;
    QListWidget *other = list == ListBox2 ? ListBox1 : ListBox2;
    if (row < other->count())
        other->setCurrentRow(row);
    if (!Button2->isEnabled())
        return;
    if (row >= ListBox2->count())
        return;

    Query1.first();
    Chart1->clearSeries();
    plotField(ListBox2->item(row)->text());
    if (row < MaxChannels)
        Chart1->setLeftRange(Option.LowerLimits[size_t(row)], Option.UpperLimits[size_t(row)]);
    Query1.seek(Query1.recordCount());
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TForm3::ComboBox1Change()
{
    if (!Button2->isEnabled())
        return;
    const double m = Chart1->bottomMax();
    ViewSpan = spanForChoice(ComboBox1->currentIndex(), ViewSpan);
    Chart1->setBottomRange(m - ViewSpan, m);
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TForm3::Series1AfterAdd()
{
    const double newest = Chart1->maxX();
    Chart1->setBottomRange(newest - ViewSpan, newest);
}

void TForm3::CheckBox1Click()
{
    Chart1->setMarksVisible(CheckBox1->isChecked());
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TForm3::Button2Click()
{
    QPrintDialog setup(&printer(), this);
    // Cancel in the set-up dialog prints nothing.
    if (ui::showModal(&setup) != QDialog::Accepted)
        return;
    const WaitCursor wait;
    std::unique_ptr<PrintProgressDialog> dialog;
    PrintProgress *progress = printProgress;
    if (!progress) {
        dialog = std::make_unique<PrintProgressDialog>(this);
        progress = dialog.get();
    }
    ui::guarded([&] {
        printHistoryTable(printer(), Query1, SysParams.ChannelCount, QDateTime::currentDateTime(), progress);
    });
}

void TForm3::Button3Click() { close(); }

void TForm3::ExportCsvClick()
{
    if (!Query1.active())
        return;
    const QString fileTime = QStringLiteral("yyyyMMdd-HHmmss");
    const QString suggested = QDir(programDirectory())
                                  .filePath(HistoryTableName + QLatin1Char('_') + QueryStart.toString(fileTime)
                                            + QLatin1Char('_') + QueryEnd.toString(fileTime) + QStringLiteral(".csv"));
    QFileDialog dialog(this, QStringLiteral("导出CSV"), suggested, QStringLiteral("CSV (*.csv)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.selectFile(suggested);
    if (ui::showModal(&dialog) != QDialog::Accepted)
        return;
    const QString file = dialog.selectedFiles().value(0);
    if (file.isEmpty())
        return;
    const WaitCursor wait;
    ui::guarded([&] { exportHistoryCsv(Query1, file); });
}
