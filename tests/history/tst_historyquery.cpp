// The history window's rules without widgets: span choices, picker combination, the range
// query's inclusive ends, the curve of a channel (gaps for interruptions, 0 for other
// non-numbers), the CSV file, and the headless --export-csv / --report-pdf runs.

#include "HistoryCommand.h"
#include "HistoryExport.h"
#include "HistoryFixture.h"
#include "HistoryQuery.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "TQuery.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>
#include <cmath>
#include <ctime>

namespace {

const QDate Day(2024, 3, 5);

QDateTime at(int h, int m, int s, int ms = 0) { return QDateTime(Day, QTime(h, m, s, ms)); }

QString readPdfText(const QString &pdf)
{
    QProcess p;
    p.start(QStandardPaths::findExecutable(QStringLiteral("pdftotext")), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

class TestHistoryQuery : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;

    // A fresh program directory (also the working directory, where Sys_Para.Pf is read).
    QString freshHome(const QString &name)
    {
        const QString d = QDir(m_tmp.path()).filePath(name);
        QDir(d).removeRecursively();
        QDir().mkpath(d);
        setProgramDirectory(d);
        QDir::setCurrent(d);
        return d;
    }

    // Five records around 12:00:00 on Day, aa1 = 1 … 5 so the rows are easy to tell apart.
    QString aroundNoon()
    {
        const QString home = freshHome(QStringLiteral("noon"));
        const QList<FixtureRecord> records = {
            {fixtureStamp(at(11, 59, 59, 999)), {QStringLiteral("   1.000")}},
            {fixtureStamp(at(12, 0, 0, 0)), {QStringLiteral("   2.000")}},
            {fixtureStamp(at(12, 0, 0, 400)), {QStringLiteral("   3.000")}},
            {fixtureStamp(at(12, 0, 0, 999)), {QStringLiteral("   4.000")}},
            {fixtureStamp(at(12, 0, 1, 0)), {QStringLiteral("   5.000")}},
        };
        const QString error = writeFixture(home, records);
        return error.isEmpty() ? home : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty(), "pdftotext (poppler-utils) is needed");
    }
    void init() { resetSharedState(); }

    void spanChoices()
    {
        const QList<SpanChoice> &c = SpanChoices();
        QCOMPARE(c.size(), 13);
        const QStringList texts = {"30秒", "1分钟", "5分钟", "10分钟", "15分钟", "30分钟", "1小时",
                                   "2小时", "6小时", "12小时", "1天", "2天", ""};
        const QList<double> spans = {30, 60, 300, 600, 900, 1800, 3600, 7200, 21600, 43200, 86400, 172800};
        for (int i = 0; i < 13; ++i) {
            QCOMPARE(c.at(i).text, texts.at(i));
            QCOMPARE(spanForChoice(i, -1.0), i < 12 ? spans.at(i) : -1.0);
        }
        // The window opens on "1小时" with that entry's span: list and span agree.
        QCOMPARE(c.at(InitialSpanIndex).text, QStringLiteral("1小时"));
        QCOMPARE(spanForChoice(InitialSpanIndex, 0), 3600.0);
        QCOMPARE(spanForChoice(-1, 42.0), 42.0);
        QCOMPARE(spanForChoice(13, 42.0), 42.0);
    }

    void combinePickers_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<bool>("ok");
        QTest::newRow("date and time") << Day << QTime(13, 14, 15) << true;
        QTest::newRow("midnight") << Day << QTime(0, 0) << true;
        QTest::newRow("no date") << QDate() << QTime(1, 2, 3) << false;
        QTest::newRow("no time") << Day << QTime() << false;
        QTest::newRow("impossible time") << Day << QTime(25, 0) << false;
    }
    void combinePickers()
    {
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(bool, ok);
        const QDateTime before(QDate(2000, 1, 1), QTime(1, 1));
        QDateTime out = before;
        QCOMPARE(::combinePickers(date, time, &out), ok);
        QCOMPARE(out, ok ? QDateTime(date, time) : before);
    }

    void rangeEnds()
    {
        QVERIFY(!isInvertedRange(at(12, 0, 0), at(12, 0, 0)));
        QVERIFY(!isInvertedRange(at(12, 0, 0), at(12, 0, 1)));
        QVERIFY(isInvertedRange(at(12, 0, 1), at(12, 0, 0)));
        QCOMPARE(inclusiveEnd(at(12, 0, 0)), at(12, 0, 0, 999));
        QCOMPARE(inclusiveEnd(at(23, 59, 59, 500)), at(23, 59, 59, 999));
        QCOMPARE(historyQueryText(),
                 QStringList({"select *  from wwdd", "where datim>=:Pdt1 and datim<=:Pdt2"}));
    }

