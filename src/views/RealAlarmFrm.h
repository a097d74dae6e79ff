#pragma once
// The "实时报警" view: the alarm list on top (blinking, acknowledgement) and the event journal
// below (the last 24 hours, newest first, a date-time range query like the history window's,
// "导出CSV…" in its context menu). Shown modally over the main window like the other live
// views; polling and storing keep running meanwhile and the view follows the alarm board's
// signals. Everything it shows comes from the alarm board it is given.

#include <QDateTime>
#include <QDialog>
#include <QTimer>

class AlarmBoard;
class AlarmListModel;
class JournalModel;
class QAction;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class QTimeEdit;
class QWidget;
struct JournalEvent;

class TRealAlarmForm : public QDialog {
    Q_OBJECT
public:
    // Rows of a journal query shown at most (the CSV export writes them all).
    static constexpr int MaxJournalRows = 100000;

    TRealAlarmForm(AlarmBoard &board, QWidget *owner);

    // Opening: the list, the pickers on the last 24 hours up to now, that query.
    void FormCreate();
    // Every 500 ms: the clock, and the blinking rows change colour (a blink a second).
    void Timer1Timer();
    // "确认": the selected rows; "全部确认": every alarm waiting for it.
    void AckClick();
    void AckAllClick();
    // "查询": the journal of the pickers' range. While the operator has not changed the end
    // pickers, they move to now first and the journal goes on following new events.
    void QueryClick();
    // The end pickers on the current date and time (to the second).
    void setEndPickersToNow();
    // Journal grid context menu "导出CSV…": the rows of the range; while the journal follows
    // new events, every row shown up to the moment of the export.
    void ExportCsvClick();
    // "返回".
    void Button1Click();

    // The list again from the center (keeps the selection by alarm).
    void refreshList();
    // New journal rows: shown on top while the query reaches up to now.
    void eventsJournaled(const QList<JournalEvent> &events);

    QWidget *Panel1 = nullptr; // header
    QLabel *Label1 = nullptr;  // title
    QLabel *Label2 = nullptr;  // clock
    QPushButton *Button1 = nullptr; // "返回"
    QTableView *AlarmGrid = nullptr;
    AlarmListModel *AlarmModel = nullptr;
    QPushButton *AckButton = nullptr;
    QPushButton *AckAllButton = nullptr;
    QLabel *CountLabel = nullptr;
    QDateEdit *DateTimePicker1 = nullptr; // from-date
    QTimeEdit *DateTimePicker2 = nullptr; // from-time
    QDateEdit *DateTimePicker3 = nullptr; // to-date
    QTimeEdit *DateTimePicker4 = nullptr; // to-time
    QPushButton *QueryButton = nullptr;
    QTableView *JournalGrid = nullptr;
    JournalModel *JournalRows = nullptr;
    QAction *ExportCsvAction = nullptr;
    QLabel *JournalLabel = nullptr;
    QTimer Timer1;

    QDateTime QueryStart;
    QDateTime QueryEnd;
    bool Live = false; // the query reaches up to now: new rows are added on top
    // The end pickers as the window last set them.
    QDateTime EndSetByWindow;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void runQuery(const QDateTime &start, const QDateTime &end);
    void updateButtons();
    void showJournalCount();

    AlarmBoard &m_center;
};

// The status bar's fourth panel: "报警：n 条未确认" in red while n > 0, empty otherwise.
void showAlarmPanel(QLabel *panel, int unacknowledged);
