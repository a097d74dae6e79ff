// Channel tiles: child geometry, bar clamping, placement tables, refresh from the live state.
#include "MyPanels.h"
#include "WindowState.h"
#include "Tiles.h"

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

class TestTiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { resetSharedState(); }
    void childGeometry();
    void progressCaptionClamping();
    void placement_data();
    void placement();
    void barPosition_data();
    void barPosition();
    void createAndRefresh();
};

void TestTiles::childGeometry()
{
    TMyPanels tile;
    QCOMPARE(tile.size(), QSize(200, 150));
    QCOMPARE(tile.AddrPanel->geometry(), QRect(0, 0, 130, 25));
    QCOMPARE(tile.NamePanel->geometry(), QRect(0, 26, 130, 25));
    QCOMPARE(tile.PvPanel->geometry(), QRect(0, 52, 105, 25));
    QCOMPARE(tile.WenDuPanel->geometry(), QRect(107, 52, 23, 25));
    QCOMPARE(tile.AlmPanel->geometry(), QRect(0, 78, 130, 25));
    QCOMPARE(tile.LevelBar->geometry(), QRect(133, 1, 20, 101));
    QCOMPARE(tile.LevelBar->orientation(), Qt::Vertical);
    QCOMPARE(tile.PvCaption(), QString());
    QCOMPARE(tile.LevelBar->value(), 0);
    for (QLabel *panel : {tile.AddrPanel, tile.NamePanel, tile.PvPanel, tile.WenDuPanel, tile.AlmPanel}) {
        QCOMPARE(panel->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(panel->palette().color(QPalette::WindowText), QColor(Qt::white));
        QVERIFY(panel->font().bold());
        QCOMPARE(panel->font().pointSize(), 12);
    }

    // The tile never rearranges its children.
    tile.resize(300, 300);
    QCOMPARE(tile.PvPanel->geometry(), QRect(0, 52, 105, 25));
    QCOMPARE(tile.LevelBar->geometry(), QRect(133, 1, 20, 101));

    tile.setPvCaption(QStringLiteral("中断"));
    tile.setWenDu(QStringLiteral("℃"));
    QCOMPARE(tile.PvPanel->text(), QStringLiteral("中断"));
    QCOMPARE(tile.WenDuPanel->text(), QStringLiteral("℃"));
}

void TestTiles::progressCaptionClamping()
{
    TMyPanels tile;
    tile.setProgressCaption(50);
    QCOMPARE(tile.LevelBar->value(), 50);
    QVERIFY(tile.LevelBar->styleSheet().contains(QStringLiteral("rgb(255,0,0)")));
    tile.setProgressCaption(150);
    QCOMPARE(tile.LevelBar->value(), 100);
    QCOMPARE(tile.ProgressCaption(), 150);
    tile.setProgressCaption(-5);
    QCOMPARE(tile.LevelBar->value(), 0);
    tile.setProgressCaption(std::numeric_limits<int>::min());
    QCOMPARE(tile.LevelBar->value(), 0);
}

void TestTiles::placement_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("k");
    QTest::addColumn<QPoint>("pos");
    QTest::newRow("8: first") << 8 << 1 << QPoint(50, 150);
    QTest::newRow("8: sixth") << 8 << 6 << QPoint(50 + 5 * 155, 150);
    QTest::newRow("8: seventh starts row 2") << 8 << 7 << QPoint(50, 310);
    QTest::newRow("8: eighth") << 8 << 8 << QPoint(205, 310);
    QTest::newRow("16: 7th") << 16 << 7 << QPoint(50, 260);
    QTest::newRow("16: 13th") << 16 << 13 << QPoint(50, 420);
    QTest::newRow("16: 16th") << 16 << 16 << QPoint(515, 420);
    QTest::newRow("32: 7th") << 32 << 7 << QPoint(15 + 6 * 140, 10);
    QTest::newRow("32: 8th") << 32 << 8 << QPoint(15, 150);
    QTest::newRow("32: 29th") << 32 << 29 << QPoint(15, 570);
    QTest::newRow("32: 32nd") << 32 << 32 << QPoint(435, 570);
    QTest::newRow("5 uses the 8 layout") << 5 << 5 << QPoint(50 + 4 * 155, 150);
    QTest::newRow("12 uses the 16 layout") << 12 << 12 << QPoint(50 + 5 * 155, 260);
    QTest::newRow("20 uses the 32 layout") << 20 << 20 << QPoint(15 + 5 * 140, 290);
}

