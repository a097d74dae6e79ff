#pragma once
// The system parameter dialog: channel count, storage interval and, per channel, name,
// lower limit, upper limit and unit. Created for each use, shown modally, destroyed after.

#include "SharedState.h"

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QTableWidget;

class TSysForm : public QDialog {
    Q_OBJECT
public:
    explicit TSysForm(QWidget *parent = nullptr);

    // Reads SysParams and Option into the boxes and the grid; the constructor runs it.
    void FormCreate();
    // Sizes the grid to FChannelCount and fills it from the dialog's copy of Option, with
    // defaults for empty names and units and for crossed limits. The station's own Option
    // changes only when "&设置" saves: the running cycle never sees half-edited settings.
    void FillGrid();
    // A change of either box: new channel count, grid rebuilt, restart message.
    void ComboBox1Change();
    // "&设置": stores count and interval, then checks and saves the grid. The dialog closes
    // only after a save that passed; a failed row leaves it open on the bad cell.
    // Input/output failures propagate as AppError (the button reports them).
    void BitBtn1Click();

    int channelCount() const { return FChannelCount; }
    // The settings the grid was filled from, defaults included.
    const TOption &edited() const { return FEdit; }

    QFrame *Panel1 = nullptr;
    QLabel *Label1 = nullptr;
    QFrame *Panel2 = nullptr;
    QComboBox *ComboBox1 = nullptr;
    QComboBox *ComboBox2 = nullptr;
    QFrame *Panel3 = nullptr;
    QTableWidget *StringGrid1 = nullptr;
    QFrame *Panel4 = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;

private:
    int FChannelCount = 0; // channel rows the grid shows
    TOption FEdit;         // copy of Option taken when the dialog opened
};
