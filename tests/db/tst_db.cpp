// The table engine: tables on SQLite files (mapping, create, open, append, read back, empty,
// exclusive use across processes, errors) and the query (range rules, parameters, field
// lookup, random access, chart columns).

#include "DateTimeText.h"
#include "DbError.h"
#include "RowStore.h"
#include "SqlText.h"
#include "TQuery.h"
#include "TTable.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cmath>
#include <ctime>

using namespace db;

namespace {

const QString Writer = QStringLiteral(QZ_BINARY_DIR "/tests/db/dbwriter");

QList<FieldDef> sampleFields(int channels = 4)
{
    QList<FieldDef> defs{{QStringLiteral("datim"), FieldType::DateTime, 0, false}};
    for (int k = 1; k <= channels; ++k)
        defs.append({QStringLiteral("aa%1").arg(k), FieldType::Text, 16, false});
    return defs;
}

void createSample(const QString &dir, const QString &name, int channels = 4)
{
    TTable t;
    t.setDatabaseName(dir);
    t.setTableName(name);
    t.FieldDefs = sampleFields(channels);
    t.IndexDefs = {{QString(), QStringLiteral("datim"), false}};
    t.createTable();
}

// Appends (datim, aa1, aa2); a null QString leaves the field NULL.
void appendRecord(TTable &t, const QDateTime &when, const QString &aa1, const QString &aa2 = QString())
{
    t.append();
    t.setFieldDateTime(QStringLiteral("datim"), when);
    if (!aa1.isNull())
        t.setFieldText(QStringLiteral("aa1"), aa1);
    if (!aa2.isNull())
        t.setFieldText(QStringLiteral("aa2"), aa2);
    t.post();
}

// Runs one statement on a file directly, outside the engine.
QVariant sqliteValue(const QString &file, const QString &sql)
{
    const QString name = QStringLiteral("tst_db_direct");
    QVariant result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next())
                result = q.value(0);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

int openFileDescriptors() { return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()); }

} // namespace

