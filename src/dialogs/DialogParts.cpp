#include "DialogParts.h"

#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

QFrame *makePanel(QWidget *parent, int left, int top, int width, int height, const QColor &colour)
{
    auto *panel = new QFrame(parent);
    panel->setGeometry(left, top, width, height);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, colour);
    panel->setPalette(pal);
    return panel;
}

QLabel *makeLabel(QWidget *parent, const QString &text, int left, int top, bool bold)
{
    auto *label = new QLabel(text, parent);
    if (bold) {
        // Bold at the dialog's own size, as the titles are designed.
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    label->adjustSize();
    label->move(left, top);
    return label;
}

void setupStringGrid(QTableWidget *grid, int columns, const QColor &base)
{
    grid->setColumnCount(columns);
    grid->setRowCount(1);
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->horizontalHeader()->setMinimumSectionSize(10);
    grid->horizontalHeader()->setDefaultSectionSize(100);
    grid->verticalHeader()->setMinimumSectionSize(10);
    grid->verticalHeader()->setDefaultSectionSize(24);
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setSelectionBehavior(QAbstractItemView::SelectItems);
    grid->setEditTriggers(QAbstractItemView::AllEditTriggers);
    grid->setTabKeyNavigation(true);
    QPalette pal = grid->palette();
    pal.setColor(QPalette::Base, base);
    grid->setPalette(pal);
}

void setFixedCell(QTableWidget *grid, int row, int column, const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    item->setBackground(SkyBlue);
    grid->setItem(row, column, item);
}

void setEditCell(QTableWidget *grid, int row, int column, const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
    grid->setItem(row, column, item);
}

QString cellText(const QTableWidget *grid, int row, int column)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}
