#include "HistoryGridModel.h"

#include "HistoryQuery.h"
#include "ScreenText.h"
#include "TQuery.h"
#include "Ui.h"

#include <QColor>

HistoryGridModel::HistoryGridModel(const db::TQuery *query, QObject *parent)
    : QAbstractTableModel(parent), m_query(query)
{
    m_titleFont = QFont(QStringLiteral("宋体"));
    m_titleFont.setPixelSize(TitlePixelSize);
    m_timeTitleFont = QFont(QStringLiteral("黑体"));
    m_timeTitleFont.setPixelSize(TimeTitlePixelSize);
}

void HistoryGridModel::queryAboutToChange() { beginResetModel(); }

void HistoryGridModel::queryChanged()
{
    m_timeField = m_query->active() ? timeFieldOf(*m_query) : -1;
    endResetModel();
}

void HistoryGridModel::setTimeTitle(const QString &title)
{
    m_timeTitle = title;
    if (columnCount() > 0)
        Q_EMIT headerDataChanged(Qt::Horizontal, 0, 0);
}

int HistoryGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() || !m_query->active() ? 0 : m_query->recordCount();
}

int HistoryGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() || !m_query->active() ? 0 : m_query->fieldCount();
}

QVariant HistoryGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const int row = index.row();
    const int field = index.column();
    const bool time = field == m_timeField || m_query->fieldType(field) == db::FieldType::DateTime;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (time) {
            const QDateTime at = m_query->dateTimeAt(row, field);
            return at.isValid() ? ui::localDateTimeText(at) : m_query->textAt(row, field);
        }
        return screenNumber(m_query->textAt(row, field).trimmed());
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(time ? Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter)
                                        : Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant HistoryGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (section < 0 || section >= columnCount())
        return {};
    const bool retitled = section == 0 && !m_timeTitle.isEmpty();
    switch (role) {
    case Qt::DisplayRole:
        return retitled ? m_timeTitle : m_query->fieldNames().at(section);
    case Qt::FontRole:
        return retitled ? m_timeTitleFont : m_titleFont;
    case Qt::ForegroundRole:
        return retitled ? QColor(Qt::red) : QColor(Qt::blue);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(retitled ? Qt::Alignment(Qt::AlignCenter)
                                            : Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}