class TestDb : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_rangeDir;
    QString freshDir(const QString &name) const
    {
        const QString d = QDir(m_tmp.path()).filePath(name);
        QDir(d).removeRecursively();
        QDir().mkpath(d);
        return d;
    }

    // Ten records, one second apart from 2025-01-15 10:00:00.000, plus a record at .500 after the
    // fifth; aa1 holds the index as text.
    QString queryFixture(const QString &name = QStringLiteral("query"))
    {
        const QString d = freshDir(name);
        createSample(d, QStringLiteral("wwdd"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.open();
        const QDateTime base(QDate(2025, 1, 15), QTime(10, 0));
        for (int i = 0; i < 10; ++i)
            appendRecord(t, base.addSecs(i), QString::number(i), QStringLiteral("  25.300"));
        appendRecord(t, base.addMSecs(4500), QStringLiteral("4.5"));
        return d;
    }

    static void setRange(TQuery &q, const QString &d, const QDateTime &from, const QDateTime &to)
    {
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select *  from wwdd"),
                            QStringLiteral("where datim>=:Pdt1 and datim<=:Pdt2")};
        q.setParamDateTime(QStringLiteral("Pdt1"), from);
        q.setParamDateTime(QStringLiteral("Pdt2"), to);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_rangeDir = queryFixture(QStringLiteral("range"));
    }

    void fileMapping_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("inner");
        QTest::newRow("no extension") << "wwdd" << "wwdd.db" << "wwdd";
        QTest::newRow("extension") << "PrintData.Dat" << "PrintData.Dat" << "PrintData";
        QTest::newRow("month table") << "Pv20251.Dat" << "Pv20251.Dat" << "Pv20251";
        QTest::newRow("two dots") << "a.b.Dat" << "a.b.Dat" << "a.b";
    }
    void fileMapping()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        QFETCH(QString, inner);
        const QString d = freshDir(QStringLiteral("mapping"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(name);
        QCOMPARE(t.filePath(), QDir(d).filePath(file));
        QCOMPARE(t.innerName(), inner);
        QVERIFY(!t.exists());
        t.FieldDefs = sampleFields(1);
        t.createTable();
        QVERIFY(t.exists());
        QCOMPARE(QDir(d).entryList(QDir::Files), QStringList{file}); // no log or side files left
        QCOMPARE(sqliteValue(t.filePath(), QStringLiteral("select name from sqlite_master where type='table'")).toString(),
                 inner);
    }

    void createDefinesFieldsAndNeverReplaces()
    {
        const QString d = freshDir(QStringLiteral("create"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("Pv20251.Dat"));
        t.FieldDefs = {{QStringLiteral("DateTime"), FieldType::DateTime, 0, false},
                       {QStringLiteral("PV1"), FieldType::Text, 10, false},
                       {QStringLiteral("Note"), FieldType::Text, 0, true}};
        t.IndexDefs = {{QString(), QStringLiteral("DateTime"), true}};
        QCOMPARE(t.fieldNames(), (QStringList{"DateTime", "PV1", "Note"})); // definitions while closed
        t.createTable();

        t.open();
        const QList<FieldDef> fields = t.fields();
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0].type, FieldType::DateTime);
        QCOMPARE(fields[1].type, FieldType::Text);
        QCOMPARE(fields[1].size, 10);
        QVERIFY(!fields[1].required);
        QVERIFY(fields[2].required);
        QCOMPARE(t.fieldNames(), (QStringList{"DateTime", "PV1", "Note"}));

        // The primary index keeps the time stamps unique; a required field must be set.
        const QDateTime when(QDate(2025, 1, 1), QTime(8, 0));
        t.append();
        t.setFieldDateTime(QStringLiteral("DateTime"), when);
        t.setFieldText(QStringLiteral("Note"), QStringLiteral("x"));
        t.post();
        t.append();
        t.setFieldDateTime(QStringLiteral("DateTime"), when);
        t.setFieldText(QStringLiteral("Note"), QStringLiteral("y"));
        QVERIFY_THROWS_EXCEPTION(DbError, t.post());
        t.append();
        t.setFieldDateTime(QStringLiteral("DateTime"), when.addSecs(1));
        QVERIFY_THROWS_EXCEPTION(DbError, t.post());
        t.cancel();
        QCOMPARE(t.recordCount(), 1);
        t.close();

        // Creating again never replaces the table: the bytes stay as they were.
        QFile f(t.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray before = f.readAll();
        f.close();
        try {
            t.createTable();
            QFAIL("creating an existing table must fail");
        } catch (const DbError &e) {
            QVERIFY2(e.text().contains(QLatin1String("exists already")), qPrintable(e.text()));
            QCOMPARE(e.file(), t.filePath());
        }
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }

    void badDefinitionsTouchNothing_data()
    {
        QTest::addColumn<QList<FieldDef>>("fields");
        QTest::addColumn<QList<IndexDef>>("indexes");
        QTest::newRow("no fields") << QList<FieldDef>{} << QList<IndexDef>{};
        QTest::newRow("duplicate field") << QList<FieldDef>{{"a", FieldType::Text, 4, false}, {"A", FieldType::Text, 4, false}}
                                         << QList<IndexDef>{};
        QTest::newRow("index on unknown field") << QList<FieldDef>{{"a", FieldType::Text, 4, false}}
                                                << QList<IndexDef>{{"", "b", true}};
        QTest::newRow("two primary indexes") << QList<FieldDef>{{"a", FieldType::Text, 4, false}}
                                             << QList<IndexDef>{{"", "a", true}, {"", "a", true}};
    }
    void badDefinitionsTouchNothing()
    {
        QFETCH(QList<FieldDef>, fields);
        QFETCH(QList<IndexDef>, indexes);
        const QString d = freshDir(QStringLiteral("baddefs"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("T"));
        t.FieldDefs = fields;
        t.IndexDefs = indexes;
        QVERIFY_THROWS_EXCEPTION(DbError, t.createTable());
        QVERIFY(!t.exists());
        QVERIFY(QDir(d).entryList(QDir::Files).isEmpty());
    }

    void appendAndReadBack()
    {
        const QString d = freshDir(QStringLiteral("readback"));
        createSample(d, QStringLiteral("wwdd"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.open();
        const QDateTime when(QDate(2025, 1, 15), QTime(10, 20, 30, 123));
        t.append();
        t.setFieldDateTime(QStringLiteral("DATIM"), when); // field names are case-insensitive
        t.setFieldText(QStringLiteral("aa1"), QStringLiteral("  25.300"));
        t.setFieldText(QStringLiteral("Aa2"), QStringLiteral("   0.000"));
        t.setFieldText(QStringLiteral("aa3"), QStringLiteral("-1000.000"));
        t.post();
        QVERIFY(!t.inserting());
        t.close();

        // Stored as the ISO text, and the texts exactly as given (no number conversion).
        QCOMPARE(sqliteValue(t.filePath(), QStringLiteral("select datim from wwdd")).toString(),
                 QStringLiteral("2025-01-15T10:20:30.123"));
        QCOMPARE(sqliteValue(t.filePath(), QStringLiteral("select typeof(aa2) from wwdd")).toString(),
                 QStringLiteral("text"));

        TQuery q;
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select * from wwdd")};
        q.open();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldDateTime(QStringLiteral("datim")), when);
        QCOMPARE(q.fieldDateTime(QStringLiteral("datim")).time().msec(), 123);
        QCOMPARE(q.fieldText(QStringLiteral("datim")), QStringLiteral("2025-01-15T10:20:30.123"));
        QCOMPARE(q.fieldText(QStringLiteral("aa1")), QStringLiteral("  25.300"));
        QCOMPARE(q.fieldText(QStringLiteral("aa2")), QStringLiteral("   0.000"));
        QCOMPARE(q.fieldText(QStringLiteral("aa3")), QStringLiteral("-1000.000"));
        QVERIFY(!q.fieldIsNull(QStringLiteral("aa3")));
        QVERIFY(q.fieldIsNull(QStringLiteral("aa4")));
        QCOMPARE(q.fieldText(QStringLiteral("aa4")), QString());
    }

    void appendRules()
    {
        const QString d = freshDir(QStringLiteral("rules"));
        createSample(d, QStringLiteral("T"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("T"));
        QVERIFY_THROWS_EXCEPTION(DbError, t.append()); // closed
        t.open();
        QVERIFY_THROWS_EXCEPTION(DbError, t.post());   // nothing appended
        QVERIFY_THROWS_EXCEPTION(DbError, t.setFieldText(QStringLiteral("aa1"), QStringLiteral("1")));
        t.append();
        QVERIFY_THROWS_EXCEPTION(DbError, t.setFieldText(QStringLiteral("aa9"), QStringLiteral("1")));
        QVERIFY_THROWS_EXCEPTION(DbError, t.setFieldText(QStringLiteral("datim"), QStringLiteral("yesterday")));
        t.setFieldText(QStringLiteral("datim"), QStringLiteral("2025-02-03T04:05:06.007"));
        t.setFieldDateTime(QStringLiteral("aa1"), QDateTime(QDate(2025, 2, 3), QTime(4, 5, 6, 7)));
        t.setFieldText(QStringLiteral("aa2"), QStringLiteral("x"));
        t.clearField(QStringLiteral("aa2"));
        t.post();
        // A second append on the same table, then a fresh one replaces the pending record.
        t.append();
        t.setFieldText(QStringLiteral("aa1"), QStringLiteral("dropped"));
        t.append();
        t.setFieldText(QStringLiteral("aa1"), QStringLiteral("kept"));
        t.post();
        QCOMPARE(t.recordCount(), 2);
        QVERIFY_THROWS_EXCEPTION(DbError, t.setTableName(QStringLiteral("other"))); // open
        t.close();

        TQuery q;
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select datim, aa1, aa2 from T order by rowid")};
        q.open();
        QCOMPARE(q.textAt(0, 0), QStringLiteral("2025-02-03T04:05:06.007"));
        QCOMPARE(q.textAt(0, 1), QStringLiteral("2025-02-03T04:05:06.007"));
        QVERIFY(q.isNullAt(0, 2));
        QVERIFY(q.isNullAt(1, 0));
        QCOMPARE(q.textAt(1, 1), QStringLiteral("kept"));
    }

    void queryRange_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QStringList>("rows"); // aa1 of the rows returned
        const QDateTime base(QDate(2025, 1, 15), QTime(10, 0));
        QTest::newRow("both ends inclusive") << base.addSecs(2) << base.addSecs(4)
                                             << QStringList{"2", "3", "4"};
        QTest::newRow("equal start and end") << base.addSecs(5) << base.addSecs(5) << QStringList{"5"};
        QTest::newRow("equal at a millisecond") << base.addMSecs(4500) << base.addMSecs(4500) << QStringList{"4.5"};
        QTest::newRow("one millisecond short") << base.addMSecs(4501) << base.addMSecs(4999) << QStringList{};
        QTest::newRow("inverted") << base.addSecs(6) << base.addSecs(2) << QStringList{};
        QTest::newRow("before all") << base.addDays(-1) << base.addSecs(-1) << QStringList{};
        QTest::newRow("whole day") << QDateTime(QDate(2025, 1, 15), QTime(0, 0))
                                   << QDateTime(QDate(2025, 1, 15), QTime(23, 59, 59))
                                   << QStringList{"0", "1", "2", "3", "4", "4.5", "5", "6", "7", "8", "9"};
    }
    void queryRange()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QStringList, rows);
        TQuery q;
        setRange(q, m_rangeDir, from, to);
        q.SQL.append(QStringLiteral("order by datim"));
        q.open();
        QStringList got;
        for (q.first(); !q.eof(); q.next())
            got.append(q.fieldText(QStringLiteral("AA1")));
        QCOMPARE(got, rows);
        QCOMPARE(q.recordCount(), rows.size());
    }

    void querySequentialAndRandomAccess()
    {
        const QString d = queryFixture();
        const QDateTime base(QDate(2025, 1, 15), QTime(10, 0));
        TQuery q;
        setRange(q, d, base, base.addSecs(2));
        QVERIFY(q.eof()); // not open
        q.open();
        QVERIFY(q.active());
        QCOMPARE(q.fieldNames(), (QStringList{"datim", "aa1", "aa2", "aa3", "aa4"}));
        QCOMPARE(q.fieldIndex(QStringLiteral("DATIM")), 0);
        QCOMPARE(q.fieldIndex(QStringLiteral("Aa3")), 3);
        QCOMPARE(q.fieldIndex(QStringLiteral("aa5")), -1);
        QCOMPARE(q.fieldType(0), FieldType::DateTime);
        QCOMPARE(q.fieldType(1), FieldType::Text);
        QVERIFY_THROWS_EXCEPTION(DbError, q.fieldText(QStringLiteral("nosuch")));

        QCOMPARE(q.recordCount(), 3);
        QCOMPARE(q.currentRow(), 0);
        QVERIFY(!q.eof());
        q.next();
        q.next();
        QCOMPARE(q.currentRow(), 2);
        QVERIFY(!q.eof());
        q.next(); // past the last row: eof, and the last row stays current
        QVERIFY(q.eof());
        QCOMPARE(q.currentRow(), 2);
        QCOMPARE(q.fieldText(QStringLiteral("aa1")), QStringLiteral("2"));
        q.first();
        QCOMPARE(q.fieldDateTime(QStringLiteral("DATIM")), base);

        q.seek(1);
        QCOMPARE(q.fieldText(QStringLiteral("aa1")), QStringLiteral("1"));
        QCOMPARE(q.dateTimeAt(2, 0), base.addSecs(2));
        QCOMPARE(q.msecsAt(2, 0), base.addSecs(2).toMSecsSinceEpoch());
        QCOMPARE(q.textAt(2, 2), QStringLiteral("  25.300"));
        QVERIFY(q.isNullAt(2, 4));
        // Outside the rows and fields: NULL, never a crash.
        QVERIFY(q.isNullAt(3, 1));
        QVERIFY(q.isNullAt(-1, 1));
        QVERIFY(q.isNullAt(0, 9));
        QCOMPARE(q.textAt(99, 1), QString());
        QVERIFY(!q.dateTimeAt(99, 0).isValid());
        q.seek(50);
        QVERIFY(q.eof());
        q.close();
        QVERIFY(!q.active());
        QVERIFY(q.eof());
        QCOMPARE(q.recordCount(), 0);

        // An empty result.
        TQuery empty;
        setRange(empty, d, base.addDays(1), base.addDays(2));
        empty.open();
        QVERIFY(empty.active());
        QVERIFY(empty.eof());
        QCOMPARE(empty.currentRow(), -1);
        QCOMPARE(empty.fieldCount(), 5);
        QVERIFY(empty.fieldIsNull(QStringLiteral("aa1")));
    }

    void chartColumns()
    {
        const QString d = freshDir(QStringLiteral("chart"));
        createSample(d, QStringLiteral("wwdd"));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.open();
        const QDateTime base(QDate(2025, 6, 1), QTime(12, 0));
        const QStringList texts{"  25.300", "-1000.000", "abc", "", "1e3", " 7 ", "nan", "12.5x"};
        for (int i = 0; i < texts.size(); ++i)
            appendRecord(t, base.addMSecs(i * 250), texts.at(i));
        appendRecord(t, QDateTime(), QString()); // no time, no value
        t.close();

        TQuery q;
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select datim, aa1 from wwdd order by rowid")};
        q.open();
        const QList<double> y = q.columnNumbers(1);
        QCOMPARE(y, (QList<double>{25.3, -1000.0, 0, 0, 1000.0, 7.0, 0, 0, 0}));
        const QList<double> marked = q.columnNumbers(1, -1.0);
        QCOMPARE(marked.at(2), -1.0);
        QCOMPARE(marked.at(8), -1.0);
        const QList<double> x = q.columnSeconds(0);
        QCOMPARE(x.size(), 9);
        QCOMPARE(x.at(0), double(base.toMSecsSinceEpoch()) / 1000.0);
        QCOMPARE(x.at(3), double(base.addMSecs(750).toMSecsSinceEpoch()) / 1000.0);
        QVERIFY(std::isnan(x.at(8)));
        QVERIFY(q.columnNumbers(7).isEmpty());
    }

    void queryTextRules()
    {
        const QString d = queryFixture();
        const QDateTime base(QDate(2025, 1, 15), QTime(10, 0));
        // A parameter used twice, names without colon and in another case, a literal that looks
        // like a parameter, a comment, an alias on the time field.
        TQuery q;
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select datim as t, ':Pdt1' as lit -- :nothing here"),
                            QStringLiteral("  from wwdd w where w.datim>=:pdt1 and w.datim<=:PDT1")};
        q.setParamDateTime(QStringLiteral(":Pdt1"), base.addSecs(3));
        q.open();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldType(0), FieldType::DateTime); // known by declared type under its alias
        QCOMPARE(q.fieldDateTime(QStringLiteral("T")), base.addSecs(3));
        QCOMPARE(q.fieldText(QStringLiteral("lit")), QStringLiteral(":Pdt1"));

        // A table whose name has an extension, quoted or not.
        createSample(d, QStringLiteral("PrintData.Dat"));
        for (const QString &from : {QStringLiteral("PrintData.Dat"), QStringLiteral("\"PrintData.Dat\"")}) {
            TQuery p;
            p.setDatabaseName(d);
            p.SQL = QStringList{QStringLiteral("select count(*) as n from ") + from};
            p.open();
            QCOMPARE(p.fieldText(QStringLiteral("n")), QStringLiteral("0"));
        }
        // Two tables of the directory in one query.
        TQuery j;
        j.setDatabaseName(d);
        j.SQL = QStringList{QStringLiteral("select count(*) as n from wwdd a, PrintData.Dat b")};
        j.open();
        QCOMPARE(j.fieldText(QStringLiteral("n")), QStringLiteral("0"));
    }

    void scanSqlFindsTablesAndParameters()
    {
        const ScannedSql s = scanSql(QStringLiteral(
            "select * from wwdd w join \"Other T\" o on o.x=w.y, third where a=:A and b=':B' and c=:c /* :d */"));
        QCOMPARE(s.tables, (QStringList{"wwdd", "Other T", "third"}));
        QCOMPARE(s.parameters, (QStringList{"A", "c"}));
        QVERIFY(s.readOnly);
        QVERIFY(s.text.contains(QLatin1String("a=? and b=':B' and c=? /* :d */")));
        QVERIFY(!scanSql(QStringLiteral("delete from wwdd")).readOnly);
        QCOMPARE(scanSql(QStringLiteral("select 1 from (select 2 from inner_t) x")).tables, QStringList{"inner_t"});
        // Commas inside a condition or a select list are no table lists.
        QCOMPARE(scanSql(QStringLiteral("select a, b from t1 join t2 on f(t1.a, t2.b) > 0, t3 where g(x, y) in (1, 2)")).tables,
                 (QStringList{"t1", "t2", "t3"}));
        QCOMPARE(scanSql(QStringLiteral("select (select max(x) from s1), y from t1 where z in (select w from s2, s3)")).tables,
                 (QStringList{"s1", "t1", "s2", "s3"}));
        // A table name with an extension is handed to the resolver whole.
        const ScannedSql ext = scanSql(QStringLiteral("select * from PrintData.Dat"), [](const QString &name) {
            return name == QLatin1String("PrintData.Dat") ? QStringLiteral("\"PrintData\"") : QString();
        });
        QCOMPARE(ext.text, QStringLiteral("select * from \"PrintData\""));
    }

    void queryErrors_data()
    {
        QTest::addColumn<QStringList>("sql");
        QTest::addColumn<QString>("reason");
        QTest::newRow("bad SQL") << QStringList{"select * fro wwdd"} << "syntax error";
        QTest::newRow("missing table") << QStringList{"select * from nothere"} << "no such table";
        QTest::newRow("missing parameter") << QStringList{"select * from wwdd where datim>=:Pdt9"} << "Pdt9";
        QTest::newRow("not a select") << QStringList{"delete from wwdd"} << "not a SELECT";
        QTest::newRow("writing CTE") << QStringList{"with x as (select 1) delete from wwdd"} << "not a SELECT";
        QTest::newRow("two statements") << QStringList{"select 1;", "delete from wwdd"} << "more than one";
        QTest::newRow("empty") << QStringList{} << "not a SELECT";
    }
    void queryErrors()
    {
        QFETCH(QStringList, sql);
        QFETCH(QString, reason);
        const QString d = queryFixture();
        TQuery q;
        q.setDatabaseName(d);
        q.SQL = sql;
        try {
            q.open();
            QFAIL("the query must not open");
        } catch (const DbError &e) {
            QVERIFY2(e.reason().contains(reason), qPrintable(e.text()));
        }
        QVERIFY(!q.active());
        // Nothing was deleted.
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.open();
        QCOMPARE(t.recordCount(), 11);
    }

    void tableErrors()
    {
        const QString d = freshDir(QStringLiteral("errors"));
        auto expectError = [](const std::function<void()> &fn, const QString &file, const QString &reason) {
            try {
                fn();
                QFAIL("a DbError was expected");
            } catch (const DbError &e) {
                QVERIFY2(e.text().contains(file), qPrintable(e.text()));
                QVERIFY2(e.reason().contains(reason, Qt::CaseInsensitive), qPrintable(e.text()));
            }
        };
        TTable t;
        // Missing directory: neither open nor create.
        t.setDatabaseName(QDir(d).filePath(QStringLiteral("missing")));
        t.setTableName(QStringLiteral("wwdd"));
        t.FieldDefs = sampleFields(1);
        expectError([&] { t.open(); }, QStringLiteral("missing/wwdd.db"), QStringLiteral("does not exist"));
        expectError([&] { t.createTable(); }, QStringLiteral("missing/wwdd.db"), QStringLiteral("unable to open"));
        QVERIFY(!QFileInfo::exists(QDir(d).filePath(QStringLiteral("missing"))));
        // A directory where no file can be made.
        t.setDatabaseName(QStringLiteral("/proc"));
        expectError([&] { t.createTable(); }, QStringLiteral("/proc/wwdd.db"), QString());
        // The table path is a directory.
        QDir(d).mkpath(QStringLiteral("adir.db"));
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("adir"));
        expectError([&] { t.open(); }, QStringLiteral("adir.db"), QStringLiteral("does not exist"));
        // Not a table file at all; its bytes stay as they were.
        QFile junk(QDir(d).filePath(QStringLiteral("junk.db")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        t.setTableName(QStringLiteral("junk"));
        expectError([&] { t.open(); }, QStringLiteral("junk.db"), QStringLiteral("not a database"));
        expectError([&] { t.createTable(); }, QStringLiteral("junk.db"), QStringLiteral("not a database"));
        QCOMPARE(QFileInfo(junk.fileName()).size(), 4096);
        QVERIFY(!t.active());
        // A database file without the table inside.
        createSample(d, QStringLiteral("T"));
        QFile::copy(QDir(d).filePath(QStringLiteral("T.db")), QDir(d).filePath(QStringLiteral("U.db")));
        t.setTableName(QStringLiteral("U"));
        expectError([&] { t.open(); }, QStringLiteral("U.db"), QStringLiteral("no table \"U\""));
        QVERIFY(!t.active());
    }

    void emptyKeepsStructure()
    {
        const QString d = freshDir(QStringLiteral("empty"));
        createSample(d, QStringLiteral("wwdd"), 32);
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.setExclusive(true);
        t.open();
        const QDateTime base(QDate(2025, 3, 1), QTime(0, 0));
        for (int i = 0; i < 2000; ++i)
            appendRecord(t, base.addSecs(i * 5), QStringLiteral("%1").arg(i, 8), QStringLiteral("  25.300"));
        const QStringList fieldsBefore = t.fieldNames();
        t.close();
        const qint64 sizeBefore = QFileInfo(t.filePath()).size();

        t.emptyTable(); // closed: takes the file for the time of the deletion
        QVERIFY(!t.active());
        QVERIFY(QFileInfo(t.filePath()).size() < sizeBefore); // the space is given back
        t.open();
        QCOMPARE(t.recordCount(), 0);
        QCOMPARE(t.fieldNames(), fieldsBefore);
        QCOMPARE(t.fields().at(1).size, 16);
        appendRecord(t, base, QStringLiteral("after"));
        QCOMPARE(t.recordCount(), 1);

        t.emptyTable(); // open: stays open
        QVERIFY(t.active());
        QCOMPARE(t.recordCount(), 0);
        appendRecord(t, base, QStringLiteral("again"));
        QCOMPARE(t.recordCount(), 1);
        t.close();
        // The datim index survived.
        QCOMPARE(sqliteValue(t.filePath(), QStringLiteral("select count(*) from sqlite_master where type='index'")).toInt(), 1);
    }

    void exclusiveWithinOneProcess()
    {
        const QString d = freshDir(QStringLiteral("excl1"));
        createSample(d, QStringLiteral("wwdd"));
        TTable holder;
        holder.setDatabaseName(d);
        holder.setTableName(QStringLiteral("wwdd"));
        holder.setExclusive(true);
        holder.open();
        QVERIFY(QFile::exists(holder.writerLockPath()));

        // A second writer is kept out ...
        TTable other;
        other.setDatabaseName(d);
        other.setTableName(QStringLiteral("wwdd"));
        other.setExclusive(true);
        QVERIFY_THROWS_EXCEPTION(DbError, other.open());
        QVERIFY(!other.active());
        // ... a reader gets in and sees every record the writer has posted so far.
        other.setExclusive(false);
        other.open();
        QCOMPARE(other.recordCount(), 0);
        appendRecord(holder, QDateTime(QDate(2025, 1, 1), QTime(9, 0)), QStringLiteral("one"));
        QCOMPARE(other.recordCount(), 1);
        other.close();

        // The writer's lock goes with its close; the next writer opens.
        holder.close();
        QVERIFY(!QFile::exists(holder.writerLockPath()));
        other.setExclusive(true);
        other.open();
        QCOMPARE(other.recordCount(), 1);
    }

    void exclusiveAcrossProcesses()
    {
        const QString d = freshDir(QStringLiteral("excl2"));
        createSample(d, QStringLiteral("wwdd"));
        const QDateTime when(QDate(2025, 1, 1), QTime(9, 0));

        // This process writes the table: another writer cannot open it, a reader can.
        {
            TTable mine;
            mine.setDatabaseName(d);
            mine.setTableName(QStringLiteral("wwdd"));
            mine.setExclusive(true);
            mine.open();
            appendRecord(mine, when, QStringLiteral("mine"));
            const QList<QPair<QString, int>> expected = {{QStringLiteral("exclusive"), 2}, {QStringLiteral("shared"), 0}};
            for (const auto &[mode, code] : expected) {
                QProcess p;
                p.start(Writer, {QStringLiteral("open"), d, QStringLiteral("wwdd"), mode});
                QVERIFY(p.waitForFinished(10000));
                const QString said = QString::fromUtf8(p.readAllStandardOutput());
                QCOMPARE(p.exitCode(), code);
                if (code == 2) {
                    QVERIFY2(said.contains(QLatin1String("in use by another program")), qPrintable(said));
                    QVERIFY2(said.contains(QString::number(QCoreApplication::applicationPid())), qPrintable(said));
                }
            }
            appendRecord(mine, when.addSecs(1), QStringLiteral("still mine"));
        }

        // Another process writes it: this one gets the engine's error as a writer, and reads
        // what the other has committed.
        QProcess writer;
        writer.start(Writer, {QStringLiteral("append"), d, QStringLiteral("wwdd"), QStringLiteral("100")});
        QVERIFY(writer.waitForReadyRead(10000));
        TTable t;
        t.setDatabaseName(d);
        t.setTableName(QStringLiteral("wwdd"));
        t.setExclusive(true);
        try {
            t.open();
            QFAIL("the second exclusive open must fail");
        } catch (const DbError &e) {
            QVERIFY2(e.reason().contains(QLatin1String("in use by another program")), qPrintable(e.text()));
            QVERIFY2(e.text().startsWith(QStringLiteral("数据表无法打开：正被另一个程序使用。")), qPrintable(e.text()));
            QCOMPARE(e.file(), t.filePath());
        }
        QVERIFY(!t.active());
        TQuery q;
        q.setDatabaseName(d);
        q.SQL = QStringList{QStringLiteral("select * from wwdd order by datim")};
        q.open();
        QCOMPARE(q.fieldText(QStringLiteral("aa1")), QStringLiteral("mine"));
        q.close();

        // Killed in the middle of its work: its lock is stale and taken over; every record it
        // reported is there and the file is sound.
        QByteArray reported;
        QTRY_VERIFY_WITH_TIMEOUT((reported += writer.readAllStandardOutput()).count('\n') > 10, 10000);
        ::kill(pid_t(writer.processId()), SIGKILL);
        QVERIFY(writer.waitForFinished(10000));
        QVERIFY(QFile::exists(t.writerLockPath()));
        t.open();
        QVERIFY(t.recordCount() > 5);
        t.close();
        QCOMPARE(sqliteValue(t.filePath(), QStringLiteral("pragma integrity_check")).toString(), QStringLiteral("ok"));
    }

    void openCloseLeaksNothing()
    {
        const QString d = queryFixture();
        const QStringList connectionsBefore = QSqlDatabase::connectionNames();
        const int fdsBefore = openFileDescriptors();
        for (int i = 0; i < 100; ++i) {
            TTable t;
            t.setDatabaseName(d);
            t.setTableName(QStringLiteral("wwdd"));
            t.setExclusive(i % 2 == 0);
            t.open();
            t.append();
            t.close(); // with a record pending
            t.open();
            t.close();
            TQuery q;
            q.setDatabaseName(d);
            q.SQL = QStringList{QStringLiteral("select * from wwdd")};
            q.open();
            q.close();
            q.open();
        }
        // A failing open leaves nothing behind either.
        TTable missing;
        missing.setDatabaseName(d);
        missing.setTableName(QStringLiteral("nothere"));
        QVERIFY_THROWS_EXCEPTION(DbError, missing.open());
        TQuery bad;
        bad.setDatabaseName(d);
        bad.SQL = QStringList{QStringLiteral("select * from wwdd where")};
        QVERIFY_THROWS_EXCEPTION(DbError, bad.open());
        QCOMPARE(QSqlDatabase::connectionNames(), connectionsBefore);
        QCOMPARE(openFileDescriptors(), fdsBefore);
    }

    void dateTimeText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: must not parse
        QTest::newRow("full") << QByteArray("2025-01-15T10:20:30.123") << QDateTime(QDate(2025, 1, 15), QTime(10, 20, 30, 123));
        QTest::newRow("blank separator") << QByteArray("2025-01-15 10:20:30.123") << QDateTime(QDate(2025, 1, 15), QTime(10, 20, 30, 123));
        QTest::newRow("no milliseconds") << QByteArray("2025-01-15T10:20:30") << QDateTime(QDate(2025, 1, 15), QTime(10, 20, 30));
        QTest::newRow("leap day") << QByteArray("2024-02-29T00:00:00.000") << QDateTime(QDate(2024, 2, 29), QTime(0, 0));
        QTest::newRow("no leap day") << QByteArray("2025-02-29T00:00:00.000") << QDateTime();
        QTest::newRow("hour 24") << QByteArray("2025-01-15T24:00:00.000") << QDateTime();
        QTest::newRow("two-digit ms") << QByteArray("2025-01-15T10:20:30.12") << QDateTime();
        QTest::newRow("letters") << QByteArray("2025-01-15T1a:20:30.123") << QDateTime();
        QTest::newRow("number") << QByteArray("45672.5") << QDateTime();
    }
    void dateTimeText()
    {
        QFETCH(QByteArray, text);
        QFETCH(QDateTime, expected);
        const QDateTime got = dateTimeFromText(QString::fromLatin1(text));
        QCOMPARE(got.isValid(), expected.isValid());
        if (expected.isValid()) {
            QCOMPARE(got, expected);
            QCOMPARE(dateTimeToText(got).left(19), QString::fromLatin1(text).left(19).replace(u' ', u'T'));
        }
    }

    // The hour cache of the fetch must agree with the full time-zone lookup, also across the
    // days the clocks change (a zone with half-hour changes included).
    void localMsecsAcrossZoneChanges_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDate>("day");
        QTest::newRow("Berlin spring") << QByteArray("Europe/Berlin") << QDate(2025, 3, 30);
        QTest::newRow("Berlin autumn") << QByteArray("Europe/Berlin") << QDate(2025, 10, 26);
        QTest::newRow("Lord Howe spring") << QByteArray("Australia/Lord_Howe") << QDate(2025, 10, 5);
        QTest::newRow("Shanghai") << QByteArray("Asia/Shanghai") << QDate(2025, 1, 1);
    }
    void localMsecsAcrossZoneChanges()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDate, day);
        const QByteArray oldZone = qgetenv("TZ");
        qputenv("TZ", ":" + zone);
        tzset();
        LocalMsecs clock;
        int mismatches = 0;
        for (int minute = -60; minute < 26 * 60; minute += 7) {
            const QDate d = minute < 0 ? day.addDays(-1) : day.addDays(minute / (24 * 60));
            const int m = ((minute % (24 * 60)) + 24 * 60) % (24 * 60);
            const QTime t(m / 60, m % 60, 17, 250);
            if (clock.toMsecs(d, t) != QDateTime(d, t).toMSecsSinceEpoch())
                ++mismatches;
        }
        if (oldZone.isEmpty())
            qunsetenv("TZ");
        else
            qputenv("TZ", oldZone);
        tzset();
        QCOMPARE(mismatches, 0);
    }

    void rowStoreLayout()
    {
        RowStore s;
        s.reset({RowStore::Kind::DateTime, RowStore::Kind::Text, RowStore::Kind::Text, RowStore::Kind::Text});
        const QByteArray longText(70000, 'z'); // beyond the one-byte length and over a block boundary
        for (int r = 0; r < 200; ++r) {
            s.beginRow();
            s.addMsecs(r % 3 == 0 ? RowStore::NullMsecs : r * 1000);
            const QByteArray a = QByteArray::number(r);
            s.addText(a.constData(), a.size());
            if (r % 2)
                s.addNull();
            else
                s.addText("", 0);
            if (r == 150)
                s.addText(longText.constData(), longText.size());
            else
                s.addText("x", 1);
            s.endRow();
        }
        QCOMPARE(s.rowCount(), 200);
        QVERIFY(s.isNull(0, 0));
        QCOMPARE(s.msecs(1, 0), 1000);
        QCOMPARE(s.text(123, 1), QByteArrayView("123"));
        QVERIFY(s.isNull(123, 2));
        QVERIFY(!s.isNull(124, 2)); // empty text is not NULL
        QCOMPARE(s.text(124, 2).size(), 0);
        QCOMPARE(s.text(150, 3).size(), longText.size());
        QCOMPARE(s.text(151, 3), QByteArrayView("x"));
        QCOMPARE(s.text(199, 1), QByteArrayView("199"));
        QCOMPARE(s.msecs(1, 1), RowStore::NullMsecs); // not a date-time column
    }
};

QTEST_GUILESS_MAIN(TestDb)
#include "tst_db.moc"
