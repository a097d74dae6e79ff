#include "PvFrm.h"

#include "LiveViewHeader.h"
#include "WindowState.h"
#include "Tiles.h"
#include "Ui.h"

#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// Design size, and where the return button stands in it.
constexpr int DesignWidth = 1014;
constexpr int DesignHeight = 674;
constexpr int ReturnLeft = 928;
constexpr int ReturnTop = 24;

} // namespace

TPvForm::TPvForm(QWidget *owner) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("PvForm"));
    resize(DesignWidth, DesignHeight);
    setWindowState(Qt::WindowMaximized);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(65);
    layout->addWidget(Panel1);

    // The title stays centred over the header whatever the window's width.
    const LiveViewHeader header = buildLiveViewHeader(Panel1, QStringLiteral("实时数据监控"), 16, QPoint(72, 32),
                                                      QPoint(ReturnLeft, ReturnTop));
    Label1 = header.title;
    Label2 = header.clock;
    Button1 = header.back;
    connect(Button1, &QPushButton::clicked, this, &TPvForm::Button1Click);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setAutoFillBackground(true);
    QPalette areaPalette = Panel2->palette();
    areaPalette.setColor(QPalette::Window, areaPalette.color(QPalette::Dark)); // button shadow
    Panel2->setPalette(areaPalette);
    layout->addWidget(Panel2, 1);

    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, &TPvForm::Timer1Timer);

    FormCreate();
    Timer1.start();
}

void TPvForm::FormCreate()
{
    TileCount = std::clamp(int(SysParams.ChannelCount), 0, MaxChannels);
    createChannelTiles(Panel2, TileCount);
}

void TPvForm::Timer1Timer()
{
    Label2->setText(ui::localDateTimeText(QDateTime::currentDateTime()));
    Label2->adjustSize();
    refreshChannelTiles(Panel2, TileCount);
}

void TPvForm::Button1Click() { close(); }

void TPvForm::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // The return button keeps its distance from the right edge: left at its design position,
    // a maximised window on a wide screen would put it over the centred title.
    Button1->move(width() - (DesignWidth - ReturnLeft), ReturnTop);
}
