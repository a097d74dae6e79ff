#include "LiveViewHeader.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

QFont fangSongFont(int pixelSize, bool bold)
{
    QFont font(QStringLiteral("仿宋_GB2312"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

LiveViewHeader buildLiveViewHeader(QWidget *panel, const QString &titleText, int titleTop, QPoint clockPos,
                                   QPoint backPos)
{
    LiveViewHeader h;
    h.title = new QLabel(titleText, panel);
    h.title->setFont(fangSongFont(29, true));
    auto *titleRow = new QHBoxLayout(panel);
    titleRow->setContentsMargins(0, titleTop, 0, 0);
    titleRow->addWidget(h.title, 0, Qt::AlignHCenter | Qt::AlignTop);

    h.clock = new QLabel(panel);
    QFont clockFont(QStringLiteral("Times New Roman"));
    clockFont.setPixelSize(21);
    clockFont.setBold(true);
    h.clock->setFont(clockFont);
    QPalette clockPalette = h.clock->palette();
    clockPalette.setColor(QPalette::WindowText, QColor(0, 0, 128)); // navy
    h.clock->setPalette(clockPalette);
    h.clock->move(clockPos);

    h.back = new QPushButton(QStringLiteral("返回"), panel);
    h.back->setAutoDefault(false);
    h.back->setGeometry(QRect(backPos, QSize(75, 25)));
    return h;
}
