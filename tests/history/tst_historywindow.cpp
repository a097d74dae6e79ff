// The history window TForm3: opening, the query with its range rules and failures, the grid's
// titles and widths, the curve (the selected channels after a query, accumulation, channel
// clicks, spans, gaps, marks), zoom against the window's rules, comparing channels with
// Ctrl+click, the chart picture, printing through the set-up dialog seam (a PDF that fails at
// its end included), and the CSV export of the grid menu.

#include "ChartCompare.h"
#include "HistoryChart.h"
#include "HistoryFixture.h"
#include "HistoryGridModel.h"
#include "HistoryPrint.h"
#include "PointMarks.h"
#include "PrintProgressDialog.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "TTable.h"
#include "Unit3.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>
#include <cmath>
#include <ctime>

namespace {

const QDate Day(2024, 3, 5);

QDateTime at(int h, int m, int s, int ms = 0) { return QDateTime(Day, QTime(h, m, s, ms)); }
double key(const QDateTime &t) { return double(t.toMSecsSinceEpoch()) / 1000.0; }

void setRange(TForm3 &form, const QDateTime &from, const QDateTime &to)
{
    form.DateTimePicker1->setDate(from.date());
    form.DateTimePicker2->setTime(from.time());
    form.DateTimePicker3->setDate(to.date());
    form.DateTimePicker4->setTime(to.time());
}

// Records every 5 s from `start`; channel k holds k * 10 + i / 100.
QList<FixtureRecord> series(const QDateTime &start, int count, int channels = 8)
{
    QList<FixtureRecord> records;
    for (int i = 0; i < count; ++i) {
        QStringList values;
        for (int k = 1; k <= channels; ++k)
            values.append(QString::asprintf("%8.3f", k * 10 + i / 100.0));
        records.append({fixtureStamp(start.addSecs(5 * i)), values});
    }
    return records;
}

QList<double> curveValues(const HistoryChart &chart, int curve = 0)
{
    QList<double> values;
    const auto data = chart.curve(curve)->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        values.append(it->value);
    return values;
}

// Lines of the channel list that carry a curve's colour.
QList<int> colouredLines(const TForm3 &form)
{
    QList<int> rows;
    for (int r = 0; r < form.ListBox1->count(); ++r)
        if (!form.ListBox1->item(r)->icon().isNull())
            rows.append(r);
    return rows;
}

void ctrlClick(TForm3 &form, int row) { form.ListBox1MouseDown(form.ListBox1, row, Qt::ControlModifier); }

class ScriptedProgress final : public PrintProgress {
public:
    int cancelAfter = -1; // rows; -1: never
    int total = -1;
    int lastDone = 0;
    bool finished = false;
    QList<Qt::CursorShape> cursors;
    std::function<void(int)> onAdvance; // something happening to the job's file meanwhile

