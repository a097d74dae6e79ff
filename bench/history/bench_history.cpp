// History window timings against a 90-day wwdd of 5-second records for 32 channels
// (1.55 million records), generated into --dir on first use and reused afterwards.
//
// Measured, each the best of three runs unless said otherwise:
//   floor      the bare sqlite3 command-line read of the same rows, output to /dev/null
//   one day    "查询" on the window (query, grid model, curve) until the window has painted
//              its grid and chart (QWidget::grab)
//   30 days    the same for 30 days
//   channel    a channel click on the 30-day result until the chart is painted again
//   span       "2天" on the 30-day result (34,560 points in view) until the chart is painted
//   zoom step  one step of the animated zoom on the 30-day result (the view set, the chart
//              replotted): at "2天" and with the whole month in view, with one and four curves
//   add curve  Ctrl+click on a channel of the 30-day result until the chart is replotted, at
//              "2天" and with the whole month in view; and reading one channel alone
//   month      the chart redrawn with the whole month (518,400 points per curve) in view
//   csv        the CSV export of one day, from the open query; and the headless
//              --export-csv run (query and export)
//   memory     peak resident memory after the 30-day query, and the resident memory after
//              each of eight further 30-day queries with channel clicks in the same window
//
//   QT_QPA_PLATFORM=offscreen build/bench/history/qz_bench_history [--dir DIR] [--days N]

#include "ChartZoom.h"
#include "HistoryChart.h"
#include "HistoryCommand.h"
#include "HistoryDemoData.h"
#include "HistoryExport.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "WindowState.h"
#include "TQuery.h"
#include "TTable.h"
#include "Ui.h"
#include "Unit3.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QTextStream>
#include <QTimeEdit>
#include <algorithm>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

class SilentPrompter final : public ui::Prompter {
public:
    ui::Reply message(const ui::MessageRequest &r) override
    {
        out << "message: " << r.text << '\n';
        return ui::Reply::Ok;
    }
    int execModal(QDialog *) override { return QDialog::Rejected; }
    void standardError(const QString &text) override { out << "error: " << text << '\n'; }
    void notice(const ui::MessageRequest &r) override { out << "notice: " << r.text << '\n'; }
};

double seconds(const std::function<void()> &fn)
{
    QElapsedTimer t;
    t.start();
    fn();
    return double(t.nsecsElapsed()) / 1e9;
}

double bestOf(int runs, const std::function<void()> &fn)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, seconds(fn));
    return best;
}

long peakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

long currentRssMb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * sysconf(_SC_PAGESIZE) / (1024 * 1024) : -1;
}

QString stamp(const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); }

double sqliteFloor(const QString &file, const QDateTime &from, const QDateTime &to)
{
    const QString sql = QStringLiteral("select * from wwdd where datim between '%1' and '%2'")
                            .arg(stamp(from), stamp(QDateTime(to.date(), to.time().addMSecs(999))));
    return bestOf(3, [&] {
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        p.start(QStringLiteral("sqlite3"), {file, sql});
        p.waitForFinished(-1);
    });
}

void query(TForm3 &form, const QDateTime &from, const QDateTime &to)
{
    form.DateTimePicker1->setDate(from.date());
    form.DateTimePicker2->setTime(from.time());
    form.DateTimePicker3->setDate(to.date());
    form.DateTimePicker4->setTime(to.time());
    form.Button1Click();
    QCoreApplication::processEvents(); // the chart's queued replot
    form.grab();                       // paints grid and chart as the screen would
}

