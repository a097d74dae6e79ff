#pragma once
// The alarm setting dialog: per channel an alarm mode (upper, lower, none) and an alarm value,
// saved to Option and SystemAlm.Pf. One instance lives hidden for the whole run; its grid is
// filled once, at creation, so edits left after "取消" are still there next time.

#include <QDialog>
#include <cstdint>

class QAction;
class QFrame;
class QMenu;
class QPushButton;
class QTableWidget;

class TAlmForm : public QDialog {
    Q_OBJECT
public:
    explicit TAlmForm(QWidget *parent = nullptr);
    ~TAlmForm() override;

    // Takes the channel count and fills the grid; the constructor runs it.
    void FormCreate();
    // Sizes the grid to AlmChannelCount and fills it from Option.
    void FillGrid();
    // Popup items: the status of the current row becomes "上限报警", "下限报警", "无报警".
    void N1Click();
    void N2Click();
    void N3Click();
    // "&设置": checks and saves the grid. The dialog closes only after a save that passed; a
    // bad value leaves it open on the bad cell. Input/output failures propagate as
    // AppError (the button reports them).
    void BitBtn1Click();

    QFrame *Panel1 = nullptr;
    QTableWidget *StringGrid1 = nullptr;
    QMenu *Menu = nullptr;
    QAction *N1 = nullptr;
    QAction *N2 = nullptr;
    QAction *N3 = nullptr;
    QFrame *Panel2 = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;

private:
    void setCurrentStatus(int32_t mode);
};

// The one instance, set by whoever creates it at start-up (cleared when it is destroyed).
extern TAlmForm *AlmForm;
// The channel count the alarm grid was built for, copied from ChannelCount at creation.
extern int32_t AlmChannelCount;