    void start(int totalRows) override
    {
        total = totalRows;
        noteCursor();
    }
    bool advance(int rowsDone) override
    {
        lastDone = rowsDone;
        noteCursor();
        if (onAdvance)
            onAdvance(rowsDone);
        return cancelAfter < 0 || rowsDone < cancelAfter;
    }
    void finish() override { finished = true; }

private:
    void noteCursor()
    {
        const QCursor *c = QApplication::overrideCursor();
        cursors.append(c ? c->shape() : Qt::ArrowCursor);
    }
};

} // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    ScriptedPrompter *m_prompter = nullptr;
    QString m_home;

    QString freshHome(const QString &name, const QList<FixtureRecord> &records = {}, bool createTable = true)
    {
        m_home = QDir(m_tmp.path()).filePath(name);
        QDir(m_home).removeRecursively();
        QDir().mkpath(m_home);
        setProgramDirectory(m_home);
        if (createTable) {
            const QString error = writeFixture(m_home, records);
            if (!error.isEmpty())
                qWarning("fixture: %s", qPrintable(error));
        }
        return m_home;
    }

    void settings(int channels)
    {
        SysParams.ChannelCount = channels;
        for (int i = 0; i < MaxChannels; ++i) {
            Option.Names[i] = i < channels ? QStringLiteral("通道%1").arg(i + 1) : QString();
            Option.LowerLimits[i] = float(-10 * (i + 1));
            Option.UpperLimits[i] = float(100 * (i + 1));
        }
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }
    void init()
    {
        resetSharedState();
        settings(8);
        m_prompter = new ScriptedPrompter;
    }
    void cleanup()
    {
        delete m_prompter;
        m_prompter = nullptr;
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void opening()
    {
        freshHome(QStringLiteral("open"), series(at(10, 0, 0), 3));
        const QDateTime before = QDateTime::currentDateTime();
        TForm3 form(nullptr);
        const QDateTime after = QDateTime::currentDateTime();

        QCOMPARE(form.size(), QSize(1005, 562));
        QCOMPARE(form.windowTitle(), QStringLiteral("datim"));
        QVERIFY(!form.Button2->isEnabled());
        QVERIFY(form.Button1->isEnabled());
        QCOMPARE(form.DateTimePicker1->date(), before.date());
        QCOMPARE(form.DateTimePicker2->time(), QTime(0, 0));
        QCOMPARE(form.DateTimePicker3->date(), after.date());
        const QDateTime to(form.DateTimePicker3->date(), form.DateTimePicker4->time());
        QVERIFY(to >= before.addMSecs(-before.time().msec()) && to <= after);

        // Span list and span agree: "1小时" and 3600 s.
        QCOMPARE(form.ComboBox1->count(), 13);
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("1小时"));
        QCOMPARE(form.ComboBox1->itemText(12), QString());
        QCOMPARE(form.ViewSpan, 3600.0);

        // No made-up curve: the chart opens empty on the last hour.
        QCOMPARE(form.Chart1->pointCount(), 0);
        QCOMPARE(form.Chart1->bottomRange().size(), 3600.0);
        QVERIFY(form.Chart1->bottomMax() >= key(before) - 1 && form.Chart1->bottomMax() <= key(after) + 1);
        QCOMPARE(form.Chart1->leftRange(), QCPRange(-100, 1000));
        QVERIFY(form.CheckBox1->isChecked());
        QVERIFY(form.Chart1->marksVisible());

        // Both lists list every channel field of wwdd, whatever the channel count.
        QCOMPARE(form.ListBox1->count(), 32);
        QCOMPARE(form.ListBox2->count(), 32);
        QCOMPARE(form.ListBox1->item(0)->text(), QStringLiteral("通道1 ->"));
        QCOMPARE(form.ListBox1->item(7)->text(), QStringLiteral("通道8 ->"));
        QCOMPARE(form.ListBox1->item(8)->text(), QStringLiteral(" ->"));
        QCOMPARE(form.ListBox2->item(0)->text(), QStringLiteral("aa1"));
        QCOMPARE(form.ListBox2->item(31)->text(), QStringLiteral("aa32"));
        QCOMPARE(form.ListBox1->currentRow(), 0);
        QCOMPARE(form.ListBox2->currentRow(), 0);
        QVERIFY(!form.Table1.active()); // closed again after listing the fields
        QVERIFY(m_prompter->errors.isEmpty());
        QCOMPARE(form.GridModel->columnCount(), 0); // nothing queried yet
    }

    void openingWithoutTable()
    {
        freshHome(QStringLiteral("notable"), {}, false);
        TForm3 form(nullptr);
        QCOMPARE(m_prompter->errors.size(), 1); // the standard error box, with the engine's text
        QVERIFY(m_prompter->errors.first().contains(QStringLiteral("wwdd")));
        QCOMPARE(form.ListBox1->count(), 0);
        QCOMPARE(form.ListBox2->count(), 0);
        QVERIFY(form.windowTitle().endsWith(QStringLiteral("温度纪录查询")));
        QCOMPARE(form.ViewSpan, 3600.0);
        QVERIFY(!QFile::exists(QDir(m_home).filePath(QStringLiteral("wwdd.db"))));

        // "查询" then finds no table either.
        form.Button1Click();
        QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("open error")});
        QVERIFY(!form.Query1.active());
        QVERIFY(form.Button2->isEnabled());
    }

    void defaultPickersQueryUpToNow()
    {
        // The station stores on while the window is open: with the end pickers as the window
        // set them, each query reaches up to its own moment.
        freshHome(QStringLiteral("defaults"));
        TForm3 form(nullptr);
        const QDateTime opened(form.DateTimePicker3->date(), form.DateTimePicker4->time());
        const QDateTime midnight(form.DateTimePicker1->date(), QTime(0, 0));
        QCOMPARE(writeFixture(m_home, {{fixtureStamp(midnight.addMSecs(-1)), {QStringLiteral("1")}},
                                       {fixtureStamp(midnight), {QStringLiteral("2")}},
                                       {fixtureStamp(opened.addMSecs(999)), {QStringLiteral("3")}},
                                       {fixtureStamp(opened.addSecs(1)), {QStringLiteral("4")}}}),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentDateTime() >= opened.addSecs(2), 5000);
        form.Button1Click();
        QCOMPARE(form.QueryStart, midnight);
        QVERIFY(form.QueryEnd >= opened.addSecs(2));
        QCOMPARE(form.Query1.recordCount(), 3);
        QCOMPARE(form.Query1.textAt(2, 1), QStringLiteral("4"));

        // An end the operator chose stays where it is.
        form.DateTimePicker4->setTime(opened.time());
        form.DateTimePicker3->setDate(opened.date());
        form.Button1Click();
        QCOMPARE(form.QueryEnd, opened);
        QCOMPARE(form.Query1.recordCount(), 2);
    }

    void queryFillsGridAndChart()
    {
        freshHome(QStringLiteral("grid"), series(at(10, 0, 0), 10));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 59, 59));
        form.Button1Click();
        QVERIFY(m_prompter->messages.isEmpty());
        QVERIFY(form.Button2->isEnabled());
        QVERIFY(form.ExportCsvAction->isEnabled());

        HistoryGridModel *model = form.GridModel;
        QCOMPARE(model->rowCount(), 10);
        QCOMPARE(model->columnCount(), 33);
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("时间"));
        for (int c = 1; c <= 32; ++c)
            QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), QStringLiteral("aa%1").arg(c));
        const QFont timeFont = model->headerData(0, Qt::Horizontal, Qt::FontRole).value<QFont>();
        QCOMPARE(timeFont.family(), QStringLiteral("黑体"));
        QCOMPARE(timeFont.pixelSize(), 16);
        QCOMPARE(model->headerData(0, Qt::Horizontal, Qt::ForegroundRole).value<QColor>(), QColor(Qt::red));
        QCOMPARE(model->headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(),
                 Qt::Alignment(Qt::AlignCenter));
        const QFont titleFont = model->headerData(5, Qt::Horizontal, Qt::FontRole).value<QFont>();
        QCOMPARE(titleFont.family(), QStringLiteral("宋体"));
        QCOMPARE(titleFont.pixelSize(), 10);
        QCOMPARE(model->headerData(5, Qt::Horizontal, Qt::ForegroundRole).value<QColor>(), QColor(Qt::blue));

        QHeaderView *header = form.DBGrid1->horizontalHeader();
        QCOMPARE(header->sectionSize(0), 110);
        for (int c = 1; c <= 16; ++c)
            QCOMPARE(header->sectionSize(c), 56);
        QCOMPARE(header->sectionSize(17), header->defaultSectionSize()); // the rest keep theirs
        QVERIFY(header->defaultSectionSize() != 56);

        // Cells: the channel text without its padding; the time stamp as a date and time.
        QCOMPARE(model->data(model->index(3, 1)).toString(), QStringLiteral("10.030"));
        QCOMPARE(model->data(model->index(3, 9)).toString(), QString()); // aa9 not stored
        QVERIFY(!model->data(model->index(3, 0)).toString().isEmpty());

        // Channel 1 on the chart, the newest point at the right edge of the last hour.
        QCOMPARE(form.Chart1->pointCount(), 10);
        QCOMPARE(curveValues(*form.Chart1).first(), 10.0);
        QCOMPARE(form.Chart1->maxX(), key(at(10, 0, 45)));
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(key(at(10, 0, 45)) - 3600, key(at(10, 0, 45))));
        QVERIFY(form.Query1.eof()); // left after its last row
    }

    void invertedRangeChangesNothing()
    {
        freshHome(QStringLiteral("inverted"), series(at(10, 0, 0), 4));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const QCPRange xRange = form.Chart1->bottomRange();

        setRange(form, at(12, 0, 1), at(12, 0, 0));
        form.Button1Click();
        QVERIFY(!form.Button2->isEnabled());
        QVERIFY(m_prompter->messages.isEmpty()); // no message
        QCOMPARE(form.GridModel->rowCount(), 4);
        QCOMPARE(form.Chart1->pointCount(), 4);
        QCOMPARE(form.Chart1->bottomRange(), xRange);

        // Disabled print button: channel and span choices do nothing to the chart...
        form.ListBox1->setCurrentRow(3);
        form.ListBox1MouseDown(form.ListBox1, 3);
        QCOMPARE(form.ListBox2->currentRow(), 3); // ...but the lists stay in step
        QCOMPARE(curveValues(*form.Chart1).first(), 10.0);
        form.ComboBox1->setCurrentIndex(10);
        form.ComboBox1Change();
        QCOMPARE(form.ViewSpan, 3600.0);
        QCOMPARE(form.Chart1->bottomRange(), xRange);

        // An equal start and end is a range: the button comes back.
        setRange(form, at(10, 0, 5), at(10, 0, 5));
        form.Button1Click();
        QVERIFY(form.Button2->isEnabled());
        QCOMPARE(form.GridModel->rowCount(), 1);
    }

    // A local time that the clock skips (the spring change to summer time) is no date-time:
    // the pickers cannot be combined.
    void pickersInTheSkippedHour()
    {
        const QByteArray oldTz = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        const auto restore = qScopeGuard([&] {
            if (oldTz.isNull())
                qunsetenv("TZ");
            else
                qputenv("TZ", oldTz);
            tzset();
        });
        freshHome(QStringLiteral("skipped"), series(at(10, 0, 0), 4));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        setRange(form, QDateTime(QDate(2024, 3, 31), QTime(0, 0)), QDateTime(QDate(2024, 3, 31), QTime(0, 0)));
        form.DateTimePicker4->setTime(QTime(2, 30));
        form.Button1Click();
        QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("valid datetime format")});
        QVERIFY(form.Button2->isEnabled());
        QCOMPARE(form.GridModel->rowCount(), 4); // the last query stays
        QCOMPARE(form.QueryEnd, at(23, 0, 0));
    }

    void openErrorWhileTableIsHeld()
    {
        freshHome(QStringLiteral("held"), series(at(10, 0, 0), 4));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        QCOMPARE(form.GridModel->rowCount(), 4);

        // The table file is gone (a disk unmounted, a file moved away) when the query runs.
        const QString file = db::tableFilePath(m_home, HistoryTableName);
        QVERIFY(QFile::rename(file, file + QStringLiteral(".away")));
        form.Button1Click();
        QVERIFY(QFile::rename(file + QStringLiteral(".away"), file));
        QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("open error")});
        QVERIFY(!form.Query1.active());
        QCOMPARE(form.GridModel->rowCount(), 0);
        QCOMPARE(form.GridModel->columnCount(), 0);
        QVERIFY(form.Button2->isEnabled());
        QVERIFY(!form.ExportCsvAction->isEnabled());
        QCOMPARE(form.Chart1->pointCount(), 4); // the curve stays

        // Printing a closed query gives the header alone.
        const QString pdf = QDir(m_home).filePath(QStringLiteral("header.pdf"));
        form.printer().setOutputFormat(QPrinter::PdfFormat);
        form.printer().setOutputFileName(pdf);
        m_prompter->onModal = [](QDialog *) { return int(QDialog::Accepted); };
        ScriptedProgress progress;
        form.printProgress = &progress;
        form.Button2Click();
        QCOMPARE(progress.total, 0);
        QVERIFY(QFileInfo(pdf).size() > 0);
    }

    void queriesAccumulateUntilAChannelClick()
    {
        QList<FixtureRecord> records = series(at(8, 0, 0), 3);
        records += series(at(9, 0, 0), 2);
        freshHome(QStringLiteral("accumulate"), records);
        TForm3 form(nullptr);
        setRange(form, at(9, 0, 0), at(9, 59, 59));
        form.Button1Click();
        QCOMPARE(form.Chart1->pointCount(), 2);
        setRange(form, at(8, 0, 0), at(8, 59, 59));
        form.Button1Click();
        QCOMPARE(form.Chart1->pointCount(), 5); // both ranges in the curve
        // The newest point of all stays at the right edge.
        QCOMPARE(form.Chart1->bottomMax(), key(at(9, 0, 5)));
        // The same range again adds no second copy of its points.
        form.Button1Click();
        QCOMPARE(form.Chart1->pointCount(), 5);

        form.ListBox2->setCurrentRow(1);
        form.ListBox1MouseDown(form.ListBox2, 1);
        QCOMPARE(form.ListBox1->currentRow(), 1);
        QCOMPARE(form.Chart1->pointCount(), 3); // cleared, then the current query's rows
        QCOMPARE(curveValues(*form.Chart1), QList<double>({20.0, 20.01, 20.02}));
    }

    void channelClickAndQueryChannel()
    {
        freshHome(QStringLiteral("channels"), series(at(10, 0, 0), 6));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();

        form.ListBox1->setCurrentRow(4);
        form.ListBox1MouseDown(form.ListBox1, 4);
        QCOMPARE(form.ListBox2->currentRow(), 4);
        QCOMPARE(curveValues(*form.Chart1), QList<double>({50.0, 50.01, 50.02, 50.03, 50.04, 50.05}));
        QCOMPARE(form.Chart1->leftRange(), QCPRange(-50, 500)); // channel 5's limits
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(key(at(10, 0, 25)) - 3600, key(at(10, 0, 25))));

        // Equal limits give no range: the axis keeps the one it has.
        Option.LowerLimits[6] = Option.UpperLimits[6] = 50.f;
        form.ListBox1MouseDown(form.ListBox1, 6);
        QCOMPARE(form.Chart1->leftRange(), QCPRange(-50, 500));
        QCOMPARE(curveValues(*form.Chart1).first(), 70.0);
    }

    // "查询" draws again what is selected: the channel of the highlighted line with its value
    // axis, or every compared channel; channel 1 only while no line is selected. The curves
    // keep the points of earlier queries as long as their channel stays.
    void queryRedrawsTheSelectedChannels()
    {
        QList<FixtureRecord> records = series(at(10, 0, 0), 6);
        records += series(at(11, 0, 0), 4);
        freshHome(QStringLiteral("requery"), records);
        TForm3 form(nullptr);
        HistoryChart &chart = *form.Chart1;
        setRange(form, at(10, 0, 0), at(10, 59, 59));
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>{0});
        QCOMPARE(curveValues(chart).first(), 10.0);
        QCOMPARE(chart.leftRange(), QCPRange(-10, 100)); // channel 1's limits, as a click shows them

        // Channel 5 clicked, then "查询" again (the end pickers untouched): still channel 5,
        // its line highlighted, its value axis, its points of both queries.
        form.ListBox1->setCurrentRow(4);
        form.ListBox1MouseDown(form.ListBox1, 4);
        setRange(form, at(11, 0, 0), at(11, 59, 59));
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>{4});
        QCOMPARE(chart.curveCount(), 1);
        QCOMPARE(chart.curveName(0), QStringLiteral("通道5"));
        QCOMPARE(form.ListBox1->currentRow(), 4);
        QCOMPARE(form.ListBox2->currentRow(), 4);
        QCOMPARE(chart.leftRange(), QCPRange(-50, 500));
        QCOMPARE(curveValues(chart), QList<double>({50.0, 50.01, 50.02, 50.03, 50.04, 50.05, // 10:00
                                                    50.0, 50.01, 50.02, 50.03}));          // 11:00
        form.Button1Click(); // once more: nothing doubles
        QCOMPARE(chart.pointCount(), 10);

        // Compared channels stay compared: every curve drawn again with its colour, the union
        // of their limits, the highlight on a compared line.
        ctrlClick(form, 1);
        ctrlClick(form, 6);
        QCOMPARE(form.ChartChannels, QList<int>({4, 1, 6}));
        const QList<QColor> colours = {chart.curve(0)->pen().color(), chart.curve(1)->pen().color(),
                                       chart.curve(2)->pen().color()};
        setRange(form, at(10, 0, 0), at(10, 59, 59));
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>({4, 1, 6}));
        QCOMPARE(chart.curveCount(), 3);
        for (int c = 0; c < 3; ++c)
            QCOMPARE(chart.curve(c)->pen().color(), colours.at(c));
        QCOMPARE(curveValues(chart, 1).first(), 20.0);
        QCOMPARE(curveValues(chart, 2).first(), 70.0);
        QCOMPARE(curveValues(chart, 2).size(), 10); // both ranges, like Series1
        QCOMPARE(chart.leftRange(), QCPRange(-70, 700));
        QCOMPARE(form.ListBox1->currentRow(), 6);
        QCOMPARE(colouredLines(form), QList<int>({1, 4, 6}));

        // A Ctrl+click that takes a curve off, or one refused (a fifth curve), leaves the
        // highlight on a drawn channel, so the next query draws what is shown.
        ctrlClick(form, 6);
        QCOMPARE(form.ChartChannels, QList<int>({4, 1}));
        QVERIFY(form.ChartChannels.contains(form.ListBox1->currentRow()));
        ctrlClick(form, 2);
        ctrlClick(form, 3);
        ctrlClick(form, 7); // refused
        QCOMPARE(m_prompter->messages.size(), 1);
        QVERIFY(form.ChartChannels.contains(form.ListBox1->currentRow()));
        QCOMPARE(form.ListBox2->currentRow(), form.ListBox1->currentRow());
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>({4, 1, 2, 3}));

        // A line selected while no query is shown (an inverted range disables the chart's
        // lists) is drawn alone by the next query, with its limits.
        setRange(form, at(12, 0, 0), at(11, 0, 0));
        form.Button1Click();
        QVERIFY(!form.Button2->isEnabled());
        form.ListBox1->setCurrentRow(7);
        form.ListBox1MouseDown(form.ListBox1, 7);
        setRange(form, at(10, 0, 0), at(11, 59, 59));
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>{7});
        QCOMPARE(chart.curveCount(), 1);
        QCOMPARE(curveValues(chart).first(), 80.0);
        QCOMPARE(chart.pointCount(), 10); // the curve of another channel starts afresh
        QCOMPARE(chart.leftRange(), QCPRange(-80, 800));

        // No line selected at all: channel 1.
        form.ListBox1->setCurrentRow(-1);
        form.ListBox2->setCurrentRow(-1);
        form.Button1Click();
        QCOMPARE(form.ChartChannels, QList<int>{0});
        QCOMPARE(curveValues(chart).first(), 10.0);
        QCOMPARE(form.ListBox1->currentRow(), 0);

        // Without a window: the rule itself.
        QCOMPARE(ChartCompare::channelsForQuery({3}, 3), QList<int>{3});
        QCOMPARE(ChartCompare::channelsForQuery({3, 5}, 5), QList<int>({3, 5}));
        QCOMPARE(ChartCompare::channelsForQuery({3, 5}, 6), QList<int>{6});
        QCOMPARE(ChartCompare::channelsForQuery({3}, -1), QList<int>{0});
    }

    void spanKeepsTheNewestPointAtTheRight()
    {
        freshHome(QStringLiteral("span"), series(at(10, 0, 0), 30));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const double newest = key(at(10, 2, 25));
        QCOMPARE(form.Chart1->maxX(), newest);

        form.ComboBox1->setCurrentIndex(10); // "1天"
        form.ComboBox1Change();
        QCOMPARE(form.ViewSpan, 86400.0);
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(newest - 86400, newest));

        // The span keeps the right edge where it is, also after panning.
        form.Chart1->setBottomRange(newest - 86400 - 500, newest - 500);
        form.ComboBox1->setCurrentIndex(0); // "30秒"
        form.ComboBox1Change();
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(newest - 500 - 30, newest - 500));

        // The empty entry keeps the span.
        form.ComboBox1->setCurrentIndex(12);
        form.ComboBox1Change();
        QCOMPARE(form.ViewSpan, 30.0);

        // After-add: whoever adds a point, the chart shows the latest span up to it.
        form.Chart1->addPoint(newest + 100, 1.0);
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(newest + 100 - 30, newest + 100));
        form.Chart1->addPoint(newest - 1000, 1.0); // an older point leaves the newest in place
        QCOMPARE(form.Chart1->bottomRange(), QCPRange(newest + 100 - 30, newest + 100));
    }

    void gapsAndMarks()
    {
        QList<FixtureRecord> records = series(at(10, 0, 0), 720); // one hour of 5-s records
        records[3].values[0] = QStringLiteral("-1000.000");
        records[4].values[0] = QStringLiteral("garbage");
        records[5].values[0] = QString();
        freshHome(QStringLiteral("gaps"), records);
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const QList<double> values = curveValues(*form.Chart1);
        QCOMPARE(values.size(), 720);
        QVERIFY(std::isnan(values.at(3)));
        QCOMPARE(values.at(4), 0.0);
        QCOMPARE(values.at(5), 0.0);

        // An hour of points: evenly spaced ones are labelled, the newest among them.
        form.Chart1->toPixmap(858, 404);
        QVERIFY(form.Chart1->marksVisible());
        QVERIFY(form.Chart1->marksDrawn());
        QCOMPARE(form.Chart1->marks(0)->markIndexes().last(), qsizetype(719));
        QVERIFY(form.Chart1->marks(0)->markIndexes().size() < 20);
        form.ComboBox1->setCurrentIndex(1); // "1分钟": 13 points
        form.ComboBox1Change();
        QCOMPARE(form.Chart1->pointsInView(), 13);
        QVERIFY(form.Chart1->marksDrawn());
        form.CheckBox1->setChecked(false);
        QVERIFY(!form.Chart1->marksVisible());
        QVERIFY(!form.Chart1->marksDrawn());
        form.CheckBox1->setChecked(true);
        QVERIFY(form.Chart1->marksDrawn());
    }

    void printing()
    {
        settings(8);
        freshHome(QStringLiteral("print"), series(at(10, 0, 0), 450));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const QString pdf = QDir(m_home).filePath(QStringLiteral("print.pdf"));
        QCOMPARE(form.printer().resolution(), 600);
        form.printer().setOutputFormat(QPrinter::PdfFormat);
        form.printer().setOutputFileName(pdf);
        ScriptedProgress progress;
        form.printProgress = &progress;

        // Cancel in the set-up dialog: nothing is printed.
        bool printSetup = false;
        m_prompter->onModal = [&](QDialog *d) {
            printSetup = qobject_cast<QPrintDialog *>(d) != nullptr;
            return int(QDialog::Rejected);
        };
        form.Button2Click();
        QVERIFY(printSetup);
        QVERIFY(!QFile::exists(pdf));
        QCOMPARE(progress.total, -1);

        // OK: the job runs under the hourglass, which goes away afterwards.
        m_prompter->onModal = [](QDialog *) { return int(QDialog::Accepted); };
        form.Button2Click();
        QVERIFY(QFileInfo(pdf).size() > 0);
        QCOMPARE(progress.total, 450);
        QCOMPARE(progress.lastDone, 450);
        QVERIFY(progress.finished);
        QVERIFY(!progress.cursors.isEmpty());
        for (Qt::CursorShape shape : progress.cursors)
            QCOMPARE(shape, Qt::WaitCursor);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(m_prompter->errors.isEmpty());

        // Cancelled from the progress dialog: the job is given up and its file removed.
        QFile::remove(pdf);
        ScriptedProgress cancelling;
        cancelling.cancelAfter = 200;
        form.printProgress = &cancelling;
        form.Button2Click();
        QCOMPARE(cancelling.lastDone, 200); // no row after the cancel
        QVERIFY(cancelling.finished);
        QVERIFY(!QFile::exists(pdf));
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        // A file that cannot be written reaches the standard error box; the cursor comes back.
        form.printProgress = &progress;
        form.printer().setOutputFileName(QDir(m_home).filePath(QStringLiteral("no/dir/x.pdf")));
        form.Button2Click();
        QCOMPARE(m_prompter->errors.size(), 1);
        QVERIFY(m_prompter->errors.first().contains(QStringLiteral("x.pdf")));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void progressDialogCancel()
    {
        QWidget owner;
        PrintProgressDialog progress(&owner);
        auto *dialog = owner.findChild<QProgressDialog *>();
        QVERIFY(dialog);
        QVERIFY(!dialog->isVisible()); // nothing shows before a job starts
        progress.start(1000);
        QVERIFY(progress.advance(200));
        QCOMPARE(dialog->value(), 200);
        dialog->cancel(); // the operator's "取消"
        QVERIFY(!progress.advance(400));
        progress.finish();
    }

    void exportCsvFromTheGridMenu()
    {
        freshHome(QStringLiteral("csv"), series(at(10, 0, 0), 3));
        TForm3 form(nullptr);
        QVERIFY(form.DBGrid1->actions().contains(form.ExportCsvAction));
        QCOMPARE(form.ExportCsvAction->text(), QStringLiteral("导出CSV…"));
        QVERIFY(!form.ExportCsvAction->isEnabled());
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        QVERIFY(form.ExportCsvAction->isEnabled());

        const QString file = QDir(m_home).filePath(QStringLiteral("export.csv"));
        m_prompter->onModal = [&](QDialog *d) {
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
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF时间,aa1,aa2,"));
        QCOMPARE(bytes.count("\r\n"), 4);
        QVERIFY(bytes.contains("\r\n2024-03-05 10:00:05.000,10.010,20.010,"));
        QVERIFY(m_prompter->errors.isEmpty());

        // Cancelled file dialog: nothing written.
        f.close();
        QFile::remove(file);
        m_prompter->onModal = [](QDialog *) { return int(QDialog::Rejected); };
        form.ExportCsvClick();
        QVERIFY(!QFile::exists(file));
    }

    // Zoom moves away from the full view; the span list keeps its rule on what is shown, a
    // channel click and a new query end the zoom.
    void zoomAndTheWindowRules()
    {
        freshHome(QStringLiteral("zoom"), series(at(10, 0, 0), 720));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        HistoryChart &chart = *form.Chart1;
        const double newest = key(at(10, 59, 55));
        const ChartView full = chart.view();
        QCOMPARE(full.keys, QCPRange(newest - 3600, newest));
        QVERIFY(!chart.zoomed());

        const ChartView spike{QCPRange(newest - 1800, newest - 1200), QCPRange(0, 50)};
        chart.zoomTo(spike);
        QTRY_VERIFY(!chart.zoomAnimating());
        QCOMPARE(chart.view(), spike);

        // "5分钟": the right edge of what is shown stays, the value zoom too; zooming out goes
        // back to the new span over the query's values.
        form.ComboBox1->setCurrentIndex(2);
        form.ComboBox1Change();
        QCOMPARE(chart.view().keys, QCPRange(newest - 1500, newest - 1200));
        QCOMPARE(chart.view().values, spike.values);
        chart.zoomOut();
        QTRY_VERIFY(!chart.zoomAnimating());
        QCOMPARE(chart.view(), ChartView({QCPRange(newest - 1500, newest - 1200), full.values}));

        // A channel click ends the zoom at once and sets its own ranges.
        chart.zoomTo(spike);
        form.ListBox1MouseDown(form.ListBox1, 2); // while the animation runs
        QVERIFY(!chart.zoomAnimating());
        QCOMPARE(chart.view(), ChartView({QCPRange(newest - 300, newest), QCPRange(-30, 300)}));
        QVERIFY(!chart.zoomed());

        // Ctrl+click keeps the zoomed time range; a new query ends every zoom.
        chart.zoomTo(spike);
        QTRY_VERIFY(!chart.zoomAnimating());
        ctrlClick(form, 3);
        QCOMPARE(chart.view().keys, spike.keys);
        QCOMPARE(chart.view().values, QCPRange(-40, 400));
        form.Button1Click();
        QVERIFY(!chart.zoomed());
        QCOMPARE(chart.view(), ChartView({QCPRange(newest - 300, newest), QCPRange(-40, 400)}));

        // A query that cannot be opened changes nothing, the zoom included.
        chart.zoomTo(spike);
        QTRY_VERIFY(!chart.zoomAnimating());
        setRange(form, at(12, 0, 1), at(12, 0, 0));
        form.Button1Click();
        QCOMPARE(chart.view(), spike);
    }

    void compareChannels()
    {
        freshHome(QStringLiteral("compare"), series(at(10, 0, 0), 6));
        TForm3 form(nullptr);
        // Before a query a Ctrl+click only moves the selection.
        ctrlClick(form, 1);
        QCOMPARE(form.Chart1->curveCount(), 1);
        QCOMPARE(form.ListBox2->currentRow(), 1);

        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        HistoryChart &chart = *form.Chart1;
        QCOMPARE(form.ChartChannels, QList<int>{1}); // the query draws the line selected
        form.ListBox1MouseDown(form.ListBox1, 0);
        const QCPRange keys = chart.bottomRange();
        ctrlClick(form, 1);
        QCOMPARE(form.ChartChannels, QList<int>({0, 1}));
        QCOMPARE(chart.curveCount(), 2);
        QCOMPARE(curveValues(chart, 1), QList<double>({20.0, 20.01, 20.02, 20.03, 20.04, 20.05}));
        QCOMPARE(curveValues(chart, 0).first(), 10.0);
        QCOMPARE(chart.leftRange(), QCPRange(-20, 200)); // limits of 1 [-10, 100] and 2 [-20, 200]
        QCOMPARE(chart.bottomRange(), keys);
        QVERIFY(chart.legend->visible());
        QCOMPARE(chart.curveName(0), QStringLiteral("通道1"));
        QCOMPARE(chart.curveName(1), QStringLiteral("通道2"));
        QCOMPARE(colouredLines(form), QList<int>({0, 1}));
        QCOMPARE(form.ListBox1->currentRow(), 1);
        QCOMPARE(form.ListBox2->currentRow(), 1);

        ctrlClick(form, 2);
        ctrlClick(form, 3);
        QCOMPARE(chart.curveCount(), 4);
        QCOMPARE(chart.leftRange(), QCPRange(-40, 400));
        QVERIFY(m_prompter->messages.isEmpty());
        ctrlClick(form, 4); // a fifth: refused with a message
        QCOMPARE(chart.curveCount(), 4);
        QCOMPARE(m_prompter->messages.size(), 1);
        QVERIFY(m_prompter->messages.first().text.startsWith(QStringLiteral("图上最多同时比较4个通道")));
        QCOMPARE(form.ChartChannels, QList<int>({0, 1, 2, 3}));

        // Ctrl+click on an added channel takes it off; on Series1's channel nothing happens.
        ctrlClick(form, 2);
        QCOMPARE(form.ChartChannels, QList<int>({0, 1, 3}));
        QCOMPARE(curveValues(chart, 2).first(), 40.0);
        QCOMPARE(chart.leftRange(), QCPRange(-40, 400));
        ctrlClick(form, 3);
        QCOMPARE(chart.leftRange(), QCPRange(-20, 200)); // the union shrinks again
        ctrlClick(form, 0);
        QCOMPARE(form.ChartChannels, QList<int>({0, 1}));
        QCOMPARE(colouredLines(form), QList<int>({0, 1}));

        // An added channel whose limits give no range leaves the axis as it is.
        Option.LowerLimits[6] = Option.UpperLimits[6] = 70.f;
        ctrlClick(form, 6);
        QCOMPARE(chart.leftRange(), QCPRange(-20, 200));

        // A plain click goes back to one channel.
        form.ListBox1MouseDown(form.ListBox1, 5);
        QCOMPARE(chart.curveCount(), 1);
        QCOMPARE(form.ChartChannels, QList<int>{5});
        QCOMPARE(curveValues(chart).first(), 60.0);
        QCOMPARE(chart.leftRange(), QCPRange(-60, 600));
        QVERIFY(!chart.legend->visible());
        QVERIFY(colouredLines(form).isEmpty());

    }

    // The Ctrl key of a real click on the list reaches the handler.
    void ctrlClickOnTheList()
    {
        freshHome(QStringLiteral("ctrlclick"), series(at(10, 0, 0), 6));
        TForm3 form(nullptr);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const auto press = [&](int row, Qt::KeyboardModifiers modifiers) {
            const QRect r = form.ListBox1->visualItemRect(form.ListBox1->item(row));
            QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, modifiers, r.center());
        };
        press(2, Qt::ControlModifier);
        QCOMPARE(form.ChartChannels, QList<int>({0, 2}));
        QCOMPARE(form.ListBox1->currentRow(), 2);
        press(2, Qt::ControlModifier); // the selected line again: taken off, still selected
        QCOMPARE(form.ChartChannels, QList<int>{0});
        QVERIFY(form.ListBox1->item(2)->isSelected());
        press(3, Qt::NoModifier);
        QCOMPARE(form.ChartChannels, QList<int>{3});
        QCOMPARE(curveValues(*form.Chart1).first(), 40.0);
    }

    void savePicture()
    {
        freshHome(QStringLiteral("picture"), series(at(10, 0, 0), 60));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        ctrlClick(form, 1);
        QVERIFY(form.Chart1->contextMenu()->actions().contains(form.Chart1->savePictureAction()));

        const QString file = QDir(m_home).filePath(QStringLiteral("chart.png"));
        QString suggested;
        QString target = file;
        m_prompter->onModal = [&](QDialog *d) {
            auto *dialog = qobject_cast<QFileDialog *>(d);
            if (!dialog)
                return int(QDialog::Rejected);
            suggested = dialog->selectedFiles().value(0);
            dialog->selectFile(target);
            return int(QDialog::Accepted);
        };
        form.Chart1->savePictureAction()->trigger();
        QCOMPARE(suggested, QDir(m_home).filePath(ChartCompare::pictureFileName(
                                {QStringLiteral("通道1"), QStringLiteral("通道2")}, form.Chart1->bottomRange())));
        QVERIFY(QFileInfo(suggested).fileName().startsWith(QStringLiteral("通道1+通道2_20240305-")));
        const QImage picture(file);
        QCOMPARE(picture.size(), form.Chart1->size() * 2);
        QVERIFY(m_prompter->errors.isEmpty());
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        // Cancelled: nothing written. A place that cannot be written: the standard error box.
        QFile::remove(file);
        m_prompter->onModal = [](QDialog *) { return int(QDialog::Rejected); };
        form.SavePictureClick();
        QVERIFY(!QFile::exists(file));
        target = QDir(m_home).filePath(QStringLiteral("no/dir/chart.png"));
        m_prompter->onModal = [&](QDialog *d) {
            qobject_cast<QFileDialog *>(d)->selectFile(target);
            return int(QDialog::Accepted);
        };
        form.SavePictureClick();
        QCOMPARE(m_prompter->errors.size(), 1);
        QVERIFY(m_prompter->errors.first().startsWith(QStringLiteral("图片未能保存。\n")));
        QVERIFY(m_prompter->errors.first().contains(target));
    }

    // A PDF whose writing fails at its very end (its place taken by a directory while the job
    // runs, so the finished file cannot be put there) is reported, not taken for printed.
    void printFailingAtTheEnd()
    {
        freshHome(QStringLiteral("printfail"), series(at(10, 0, 0), 450));
        TForm3 form(nullptr);
        setRange(form, at(0, 0, 0), at(23, 0, 0));
        form.Button1Click();
        const QString pdf = QDir(m_home).filePath(QStringLiteral("report.pdf"));
        form.printer().setOutputFormat(QPrinter::PdfFormat);
        form.printer().setOutputFileName(pdf);
        m_prompter->onModal = [](QDialog *) { return int(QDialog::Accepted); };
        ScriptedProgress progress;
        progress.onAdvance = [&](int done) {
            if (done == 200)
                QDir().mkdir(pdf);
        };
        form.printProgress = &progress;
        form.Button2Click();
        QCOMPARE(progress.lastDone, 450);
        QVERIFY(progress.finished);
        QCOMPARE(m_prompter->errors.size(), 1);
        const QString error = m_prompter->errors.first();
        QVERIFY2(error.startsWith(QStringLiteral("PDF文件未能写完，报表没有保存。\n")), qPrintable(error));
        QVERIFY(error.contains(pdf));
        QVERIFY(QFileInfo(pdf).isDir());
        // No part of the report is left beside it.
        QCOMPARE(QDir(m_home).entryList({QStringLiteral("report.pdf*")}, QDir::Files), QStringList());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"
