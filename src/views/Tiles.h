#pragma once
// What the main window and the full-screen data view share about channel tiles: where tile k
// stands, how a value becomes a bar position, how a tile is refreshed from the live state.

#include "SharedState.h"

#include <QPoint>
#include <QString>

class QWidget;
class TMyPanels;

// Position of tile k (1-based) for a bank of channelCount channels. Counts other than 8, 16
// and 32 use the layout of the next larger standard count.
QPoint tilePosition(int channelCount, int k);

// How a value becomes a bar position: tileBarPosition (SharedState.h), shared with the web view.

// The object name a tile is found by: "MyPanel<k>".
QString tileName(int k);

// Creates, names, places, captions and shows tiles 1 … count inside area.
void createChannelTiles(QWidget *area, int count);

// The tile named "MyPanel<k>" among area's children, or nullptr.
TMyPanels *findTile(QWidget *area, int k);

// Refreshes tiles 1 … count of area from AllRecord and Option; channels without a tile are
// skipped. An interrupted channel shows "中断", a full bar and "--" as its state text.
void refreshChannelTiles(QWidget *area, int count);
void refreshTile(TMyPanels &tile, int k);
