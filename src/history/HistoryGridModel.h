#pragma once
// The record grid's model: a read-only table over the rows of the history query. It copies
// nothing: each cell is read from the query's compact rows when the grid asks for it, so a
// 30-day result costs the grid only what is on screen.
//
// Columns are the query's fields in field order, titled with their field names (in "宋体"
// 10 pixels high, blue) until setTimeTitle() retitles column 0: "时间" then stands centred in
// red "黑体" 16 pixels high. The time stamp shows in the system's short date and long time
// formats; channel texts are shown without the blanks that pad them, right-aligned.

#include <QAbstractTableModel>
#include <QFont>

namespace db {
class TQuery;
}

class HistoryGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int TitlePixelSize = 10;
    static constexpr int TimeTitlePixelSize = 16;

    explicit HistoryGridModel(const db::TQuery *query, QObject *parent = nullptr);

    // Bracket every close() and open() of the query: the grid lets go of the old rows first.
    void queryAboutToChange();
    void queryChanged();

    void setTimeTitle(const QString &title);
    QString timeTitle() const { return m_timeTitle; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const db::TQuery *m_query;
    QString m_timeTitle; // empty until a query retitles column 0
    int m_timeField = -1;
    QFont m_titleFont;
    QFont m_timeTitleFont;
};
