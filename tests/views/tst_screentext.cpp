// The system's decimal separator and date and time formats, on the screen only. The process
// runs as if the system were set to German (decimal comma, "dd.MM.yy"): tiles, the live
// curve's title, the history grid, the value axis and marks, the alarm view's values, the
// pickers and the chart's time axis follow it, while the stored record, the CSV export and
// the printed table keep '.'.

#include "AlarmModels.h"
#include "CurveText.h"
#include "HistoryChart.h"
#include "HistoryExport.h"
#include "HistoryFixture.h"
#include "HistoryGridModel.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "MyPanels.h"
#include "RealAlarmFrm.h"
#include "ScreenText.h"
#include "Tiles.h"
#include "TQuery.h"
#include "Unit3.h"
#include "ValueAxisTicker.h"
#include "WindowState.h"

#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

class TestScreenText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { resetSharedState(); }
    void systemSettingsOnTheScreenOnly();
};

void TestScreenText::systemSettingsOnTheScreenOnly()
{
    QCOMPARE(QLocale::system().decimalPoint(), QStringLiteral(","));

    // The rules, for any locale.
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QCOMPARE(screenNumber(QStringLiteral("  25.300"), german), QStringLiteral("  25,300"));
    QCOMPARE(screenNumber(QStringLiteral("-1000.000"), german), QStringLiteral("-1000,000"));
    QCOMPARE(screenNumber(QStringLiteral("25.300"), chinese), QStringLiteral("25.300"));
    QCOMPARE(screenNumber(QStringLiteral("abc.def"), german), QStringLiteral("abc.def")); // not a number
    QCOMPARE(screenNumber(QStringLiteral("1.2.3"), german), QStringLiteral("1.2.3"));
    QCOMPARE(screenNumber(QStringLiteral("中断"), german), QStringLiteral("中断"));
    QCOMPARE(longTimeFormat(german), QStringLiteral("HH:mm:ss"));      // "HH:mm:ss t" less the zone
    QCOMPARE(longTimeFormat(chinese), QStringLiteral("HH:mm:ss"));     // "t HH:mm:ss"
    QCOMPARE(longTimeFormat(QLocale(QLocale::English, QLocale::UnitedStates)), QStringLiteral("h:mm:ss AP"));
    QCOMPARE(shortDateFormat(german), QStringLiteral("dd.MM.yy"));
    QCOMPARE(pickerDateFormat(german), QStringLiteral("dd.MM.yyyy")); // a picker shows the century
    QCOMPARE(pickerDateFormat(chinese), QStringLiteral("yyyy/M/d"));
    QCOMPARE(ValueAxisTicker::labelText(1000.5, german), QStringLiteral("1.000,5 ℃ "));
    QCOMPARE(ValueAxisTicker::labelText(-1234567.25, chinese), QStringLiteral("-1,234,567.25 ℃ "));

    // Tiles and the live curve's title.
    Option.LowerLimits[0] = 0.f;
    Option.UpperLimits[0] = 200.f;
    AllRecord.Pv[1] = 25.3f;
    TMyPanels tile;
    refreshTile(tile, 1);
    QCOMPARE(tile.PvCaption(), QStringLiteral("25,300"));
    QCOMPARE(curveTitle(QStringLiteral("罐1"), 25.3f), QStringLiteral("罐1:    25,300"));
    // What is stored keeps '.'.
    QCOMPARE(historyValueText(25.3f), QStringLiteral("  25.300"));

    // The history grid shows the stored texts with the comma; the CSV export keeps '.'.
    QTemporaryDir home;
    const QDateTime at(QDate(2024, 3, 5), QTime(10, 0, 0));
    QCOMPARE(writeFixture(home.path(), {{fixtureStamp(at), {QStringLiteral("  25.300"), QStringLiteral("garbage")}}}),
             QString());
    db::TQuery query;
    runHistoryQuery(query, home.path(), at.addSecs(-60), at.addSecs(60));
    HistoryGridModel grid(&query);
    grid.queryChanged();
    QCOMPARE(grid.data(grid.index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("25,300"));
    QCOMPARE(grid.data(grid.index(0, 2), Qt::DisplayRole).toString(), QStringLiteral("garbage"));
    QCOMPARE(grid.data(grid.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("05.03.24 10:00:00"));
    const QString csv = QDir(home.path()).filePath(QStringLiteral("h.csv"));
    exportHistoryCsv(query, csv);
    QFile f(csv);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QVERIFY(bytes.contains("25.300"));
    QVERIFY(!bytes.contains("25,300"));

    // The history window: pickers and the chart's time axis in the system's formats, the
    // value marks with the comma.
    setProgramDirectory(home.path());
    TForm3 form(nullptr);
    QCOMPARE(form.DateTimePicker1->displayFormat(), QStringLiteral("dd.MM.yyyy"));
    QCOMPARE(form.DateTimePicker2->displayFormat(), QStringLiteral("HH:mm:ss"));
    QCOMPARE(form.DateTimePicker4->displayFormat(), QStringLiteral("HH:mm:ss"));
    const auto ticker = form.Chart1->xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
    QVERIFY(ticker);
    QCOMPARE(ticker->dateTimeFormat(), QStringLiteral("HH:mm:ss\ndd.MM.yy"));
    QCOMPARE(ValueAxisTicker::valueText(25.3), QStringLiteral("25,3"));

    // The alarm view's values.
    Alarm alarm;
    alarm.key = {AlarmSource::Instrument, 2, QStringLiteral("上限报警")};
    alarm.value = 81.25;
    alarm.state = AlarmState::ActiveUnacked;
    alarm.raisedAt = at;
    QCOMPARE(alarmRowTexts(alarm).at(4), QStringLiteral("81,250"));
}

int main(int argc, char *argv[])
{
    // The system's locale is read at its first use: from here on it writes a decimal comma.
    qputenv("LC_ALL", "de_DE.UTF-8");
    qputenv("LANG", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestScreenText test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screentext.moc"
