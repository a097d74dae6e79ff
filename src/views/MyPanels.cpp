#include "MyPanels.h"

#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <algorithm>

namespace {

// A panel with a lowered outer bevel around a raised inner one, one pixel each: shadow grey
// and white, the colours of the classic 3D bevel.
class BevelPanel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QLabel::paintEvent(event);
        QPainter p(this);
        const QColor shadow(128, 128, 128);
        const QColor light(255, 255, 255);
        const auto bevel = [&p](const QRect &r, const QColor &topLeft, const QColor &bottomRight) {
            p.fillRect(QRect(r.left(), r.top(), r.width(), 1), topLeft);
            p.fillRect(QRect(r.left(), r.top(), 1, r.height()), topLeft);
            p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
            p.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
        };
        bevel(rect(), shadow, light);                    // outer, lowered
        bevel(rect().adjusted(1, 1, -1, -1), light, shadow); // inner, raised
    }
};

QLabel *makePanel(QWidget *tile, int left, int top, int width, int height)
{
    auto *panel = new BevelPanel(tile);
    panel->setGeometry(left, top, width, height);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::WindowText, Qt::white);
    panel->setPalette(pal);
    // The station's window face (mapped to an installed CJK face), so names and "℃" render
    // alike on every window that shows tiles.
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(12);
    font.setBold(true);
    panel->setFont(font);
    panel->setAlignment(Qt::AlignCenter);
    panel->setWordWrap(false);
    // The two bevels take the outer two pixels (BevelPanel); the text is centred inside them.
    panel->setFrameStyle(QFrame::NoFrame);
    panel->setContentsMargins(2, 2, 2, 2);
    return panel;
}

} // namespace

TMyPanels::TMyPanels(QWidget *owner) : QWidget(owner)
{
    resize(200, 150);
    AddrPanel = makePanel(this, 0, 0, 130, 25);
    NamePanel = makePanel(this, 0, 26, 130, 25);
    PvPanel = makePanel(this, 0, 52, 105, 25);
    WenDuPanel = makePanel(this, 107, 52, 23, 25);
    AlmPanel = makePanel(this, 0, 78, 130, 25);

    LevelBar = new QProgressBar(this);
    LevelBar->setOrientation(Qt::Vertical);
    LevelBar->setRange(0, 100);
    LevelBar->setValue(0);
    LevelBar->setTextVisible(false);
    LevelBar->setGeometry(AddrPanel->x() + AddrPanel->width() + 3, AddrPanel->y() + 1, 20, 101);
}

QString TMyPanels::AddrCaption() const { return AddrPanel->text(); }
QString TMyPanels::NameCaption() const { return NamePanel->text(); }
QString TMyPanels::PvCaption() const { return PvPanel->text(); }
QString TMyPanels::WenDu() const { return WenDuPanel->text(); }
QString TMyPanels::AlmCaption() const { return AlmPanel->text(); }

void TMyPanels::setAddrCaption(const QString &text) { AddrPanel->setText(text); }
void TMyPanels::setNameCaption(const QString &text) { NamePanel->setText(text); }
void TMyPanels::setPvCaption(const QString &text) { PvPanel->setText(text); }
void TMyPanels::setWenDu(const QString &text) { WenDuPanel->setText(text); }
void TMyPanels::setAlmCaption(const QString &text) { AlmPanel->setText(text); }

void TMyPanels::setProgressCaption(int value)
{
    m_progress = value;
    LevelBar->setValue(std::clamp(value, LevelBar->minimum(), LevelBar->maximum()));
    if (!m_barColoured) {
        // Red bar on a blue ground, drawn by the style sheet so every platform style shows the
        // colours, in segments as the classic level bar shows them (blocks with a gap between).
        LevelBar->setStyleSheet(QStringLiteral("QProgressBar { background-color: rgb(0,0,255); border: none; }"
                                               "QProgressBar::chunk { background-color: rgb(255,0,0);"
                                               " height: 7px; margin: 1px; }"));
        m_barColoured = true;
    }
}
