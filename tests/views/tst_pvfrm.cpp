// Live data view: tile grid per channel count, refresh from the live state, clock, closing.
#include "MyPanels.h"
#include "PvFrm.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "Ui.h"

#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

class TestPvForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { resetSharedState(); }
    void layoutOfTheWindow();
    void tileGrid_data();
    void tileGrid();
    void refresh();
    void deletedWhenClosed();
};

void TestPvForm::layoutOfTheWindow()
{
    SysParams.ChannelCount = 8;
    TPvForm form(nullptr);
    QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(form.windowState() & Qt::WindowMaximized);
    form.layout()->activate();
    QCOMPARE(form.Panel1->height(), 65);
    QCOMPARE(form.Label1->text(), QStringLiteral("实时数据监控"));
    QCOMPARE(form.Label1->font().pixelSize(), 29);
    QVERIFY(form.Label1->font().bold());
    QCOMPARE(form.Label2->pos(), QPoint(72, 32));
    QCOMPARE(form.Label2->text(), QString()); // empty until the first tick
    QCOMPARE(form.Button1->text(), QStringLiteral("返回"));
    QCOMPARE(form.Button1->geometry(), QRect(928, 24, 75, 25));
    QCOMPARE(form.Panel2->frameShadow(), QFrame::Sunken);
    QCOMPARE(form.Panel2->y(), 65);
    QVERIFY(form.Timer1.isActive());
    QCOMPARE(form.Timer1.interval(), 1000);

    // Maximised on a wide screen: the title stays centred, the return button keeps its
    // distance from the right edge instead of covering the title.
    form.setWindowState(Qt::WindowNoState);
    form.show();
    form.resize(1920, 1080);
    form.layout()->activate();
    QCOMPARE(form.Button1->geometry(), QRect(1920 - 86, 24, 75, 25));
    QVERIFY(qAbs(form.Label1->geometry().center().x() - 960) <= 1);
    QVERIFY(!form.Button1->geometry().intersects(form.Label1->geometry()));
}

void TestPvForm::tileGrid_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("k");
    QTest::addColumn<QPoint>("pos");
    QTest::newRow("8: tile 1") << 8 << 1 << QPoint(50, 150);
    QTest::newRow("8: tile 6 ends row 1") << 8 << 6 << QPoint(825, 150);
    QTest::newRow("8: tile 7 starts row 2") << 8 << 7 << QPoint(50, 310);
    QTest::newRow("8: tile 8") << 8 << 8 << QPoint(205, 310);
    QTest::newRow("16: tile 6") << 16 << 6 << QPoint(825, 100);
    QTest::newRow("16: tile 13") << 16 << 13 << QPoint(50, 420);
    QTest::newRow("16: tile 16") << 16 << 16 << QPoint(515, 420);
    QTest::newRow("32: tile 1") << 32 << 1 << QPoint(15, 10);
    QTest::newRow("32: tile 14") << 32 << 14 << QPoint(855, 150);
    QTest::newRow("32: tile 29") << 32 << 29 << QPoint(15, 570);
    QTest::newRow("32: tile 32") << 32 << 32 << QPoint(435, 570);
    QTest::newRow("12 channels: the 16 grid") << 12 << 12 << QPoint(825, 260);
    QTest::newRow("3 channels: the 8 grid") << 3 << 3 << QPoint(360, 150);
}

void TestPvForm::tileGrid()
{
    QFETCH(int, count);
    QFETCH(int, k);
    QFETCH(QPoint, pos);
    for (int i = 0; i < MaxChannels; ++i)
        Option.Names[i] = QStringLiteral("通道%1").arg(i + 1);
    SysParams.ChannelCount = count;
    TPvForm form(nullptr);
    const QList<TMyPanels *> tiles = form.Panel2->findChildren<TMyPanels *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(tiles.size(), count);
    QCOMPARE(form.TileCount, count);
    auto *tile = form.Panel2->findChild<TMyPanels *>(QStringLiteral("MyPanel%1").arg(k));
    QVERIFY(tile);
    QCOMPARE(tile->parentWidget(), form.Panel2);
    QCOMPARE(tile->pos(), pos);
    QCOMPARE(tile->AddrCaption(), QString::number(k));
    QCOMPARE(tile->NameCaption(), QStringLiteral("通道%1").arg(k));
    QVERIFY(!form.Panel2->findChild<TMyPanels *>(QStringLiteral("MyPanel%1").arg(count + 1)));
}

