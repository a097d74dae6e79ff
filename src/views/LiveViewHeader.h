#pragma once
// The header both live views share: a centred title, the running clock and "返回".

#include <QFont>
#include <QPoint>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;

// The "仿宋_GB2312" face of the live views at a pixel size.
QFont fangSongFont(int pixelSize, bool bold);

struct LiveViewHeader {
    QLabel *title = nullptr;
    QLabel *clock = nullptr;
    QPushButton *back = nullptr;
};

// Builds the header on panel: the title centred titleTop pixels from the top whatever the
// width, the clock (bold navy "Times New Roman", 21 px, empty until the first tick) at
// clockPos, and the return button (75 × 25) at backPos.
LiveViewHeader buildLiveViewHeader(QWidget *panel, const QString &titleText, int titleTop, QPoint clockPos,
                                   QPoint backPos);
