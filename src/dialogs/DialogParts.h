#pragma once
// Building blocks shared by the setting dialogs: coloured panels and string grids whose first
// row (and first columns) are fixed cells, addressed like the grids of the station's
// original design: row 0 holds the column titles, column 0 the channel captions.

#include <QColor>
#include <QString>

class QFrame;
class QLabel;
class QTableWidget;
class QWidget;

// The sky blue of the dialogs' panels and fixed cells.
inline const QColor SkyBlue = QColor(0xA6, 0xCA, 0xF0);
inline const QColor Silver = QColor(0xC0, 0xC0, 0xC0);
inline const QColor Grey = QColor(0x80, 0x80, 0x80);

// A raised panel at the given place, filled with `colour`.
QFrame *makePanel(QWidget *parent, int left, int top, int width, int height, const QColor &colour);
// A label at the given place; bold for panel titles.
QLabel *makeLabel(QWidget *parent, const QString &text, int left, int top, bool bold = false);

// A string grid: `columns` columns of 100 pixels, rows 24 pixels high, no header bars (the
// titles are row 0), cell background `base`.
void setupStringGrid(QTableWidget *grid, int columns, const QColor &base);

// A fixed cell: sky blue, neither selectable nor editable.
void setFixedCell(QTableWidget *grid, int row, int column, const QString &text);
// An editable cell.
void setEditCell(QTableWidget *grid, int row, int column, const QString &text);
// The text of a cell; empty for a cell never set.
QString cellText(const QTableWidget *grid, int row, int column);