void TestPvForm::refresh()
{
    SysParams.ChannelCount = 8;
    for (int i = 0; i < 8; ++i) {
        Option.Names[i] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.Units[i] = QStringLiteral("℃");
        Option.LowerLimits[i] = 0.f;
        Option.UpperLimits[i] = 200.f;
    }
    Option.LowerLimits[1] = 50.f;
    Option.UpperLimits[1] = 150.f;
    TPvForm form(nullptr);
    auto tile = [&form](int k) { return form.Panel2->findChild<TMyPanels *>(QStringLiteral("MyPanel%1").arg(k)); };
    QCOMPARE(tile(1)->WenDu(), QStringLiteral("℃"));
    QCOMPARE(tile(1)->PvCaption(), QString()); // nothing before the first tick

    AllRecord.Pv[1] = 25.3f;
    AllRecord.AlmText[1] = QStringLiteral("上限报警");
    AllRecord.Pv[2] = 150.f; // the value over the range width, not its offset from the lower limit
    AllRecord.Pv[3] = InterruptionMarker;
    AllRecord.AlmText[3] = QStringLiteral("下限报警");
    AllRecord.Pv[8] = 200.f;

    const QString before = ui::localDateTimeText(QDateTime::currentDateTime());
    form.Timer1Timer();
    const QString after = ui::localDateTimeText(QDateTime::currentDateTime());
    QVERIFY2(form.Label2->text() == before || form.Label2->text() == after, qPrintable(form.Label2->text()));
    QVERIFY(!form.Label2->text().isEmpty());

    QCOMPARE(tile(1)->PvCaption(), QStringLiteral("25.300"));
    QCOMPARE(tile(1)->ProgressCaption(), 13);
    QCOMPARE(tile(1)->AlmCaption(), QStringLiteral("上限报警"));
    QCOMPARE(tile(2)->PvCaption(), QStringLiteral("150.000"));
    QCOMPARE(tile(2)->ProgressCaption(), 150);
    QCOMPARE(tile(3)->PvCaption(), QStringLiteral("中断"));
    QCOMPARE(tile(3)->ProgressCaption(), 100);
    QCOMPARE(tile(3)->AlmCaption(), QStringLiteral("--"));
    QCOMPARE(tile(8)->ProgressCaption(), 100);
    QCOMPARE(tile(4)->PvCaption(), QStringLiteral("0.000"));

    // The next tick follows the live state.
    AllRecord.Pv[3] = 40.f;
    AllRecord.AlmText[3] = QString();
    form.Timer1Timer();
    QCOMPARE(tile(3)->PvCaption(), QStringLiteral("40.000"));
    QCOMPARE(tile(3)->ProgressCaption(), 20);
    QCOMPARE(tile(3)->AlmCaption(), QString());
}

void TestPvForm::deletedWhenClosed()
{
    SysParams.ChannelCount = 16;
    QWidget owner;
    ScriptedPrompter prompter;
    QPointer<QDialog> seen;
    bool visibleAfterReturn = true;
    bool ownedByMainWindow = false;
    prompter.onModal = [&](QDialog *dialog) {
        seen = dialog;
        ownedByMainWindow = dialog->parentWidget() == &owner;
        auto *form = qobject_cast<TPvForm *>(dialog);
        if (!form)
            return -1;
        form->show();
        form->Button1Click();
        visibleAfterReturn = form->isVisible();
        return int(form->result());
    };
    auto *form = new TPvForm(&owner);
    QPointer<TPvForm> guard(form);
    const int result = ui::showModalOwned(form);
    QCOMPARE(prompter.modalCount, 1);
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(ownedByMainWindow);
    QVERIFY(!visibleAfterReturn);
    QVERIFY(guard.isNull());
    QVERIFY(seen.isNull());
    QVERIFY(owner.findChildren<TPvForm *>().isEmpty());
}

QTEST_MAIN(TestPvForm)
#include "tst_pvfrm.moc"