void clickChannel(TForm3 &form, int row)
{
    form.ListBox1->setCurrentRow(row);
    form.ListBox1MouseDown(form.ListBox1, row);
    QCoreApplication::processEvents();
    form.grab();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ui::installFontSubstitutions();
    SilentPrompter prompter;
    ui::setPrompter(&prompter);

    QCommandLineParser parser;
    parser.addOption({QStringLiteral("dir"), QStringLiteral("directory of the 90-day wwdd"), QStringLiteral("DIR"),
                      QDir::temp().filePath(QStringLiteral("qz_bench_history"))});
    parser.addOption({QStringLiteral("days"), QStringLiteral("days in the table"), QStringLiteral("N"),
                      QStringLiteral("90")});
    parser.addHelpOption();
    parser.process(app);
    const QString dir = parser.value(QStringLiteral("dir"));
    const int days = std::max(31, parser.value(QStringLiteral("days")).toInt());
    QDir().mkpath(dir);
    setProgramDirectory(dir);

    constexpr int IntervalMs = 5000;
    constexpr int Channels = 32;
    const qint64 records = qint64(days) * 86400 * 1000 / IntervalMs;
    const QDateTime first(QDate(2024, 1, 1), QTime(0, 0));
    const QString file = db::tableFilePath(dir, HistoryTableName);
    if (!QFileInfo::exists(file)) {
        out << "generating " << records << " records (" << days << " days, " << Channels << " channels) in " << file
            << " ..." << Qt::endl;
        QString error;
        const double s = seconds([&] { error = writeDemoHistory(dir, first, records, IntervalMs, Channels); });
        if (!error.isEmpty()) {
            out << "failed: " << error << '\n';
            return 1;
        }
        out << "  generated in " << QString::number(s, 'f', 1) << " s\n";
    }
    out << "table: " << file << ", " << QFileInfo(file).size() / (1024 * 1024) << " MB\n";

    resetSharedState();
    SysParams.ChannelCount = Channels;
    for (int i = 0; i < MaxChannels; ++i) {
        Option.Names[i] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.UpperLimits[i] = 500.f;
    }

    const QDate middle = first.date().addDays(days / 2);
    const QDateTime dayFrom(middle, QTime(0, 0));
    const QDateTime dayTo(middle, QTime(23, 59, 59));
    const QDateTime monthFrom(middle.addDays(-15), QTime(0, 0));
    const QDateTime monthTo(middle.addDays(14), QTime(23, 59, 59));

    const double floorDay = sqliteFloor(file, dayFrom, dayTo);
    const double floorMonth = sqliteFloor(file, monthFrom, monthTo);
    out << "floor (sqlite3 CLI, rows to /dev/null): one day " << QString::number(floorDay, 'f', 3) << " s, 30 days "
        << QString::number(floorMonth, 'f', 3) << " s\n";

    auto report = [&](const QString &what, double s, double floor, double goal) {
        out << QStringLiteral("%1 %2 s  (goal < %3 s; %4 x floor)\n")
                   .arg(what, -34)
                   .arg(s, 0, 'f', 3)
                   .arg(goal)
                   .arg(s / floor, 0, 'f', 2);
    };

    long rssAfterMonth = 0;
    {
        TForm3 form(nullptr);
        form.grab();
        const double day = bestOf(3, [&] { query(form, dayFrom, dayTo); });
        report(QStringLiteral("one day (17,280 rows): query+grid+chart"), day, floorDay, 0.2);

        db::TQuery dayQuery;
        double csv = 0;
        const QString csvFile = QDir(dir).filePath(QStringLiteral("bench-day.csv"));
        csv = bestOf(3, [&] { exportHistoryCsv(form.Query1, csvFile); });
        report(QStringLiteral("one day: CSV export (open query)"), csv, floorDay, 0.2);

        const double month = bestOf(3, [&] { query(form, monthFrom, monthTo); });
        rssAfterMonth = peakRssMb();
        report(QStringLiteral("30 days (518,400 rows): query+grid+chart"), month, floorMonth, 3.0);
        out << "  rows held: " << form.Query1.recordCount() << ", " << form.Query1.memoryUsed() / (1024 * 1024)
            << " MB in the query's compact rows; curve points " << form.Chart1->pointCount() << '\n';

        const double channel = bestOf(3, [&] {
            static int row = 1;
            clickChannel(form, row);
            row = row % 31 + 1;
        });
        report(QStringLiteral("30 days: channel switch"), channel, floorMonth, 1.0);
        const double span = bestOf(3, [&] {
            form.ComboBox1->setCurrentIndex(11); // "2天": 34,560 points in view
            form.ComboBox1Change();
            QCoreApplication::processEvents();
            form.grab();
        });
        report(QStringLiteral("30 days: span 2天, chart drawn"), span, floorMonth, 1.0);

        // Zoom and compare on the 30-day result. A zoom step is what the step timer does: set
        // the view and replot (painting a shown chart then copies its buffer, about 1 ms).
        HistoryChart &chart = *form.Chart1;
        const auto zoomStep = [&](const ChartView &to) {
            chart.zoomTo(to);
            chart.finishZoom();
            chart.replot();
        };
        const auto line = [](const QString &what, double s, const QString &goal) {
            out << QStringLiteral("%1 %2 s%3\n").arg(what, -34).arg(s, 0, 'f', 4).arg(goal);
        };
        const ChartView twoDays = chart.view();
        const ChartView twoDaysZoomed{QCPRange(twoDays.keys.lower + twoDays.keys.size() / 4, twoDays.keys.upper),
                                      QCPRange(twoDays.values.lower, twoDays.values.center())};
        const ChartView wholeMonth{QCPRange(HistoryChart::keyOf(monthFrom), HistoryChart::keyOf(monthTo)),
                                   twoDays.values};
        const ChartView monthZoomed{QCPRange(wholeMonth.keys.lower, wholeMonth.keys.lower + wholeMonth.keys.size() * 0.8),
                                    twoDays.values};
        const auto stepBetween = [&](const ChartView &a, const ChartView &b) {
            return bestOf(5, [&] {
                zoomStep(a);
                zoomStep(b);
            }) / 2;
        };
        // A Ctrl+click that adds (or takes off) a curve, until its queued replot is done. What
        // the steps before left queued (the repaints after their direct replots, up to 0.2 s with
        // the month in view) is handled first, so it is not counted against the click.
        const auto ctrlClick = [&](int row) {
            QCoreApplication::processEvents();
            return seconds([&] {
                form.ListBox1MouseDown(form.ListBox1, row, Qt::ControlModifier);
                QCoreApplication::processEvents();
            });
        };
        const auto addThree = [&](const QString &what) {
            QList<double> s;
            for (int row : {4, 5, 6})
                s.append(ctrlClick(row));
            out << QStringLiteral("%1 %2 / %3 / %4 s  (goal < 0.1 s each; curves 2, 3, 4)\n")
                       .arg(what, -34)
                       .arg(s.at(0), 0, 'f', 4)
                       .arg(s.at(1), 0, 'f', 4)
                       .arg(s.at(2), 0, 'f', 4);
        };

        line(QStringLiteral("30 days: zoom step at 2天, 1 curve"), stepBetween(twoDaysZoomed, twoDays), QStringLiteral("  (goal < 0.1 s)"));
        line(QStringLiteral("one channel of 30 days read"),
             bestOf(3, [&] { curveOfField(form.Query1, historyFieldName(8)); }), QString());
        addThree(QStringLiteral("30 days at 2天: add a curve"));
        line(QStringLiteral("30 days: zoom step at 2天, 4 curves"), stepBetween(twoDaysZoomed, twoDays), QStringLiteral("  (goal < 0.1 s)"));
        for (int row : {4, 5, 6})
            ctrlClick(row); // taken off again

        zoomStep(wholeMonth);
        line(QStringLiteral("month in view: redraw, 1 curve"), bestOf(5, [&] { chart.replot(); }), QStringLiteral("  (goal < 0.05 s)"));
        line(QStringLiteral("30 days: zoom step, month, 1 curve"), stepBetween(monthZoomed, wholeMonth), QStringLiteral("  (goal < 0.1 s)"));
        addThree(QStringLiteral("month in view: add a curve"));
        line(QStringLiteral("month in view: redraw, 4 curves"), bestOf(5, [&] { chart.replot(); }), QString());
        line(QStringLiteral("30 days: zoom step, month, 4 curves"), stepBetween(monthZoomed, wholeMonth), QStringLiteral("  (goal < 0.1 s)"));
        out << "peak resident memory after the 30-day query: " << rssAfterMonth << " MB (goal < 500 MB)\n";

        out << "resident memory after each further 30-day query + channel click:";
        for (int i = 0; i < 8; ++i) {
            query(form, i % 2 ? monthFrom : monthFrom.addDays(1), monthTo);
            clickChannel(form, i + 2);
            out << ' ' << currentRssMb();
        }
        out << " MB; peak " << peakRssMb() << " MB\n";
    }

    {
        HistoryCommand c;
        c.csvFile = QDir(dir).filePath(QStringLiteral("bench-cli.csv"));
        c.fromText = dayFrom.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        c.toText = dayTo.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QString errors;
        QTextStream err(&errors);
        int rc = 0;
        const double s = bestOf(3, [&] { rc = runHistoryCommand(c, err); });
        report(QStringLiteral("one day: headless --export-csv"), s, floorDay, 0.2);
        if (rc != 0)
            out << "  exit status " << rc << ": " << errors << '\n';
        c.csvFile.clear();
        c.pdfFile = QDir(dir).filePath(QStringLiteral("bench-day.pdf"));
        const double pdf = seconds([&] { rc = runHistoryCommand(c, err); });
        out << QStringLiteral("%1 %2 s  (%3 pages of 32 channels)\n")
                   .arg(QStringLiteral("one day: headless --report-pdf"), -34)
                   .arg(pdf, 0, 'f', 3)
                   .arg(QStringLiteral("two bands,"));
    }
    ui::setPrompter(nullptr);
    return 0;
}