void TestTiles::placement()
{
    QFETCH(int, count);
    QFETCH(int, k);
    QFETCH(QPoint, pos);
    QCOMPARE(tilePosition(count, k), pos);
}

void TestTiles::barPosition_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("lower");
    QTest::addColumn<float>("upper");
    QTest::addColumn<int>("bar");
    QTest::newRow("25.3 of 0..200") << 25.3f << 0.f << 200.f << 13;
    QTest::newRow("value over width, not offset") << 50.f << -50.f << 150.f << 25;
    QTest::newRow("150 of 50..150") << 150.f << 50.f << 150.f << 150;
    QTest::newRow("upper limit") << 200.f << 0.f << 200.f << 100;
    QTest::newRow("half rounds to even, down") << 1.f << 0.f << 8.f << 12;  // 12.5
    QTest::newRow("half rounds to even, up") << 3.f << 0.f << 8.f << 38;    // 37.5
    QTest::newRow("negative") << -10.f << 0.f << 200.f << -5;
    QTest::newRow("equal limits") << 10.f << 5.f << 5.f << 0;
    QTest::newRow("tiny range, huge value") << 30000.f << 0.f << 1e-30f << 1000000;
}

void TestTiles::barPosition()
{
    QFETCH(float, value);
    QFETCH(float, lower);
    QFETCH(float, upper);
    QFETCH(int, bar);
    QCOMPARE(tileBarPosition(value, lower, upper), bar);
}

void TestTiles::createAndRefresh()
{
    QWidget area;
    for (int i = 0; i < 8; ++i) {
        Option.Names[i] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.Units[i] = QStringLiteral("℃");
        Option.LowerLimits[i] = 0.f;
        Option.UpperLimits[i] = 200.f;
    }
    createChannelTiles(&area, 8);
    QCOMPARE(area.findChildren<TMyPanels *>().size(), 8);
    TMyPanels *t7 = findTile(&area, 7);
    QVERIFY(t7);
    QCOMPARE(t7->pos(), QPoint(50, 310));
    QCOMPARE(t7->AddrCaption(), QStringLiteral("7"));
    QCOMPARE(t7->NameCaption(), QStringLiteral("油储温度7"));
    QCOMPARE(t7->WenDu(), QStringLiteral("℃"));
    QVERIFY(!findTile(&area, 9));

    AllRecord.Pv[7] = 25.3f;
    AllRecord.AlmText[7] = QStringLiteral("上限报警");
    AllRecord.Pv[8] = InterruptionMarker;
    AllRecord.AlmText[8] = QStringLiteral("上限报警"); // stale: must not show while interrupted
    // Channel 9 has no tile: refreshing more channels than tiles skips it.
    AllRecord.Pv[9] = 1.f;
    refreshChannelTiles(&area, 9);
    QCOMPARE(t7->PvCaption(), QStringLiteral("25.300"));
    QCOMPARE(t7->ProgressCaption(), 13);
    QCOMPARE(t7->AlmCaption(), QStringLiteral("上限报警"));
    TMyPanels *t8 = findTile(&area, 8);
    QCOMPARE(t8->PvCaption(), QStringLiteral("中断"));
    QCOMPARE(t8->ProgressCaption(), 100);
    QCOMPARE(t8->AlmCaption(), QStringLiteral("--"));

    // Back from an interruption: the state text follows the instrument again.
    AllRecord.Pv[8] = 0.f;
    AllRecord.AlmText[8] = QString();
    refreshChannelTiles(&area, 8);
    QCOMPARE(t8->PvCaption(), QStringLiteral("0.000"));
    QCOMPARE(t8->AlmCaption(), QString());
    QCOMPARE(t8->ProgressCaption(), 0);
}

QTEST_MAIN(TestTiles)
#include "tst_tiles.moc"
