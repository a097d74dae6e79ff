#pragma once
// The tile that shows one instrument channel: address, name, value with unit, state text and
// a vertical level bar. It only shows what it is given; owners find it by its object name
// "MyPanel<k>" and set its captions.

#include <QWidget>

class QLabel;
class QProgressBar;

class TMyPanels : public QWidget {
    Q_OBJECT
public:
    explicit TMyPanels(QWidget *owner = nullptr);

    QString AddrCaption() const;
    QString NameCaption() const;
    QString PvCaption() const;
    QString WenDu() const;
    QString AlmCaption() const;
    int ProgressCaption() const { return m_progress; }

    void setAddrCaption(const QString &text);
    void setNameCaption(const QString &text);
    void setPvCaption(const QString &text);
    void setWenDu(const QString &text);
    void setAlmCaption(const QString &text);
    // Bar position 0 … 100; values outside show at the nearer end. The bar's colours (red on
    // blue) are applied with the first assignment.
    void setProgressCaption(int value);

    QLabel *AddrPanel;
    QLabel *NamePanel;
    QLabel *PvPanel;
    QLabel *WenDuPanel;
    QLabel *AlmPanel;
    QProgressBar *LevelBar;

private:
    int m_progress = 0;
    bool m_barColoured = false;
};
