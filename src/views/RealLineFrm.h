#pragma once
// Live curve view: a strip chart of one channel's value, one point per second, with the list of
// channels to choose from and a running clock. Shown modally over the main window.

#include <QDialog>
#include <QTimer>

class QDateTime;
class QLabel;
class QListWidget;
class QPushButton;
class QWidget;
class StripChart;

class TRealLineForm : public QDialog {
    Q_OBJECT
public:
    explicit TRealLineForm(QWidget *owner);

    // Fills the channel list and prepares the plot for channel 1; the constructor runs it.
    void FormCreate();
    // Switches the plot to the selected channel: the curve starts afresh. No selection: nothing.
    void ListBox1Click();
    // The clock and one new point, at the current local time.
    void Timer1Timer();
    // "返回": closes the view.
    void Button1Click();

    // One refresh as at the given time (Timer1Timer passes the current local time).
    void refreshAt(const QDateTime &now);

    int ViewChannelCount = 0; // channel count taken at creation
    int PlottedChannel = 0;   // zero-based: 0 is channel 1

    QWidget *Panel1 = nullptr; // header
    QLabel *Label1 = nullptr;  // title
    QLabel *Label2 = nullptr;  // clock
    QPushButton *Button1 = nullptr;
    QWidget *Panel2 = nullptr; // channel panel
    QLabel *Label3 = nullptr;  // "选择通道："
    QListWidget *ListBox1 = nullptr;
    StripChart *Chart1 = nullptr;
    QTimer Timer1;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showChannel(int index);
};
