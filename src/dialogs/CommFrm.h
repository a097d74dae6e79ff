#pragma once
// The communication parameter dialog: serial port and line speed, written to KTcom.ini in the
// program directory. The running connection is not touched; the values count from the next
// start. Created for each use, shown modally, destroyed after.

#include <QDialog>

class QComboBox;
class QFrame;
class QPushButton;

class TCommForm : public QDialog {
    Q_OBJECT
public:
    explicit TCommForm(QWidget *parent = nullptr);

    // Shows the port and speed saved in KTcom.ini (COM1 and 9600 Bps when the saved values
    // are not in the lists); the constructor runs it. A file that cannot be read is reported
    // and the dialog opens on the first items.
    void FormCreate();
    // "设置": writes port and speed, tells the operator to restart, closes. Input/output
    // failures propagate as ui::AppError (the button reports them; the dialog stays open).
    void BitBtn1Click();

    QFrame *Panel1 = nullptr;
    QComboBox *ComboBox1 = nullptr; // "COM1" … "COM16"
    QComboBox *ComboBox2 = nullptr; // "9600 Bps" … "1200 Bps"
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;
};
