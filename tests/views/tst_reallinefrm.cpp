// Live curve view: channel list, Y range and title per channel, one point per tick, gaps for
// interrupted readings, channel switch, scrolling, closing.
#include "CurveText.h"
#include "RealLineFrm.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "StripChart.h"
#include "Ui.h"

#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QtTest>
#include <cmath>

namespace {

const QDateTime Start(QDate(2024, 3, 1), QTime(8, 0, 0));

void setUpEightChannels()
{
    SysParams.ChannelCount = 8;
    for (int i = 0; i < MaxChannels; ++i) {
        Option.Names[i] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.LowerLimits[i] = 0.f;
        Option.UpperLimits[i] = 200.f;
    }
    Option.LowerLimits[1] = -50.f;
    Option.UpperLimits[1] = 150.f;
    Option.LowerLimits[2] = 20.f; // equal limits
    Option.UpperLimits[2] = 20.f;
}

double valueAt(const StripChart *chart, int index) { return (chart->channel()->data()->constBegin() + index)->value; }

} // namespace

class TestRealLineForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { resetSharedState(); }
    void curveText_data();
    void curveText();
    void creation();
    void tick();
    void interruptedReadingIsAGap();
    void channelSwitch();
    void scrollsWithTheNewestPoint();
    void deletedWhenClosed();
};

void TestRealLineForm::curveText_data()
{
    QTest::addColumn<float>("pv");
    QTest::addColumn<QString>("title");
    QTest::newRow("25.3: four blanks before the value") << 25.3f << QStringLiteral("油储温度1:    25.300");
    QTest::newRow("zero is a reading") << 0.f << QStringLiteral("油储温度1:     0.000");
    QTest::newRow("negative") << -12.5f << QStringLiteral("油储温度1:   -12.500");
    QTest::newRow("wider than 8") << 12345.678f << QStringLiteral("油储温度1:  12345.678");
    QTest::newRow("interrupted") << InterruptionMarker << QStringLiteral("油储温度1:  中断");
    QTest::newRow("close to the marker is a reading") << -999.5f << QStringLiteral("油储温度1:  -999.500");
}

void TestRealLineForm::curveText()
{
    QFETCH(float, pv);
    QFETCH(QString, title);
    QCOMPARE(curveTitle(QStringLiteral("油储温度1"), pv), title);
    if (isInterrupted(pv))
        QVERIFY(std::isnan(curveValue(pv)));
    else
        QCOMPARE(curveValue(pv), double(pv));
}

void TestRealLineForm::creation()
{
    setUpEightChannels();
    TRealLineForm form(nullptr);
    QCOMPARE(form.windowTitle(), QStringLiteral("实时曲线查询"));
    QVERIFY(form.windowState() & Qt::WindowMaximized);
    QVERIFY(!(form.windowFlags() & Qt::FramelessWindowHint));
    form.layout()->activate();
    QCOMPARE(form.Panel1->height(), 97);
    QCOMPARE(form.Label1->text(), QStringLiteral("实时曲线监测"));
    QCOMPARE(form.Label2->pos(), QPoint(72, 56));
    QCOMPARE(form.Label2->text(), QString());
    QCOMPARE(form.Button1->geometry(), QRect(872, 64, 75, 25));
    QCOMPARE(form.Panel2->width(), 129);
    QCOMPARE(form.Label3->text(), QStringLiteral("选择通道："));
    QCOMPARE(form.Chart1->yAxis->label(), QStringLiteral("温度℃"));

    QCOMPARE(form.ViewChannelCount, 8);
    QCOMPARE(form.ListBox1->count(), 8);
    QCOMPARE(form.ListBox1->item(0)->text(), QStringLiteral("油储温度1"));
    QCOMPARE(form.ListBox1->item(7)->text(), QStringLiteral("油储温度8"));
    QVERIFY(form.ListBox1->selectedItems().isEmpty());
    const QRect itemRect = form.ListBox1->visualItemRect(form.ListBox1->item(0));
    QCOMPARE(itemRect.height(), 16);

    // Channel 1 is plotted although nothing is selected.
    QCOMPARE(form.PlottedChannel, 0);
    QCOMPARE(form.Chart1->yRange(), QCPRange(0.0, 200.0));
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度1"));
    QCOMPARE(form.Chart1->channelTitle(), QStringLiteral("油储温度1"));
    QCOMPARE(form.Chart1->pointCount(), 0);
    QVERIFY(form.Timer1.isActive());
    QCOMPARE(form.Timer1.interval(), 1000);

    // A click with nothing selected changes nothing.
    form.refreshAt(Start);
    form.ListBox1Click();
    QCOMPARE(form.Chart1->pointCount(), 1);
    QCOMPARE(form.PlottedChannel, 0);

    // Maximised on a wide screen: the return button keeps its distance from the right edge
    // instead of covering the centred title; the plot takes the room right of the list.
    form.setWindowState(Qt::WindowNoState);
    form.show();
    form.resize(1920, 1080);
    form.layout()->activate();
    QCOMPARE(form.Button1->geometry(), QRect(1920 - 154, 64, 75, 25));
    QVERIFY(!form.Button1->geometry().intersects(form.Label1->geometry()));
    QCOMPARE(form.Chart1->geometry(), QRect(129, 97, 1920 - 129, 1080 - 97));
    // List items span the list's width, so a click anywhere on the row selects the channel.
    QVERIFY(form.ListBox1->visualItemRect(form.ListBox1->item(0)).width() >= form.ListBox1->viewport()->width());
}

