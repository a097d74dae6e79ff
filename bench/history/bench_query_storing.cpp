// Storing beside a long query: the station runs against qzsim (32 channels, a record every
// second) on a 90-day wwdd of 1.55 million records while the history window queries all 90 days
// on the window's thread. Printed per run: the query's time, the records the station stored
// meanwhile, and the widest gap between stored records around it. Once with the core on its own
// thread (as the station runs), once with it on the window's thread (as it used to run), for the
// contrast.
//
//   QT_QPA_PLATFORM=offscreen build/bench/history/qz_bench_query_storing [--dir DIR] [--runs N]

#include "HistoryDemoData.h"
#include "HistoryGridModel.h"
#include "HistoryLayout.h"
#include "MainF.h"
#include "StationOptions.h"
#include "TTable.h"
#include "Ui.h"
#include "Unit3.h"
#include "WindowState.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <QTimeEdit>
#include <QUuid>

#include <csignal>

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

// The time stamps of the records stored from `from` on.
QList<QDateTime> storedSince(const QString &file, const QDateTime &from)
{
    const QString name = QUuid::createUuid().toString();
    QList<QDateTime> out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("select datim from wwdd where datim >= ? order by datim"));
            q.addBindValue(from.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
            if (q.exec())
                while (q.next())
                    out.append(QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs));
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

void waitMs(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    SilentPrompter prompter;
    ui::setPrompter(&prompter);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("dir"), QStringLiteral("directory of the 90-day wwdd"), QStringLiteral("DIR"),
                      QDir::temp().filePath(QStringLiteral("qz_bench_query_storing"))});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("queries per arrangement"), QStringLiteral("N"), QStringLiteral("3")});
    parser.addHelpOption();
    parser.process(app);
    const QString dir = parser.value(QStringLiteral("dir"));
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    QDir().mkpath(dir);

    constexpr int Days = 90;
    constexpr int IntervalMs = 5000;
    const QDateTime first(QDate(2024, 1, 1), QTime(0, 0));
    const QString file = historyTablePath(dir);
    if (!QFileInfo::exists(file)) {
        const qint64 records = qint64(Days) * 86400 * 1000 / IntervalMs;
        out << "generating " << records << " records in " << file << " ..." << Qt::endl;
        if (const QString error = writeDemoHistory(dir, first, records, IntervalMs, 32); !error.isEmpty()) {
            out << "failed: " << error << '\n';
            return 1;
        }
    }

    QProcess sim;
    sim.start(QStringLiteral(QZ_BINARY_DIR "/tools/qzsim/qzsim"), {QStringLiteral("--channels"), QStringLiteral("32")});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(10000)) {
        out << "qzsim did not start\n";
        return 1;
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    {
        QFile ini(dir + QStringLiteral("/KTcom.ini"));
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write(QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(device).toUtf8());
        QFile para(dir + QStringLiteral("/Sys_Para.Pf"));
        para.open(QIODevice::WriteOnly | QIODevice::Truncate);
        para.write("32\r\n1000\r\n");
    }
    enterProgramDirectory(dir);
    out << "table: " << file << ", " << QFileInfo(file).size() / (1024 * 1024) << " MB; records every 1000 ms\n";

    for (const StationThreading threading : {StationThreading::OwnThread, StationThreading::CallerThread}) {
        resetSharedState();
        TMainFrm w(nullptr, true, threading);
        waitMs(4000); // answers and a few records before the first query
        for (int run = 0; run < runs; ++run) {
            TForm3 form(&w);
            form.DateTimePicker1->setDate(first.date());
            form.DateTimePicker2->setTime(QTime(0, 0));
            form.DateTimePicker3->setDate(first.date().addDays(Days - 1));
            form.DateTimePicker4->setTime(QTime(23, 59, 59));
            const QDateTime before = QDateTime::currentDateTime();
            QElapsedTimer t;
            t.start();
            form.Button1Click();
            const qint64 queryMs = t.elapsed();
            const QDateTime after = QDateTime::currentDateTime();
            const int rows = form.GridModel->rowCount();
            waitMs(2500); // what was due during the query is stored now at the latest
            const QList<QDateTime> stored = storedSince(file, before.addSecs(-3));
            int during = 0;
            qint64 widest = 0;
            for (int i = 0; i < stored.size(); ++i) {
                during += stored.at(i) >= before && stored.at(i) <= after;
                if (i > 0 && stored.at(i) <= after.addSecs(2))
                    widest = std::max(widest, stored.at(i - 1).msecsTo(stored.at(i)));
            }
            out << QStringLiteral("core on %1: 90-day query %2 rows in %3 ms; %4 records stored during it, "
                                  "widest gap between records %5 ms\n")
                       .arg(threading == StationThreading::OwnThread ? QStringLiteral("its own thread    ")
                                                                    : QStringLiteral("the window's thread"))
                       .arg(rows)
                       .arg(queryMs)
                       .arg(during)
                       .arg(widest);
            out.flush();
        }
    }
    ::kill(pid_t(sim.processId()), SIGTERM);
    sim.waitForFinished(5000);
    return 0;
}
