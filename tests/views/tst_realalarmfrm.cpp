// The "实时报警" view fed by an AlarmCenter as the station feeds it: the window, row colours
// and the blink on its real timer (a selected row too), acknowledgement by selection and for
// all, the journal grid following new events (also after a query up to now), the range query
// and its CSV export (with the rows shown since); and the status panel.

#include "AlarmCenter.h"
#include "AlarmModels.h"
#include "RealAlarmFrm.h"
#include "ReportRules.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"

#include <QAction>
#include <QDateEdit>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

namespace {

const AlarmKey Upper2{AlarmSource::Instrument, 2, QStringLiteral("上限报警")};
const AlarmKey Broken5{AlarmSource::Instrument, 5, QStringLiteral("信号断线")};
const AlarmKey Comm{AlarmSource::Comm, 0, CommKind};

// A center with three listed alarms: channel 2 active unacknowledged, channel 5 active
// acknowledged, "通讯中断" returned unacknowledged. The clock starts an hour ago.
struct Station {
    QTemporaryDir home;
    AlarmCenter center;
    TAllRecord rec;
    TOption opt;
    QDateTime start = QDateTime::currentDateTime().addSecs(-3600);
    qint64 ms = 0;

    Station()
    {
        for (int i = 0; i < MaxChannels; ++i) {
            opt.Names[size_t(i)] = QStringLiteral("罐%1").arg(i + 1);
            opt.UpperLimits[size_t(i)] = 200.f;
            rec.Pv[size_t(i + 1)] = 50.f;
        }
        center.setClock([this] { return AlarmTime{start.addMSecs(ms), ms}; });
        center.setUserName(QStringLiteral("op"));
        center.open(home.path());
        rec.AlmText[2] = QStringLiteral("上限报警");
        rec.AlmText[5] = QStringLiteral("信号断线");
        center.answerDecoded(rec, opt, 8);
        center.acknowledge({Broken5});
        ms = 1000;
        center.refreshTick(CommState::Error);
        ms = 2000;
        center.refreshTick(CommState::Ok);
    }
};

void select(TRealAlarmForm &form, const QList<int> &rows)
{
    QItemSelectionModel *sel = form.AlarmGrid->selectionModel();
    sel->clearSelection();
    for (int r : rows)
        sel->select(form.AlarmModel->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QColor background(const TRealAlarmForm &form, int row)
{
    return form.AlarmModel->data(form.AlarmModel->index(row, 0), Qt::BackgroundRole).value<QColor>();
}

} // namespace

class TestRealAlarmForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { resetSharedState(); }
    void theWindow();
    void rowsAndBlinking();
    void acknowledgement();
    void journalFollowsAndQueries();
    void exportCsv();
    void followsNowAndShowsTheRedOfASelectedRow();
    void statusPanel();
};

void TestRealAlarmForm::theWindow()
{
    Station s;
    TRealAlarmForm form(s.center, nullptr);
    QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(form.windowState() & Qt::WindowMaximized);
    QCOMPARE(form.Label1->text(), QStringLiteral("实时报警"));
    QCOMPARE(form.Button1->text(), QStringLiteral("返回"));
    QCOMPARE(form.AckButton->text(), QStringLiteral("确认"));
    QCOMPARE(form.AckAllButton->text(), QStringLiteral("全部确认"));
    QCOMPARE(form.QueryButton->text(), QStringLiteral("查询"));
    QCOMPARE(form.ExportCsvAction->text(), QStringLiteral("导出CSV…"));
    QVERIFY(form.JournalGrid->actions().contains(form.ExportCsvAction));
    QVERIFY(form.ExportCsvAction->isEnabled());
    QVERIFY(form.Timer1.isActive());
    QStringList titles;
    for (int c = 0; c < form.AlarmModel->columnCount(); ++c)
        titles.append(form.AlarmModel->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    QCOMPARE(titles, (QStringList{QStringLiteral("报警时间"), QStringLiteral("通道"), QStringLiteral("名称"),
                                  QStringLiteral("类型"), QStringLiteral("数值"), QStringLiteral("状态")}));
    QCOMPARE(form.JournalRows->headerData(8, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("说明"));

    // The journal opens on the last 24 hours up to now.
    const QDateTime now = QDateTime::currentDateTime();
    QVERIFY(qAbs(form.QueryEnd.secsTo(now)) <= 2);
    QCOMPARE(form.QueryStart.secsTo(form.QueryEnd), 86400);
    QCOMPARE(form.DateTimePicker1->date(), form.QueryStart.date());
    QCOMPARE(form.DateTimePicker4->time().second(), form.QueryEnd.time().second());
    QVERIFY(form.Live);
    QCOMPARE(form.JournalRows->rowCount(), 5);
    QCOMPARE(form.JournalRows->rows().first().kind, CommKind); // newest first
    QCOMPARE(form.JournalRows->rows().first().transition, Transition::Returned);

    // "返回" closes; the view is destroyed with its owner's helper.
    form.show();
    form.Button1->click();
    QVERIFY(!form.isVisible());
}

void TestRealAlarmForm::rowsAndBlinking()
{
    Station s;
    TRealAlarmForm form(s.center, nullptr);
    QCOMPARE(form.AlarmModel->rowCount(), 3);
    // Newest raised first: comm (1 s), then channels 2 and 5 (both at 0 s).
    QCOMPARE(form.AlarmModel->alarms().at(0).key, Comm);
    const int upper = form.AlarmModel->rowOf(Upper2);
    const int broken = form.AlarmModel->rowOf(Broken5);
    QCOMPARE(form.AlarmModel->data(form.AlarmModel->index(upper, 5), Qt::DisplayRole).toString(), QStringLiteral("报警未确认"));
    QCOMPARE(form.AlarmModel->data(form.AlarmModel->index(upper, 2), Qt::DisplayRole).toString(), QStringLiteral("罐2"));
    QCOMPARE(form.AlarmModel->data(form.AlarmModel->index(upper, 4), Qt::DisplayRole).toString(), QStringLiteral("50.000"));
    QCOMPARE(form.AlarmModel->data(form.AlarmModel->index(0, 5), Qt::DisplayRole).toString(), QStringLiteral("恢复未确认"));
    QCOMPARE(form.AlarmModel->data(form.AlarmModel->index(0, 1), Qt::DisplayRole).toString(), QString());
    QCOMPARE(form.CountLabel->text(), QStringLiteral("共 3 条，2 条未确认"));

    QCOMPARE(background(form, 0), QColor(Qt::yellow));
    QCOMPARE(background(form, broken), QColor(Qt::red));
    // The real timer: the unacknowledged active row changes colour every half second, the
    // others stay.
    QSignalSpy repaint(form.AlarmModel, &QAbstractItemModel::dataChanged);
    QSet<QRgb> seen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1300) {
        const QColor c = background(form, upper);
        seen.insert(c.isValid() ? c.rgb() : 0);
        QCOMPARE(background(form, broken), QColor(Qt::red));
        QCOMPARE(background(form, 0), QColor(Qt::yellow));
        QTest::qWait(50);
    }
    QCOMPARE(seen, (QSet<QRgb>{QColor(Qt::red).rgb(), 0}));
    QVERIFY(repaint.size() >= 2);
    for (const QList<QVariant> &args : repaint) // only the blinking row is repainted
        QCOMPARE(args.at(0).toModelIndex().row(), upper);
    QVERIFY(!form.Label2->text().isEmpty());
}

void TestRealAlarmForm::acknowledgement()
{
    Station s;
    TRealAlarmForm form(s.center, nullptr);
    QVERIFY(!form.AckButton->isEnabled()); // nothing selected
    QVERIFY(form.AckAllButton->isEnabled());
    // The acknowledged row alone: nothing to acknowledge.
    select(form, {form.AlarmModel->rowOf(Broken5)});
    QVERIFY(!form.AckButton->isEnabled());
    select(form, {form.AlarmModel->rowOf(Broken5), form.AlarmModel->rowOf(Upper2)});
    QVERIFY(form.AckButton->isEnabled());
    form.AckButton->click();
    QCOMPARE(s.center.state(Upper2), AlarmState::ActiveAcked);
    QCOMPARE(s.center.state(Comm), AlarmState::ReturnedUnacked);
    // The list is rebuilt and the selection stays on the same alarms.
    QCOMPARE(form.AlarmGrid->selectionModel()->selectedRows().size(), 2);
    QVERIFY(!form.AckButton->isEnabled());
    QCOMPARE(background(form, form.AlarmModel->rowOf(Upper2)), QColor(Qt::red));
    // The acknowledgement is on top of the journal, with the user.
    QCOMPARE(form.JournalRows->rows().first().transition, Transition::Acknowledged);
    QCOMPARE(form.JournalRows->rows().first().user, QStringLiteral("op"));

    form.AckAllButton->click();
    QCOMPARE(s.center.unacknowledgedCount(), 0);
    QCOMPARE(form.AlarmModel->rowCount(), 2); // "通讯中断" returned and acknowledged: gone
    QVERIFY(!form.AckAllButton->isEnabled());
    QCOMPARE(form.CountLabel->text(), QStringLiteral("共 2 条，0 条未确认"));

    // Alarms raised while the view is open show up at once.
    s.ms = 5000;
    s.rec.AlmText[7] = QStringLiteral("上溢");
    s.center.answerDecoded(s.rec, s.opt, 8);
    QCOMPARE(form.AlarmModel->rowCount(), 3);
    QCOMPARE(form.AlarmModel->alarms().first().key.channel, 7);
    QVERIFY(form.AckAllButton->isEnabled());
}

void TestRealAlarmForm::journalFollowsAndQueries()
{
    Station s;
    ScriptedPrompter prompter;
    TRealAlarmForm form(s.center, nullptr);
    QCOMPARE(form.JournalRows->rowCount(), 5);
    s.center.stationEvent(AlarmCenter::StationEvent::RunStopped);
    QCOMPARE(form.JournalRows->rowCount(), 6);
    QCOMPARE(form.JournalRows->rows().first().kind, QStringLiteral("停止运行"));
    QCOMPARE(form.JournalLabel->text(), QStringLiteral("6 条"));

    // A range in the past, one whole second: the comm raise at 1 s alone; it does not follow
    // new events.
    const QDateTime second = s.start.addSecs(1);
    const QTime whole(second.time().hour(), second.time().minute(), second.time().second());
    form.DateTimePicker1->setDate(second.date());
    form.DateTimePicker2->setTime(whole);
    form.DateTimePicker3->setDate(second.date());
    form.DateTimePicker4->setTime(whole);
    form.QueryClick();
    QVERIFY(prompter.messages.isEmpty());
    QVERIFY(!form.Live);
    QCOMPARE(form.JournalRows->rowCount(), 1);
    QCOMPARE(form.JournalRows->rows().first().kind, CommKind);
    QCOMPARE(form.JournalRows->rows().first().transition, Transition::Raised);
    const int before = form.JournalRows->rowCount();
    s.center.stationEvent(AlarmCenter::StationEvent::RunStarted);
    QCOMPARE(form.JournalRows->rowCount(), before);

    // An inverted range is refused with a message and changes nothing.
    form.DateTimePicker3->setDate(second.date().addDays(-1));
    form.QueryClick();
    QCOMPARE(prompter.messages.size(), 1);
    QVERIFY(prompter.messages.first().text.startsWith(QStringLiteral("查询的开始时间晚于结束时间")));
    QCOMPARE(form.JournalRows->rowCount(), before);

    // A journal that cannot be read: a message, an empty grid, no export.
    s.center.writer().close();
    form.DateTimePicker3->setDate(QDate::currentDate());
    form.DateTimePicker4->setTime(QTime(23, 59, 59));
    form.QueryClick();
    QCOMPARE(prompter.messages.size(), 2);
    QVERIFY(prompter.messages.last().text.startsWith(QStringLiteral("报警记录无法读取。")));
    QCOMPARE(form.JournalRows->rowCount(), 0);
    QVERIFY(!form.ExportCsvAction->isEnabled());
}

void TestRealAlarmForm::exportCsv()
{
    Station s;
    ScriptedPrompter prompter;
    TRealAlarmForm form(s.center, nullptr);
    const QString file = s.home.filePath(QStringLiteral("events.csv"));
    QString suggested;
    prompter.onModal = [&](QDialog *d) {
        auto *dialog = qobject_cast<QFileDialog *>(d);
        if (!dialog)
            return int(QDialog::Rejected);
        suggested = dialog->selectedFiles().value(0);
        dialog->selectFile(file);
        return int(QDialog::Accepted);
    };
    form.ExportCsvAction->trigger();
    QVERIFY(suggested.startsWith(s.home.filePath(QStringLiteral("events_"))));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF时间,来源,通道,名称,类型,数值,变化,用户,说明\r\n"));
    QCOMPARE(bytes.count("\r\n"), 6); // header and the five rows, oldest first
    const QList<QByteArray> lines = bytes.split('\n');
    QVERIFY2(lines.at(1).contains(",仪表,2,罐2,上限报警,50.000,报警,,"), lines.at(1).constData());
    QVERIFY2(lines.at(3).contains(",仪表,5,罐5,信号断线,50.000,确认,op,"), lines.at(3).constData());
    QVERIFY2(lines.at(5).contains(",通讯,,,通讯中断,,恢复,,"), lines.at(5).constData());
    QVERIFY(prompter.errors.isEmpty());
}

// After "查询" with untouched pickers the journal still follows new events (the pickers move to
// now, as the history window's do); "导出CSV…" while it follows writes every row shown, those
// that came after the query too; a selected unacknowledged row still blinks red, with the
// selection as a frame around it.
void TestRealAlarmForm::followsNowAndShowsTheRedOfASelectedRow()
{
    Station s;
    ScriptedPrompter prompter;
    TRealAlarmForm form(s.center, nullptr);
    form.resize(1014, 674);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QDateTime openedEnd = form.EndSetByWindow;
    // Two seconds on: the end pickers now lie in the past.
    QTest::qWait(2100);
    form.QueryClick();
    QVERIFY(prompter.messages.isEmpty());
    QVERIFY(form.Live);
    QVERIFY(openedEnd.secsTo(QDateTime(form.DateTimePicker3->date(), form.DateTimePicker4->time())) >= 2);
    const int before = form.JournalRows->rowCount();

    // An event of this moment, after the query's end: shown on top.
    QTest::qWait(1200);
    s.start = QDateTime::currentDateTime();
    s.ms = 0;
    s.center.stationEvent(AlarmCenter::StationEvent::RunStopped);
    QCOMPARE(form.JournalRows->rowCount(), before + 1);
    QCOMPARE(form.JournalRows->rows().first().kind, QStringLiteral("停止运行"));
    QVERIFY(form.JournalRows->rows().first().time > inclusiveEnd(form.QueryEnd));

    // The export holds every row shown, the new one included.
    const QString file = s.home.filePath(QStringLiteral("live.csv"));
    prompter.onModal = [&](QDialog *d) {
        auto *dialog = qobject_cast<QFileDialog *>(d);
        if (!dialog)
            return int(QDialog::Rejected);
        dialog->selectFile(file);
        return int(QDialog::Accepted);
    };
    form.ExportCsvAction->trigger();
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QCOMPARE(bytes.count("\r\n"), form.JournalRows->rowCount() + 1);
    QVERIFY(bytes.contains("停止运行"));
    QVERIFY(prompter.errors.isEmpty());
    // A range that ended in the past exports its own range, even later.
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    QCOMPARE(journalExportEnd(past, false, QDateTime::currentDateTime()), past);
    QCOMPARE(journalExportEnd(past.addSecs(7200), true, QDateTime::currentDateTime()), past.addSecs(7200));

    // The selected unacknowledged row in both halves of the blink: red ground with white text,
    // then the grid's ground with red text; the selection's fill never covers it.
    form.Timer1.stop();
    const int upper = form.AlarmModel->rowOf(Upper2);
    select(form, {upper});
    QVERIFY(form.AlarmGrid->selectionModel()->isRowSelected(upper, QModelIndex()));
    const QRect row = form.AlarmGrid->visualRect(form.AlarmModel->index(upper, 1))
                          .united(form.AlarmGrid->visualRect(form.AlarmModel->index(upper, 3)));
    const QColor highlight = form.AlarmGrid->palette().color(QPalette::Active, QPalette::Highlight);
    const auto share = [&](bool blinkOn, const std::function<bool(QRgb)> &is) {
        form.AlarmModel->setBlinkOn(blinkOn);
        const QImage image = form.AlarmGrid->viewport()->grab().toImage();
        int n = 0;
        int all = 0;
        // Inside the frame: the row less SelectedRowFrame pixels above and below.
        for (int y = row.top() + SelectedRowFrame + 1; y <= row.bottom() - SelectedRowFrame - 1; ++y)
            for (int x = row.left(); x <= row.right(); ++x, ++all)
                n += is(image.pixel(x, y));
        return double(n) / all;
    };
    const auto red = [](QRgb c) { return QColor(c) == QColor(Qt::red); };
    const auto selectionFill = [&](QRgb c) { return QColor(c) == highlight; };
    QVERIFY(share(true, red) > 0.6);
    QVERIFY(share(false, red) > 0.0); // the red text
    QVERIFY(share(false, red) < 0.3);
    QCOMPARE(share(true, selectionFill), 0.0);
    QCOMPARE(share(false, selectionFill), 0.0);
    // The frame shows the selection: the row's top line is the highlight colour.
    const QImage image = form.AlarmGrid->viewport()->grab().toImage();
    QCOMPARE(QColor(image.pixel(row.center().x(), row.top())), highlight);
}

void TestRealAlarmForm::statusPanel()
{
    QLabel panel;
    showAlarmPanel(&panel, 3);
    QCOMPARE(panel.text(), QStringLiteral("报警：3 条未确认"));
    QCOMPARE(panel.palette().color(QPalette::WindowText), QColor(Qt::red));
    showAlarmPanel(&panel, 0);
    QCOMPARE(panel.text(), QString());
    QVERIFY(panel.palette().color(QPalette::WindowText) != QColor(Qt::red));

    // Row looks, both halves of the blink.
    QCOMPARE(alarmRowLook(AlarmState::ActiveUnacked, true).background, QColor(Qt::red));
    QVERIFY(!alarmRowLook(AlarmState::ActiveUnacked, false).background.isValid());
    QCOMPARE(alarmRowLook(AlarmState::ActiveUnacked, false).text, QColor(Qt::red));
    QCOMPARE(alarmRowLook(AlarmState::ActiveAcked, false).background, QColor(Qt::red));
    QCOMPARE(alarmRowLook(AlarmState::ReturnedUnacked, true).background, QColor(Qt::yellow));
}

QTEST_MAIN(TestRealAlarmForm)
#include "tst_realalarmfrm.moc"
