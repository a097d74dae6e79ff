#include "Unit3.h"

#include "ChartCompare.h"
#include "HistoryChart.h"
#include "HistoryExport.h"
#include "HistoryGridModel.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "PrintProgressDialog.h"
#include "ScreenText.h"
#include "WindowState.h"
#include "Ui.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
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
// The channel and field lists: one line selected at a time. Ctrl+click adds a curve to
// compare, so it must not unselect the line it lands on, as a single-selection list would.
class ChannelList : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex &index, const QEvent *event) const override
    {
        const QItemSelectionModel::SelectionFlags flags = QListWidget::selectionCommand(index, event);
        if (index.isValid() && flags.testFlag(QItemSelectionModel::Deselect))
            return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
        return flags;
    }
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
        picker->setDisplayFormat(pickerDateFormat()); // the system's short date
        picker->setCalendarPopup(true);
        picker->setFont(pickerFont);
        picker->setGeometry(left, 1, width, 30);
        return picker;
    };
    auto timePicker = [&](int left, int width) {
        auto *picker = new QTimeEdit(this);
        picker->setDisplayFormat(longTimeFormat()); // and long time formats
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
    connect(Chart1->savePictureAction(), &QAction::triggered, this, &TForm3::SavePictureClick);

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

    ListBox1 = new ChannelList(this);
    ListBox1->setGeometry(860, 234, 131, 324);
    ListBox2 = new ChannelList(this);
    ListBox2->setGeometry(952, 234, 5, 324);
    for (QListWidget *list : {ListBox1, ListBox2}) {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        // The modifiers of the press that selected the item: Ctrl adds a curve to compare.
        connect(list, &QListWidget::itemPressed, this, [this, list](QListWidgetItem *item) {
            ui::guarded([&] { ListBox1MouseDown(list, list->row(item), QGuiApplication::keyboardModifiers()); });
        });
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
    setEndPickersToNow();

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

void TForm3::setEndPickersToNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QTime t = now.time();
    DateTimePicker3->setDate(now.date());
    DateTimePicker4->setTime(QTime(t.hour(), t.minute(), t.second()));
    EndSetByWindow = QDateTime(DateTimePicker3->date(), DateTimePicker4->time());
}

void TForm3::Button1Click()
{
    Button2->setEnabled(true);
    if (QDateTime(DateTimePicker3->date(), DateTimePicker4->time()) == EndSetByWindow)
        setEndPickersToNow();

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

    // A new query ends any zoom and draws the selected channels again: the one shown, or the
    // compared ones when the selected line is among them; a line selected while no query was
    // shown is drawn alone. A channel that stays keeps its points from earlier queries.
    Chart1->endZoom();
    plotChannels(ChartCompare::channelsForQuery(ChartChannels, ListBox1->currentRow()));
    Query1.seek(Query1.recordCount()); // left after its last row
    sizeGridColumns();
}

void TForm3::plotChannels(const QList<int> &channels)
{
    if (channels != ChartChannels) {
        Chart1->removeAddedCurves();
        if (channels.first() != ChartChannels.first())
            Chart1->clearSeries();
        ChartChannels = {channels.first()};
    }
    Chart1->setCurveName(0, channelCurveName(channels.first()));
    for (qsizetype i = 0; i < channels.size(); ++i) {
        const int row = channels.at(i);
        const Curve curve = curveOfField(Query1, fieldOfLine(row));
        if (i < Chart1->curveCount()) {
            Chart1->addPointsTo(int(i), curve.keys, curve.values);
        } else if (Chart1->addCurve(channelCurveName(row), curve.keys, curve.values)) {
            ChartChannels.append(row);
        }
    }
    showChannelLimits();
    showChannelColours();
    selectShownLine(ListBox1->currentRow());
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

QString TForm3::fieldOfLine(int row) const
{
    return row >= 0 && row < ListBox2->count() ? ListBox2->item(row)->text() : historyFieldName(row + 1);
}

void TForm3::showChannelLimits()
{
    QList<QPair<double, double>> limits;
    for (int channel : ChartChannels)
        if (channel >= 0 && channel < MaxChannels)
            limits.append({Option.LowerLimits[size_t(channel)], Option.UpperLimits[size_t(channel)]});
    if (const auto range = ChartCompare::unionOfLimits(limits))
        Chart1->setLeftRange(range->lower, range->upper);
}

void TForm3::selectShownLine(int row)
{
    // The highlighted line is always one the chart shows: the pressed one when it is drawn,
    // else the channel of Series1.
    const int line = ChartChannels.contains(row) ? row : ChartChannels.first();
    for (QListWidget *list : {ListBox1, ListBox2})
        if (line < list->count() && list->currentRow() != line)
            list->setCurrentRow(line);
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

void TForm3::ListBox1MouseDown(QListWidget *list, int row, Qt::KeyboardModifiers modifiers)
{
    if (row < 0)
        return;
    const bool compare = modifiers.testFlag(Qt::ControlModifier);
    QListWidget *other = list == ListBox2 ? ListBox1 : ListBox2;
    if (row < other->count())
        other->setCurrentRow(row);
    // The pressed line is selected in both lists, also when a Ctrl+click reaches here directly.
    if (compare && row < list->count())
        list->setCurrentRow(row);
    if (!Button2->isEnabled())
        return;
    if (row >= ListBox2->count())
        return;
    if (compare) {
        compareChannel(row);
        selectShownLine(row);
        return;
    }

    Chart1->endZoom();
    Chart1->removeAddedCurves();
    ChartChannels = {row};
    Chart1->setCurveName(0, channelCurveName(row));
    Query1.first();
    Chart1->clearSeries();
    const Curve curve = curveOfField(Query1, fieldOfLine(row));
    Chart1->addPoints(curve.keys, curve.values);
    showChannelLimits();
    showChannelColours();
    Query1.seek(Query1.recordCount());
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TForm3::compareChannel(int row)
{
    switch (ChartCompare::compareStep(ChartChannels, row)) {
    case ChartCompare::CompareStep::Keep:
        return;
    case ChartCompare::CompareStep::Full:
        ui::showMessage(QStringLiteral("图上最多同时比较%1个通道：Ctrl+单击已显示的通道可将其移去，单击一个通道重新开始。\n"
                                       "At most %1 curves are shown at once.")
                            .arg(ChartCompare::MaxCurves),
                        this);
        return;
    case ChartCompare::CompareStep::Remove:
        Chart1->removeCurve(int(ChartChannels.indexOf(row)));
        ChartChannels.removeOne(row);
        break;
    case ChartCompare::CompareStep::Add: {
        const Curve curve = curveOfField(Query1, fieldOfLine(row));
        if (!Chart1->addCurve(channelCurveName(row), curve.keys, curve.values))
            return;
        ChartChannels.append(row);
        break;
    }
    }
    showChannelLimits();
    showChannelColours();
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

QString TForm3::channelCurveName(int row) const
{
    const QString field = fieldOfLine(row);
    return ChartCompare::curveName(row < MaxChannels ? Option.Names[size_t(row)] : QString(), field);
}

void TForm3::showChannelColours()
{
    // While channels are compared, each drawn line of the channel list carries its curve's colour.
    for (int row = 0; row < ListBox1->count(); ++row) {
        const qsizetype at = ChartChannels.size() > 1 ? ChartChannels.indexOf(row) : -1;
        QIcon icon;
        if (at >= 0) {
            QPixmap swatch(10, 10);
            swatch.fill(Chart1->curve(int(at))->pen().color());
            QPainter frame(&swatch);
            frame.setPen(Qt::black);
            frame.drawRect(0, 0, 9, 9);
            frame.end();
            icon = QIcon(swatch);
        }
        ListBox1->item(row)->setIcon(icon);
    }
}

void TForm3::ComboBox1Change()
{
    if (!Button2->isEnabled())
        return;
    Chart1->finishZoom(); // the span counts from the time axis' end as it will stand
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
    const ui::WaitCursor wait;
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

void TForm3::SavePictureClick()
{
    QStringList names;
    for (int i = 0; i < Chart1->curveCount(); ++i)
        names.append(Chart1->curveName(i));
    const QString suggested =
        QDir(programDirectory()).filePath(ChartCompare::pictureFileName(names, Chart1->bottomRange()));
    const QString file = ui::askSaveFile(this, QStringLiteral("保存图片"), suggested, QStringLiteral("PNG (*.png)"),
                                         QStringLiteral("png"));
    if (file.isEmpty())
        return;
    const ui::WaitCursor wait;
    ui::guarded([&] {
        QString error;
        if (!ChartCompare::writePicture(Chart1->picture(), file, &error))
            throw AppError(QStringLiteral("图片未能保存。\n") + error);
    });
}

void TForm3::ExportCsvClick()
{
    if (!Query1.active())
        return;
    const QString fileTime = QStringLiteral("yyyyMMdd-HHmmss");
    const QString suggested = QDir(programDirectory())
                                  .filePath(HistoryTableName + QLatin1Char('_') + QueryStart.toString(fileTime)
                                            + QLatin1Char('_') + QueryEnd.toString(fileTime) + QStringLiteral(".csv"));
    const QString file = ui::askSaveFile(this, QStringLiteral("导出CSV"), suggested, QStringLiteral("CSV (*.csv)"),
                                         QStringLiteral("csv"));
    if (file.isEmpty())
        return;
    const ui::WaitCursor wait;
    ui::guarded([&] { exportHistoryCsv(Query1, file); });
}
