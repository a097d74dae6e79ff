#include "Tiles.h"

#include "MyPanels.h"
#include "NumberText.h"
#include "ScreenText.h"
#include "WindowState.h"

#include <algorithm>
#include <cmath>

QPoint tilePosition(int channelCount, int k)
{
    const int standard = standardChannelCount(channelCount);
    int left0, pitch, perRow;
    const int *tops;
    static const int tops32[] = {10, 150, 290, 430, 570};
    static const int tops16[] = {100, 260, 420};
    static const int tops8[] = {150, 310};
    switch (standard) {
    case 32: left0 = 15; pitch = 140; perRow = 7; tops = tops32; break;
    case 16: left0 = 50; pitch = 155; perRow = 6; tops = tops16; break;
    default: left0 = 50; pitch = 155; perRow = 6; tops = tops8; break;
    }
    const int row = (k - 1) / perRow;
    const int column = (k - 1) % perRow;
    return QPoint(left0 + pitch * column, tops[row]);
}

QString tileName(int k) { return QStringLiteral("MyPanel%1").arg(k); }

void createChannelTiles(QWidget *area, int count)
{
    for (int k = 1; k <= count; ++k) {
        auto *tile = new TMyPanels(area);
        tile->setObjectName(tileName(k));
        tile->move(tilePosition(count, k));
        tile->setAddrCaption(QString::number(k));
        tile->setNameCaption(Option.Names[k - 1]);
        tile->setWenDu(Option.Units[k - 1]);
        tile->show();
    }
}

TMyPanels *findTile(QWidget *area, int k)
{
    return area->findChild<TMyPanels *>(tileName(k), Qt::FindDirectChildrenOnly);
}

void refreshTile(TMyPanels &tile, int k)
{
    const float v = AllRecord.Pv[k];
    if (!isInterrupted(v)) {
        tile.setProgressCaption(tileBarPosition(v, Option.LowerLimits[k - 1], Option.UpperLimits[k - 1]));
        tile.setPvCaption(screenNumber(formatPv3(v)));
        tile.setAlmCaption(AllRecord.AlmText[k]);
    } else {
        // An interrupted channel has no current state: a stale alarm text would mislead.
        tile.setProgressCaption(100);
        tile.setPvCaption(InterruptedText);
        tile.setAlmCaption(InterruptedStateText);
    }
}

void refreshChannelTiles(QWidget *area, int count)
{
    for (int k = 1; k <= count && k <= MaxChannels; ++k) {
        if (TMyPanels *tile = findTile(area, k))
            refreshTile(*tile, k);
    }
}
