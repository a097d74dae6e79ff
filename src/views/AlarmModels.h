#pragma once
// The two grids of the "实时报警" view: the alarm list (one row per listed alarm) and the
// journal (one row per event), and how a list row looks in each state.

#include "AlarmEngine.h"
#include "AlarmTexts.h"
#include "EventJournal.h"

#include <QAbstractTableModel>
#include <QColor>

// How a row of the alarm list looks: active unacknowledged rows blink red (blinkOn: the red
// half of the second), active acknowledged rows are red, returned unacknowledged rows yellow.
struct RowLook {
    QColor background; // invalid: the grid's own
    QColor text;       // invalid: the grid's own
};
RowLook alarmRowLook(AlarmState state, bool blinkOn);

// A selected row of the list keeps its look (the red of an unacknowledged alarm still blinks)
// and shows the selection as a frame of this width in the palette's highlight colour.
constexpr int SelectedRowFrame = 2;

// The end of the journal's CSV export: a journal that follows new events (live) exports every
// row it has shown, so up to now (or the range's end, when that lies later); otherwise the
// range's own end.
QDateTime journalExportEnd(const QDateTime &queryEnd, bool live, const QDateTime &now);

// Texts of the list's cells: AlarmTexts.h.

class AlarmListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit AlarmListModel(QObject *parent = nullptr);

    void setAlarms(const QList<Alarm> &alarms);
    const QList<Alarm> &alarms() const { return m_alarms; }
    // Flips the blinking rows; only they are repainted.
    void setBlinkOn(bool on);
    bool blinkOn() const { return m_blinkOn; }
    int rowOf(const AlarmKey &key) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<Alarm> m_alarms;
    QList<QStringList> m_texts;
    bool m_blinkOn = true;
};

class JournalModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit JournalModel(QObject *parent = nullptr);

    // Rows newest first.
    void setRows(const QList<JournalEvent> &rows);
    // New rows (oldest first, as journaled) go on top; beyond maxRows the oldest are dropped.
    void prepend(const QList<JournalEvent> &rows, int maxRows);
    const QList<JournalEvent> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<JournalEvent> m_rows;
};