    void rangeQuery_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QStringList>("rows"); // aa1 of the rows, trimmed
        QTest::newRow("start equal to end: the records of that second")
            << at(12, 0, 0) << at(12, 0, 0) << QStringList{"2.000", "3.000", "4.000"};
        QTest::newRow("end takes its whole second") << at(11, 0, 0) << at(12, 0, 0)
                                                    << QStringList{"1.000", "2.000", "3.000", "4.000"};
        QTest::newRow("start is inclusive at .000") << at(12, 0, 1) << at(13, 0, 0) << QStringList{"5.000"};
        QTest::newRow("start skips the second before") << at(12, 0, 0) << at(13, 0, 0)
                                                       << QStringList{"2.000", "3.000", "4.000", "5.000"};
        QTest::newRow("nothing in range") << at(13, 0, 0) << at(14, 0, 0) << QStringList{};
    }
    void rangeQuery()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QStringList, rows);
        const QString home = aroundNoon();
        QVERIFY(!home.isEmpty());
        db::TQuery q;
        runHistoryQuery(q, home, from, to);
        QVERIFY(q.active());
        QCOMPARE(q.fieldNames().size(), 33);
        QCOMPARE(q.fieldNames().first(), QStringLiteral("datim"));
        QStringList got;
        for (q.first(); !q.eof(); q.next())
            got.append(q.fieldText(QStringLiteral("AA1")).trimmed());
        QCOMPARE(got, rows);
    }

    void queryOfAMissingTableThrows()
    {
        const QString home = freshHome(QStringLiteral("missing"));
        db::TQuery q;
        QVERIFY_THROWS_EXCEPTION(db::DbError, runHistoryQuery(q, home, at(0, 0, 0), at(1, 0, 0)));
        QVERIFY(!q.active());
    }

    void curve()
    {
        const QString home = freshHome(QStringLiteral("curve"));
        const QList<FixtureRecord> records = {
            {fixtureStamp(at(8, 0, 0)), {QStringLiteral("  25.300"), QStringLiteral("   1.000")}},
            {fixtureStamp(at(8, 0, 5)), {QStringLiteral("-1000.000"), QStringLiteral("   2.000")}},
            {fixtureStamp(at(8, 0, 10)), {QStringLiteral("-999.999"), QStringLiteral("   3.000")}},
            {fixtureStamp(at(8, 0, 15)), {QStringLiteral("abc"), QString()}},
            {fixtureStamp(at(8, 0, 20)), {QString(), QStringLiteral("")}},
            {fixtureStamp(at(8, 0, 25)), {QStringLiteral("1234.500"), QStringLiteral("-1000.0")}},
        };
        QCOMPARE(writeFixture(home, records), QString());
        db::TQuery q;
        runHistoryQuery(q, home, at(0, 0, 0), at(23, 0, 0));
        QCOMPARE(q.recordCount(), 6);

        const Curve c1 = curveOfField(q, QStringLiteral("aa1"));
        QCOMPARE(c1.keys.size(), 6);
        QCOMPARE(c1.values.size(), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(c1.keys.at(i), double(at(8, 0, 5 * i).toMSecsSinceEpoch()) / 1000.0);
        QCOMPARE(c1.values.at(0), 25.3);
        QVERIFY(std::isnan(c1.values.at(1))); // interruption: a gap
        QCOMPARE(c1.values.at(2), -999.999);  // near the marker is still a value
        QCOMPARE(c1.values.at(3), 0.0);       // not a number
        QCOMPARE(c1.values.at(4), 0.0);       // not stored
        QCOMPARE(c1.values.at(5), 1234.5);

        const Curve c2 = curveOfField(q, QStringLiteral("aa2"));
        QCOMPARE(c2.values.at(3), 0.0);
        QCOMPARE(c2.values.at(4), 0.0);
        QVERIFY(std::isnan(c2.values.at(5))); // the marker however it is written

        const Curve unknown = curveOfField(q, QStringLiteral("nosuchfield"));
        QCOMPARE(unknown.values, QVector<double>(6, 0.0));
        QCOMPARE(channelLine(QStringLiteral("油储温度1")), QStringLiteral("油储温度1 ->"));
    }

    void csvField_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");
        QTest::newRow("plain") << "25.300" << "25.300";
        QTest::newRow("comma") << "1,5" << "\"1,5\"";
        QTest::newRow("quote") << "say \"hi\"" << "\"say \"\"hi\"\"\"";
        QTest::newRow("line break") << "a\nb" << "\"a\nb\"";
    }
    void csvField()
    {
        QFETCH(QString, text);
        QFETCH(QString, field);
        QCOMPARE(::csvField(text), field);
    }

    void csvContent()
    {
        const QString home = freshHome(QStringLiteral("csv"));
        QStringList second = fixtureValues(8, 100);
        second[2] = QStringLiteral("-1000.000");
        QCOMPARE(writeFixture(home, {{fixtureStamp(at(9, 0, 0, 400)), fixtureValues(8, 20)},
                                     {fixtureStamp(at(9, 0, 5, 0)), second}}),
                 QString());
        db::TQuery q;
        runHistoryQuery(q, home, at(9, 0, 0), at(9, 0, 5));
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(writeHistoryCsv(q, buffer));
        const QByteArray bytes = buffer.data();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 4); // header, two records, the empty rest after the last CR LF
        QStringList header{QStringLiteral("时间")};
        for (int k = 1; k <= 32; ++k)
            header.append(QStringLiteral("aa%1").arg(k));
        QCOMPARE(lines.at(0), header.join(QLatin1Char(',')));
        QCOMPARE(lines.at(1), QStringLiteral("2024-03-05 09:00:00.400,21.000,22.000,23.000,24.000,25.000,26.000,"
                                             "27.000,28.000") + QString(24, QLatin1Char(',')));
        QVERIFY(lines.at(2).startsWith(QStringLiteral("2024-03-05 09:00:05.000,101.000,102.000,-1000.000,104.000,")));
        QCOMPARE(lines.at(3), QString());

        // The file is replaced whole; an unwritable place is an error naming the file.
        const QString file = QDir(home).filePath(QStringLiteral("out.csv"));
        exportHistoryCsv(q, file);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
        const QString bad = QDir(home).filePath(QStringLiteral("no/such/dir/out.csv"));
        try {
            exportHistoryCsv(q, bad);
            QFAIL("an unwritable file was reported as written");
        } catch (const AppError &e) {
            QVERIFY(e.text().contains(bad));
        }
    }

    // The CSV writes local time stamps without asking the time zone for every row; across the
    // changes to and from summer time they must still read as the local times of the records.
    void csvStampsAcrossTimeZoneChanges()
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
        QCOMPARE(QDateTime(QDate(2024, 7, 1), QTime(12, 0)).offsetFromUtc(), 7200);

        const QString home = freshHome(QStringLiteral("tz"));
        QList<FixtureRecord> records;
        // Every 10 minutes of UTC through both changes of 2024 (31 March, 27 October).
        for (const QDateTime &startUtc : {QDateTime(QDate(2024, 3, 30), QTime(23, 0), Qt::UTC),
                                          QDateTime(QDate(2024, 10, 26), QTime(23, 0), Qt::UTC)})
            for (int i = 0; i < 18; ++i)
                records.append({fixtureStamp(startUtc.addSecs(600 * i).toLocalTime().addMSecs(250)), {QStringLiteral("1")}});
        QCOMPARE(writeFixture(home, records), QString());
        db::TQuery q;
        runHistoryQuery(q, home, QDateTime(QDate(2024, 3, 1), QTime(0, 0)), QDateTime(QDate(2024, 11, 1), QTime(0, 0)));
        QCOMPARE(q.recordCount(), 36);
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(writeHistoryCsv(q, buffer));
        const QStringList lines = QString::fromUtf8(buffer.data().mid(3)).split(QStringLiteral("\r\n"));
        for (int row = 0; row < 36; ++row) {
            const QString expected = QDateTime::fromMSecsSinceEpoch(q.msecsAt(row, 0))
                                         .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
            QCOMPARE(lines.at(row + 1).section(QLatin1Char(','), 0, 0), expected);
        }
        // The hour that does not exist in spring is skipped, the autumn hour shows twice.
        QVERIFY(!buffer.data().contains("2024-03-31 02:"));
        QCOMPARE(buffer.data().count("2024-10-27 02:"), 12);
    }

    void parseCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("headless");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("csv");
        QTest::addColumn<QString>("pdf");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("home");
        const QString f = QStringLiteral("2024-03-05 00:00:00");
        QTest::newRow("csv") << QStringList{"qz", "--export-csv", "a.csv", "--from", f, "--to", f} << true << ""
                             << "a.csv" << "" << f << "";
        QTest::newRow("pdf with = and home") << QStringList{"qz", "--report-pdf=r.pdf", "--from=" + f, "--to", f, "--home", "/h"}
                                             << true << "" << "" << "r.pdf" << f << "/h";
        QTest::newRow("both") << QStringList{"qz", "--report-pdf", "r.pdf", "--export-csv", "a.csv"} << true << ""
                              << "a.csv" << "r.pdf" << "" << "";
        QTest::newRow("unknown option") << QStringList{"qz", "--export-csv", "a.csv", "--start"} << true
                                        << "unknown option: --start" << "a.csv" << "" << "" << "";
        QTest::newRow("missing value") << QStringList{"qz", "--export-csv"} << true << "--export-csv needs a value"
                                       << "" << "" << "" << "";
        QTest::newRow("given twice") << QStringList{"qz", "--export-csv", "a", "--export-csv", "b"} << true
                                     << "--export-csv given twice" << "a" << "" << "" << "";
        QTest::newRow("stray argument") << QStringList{"qz", "--export-csv", "a", "b"} << true
                                        << "unexpected argument: b" << "a" << "" << "" << "";
        QTest::newRow("window start") << QStringList{"qz", "--home", "/h", "--start"} << false
                                      << "unknown option: --start" << "" << "" << "" << "/h";
    }
    void parseCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, headless);
        QFETCH(QString, error);
        QFETCH(QString, csv);
        QFETCH(QString, pdf);
        QFETCH(QString, from);
        QFETCH(QString, home);
        QCOMPARE(isHistoryCommandLine(args), headless);
        const HistoryCommand c = parseHistoryCommand(args);
        QCOMPARE(c.error, error);
        QCOMPARE(c.csvFile, csv);
        QCOMPARE(c.pdfFile, pdf);
        QCOMPARE(c.fromText, from);
        QCOMPARE(c.home, home);
    }

    void commandDateTime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("value");
        QTest::newRow("blank") << "2024-03-05 12:00:01" << at(12, 0, 1);
        QTest::newRow("T") << "2024-03-05T12:00:01" << at(12, 0, 1);
        QTest::newRow("no seconds") << "2024-03-05 12:00" << QDateTime();
        QTest::newRow("30 February") << "2024-02-30 00:00:00" << QDateTime();
        QTest::newRow("single digits") << "2024-3-5 1:02:03" << QDateTime();
        QTest::newRow("trailing text") << "2024-03-05 12:00:01x" << QDateTime();
    }
    void commandDateTime()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, value);
        QCOMPARE(parseCommandDateTime(text), value);
    }

    void commandStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // part of the error text; empty: no message
        QTest::addColumn<int>("csvRecords");  // records in the CSV written; -1: no file
        QTest::newRow("one second") << QStringList{"--export-csv", "OUT.csv", "--from", "2024-03-05 12:00:00", "--to",
                                                   "2024-03-05 12:00:00"}
                                    << 0 << "" << 3;
        QTest::newRow("whole day") << QStringList{"--export-csv", "OUT.csv", "--from", "2024-03-05 00:00:00", "--to",
                                                  "2024-03-05 23:59:59"}
                                   << 0 << "" << 5;
        QTest::newRow("empty range writes the header") << QStringList{"--export-csv", "OUT.csv", "--from", "2024-03-06 00:00:00",
                                                                      "--to", "2024-03-06 23:59:59"}
                                                       << 0 << "" << 0;
        QTest::newRow("inverted") << QStringList{"--export-csv", "OUT.csv", "--from", "2024-03-05 12:00:01", "--to",
                                                 "2024-03-05 12:00:00"}
                                  << 1 << "bad range" << -1;
        QTest::newRow("not a date") << QStringList{"--export-csv", "OUT.csv", "--from", "yesterday", "--to",
                                                   "2024-03-05 12:00:00"}
                                    << 1 << "bad range: --from \"yesterday\"" << -1;
        QTest::newRow("no --to") << QStringList{"--export-csv", "OUT.csv", "--from", "2024-03-05 12:00:00"} << 1
                                 << "bad range" << -1;
        QTest::newRow("unwritable") << QStringList{"--export-csv", "NODIR/x/OUT.csv", "--from", "2024-03-05 00:00:00",
                                                   "--to", "2024-03-05 23:59:59"}
                                    << 1 << "文件无法写入" << -1;
        QTest::newRow("unwritable pdf") << QStringList{"--report-pdf", "NODIR/x/r.pdf", "--from", "2024-03-05 00:00:00",
                                                       "--to", "2024-03-05 23:59:59"}
                                        << 1 << "Cannot write" << -1;
        QTest::newRow("bad command line") << QStringList{"--export-csv", "OUT.csv", "--frm", "x"} << 2
                                          << "unknown option: --frm" << -1;
    }
    void commandStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(int, csvRecords);
        const QString home = aroundNoon();
        QVERIFY(!home.isEmpty());
        for (QString &a : args)
            a.replace(QStringLiteral("OUT.csv"), QDir(home).filePath(QStringLiteral("out.csv")))
                .replace(QStringLiteral("NODIR"), QDir(home).filePath(QStringLiteral("nodir")));
        args.prepend(QStringLiteral("qzmonitor"));
        QString errors;
        QTextStream err(&errors);
        QCOMPARE(runHistoryCommand(parseHistoryCommand(args), err), status);
        if (message.isEmpty())
            QCOMPARE(errors, QString());
        else
            QVERIFY2(errors.startsWith(QStringLiteral("qzmonitor: ")) && errors.contains(message), qPrintable(errors));
        QFile csv(QDir(home).filePath(QStringLiteral("out.csv")));
        QCOMPARE(csv.exists(), csvRecords >= 0);
        if (csvRecords >= 0) {
            QVERIFY(csv.open(QIODevice::ReadOnly));
            QCOMPARE(csv.readAll().count("\r\n"), csvRecords + 1);
        }
    }

    void commandMissingTable()
    {
        const QString home = freshHome(QStringLiteral("notable"));
        QString errors;
        QTextStream err(&errors);
        const QStringList args{"qzmonitor", "--export-csv", QDir(home).filePath("x.csv"), "--from", "2024-03-05 00:00:00",
                               "--to", "2024-03-05 23:59:59"};
        QCOMPARE(runHistoryCommand(parseHistoryCommand(args), err), 1);
        QVERIFY2(errors.contains(QStringLiteral("wwdd is missing")), qPrintable(errors));
        QVERIFY(!QFile::exists(QDir(home).filePath("x.csv")));
        QVERIFY(!QFile::exists(QDir(home).filePath("wwdd.db"))); // a report never creates the table
    }

    void commandReportPdf_data()
    {
        QTest::addColumn<QString>("sysPara"); // contents of Sys_Para.Pf; empty: no file
        QTest::addColumn<QString>("count");
        QTest::newRow("no settings file: 8 channels") << "" << "8路:";
        QTest::newRow("16 channels") << "16\r\n60000\r\n" << "16路:";
    }
    void commandReportPdf()
    {
        QFETCH(QString, sysPara);
        QFETCH(QString, count);
        const QString home = aroundNoon();
        QVERIFY(!home.isEmpty());
        if (!sysPara.isEmpty()) {
            QFile f(QDir(home).filePath(QStringLiteral("Sys_Para.Pf")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(sysPara.toLatin1());
        }
        const QString pdf = QDir(home).filePath(QStringLiteral("day.pdf"));
        const QString csv = QDir(home).filePath(QStringLiteral("day.csv"));
        QString errors;
        QTextStream err(&errors);
        const QStringList args{"qzmonitor", "--report-pdf", pdf, "--export-csv", csv, "--from", "2024-03-05 12:00:00",
                               "--to", "2024-03-05 12:00:00"};
        QCOMPARE(runHistoryCommand(parseHistoryCommand(args), err), 0);
        QCOMPARE(errors, QString());
        QVERIFY(QFile::exists(csv));
        const QString text = readPdfText(pdf);
        QVERIFY2(text.contains(count), qPrintable(text));
        QCOMPARE(text.count(QStringLiteral("路:")), 1);
        QCOMPARE(text.count(QStringLiteral("3.000")), 1); // the three records of 12:00:00
        QCOMPARE(text.count(QStringLiteral("2.000")), 1);
        QCOMPARE(text.count(QStringLiteral("4.000")), 1);
        QVERIFY(!text.contains(QStringLiteral("5.000")));
        // Nothing but the outputs is written: no settings file appears.
        QCOMPARE(QFile::exists(QDir(home).filePath(QStringLiteral("Sys_Para.Pf"))), !sysPara.isEmpty());
    }
};

QTEST_MAIN(TestHistoryQuery)
#include "tst_historyquery.moc"
