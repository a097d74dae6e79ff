// Storage benchmark.
//  1. Appending: StoreHistoryRecord into wwdd opened for exclusive use, one record per post
//     as the storage tick does (WAL, synchronous=FULL, one committed transaction per record).
//  2. Size on disk: table file plus write-ahead log while open, and after close (the log is
//     checkpointed into the table and removed), divided by the record count.
//  3. Query: a 30-day history of 5-second records for 32 channels (518,400 rows), written in
//     bulk, then the history window's range query through TQuery: time to open (fetch every
//     row), memory held by the rows, peak resident memory, and the time to pull one channel
//     and the time stamps out as doubles for a chart.

#include "HistoryTable.h"
#include "WindowState.h"
#include "TQuery.h"
#include "TTable.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <sys/resource.h>

namespace {

QTextStream out(stdout);

qint64 fileSize(const QString &path) { return QFileInfo::exists(path) ? QFileInfo(path).size() : 0; }

qint64 tableBytes(const QString &path)
{
    return fileSize(path) + fileSize(path + QStringLiteral("-wal")) + fileSize(path + QStringLiteral("-shm"));
}

// The bench's own sub-directory, emptied, so reruns measure the same thing.
QString freshDirectory(const QString &dir, const QString &name)
{
    const QString sub = QDir(dir).filePath(name);
    QDir(sub).removeRecursively();
    QDir().mkpath(sub);
    return sub;
}

long peakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void benchAppend(const QString &dir, int records, int channels)
{
    const QString sub = freshDirectory(dir, QStringLiteral("append%1").arg(channels));
    ensureHistoryTable(sub);
    SysParams.ChannelCount = channels;
    for (int k = 1; k <= MaxChannels; ++k)
        AllRecord.Pv[k] = 20.0f + float(k) * 1.25f;

    db::TTable wwdd;
    wwdd.setDatabaseName(sub);
    wwdd.setTableName(HistoryTableName);
    wwdd.setExclusive(true);
    wwdd.open();
    const QDateTime start = QDateTime::currentDateTime();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < records; ++i) {
        AllRecord.Pv[1] = float(i % 1000) / 10.0f;
        StoreHistoryRecord(wwdd, start.addMSecs(qint64(i) * 5000), AllRecord, SysParams.ChannelCount);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const qint64 openBytes = tableBytes(wwdd.filePath());
    wwdd.close();
    const qint64 closedBytes = tableBytes(wwdd.filePath());
    out << QStringLiteral("append, ChannelCount %1: %2 records in %3 s = %4 records/s (%5 ms per record)\n")
               .arg(channels)
               .arg(records)
               .arg(seconds, 0, 'f', 2)
               .arg(double(records) / seconds, 0, 'f', 0)
               .arg(seconds * 1000.0 / records, 0, 'f', 3);
    out << QStringLiteral("  on disk while open (table + log): %1 bytes = %2 bytes/record\n")
               .arg(openBytes)
               .arg(double(openBytes) / records, 0, 'f', 1);
    out << QStringLiteral("  on disk after close (log checkpointed): %1 bytes = %2 bytes/record\n")
               .arg(closedBytes)
               .arg(double(closedBytes) / records, 0, 'f', 1);
    out.flush();
}

// Writes `days` of 5-second records in one transaction, as a long-running station would have
// accumulated them one by one.
void fillHistory(const QString &dir, int days, const QDateTime &start)
{
    ensureHistoryTable(dir);
    const QString name = QStringLiteral("bench_fill");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QDir(dir).filePath(QStringLiteral("wwdd.db")));
        if (!db.open())
            qFatal("cannot open the bench table: %s", qPrintable(db.lastError().text()));
        QSqlQuery q(db);
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        db.transaction();
        QStringList cols{QStringLiteral("datim")};
        QStringList marks{QStringLiteral("?")};
        for (int k = 1; k <= MaxChannels; ++k) {
            cols << historyFieldName(k);
            marks << QStringLiteral("?");
        }
        q.prepare(QStringLiteral("INSERT INTO wwdd (%1) VALUES (%2)").arg(cols.join(u','), marks.join(u',')));
        const int rows = days * 17280;
        for (int i = 0; i < rows; ++i) {
            q.bindValue(0, start.addMSecs(qint64(i) * 5000).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
            for (int k = 1; k <= MaxChannels; ++k)
                q.bindValue(k, historyValueText(float((i + k * 37) % 4000) / 10.0f - 100.0f));
            if (!q.exec())
                qFatal("bench insert failed: %s", qPrintable(q.lastError().text()));
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void benchQuery(const QString &dir, int days)
{
    const QString sub = freshDirectory(dir, QStringLiteral("query"));
    const QDateTime start(QDate(2025, 3, 1), QTime(0, 0));
    QElapsedTimer timer;
    timer.start();
    fillHistory(sub, days, start);
    out << QStringLiteral("query: wrote %1 days = %2 rows in %3 s; table file %4 MB\n")
               .arg(days)
               .arg(days * 17280)
               .arg(double(timer.elapsed()) / 1000.0, 0, 'f', 1)
               .arg(double(tableBytes(QDir(sub).filePath(QStringLiteral("wwdd.db")))) / 1e6, 0, 'f', 1);
    out.flush();

    const long rssBefore = peakRssMb();
    db::TQuery query;
    query.setDatabaseName(sub);
    query.SQL = QStringList{QStringLiteral("select *  from wwdd"),
                            QStringLiteral("where datim>=:Pdt1 and datim<=:Pdt2")};
    query.setParamDateTime(QStringLiteral("Pdt1"), start);
    query.setParamDateTime(QStringLiteral("Pdt2"), start.addDays(days));
    timer.restart();
    query.open();
    const double openSeconds = double(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    const QList<double> y = query.columnNumbers(1);
    const double numbersSeconds = double(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    const QList<double> x = query.columnSeconds(0);
    const double secondsSeconds = double(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    qint64 walked = 0;
    for (query.first(); !query.eof(); query.next())
        walked += query.fieldText(QStringLiteral("aa32")).size();
    const double walkSeconds = double(timer.nsecsElapsed()) / 1e9;

    out << QStringLiteral("query open (fetch %1 rows x %2 fields): %3 s\n")
               .arg(query.recordCount())
               .arg(query.fieldCount())
               .arg(openSeconds, 0, 'f', 2);
    out << QStringLiteral("  rows held in memory: %1 MB (%2 bytes/row)\n")
               .arg(double(query.memoryUsed()) / 1e6, 0, 'f', 1)
               .arg(double(query.memoryUsed()) / qMax(1, query.recordCount()), 0, 'f', 0);
    out << QStringLiteral("  peak resident memory: %1 MB before the query, %2 MB after\n")
               .arg(rssBefore)
               .arg(peakRssMb());
    out << QStringLiteral("  one channel as numbers: %1 s; time stamps as seconds: %2 s; first..eof by name: %3 s\n")
               .arg(numbersSeconds, 0, 'f', 3)
               .arg(secondsSeconds, 0, 'f', 3)
               .arg(walkSeconds, 0, 'f', 3);
    out << QStringLiteral("  (checks: %1 values, %2 stamps, %3 characters)\n").arg(y.size()).arg(x.size()).arg(walked);
    out.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("History storage benchmark"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Directory for the bench tables (default: a temporary directory in the working directory)."), QStringLiteral("dir")});
    parser.addOption({QStringLiteral("records"), QStringLiteral("Records to append one by one (default 2000)."), QStringLiteral("n"), QStringLiteral("2000")});
    parser.addOption({QStringLiteral("days"), QStringLiteral("Days of 5-second records for the query (default 30)."), QStringLiteral("d"), QStringLiteral("30")});
    parser.process(app);

    QTemporaryDir temp(QDir::current().filePath(QStringLiteral("qz_bench_XXXXXX")));
    const QString dir = parser.isSet(QStringLiteral("dir")) ? parser.value(QStringLiteral("dir")) : temp.path();
    QDir().mkpath(dir);
    out << QStringLiteral("directory: %1\n").arg(QDir(dir).absolutePath());

    try {
        const int records = qMax(1, parser.value(QStringLiteral("records")).toInt());
        benchAppend(dir, records, 32);
        benchAppend(dir, records, 8);
        benchQuery(dir, qMax(1, parser.value(QStringLiteral("days")).toInt()));
    } catch (const std::exception &e) {
        out << "error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