void TestRealLineForm::tick()
{
    setUpEightChannels();
    TRealLineForm form(nullptr);
    AllRecord.Pv[1] = 25.3f;
    AllRecord.Pv[2] = 99.f;
    form.refreshAt(Start);
    QCOMPARE(form.Label2->text(), ui::localDateTimeText(Start));
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度1:    25.300"));
    QCOMPARE(form.Chart1->channelTitle(), QStringLiteral("油储温度1"));
    QCOMPARE(form.Chart1->pointCount(), 1);
    QCOMPARE(valueAt(form.Chart1, 0), double(25.3f));
    QCOMPARE(form.Chart1->channel()->data()->constBegin()->key, StripChart::keyOf(Start));

    // The timer's own tick adds a point at the current time (ten seconds after the last one;
    // Start itself lies more than a day back and would fall out of the curve).
    form.Chart1->clear();
    form.refreshAt(QDateTime::currentDateTime().addSecs(-10));
    const double before = StripChart::keyOf(QDateTime::currentDateTime());
    form.Timer1Timer();
    QCOMPARE(form.Chart1->pointCount(), 2);
    const double key = (form.Chart1->channel()->data()->constEnd() - 1)->key;
    QVERIFY(key >= before);
    QVERIFY(!form.Label2->text().isEmpty());
}

void TestRealLineForm::interruptedReadingIsAGap()
{
    setUpEightChannels();
    TRealLineForm form(nullptr);
    AllRecord.Pv[1] = 30.f;
    form.refreshAt(Start);
    AllRecord.Pv[1] = InterruptionMarker;
    form.refreshAt(Start.addSecs(1));
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度1:  中断"));
    AllRecord.Pv[1] = 0.f;
    form.refreshAt(Start.addSecs(2));
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度1:     0.000"));

    QCOMPARE(form.Chart1->pointCount(), 3);
    QCOMPARE(valueAt(form.Chart1, 0), 30.0);
    QVERIFY(std::isnan(valueAt(form.Chart1, 1))); // no reading: a gap, not a point at 0
    QCOMPARE(valueAt(form.Chart1, 2), 0.0);       // a real 0 is drawn at 0
}

void TestRealLineForm::channelSwitch()
{
    setUpEightChannels();
    TRealLineForm form(nullptr);
    AllRecord.Pv[1] = 10.f;
    AllRecord.Pv[2] = -20.f;
    for (int s = 0; s < 5; ++s)
        form.refreshAt(Start.addSecs(s));
    QCOMPARE(form.Chart1->pointCount(), 5);

    form.ListBox1->item(1)->setSelected(true);
    form.ListBox1Click();
    QCOMPARE(form.PlottedChannel, 1);
    QCOMPARE(form.Chart1->pointCount(), 0);
    QCOMPARE(form.Chart1->yRange(), QCPRange(-50.0, 150.0));
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度2"));
    QCOMPARE(form.Chart1->channelTitle(), QStringLiteral("油储温度2"));
    QVERIFY(form.Timer1.isActive());

    form.refreshAt(Start.addSecs(10));
    QCOMPARE(form.Chart1->pointCount(), 1);
    QCOMPARE(valueAt(form.Chart1, 0), -20.0);
    QCOMPARE(form.Chart1->title(), QStringLiteral("油储温度2:   -20.000"));

    // Clicking the plotted channel again restarts its curve.
    form.ListBox1Click();
    QCOMPARE(form.Chart1->pointCount(), 0);
    QCOMPARE(form.PlottedChannel, 1);

    // Equal limits still give a usable axis, centred on the limit.
    form.ListBox1->item(2)->setSelected(true);
    form.ListBox1Click();
    QCOMPARE(form.PlottedChannel, 2);
    QCOMPARE(form.Chart1->yRange(), QCPRange(-30.0, 70.0));

    // Back to channel 1 by keyboard: the current row moves, the plot follows.
    form.ListBox1->setCurrentRow(0);
    QCOMPARE(form.PlottedChannel, 0);
    QCOMPARE(form.Chart1->yRange(), QCPRange(0.0, 200.0));
}

void TestRealLineForm::scrollsWithTheNewestPoint()
{
    setUpEightChannels();
    TRealLineForm form(nullptr);
    AllRecord.Pv[1] = 50.f;
    for (int s = 0; s <= 40 * 60; ++s)
        form.refreshAt(Start.addSecs(s));
    const double newest = StripChart::keyOf(Start.addSecs(40 * 60));
    QCOMPARE(form.Chart1->xRange().upper, newest);
    QCOMPARE(form.Chart1->xRange().lower, newest - 30 * 60);
    QCOMPARE(form.Chart1->pointCount(), 40 * 60 + 1);
}

void TestRealLineForm::deletedWhenClosed()
{
    setUpEightChannels();
    QWidget owner;
    ScriptedPrompter prompter;
    bool ownedByMainWindow = false;
    bool visibleAfterReturn = true;
    prompter.onModal = [&](QDialog *dialog) {
        ownedByMainWindow = dialog->parentWidget() == &owner;
        auto *form = qobject_cast<TRealLineForm *>(dialog);
        if (!form)
            return -1;
        form->show();
        form->refreshAt(Start);
        form->Button1Click();
        visibleAfterReturn = form->isVisible();
        return int(form->result());
    };
    QPointer<TRealLineForm> guard(new TRealLineForm(&owner));
    QCOMPARE(ui::showModalOwned(guard.data()), int(QDialog::Rejected));
    QCOMPARE(prompter.modalCount, 1);
    QVERIFY(ownedByMainWindow);
    QVERIFY(!visibleAfterReturn);
    QVERIFY(guard.isNull());
    QVERIFY(owner.findChildren<StripChart *>().isEmpty());
}

QTEST_MAIN(TestRealLineForm)
#include "tst_reallinefrm.moc"
