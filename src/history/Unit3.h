#pragma once
// The history window: pick a date-time range, list the records of wwdd in it, draw one
// channel as a time curve over a chosen span (zoom into it, compare up to four channels, keep
// a picture of it), print the records as a table, export them as CSV.
//
// The query, the grid model, the chart and the printed layout live in their own units
// (HistoryQuery, HistoryGridModel, HistoryChart, HistoryPrint, HistoryExport); the handlers
// here only join them to the controls.

#include "TQuery.h"
#include "TTable.h"

#include <QDateTime>
#include <QDialog>
#include <memory>

class HistoryChart;
class HistoryGridModel;
class PrintProgress;
class QAction;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QPrinter;
class QPushButton;
class QTableView;
class QTimeEdit;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 1005;
    static constexpr int ClientHeight = 562;
    static constexpr int TimeColumnWidth = 110;
    static constexpr int ChannelColumnWidth = 56;
    static constexpr int SizedChannelColumns = 16;

    explicit TForm3(QWidget *owner);
    ~TForm3() override;

    // Opening: pickers on today 00:00:00 … now, an empty chart on the initial span, the channel
    // and field lists from the fields of wwdd. The constructor runs it.
    void FormCreate();
    // "查询": runs the range query, fills the grid and draws the selected channels again (the
    // compared ones too); channel 1 when no line is selected.
    void Button1Click();
    // The end pickers on the current date and time (to the second).
    void setEndPickersToNow();
    // A mouse press on either list (`list` is ListBox1 or ListBox2): selects the same line in
    // both and, after a query, draws that channel afresh (one curve, zoom ended). With Ctrl
    // held the channel is added as a further curve to compare, or an added one taken off;
    // the value axis then spans the union of the shown channels' limits and the time axis
    // stays as it is. After a query the highlighted line is always a drawn channel (a curve
    // taken off, or one refused, moves it to Series1's), so the next query draws what is shown.
    void ListBox1MouseDown(QListWidget *list, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // A choice in the time-span list: the chart keeps the right edge of what it shows (zoomed
    // or not) and shows the new span; zooming out comes back to that span.
    void ComboBox1Change();
    // After points are added to the curve: the chart shows the latest ViewSpan of it.
    void Series1AfterAdd();
    // "参数指示": point marks on or off.
    void CheckBox1Click();
    // "打印": the printer set-up dialog, then the queried records as a table.
    void Button2Click();
    // "退出".
    void Button3Click();
    // Grid context menu "导出CSV…": the queried records as a CSV file.
    void ExportCsvClick();
    // Chart context menu "保存图片…": the chart as shown as a PNG file.
    void SavePictureClick();

    // The printer of this window; the set-up dialog edits it and it keeps those settings
    // until the window closes. 600 dots per inch.
    QPrinter &printer();
    // Test seam: when set, watches print jobs instead of the progress dialog.
    PrintProgress *printProgress = nullptr;

    // Window state.
    QDateTime QueryStart;
    QDateTime QueryEnd;
    // The end pickers as the window last set them. While the operator has not changed them,
    // a query reaches up to the moment it runs: the station stores on while the window is
    // open, and querying again shows the newer records.
    QDateTime EndSetByWindow;
    double ViewSpan = 0.0; // width of the chart's visible time window, in seconds
    // The channels drawn (0-based lines of the lists), the first one in Series1.
    QList<int> ChartChannels{0};

    // Controls, by their design names.
    QLabel *Label1 = nullptr;          // "查询日期:"
    QLabel *Label2 = nullptr;          // "从"
    QLabel *Label3 = nullptr;          // "到.."
    QDateEdit *DateTimePicker1 = nullptr; // from-date
    QTimeEdit *DateTimePicker2 = nullptr; // from-time
    QDateEdit *DateTimePicker3 = nullptr; // to-date
    QTimeEdit *DateTimePicker4 = nullptr; // to-time
    QPushButton *Button1 = nullptr;    // "查询"
    QPushButton *Button2 = nullptr;    // "打印"
    QPushButton *Button3 = nullptr;    // "退出"
    QTableView *DBGrid1 = nullptr;
    HistoryGridModel *GridModel = nullptr;
    QAction *ExportCsvAction = nullptr;
    HistoryChart *Chart1 = nullptr;
    QCheckBox *CheckBox1 = nullptr;    // "参数指示"
    QLabel *Label4 = nullptr;          // "时间间隔："
    QComboBox *ComboBox1 = nullptr;    // SpanChoices
    QListWidget *ListBox1 = nullptr;   // channel list: name + " ->"
    QListWidget *ListBox2 = nullptr;   // field list: "aa1" …

    db::TQuery Query1;
    db::TTable Table1;

private:
    void sizeGridColumns();
    void plotChannels(const QList<int> &channels);
    QString fieldOfLine(int row) const;
    void showChannelLimits();
    void selectShownLine(int row);
    void compareChannel(int row);
    QString channelCurveName(int row) const;
    void showChannelColours();

    std::unique_ptr<QPrinter> m_printer;
};
