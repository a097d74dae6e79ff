#include "RealLineFrm.h"

#include "CurveText.h"
#include "LiveViewHeader.h"
#include "WindowState.h"
#include "StripChart.h"
#include "Ui.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// Design size, and where the return button stands in it.
constexpr int CurveDesignWidth = 1026;
constexpr int CurveDesignHeight = 706;
constexpr int CurveReturnLeft = 872;
constexpr int CurveReturnTop = 64;


} // namespace

TRealLineForm::TRealLineForm(QWidget *owner)
    : QDialog(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint
                         | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("RealLineForm"));
    setWindowTitle(QStringLiteral("实时曲线查询"));
    resize(CurveDesignWidth, CurveDesignHeight);
    setWindowState(Qt::WindowMaximized);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(97);
    layout->addWidget(Panel1);

    // The title stays centred over the header whatever the window's width.
    const LiveViewHeader header = buildLiveViewHeader(Panel1, QStringLiteral("实时曲线监测"), 40, QPoint(72, 56),
                                                      QPoint(CurveReturnLeft, CurveReturnTop));
    Label1 = header.title;
    Label2 = header.clock;
    Button1 = header.back;
    connect(Button1, &QPushButton::clicked, this, &TRealLineForm::Button1Click);

    auto *body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    layout->addLayout(body, 1);

    Panel2 = new QWidget(this);
    Panel2->setFixedWidth(129);
    auto *channelColumn = new QVBoxLayout(Panel2);
    channelColumn->setContentsMargins(0, 0, 0, 0);
    channelColumn->setSpacing(0);
    auto *strip = new QWidget(Panel2);
    strip->setFixedHeight(56);
    Label3 = new QLabel(QStringLiteral("选择通道："), strip);
    Label3->setFont(fangSongFont(16, false));
    Label3->move(8, 24);
    channelColumn->addWidget(strip);

    ListBox1 = new QListWidget(Panel2);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setFont(fangSongFont(16, false));
    ListBox1->setUniformItemSizes(true);
    QPalette listPalette = ListBox1->palette();
    listPalette.setColor(QPalette::Base, listPalette.color(QPalette::Button)); // button face
    ListBox1->setPalette(listPalette);
    channelColumn->addWidget(ListBox1, 1);
    body->addWidget(Panel2);
    // A click restarts the curve for the clicked channel, even the one already plotted; moving
    // the selection with the keyboard switches channels too.
    connect(ListBox1, &QListWidget::itemClicked, this, &TRealLineForm::ListBox1Click);
    connect(ListBox1, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row != PlottedChannel)
            ListBox1Click();
    });

    Chart1 = new StripChart(this);
    Chart1->setTitle(QStringLiteral("实时曲线"));
    Chart1->setChannelTitle(QStringLiteral("Channel 1"));
    Chart1->xAxis->setLabel(QStringLiteral("X-Axis 1"));
    Chart1->yAxis->setLabel(QStringLiteral("温度℃"));
    body->addWidget(Chart1, 1);

    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, &TRealLineForm::Timer1Timer);

    FormCreate();
    Timer1.start();
}

void TRealLineForm::FormCreate()
{
    ViewChannelCount = SysParams.ChannelCount;
    const int listed = std::clamp(ViewChannelCount, 0, MaxChannels);
    for (int i = 0; i < listed; ++i) {
        auto *item = new QListWidgetItem(Option.Names[i], ListBox1);
        item->setSizeHint(QSize(0, 16));
    }
    // Channel 1 is plotted from the start, although no list item is selected.
    showChannel(0);
    PlottedChannel = 0;
}

void TRealLineForm::ListBox1Click()
{
    const QList<QListWidgetItem *> selected = ListBox1->selectedItems();
    if (selected.isEmpty())
        return;
    const int i = ListBox1->row(selected.first());
    if (i < 0 || i >= MaxChannels)
        return;
    Timer1.stop();
    Chart1->clear();
    showChannel(i);
    Timer1.start();
    PlottedChannel = i;
}

void TRealLineForm::Timer1Timer() { refreshAt(QDateTime::currentDateTime()); }

void TRealLineForm::refreshAt(const QDateTime &now)
{
    Label2->setText(ui::localDateTimeText(now));
    Label2->adjustSize();
    const int k = PlottedChannel + 1;
    const float v = AllRecord.Pv[k];
    Chart1->addPoint(now, curveValue(v));
    Chart1->setTitle(curveTitle(Option.Names[k - 1], v));
}

void TRealLineForm::Button1Click() { close(); }

void TRealLineForm::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // The return button keeps its distance from the right edge: left at its design position,
    // a maximised window on a wide screen would put it over the centred title.
    Button1->move(width() - (CurveDesignWidth - CurveReturnLeft), CurveReturnTop);
}

void TRealLineForm::showChannel(int index)
{
    const double lower = Option.LowerLimits[index];
    const double upper = Option.UpperLimits[index];
    Chart1->setYRange(lower, upper - lower);
    Chart1->setTitle(Option.Names[index]);
    Chart1->setChannelTitle(Option.Names[index]);
}
