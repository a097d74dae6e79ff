#pragma once
// Full-screen live data view: one tile per channel on the standard grid and a running clock,
// refreshed once a second from the live channel state. Shown modally over the main window.

#include <QDialog>
#include <QTimer>

class QFrame;
class QLabel;
class QPushButton;
class QWidget;

class TPvForm : public QDialog {
    Q_OBJECT
public:
    explicit TPvForm(QWidget *owner);

    // Builds the tiles for the channel count in force; the constructor runs it.
    void FormCreate();
    // One refresh: the clock and every tile.
    void Timer1Timer();
    // "返回": closes the view.
    void Button1Click();

    QWidget *Panel1 = nullptr; // header
    QLabel *Label1 = nullptr;  // title
    QLabel *Label2 = nullptr;  // clock
    QPushButton *Button1 = nullptr;
    QFrame *Panel2 = nullptr;  // tile area: the tiles' parent
    QTimer Timer1;

    // Number of tiles built at creation.
    int TileCount = 0;

protected:
    void resizeEvent(QResizeEvent *event) override;
};
