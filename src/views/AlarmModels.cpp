#include "AlarmModels.h"

#include "EventsExport.h"
#include "ScreenText.h"

RowLook alarmRowLook(AlarmState state, bool blinkOn)
{
    switch (state) {
    case AlarmState::ActiveUnacked:
        return blinkOn ? RowLook{QColor(Qt::red), QColor(Qt::white)} : RowLook{QColor(), QColor(Qt::red)};
    case AlarmState::ActiveAcked:
        return {QColor(Qt::red), QColor(Qt::white)};
    case AlarmState::ReturnedUnacked:
        return {QColor(Qt::yellow), QColor(Qt::black)};
    case AlarmState::Normal:
        break;
    }
    return {};
}

QDateTime journalExportEnd(const QDateTime &queryEnd, bool live, const QDateTime &now)
{
    return live && now > queryEnd ? now : queryEnd;
}

AlarmListModel::AlarmListModel(QObject *parent) : QAbstractTableModel(parent) {}

void AlarmListModel::setAlarms(const QList<Alarm> &alarms)
{
    beginResetModel();
    m_alarms = alarms;
    m_texts.clear();
    for (const Alarm &a : alarms)
        m_texts.append(alarmRowTexts(a));
    endResetModel();
}

void AlarmListModel::setBlinkOn(bool on)
{
    if (on == m_blinkOn)
        return;
    m_blinkOn = on;
    for (int r = 0; r < m_alarms.size(); ++r)
        if (m_alarms.at(r).state == AlarmState::ActiveUnacked)
            Q_EMIT dataChanged(index(r, 0), index(r, columnCount() - 1), {Qt::BackgroundRole, Qt::ForegroundRole});
}

int AlarmListModel::rowOf(const AlarmKey &key) const
{
    for (int r = 0; r < m_alarms.size(); ++r)
        if (m_alarms.at(r).key == key)
            return r;
    return -1;
}

int AlarmListModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_alarms.size()); }

int AlarmListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(alarmColumnTitles().size());
}

QVariant AlarmListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_alarms.size())
        return {};
    const RowLook look = alarmRowLook(m_alarms.at(index.row()).state, m_blinkOn);
    switch (role) {
    case Qt::DisplayRole:
        return m_texts.at(index.row()).value(index.column());
    case Qt::BackgroundRole:
        return look.background.isValid() ? QVariant(look.background) : QVariant();
    case Qt::ForegroundRole:
        return look.text.isValid() ? QVariant(look.text) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == 4 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    default:
        return {};
    }
}

QVariant AlarmListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return alarmColumnTitles().value(section);
    return {};
}

namespace {
constexpr int JournalValueColumn = 5; // the value, in the columns of journalColumnTitles()
}

JournalModel::JournalModel(QObject *parent) : QAbstractTableModel(parent) {}

void JournalModel::setRows(const QList<JournalEvent> &rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

void JournalModel::prepend(const QList<JournalEvent> &rows, int maxRows)
{
    if (rows.isEmpty())
        return;
    beginInsertRows(QModelIndex(), 0, int(rows.size()) - 1);
    QList<JournalEvent> newest(rows.crbegin(), rows.crend());
    m_rows = newest + m_rows;
    endInsertRows();
    if (maxRows > 0 && m_rows.size() > maxRows) {
        beginRemoveRows(QModelIndex(), maxRows, int(m_rows.size()) - 1);
        m_rows.resize(maxRows);
        endRemoveRows();
    }
}

int JournalModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_rows.size()); }

int JournalModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(journalColumnTitles().size());
}

QVariant JournalModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const JournalEvent &e = m_rows.at(index.row());
    if (role == Qt::DisplayRole) {
        // The value column reads with the system's separator; the CSV keeps '.'.
        const QString text = journalRowTexts(e).value(index.column());
        return index.column() == JournalValueColumn ? screenNumber(text) : text;
    }
    if (role == Qt::ForegroundRole) {
        if (e.transition == Transition::Raised)
            return QColor(Qt::red);
        if (e.transition == Transition::Returned)
            return QColor(0, 128, 0);
        if (e.transition == Transition::Acknowledged)
            return QColor(Qt::blue);
    }
    return {};
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return journalColumnTitles().value(section);
    return {};
}
