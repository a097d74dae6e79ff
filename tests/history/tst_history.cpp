// The history tables: the data module (Data directory, month table and PrintData, created
// only when missing), the date routine, and storing / emptying records of wwdd.

#include "DataModuleFrm.h"
#include "DbError.h"
#include "Functions.h"
#include "HistoryTable.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "TQuery.h"
#include "TTable.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

QStringList sqliteColumn(const QString &file, const QString &sql, int column = 0)
{
    const QString name = QStringLiteral("tst_history_direct");
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql))
                while (q.next())
                    out.append(q.value(column).toString());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    ScriptedPrompter *m_prompter = nullptr;

    QString freshHome(const QString &name)
    {
        const QString d = QDir(m_tmp.path()).filePath(name);
        QDir(d).removeRecursively();
        QDir().mkpath(d);
        setProgramDirectory(d);
        return d;
    }

    static void bindHistory(db::TTable &wwdd, const QString &dir)
    {
        wwdd.setDatabaseName(dir);
        wwdd.setTableName(HistoryTableName);
        wwdd.setExclusive(true);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }
    void init()
    {
        resetSharedState();
        m_prompter = new ScriptedPrompter;
    }
    void cleanup()
    {
        delete m_prompter;
        m_prompter = nullptr;
    }

    void monthTableName_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("name");
        QTest::newRow("January 2025") << QDate(2025, 1, 31) << "Pv20251.Dat";
        QTest::newRow("March 2024") << QDate(2024, 3, 1) << "Pv20243.Dat";
        QTest::newRow("December 2024") << QDate(2024, 12, 15) << "Pv202412.Dat";
    }
    void monthTableName()
    {
        QFETCH(QDate, today);
        QFETCH(QString, name);
        RefreshDateTime(today);
        QCOMPARE(CurrentYear, today.year());
        QCOMPARE(CurrentMonth, today.month());
        QCOMPARE(MonthTableName(CurrentYear, CurrentMonth), name);

        const QString home = freshHome(QStringLiteral("naming"));
        TDataModule1 module(home, today);
        QVERIFY(m_prompter->errors.isEmpty());
        QCOMPARE(module.Ds_T.tableName(), name);
        QCOMPARE(module.Ds_T.databaseName(), QDir(home).filePath(QStringLiteral("Data")));
        QCOMPARE(QDir(home).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"Data"});
        QStringList files = QDir(home + QStringLiteral("/Data")).entryList(QDir::Files);
        files.sort();
        QStringList expected{QStringLiteral("PrintData.Dat"), name};
        expected.sort();
        QCOMPARE(files, expected);
        QVERIFY(!module.Ds_T.active());
        QVERIFY(!module.PrintData_T.active());
    }

    void refreshDateTimeReadsTheClock()
    {
        const QDate before = QDate::currentDate();
        RefreshDateTime();
        const QDate after = QDate::currentDate();
        QVERIFY((CurrentYear == before.year() && CurrentMonth == before.month())
                || (CurrentYear == after.year() && CurrentMonth == after.month()));
    }

    void monthTableLayout()
    {
        const QString home = freshHome(QStringLiteral("layout"));
        TDataModule1 module(home, QDate(2025, 1, 15));
        for (db::TTable *t : {&module.Ds_T, &module.PrintData_T}) {
            t->open();
            const QList<db::FieldDef> fields = t->fields();
            QCOMPARE(fields.size(), 33);
            QCOMPARE(fields.at(0).name, QStringLiteral("DateTime"));
            QCOMPARE(fields.at(0).type, db::FieldType::DateTime);
            for (int k = 1; k <= 32; ++k) {
                QCOMPARE(fields.at(k).name, QStringLiteral("PV%1").arg(k));
                QCOMPARE(fields.at(k).type, db::FieldType::Text);
                QCOMPARE(fields.at(k).size, 10);
                QVERIFY(!fields.at(k).required);
            }
            t->close();
            // The primary index is on DateTime.
            QCOMPARE(sqliteColumn(t->filePath(), QStringLiteral("select name from pragma_table_info('%1') where pk > 0")
                                                     .arg(t->innerName())),
                     QStringList{"DateTime"});
        }
        QCOMPARE(module.PrintData_T.innerName(), QStringLiteral("PrintData"));
    }

    void existingTablesAreLeftAlone()
    {
        const QString home = freshHome(QStringLiteral("existing"));
        const QString data = QDir(home).filePath(QStringLiteral("Data"));
        {
            TDataModule1 first(home, QDate(2025, 1, 15));
        }
        // Give the January table a record, so a re-creation would show.
        {
            db::TTable t;
            t.setDatabaseName(data);
            t.setTableName(QStringLiteral("Pv20251.Dat"));
            t.open();
            t.append();
            t.setFieldDateTime(QStringLiteral("DateTime"), QDateTime(QDate(2025, 1, 15), QTime(8, 0)));
            t.setFieldText(QStringLiteral("PV1"), QStringLiteral("  25.300"));
            t.post();
        }
        const QByteArray january = fileHash(QDir(data).filePath(QStringLiteral("Pv20251.Dat")));
        const QByteArray printData = fileHash(QDir(data).filePath(QStringLiteral("PrintData.Dat")));
        QVERIFY(!january.isEmpty() && !printData.isEmpty());

        // Same month again: nothing changes on disk.
        {
            TDataModule1 again(home, QDate(2025, 1, 20));
        }
        QCOMPARE(QDir(data).entryList(QDir::Files).size(), 2);
        QCOMPARE(fileHash(QDir(data).filePath(QStringLiteral("Pv20251.Dat"))), january);
        QCOMPARE(fileHash(QDir(data).filePath(QStringLiteral("PrintData.Dat"))), printData);

        // A new month: exactly one new table, the others untouched.
        {
            TDataModule1 february(home, QDate(2025, 2, 1));
        }
        QStringList files = QDir(data).entryList(QDir::Files);
        files.sort();
        QCOMPARE(files, (QStringList{"PrintData.Dat", "Pv20251.Dat", "Pv20252.Dat"}));
        QCOMPARE(fileHash(QDir(data).filePath(QStringLiteral("Pv20251.Dat"))), january);
        QCOMPARE(fileHash(QDir(data).filePath(QStringLiteral("PrintData.Dat"))), printData);
        QVERIFY(m_prompter->errors.isEmpty());
    }

    void failedCreationReportsOnceAndSkipsTheRest()
    {
        const QString home = freshHome(QStringLiteral("nodata"));
        // A file where the Data directory should be: the directory cannot be made.
        QFile blocker(QDir(home).filePath(QStringLiteral("Data")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        TDataModule1 module(home, QDate(2025, 1, 15)); // the module exists all the same
        QVERIFY2(module.error().contains(QLatin1String("Pv20251.Dat")), qPrintable(module.error()));
        QVERIFY(m_prompter->errors.isEmpty()); // said by whoever made it, never in a box of its own
        QVERIFY(module.PrintData_T.tableName().isEmpty()); // the PrintData step was skipped

        // Called directly, the same failure is thrown.
        QVERIFY_THROWS_EXCEPTION(db::DbError, module.DataModuleCreate(QDate(2025, 1, 15)));
        QCOMPARE(QFileInfo(blocker.fileName()).size(), 0);
    }

    void historyValueText_data()
    {
        QTest::addColumn<float>("pv");
        QTest::addColumn<QString>("text");
        QTest::newRow("25.3") << 25.3f << "  25.300";
        QTest::newRow("zero") << 0.0f << "   0.000";
        QTest::newRow("interruption marker") << -1000.0f << "-1000.000";
        QTest::newRow("1234.5") << 1234.5f << "1234.500";
        QTest::newRow("small negative") << -0.25f << "  -0.250";
        QTest::newRow("wide") << 123456.5f << "123456.500";
    }
    void historyValueText()
    {
        QFETCH(float, pv);
        QFETCH(QString, text);
        QCOMPARE(::historyValueText(pv), text);
    }

    void historyTableLayout()
    {
        const QString home = freshHome(QStringLiteral("wwdd"));
        QVERIFY(ensureHistoryTable(home));
        QVERIFY(QFileInfo::exists(QDir(home).filePath(QStringLiteral("wwdd.db"))));
        const QByteArray before = fileHash(QDir(home).filePath(QStringLiteral("wwdd.db")));
        QVERIFY(!ensureHistoryTable(home)); // present: left as it is
        QCOMPARE(fileHash(QDir(home).filePath(QStringLiteral("wwdd.db"))), before);

        db::TTable wwdd;
        wwdd.setDatabaseName(home);
        wwdd.setTableName(HistoryTableName);
        wwdd.open(); // the history window opens it without exclusive use
        QStringList expected{QStringLiteral("datim")};
        for (int k = 1; k <= 32; ++k)
            expected << QStringLiteral("aa%1").arg(k);
        QCOMPARE(wwdd.fieldNames(), expected);
        QCOMPARE(wwdd.fields().at(0).type, db::FieldType::DateTime);
        QVERIFY(wwdd.fields().at(32).size >= 10);
        wwdd.close();

        // The range condition of the history query uses the index on datim.
        const QStringList plan = sqliteColumn(QDir(home).filePath(QStringLiteral("wwdd.db")),
                                              QStringLiteral("explain query plan select * from wwdd "
                                                             "where datim>='2025-01-01T00:00:00.000' and datim<='2025-01-02T00:00:00.000'"),
                                              3);
        QVERIFY2(plan.join(u' ').contains(QLatin1String("INDEX wwdd_datim")), qPrintable(plan.join(u' ')));
    }

    void storeHistoryRecord_data()
    {
        QTest::addColumn<int>("channelCount");
        QTest::addColumn<int>("filled");
        QTest::newRow("8 channels") << 8 << 8;
        QTest::newRow("16 channels") << 16 << 16;
        QTest::newRow("32 channels") << 32 << 32;
        QTest::newRow("count beyond 32") << 40 << 32;
        QTest::newRow("no count") << 0 << 0;
    }
    void storeHistoryRecord()
    {
        QFETCH(int, channelCount);
        QFETCH(int, filled);
        const QString home = freshHome(QStringLiteral("store"));
        ensureHistoryTable(home);
        SysParams.ChannelCount = channelCount;
        for (int k = 1; k <= 32; ++k)
            AllRecord.Pv[k] = 10.0f * float(k) + 0.5f;
        AllRecord.Pv[2] = -1000.0f;
        AllRecord.Pv[3] = 0.0f;

        db::TTable wwdd;
        bindHistory(wwdd, home);
        const QDateTime now(QDate(2025, 1, 15), QTime(10, 20, 30, 456));
        StoreHistoryRecord(wwdd, now, AllRecord, SysParams.ChannelCount); // opens the closed table itself
        QVERIFY(wwdd.active());
        QVERIFY(!wwdd.inserting());
        StoreHistoryRecord(wwdd, now.addSecs(5), AllRecord, SysParams.ChannelCount);
        QCOMPARE(wwdd.recordCount(), 2);
        wwdd.close();

        db::TQuery q;
        q.setDatabaseName(home);
        q.SQL = QStringList{QStringLiteral("select *  from wwdd"), QStringLiteral("where datim>=:Pdt1 and datim<=:Pdt2")};
        q.setParamDateTime(QStringLiteral("Pdt1"), now);
        q.setParamDateTime(QStringLiteral("Pdt2"), now);
        q.open();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldDateTime(QStringLiteral("DATIM")), now);
        for (int k = 1; k <= 32; ++k) {
            const QString field = QStringLiteral("aa%1").arg(k);
            if (k <= filled) {
                QVERIFY2(!q.fieldIsNull(field), qPrintable(field));
                QCOMPARE(q.fieldText(field), ::historyValueText(AllRecord.Pv[k]));
            } else {
                QVERIFY2(q.fieldIsNull(field), qPrintable(field));
            }
        }
        if (filled >= 3) {
            QCOMPARE(q.fieldText(QStringLiteral("aa1")), QStringLiteral("  10.500"));
            QCOMPARE(q.fieldText(QStringLiteral("aa2")), QStringLiteral("-1000.000"));
            QCOMPARE(q.fieldText(QStringLiteral("aa3")), QStringLiteral("   0.000"));
        }
    }

    void failedStoreLeavesNoHalfRecord()
    {
        const QString home = freshHome(QStringLiteral("narrow"));
        // A wwdd with only eight channel fields.
        {
            db::TTable t;
            t.setDatabaseName(home);
            t.setTableName(HistoryTableName);
            defineHistoryTable(t);
            t.FieldDefs = t.FieldDefs.mid(0, 9);
            t.createTable();
        }
        db::TTable wwdd;
        bindHistory(wwdd, home);
        SysParams.ChannelCount = 16;
        AllRecord.Pv[1] = 1.0f;
        QVERIFY_THROWS_EXCEPTION(db::DbError, StoreHistoryRecord(wwdd, QDateTime::currentDateTime(), AllRecord, SysParams.ChannelCount));
        QVERIFY(!wwdd.inserting());
        SysParams.ChannelCount = 8;
        StoreHistoryRecord(wwdd, QDateTime::currentDateTime(), AllRecord, SysParams.ChannelCount);
        QCOMPARE(wwdd.recordCount(), 1);
    }

    void storeWithoutTableFailsEveryTick()
    {
        const QString home = freshHome(QStringLiteral("missing"));
        db::TTable wwdd;
        bindHistory(wwdd, home);
        SysParams.ChannelCount = 8;
        for (int tick = 0; tick < 2; ++tick) {
            try {
                StoreHistoryRecord(wwdd, QDateTime::currentDateTime(), AllRecord, SysParams.ChannelCount);
                QFAIL("storing into a missing table must fail");
            } catch (const db::DbError &e) {
                QVERIFY2(e.text().contains(QLatin1String("wwdd.db")), qPrintable(e.text()));
            }
        }
        QVERIFY(QDir(home).entryList(QDir::Files).isEmpty()); // never created by storing
        QVERIFY(!wwdd.active());
    }

    // The main window lets go of wwdd, the history window lists its fields and queries it,
    // and the main window takes it back while the query still shows its rows.
    void handOverToTheHistoryWindow()
    {
        const QString home = freshHome(QStringLiteral("handover"));
        ensureHistoryTable(home);
        SysParams.ChannelCount = 8;
        db::TTable wwdd;
        bindHistory(wwdd, home);
        const QDateTime start(QDate(2025, 1, 15), QTime(9, 0));
        StoreHistoryRecord(wwdd, start, AllRecord, SysParams.ChannelCount);
        StoreHistoryRecord(wwdd, start.addSecs(5), AllRecord, SysParams.ChannelCount);
        wwdd.close();

        db::TTable listing;
        listing.setDatabaseName(home);
        listing.setTableName(HistoryTableName);
        listing.open();
        QCOMPARE(listing.fieldNames().first(), QStringLiteral("datim"));
        QCOMPARE(listing.fieldCount(), 33);
        listing.close();

        db::TQuery q;
        q.setDatabaseName(home);
        q.SQL = QStringList{QStringLiteral("select *  from wwdd"), QStringLiteral("where datim>=:Pdt1 and datim<=:Pdt2")};
        q.setParamDateTime(QStringLiteral("Pdt1"), start);
        q.setParamDateTime(QStringLiteral("Pdt2"), start.addSecs(5));
        q.open();
        QCOMPARE(q.recordCount(), 2);

        wwdd.open(); // exclusive again, though the query is still open
        StoreHistoryRecord(wwdd, start.addSecs(10), AllRecord, SysParams.ChannelCount);
        QCOMPARE(q.recordCount(), 2);
        QCOMPARE(q.textAt(1, 0), QStringLiteral("2025-01-15T09:00:05.000"));
    }

    void emptyHistory()
    {
        const QString home = freshHome(QStringLiteral("empty"));
        ensureHistoryTable(home);
        SysParams.ChannelCount = 8;
        db::TTable wwdd;
        bindHistory(wwdd, home);
        wwdd.open();
        const QDateTime start(QDate(2025, 1, 15), QTime(0, 0));
        for (int i = 0; i < 20; ++i)
            StoreHistoryRecord(wwdd, start.addSecs(i * 5), AllRecord, SysParams.ChannelCount);
        QCOMPARE(wwdd.recordCount(), 20);
        const QStringList fields = wwdd.fieldNames();

        EmptyHistory(wwdd);
        QVERIFY(wwdd.active());
        QVERIFY(wwdd.exclusive());
        QCOMPARE(wwdd.recordCount(), 0);
        QCOMPARE(wwdd.fieldNames(), fields);
        // Still the one writer after emptying; readers still get in.
        db::TTable other;
        other.setDatabaseName(home);
        other.setTableName(HistoryTableName);
        other.setExclusive(true);
        QVERIFY_THROWS_EXCEPTION(db::DbError, other.open());
        other.setExclusive(false);
        other.open();
        QCOMPARE(other.recordCount(), 0);
        other.close();
        StoreHistoryRecord(wwdd, start, AllRecord, SysParams.ChannelCount);
        QCOMPARE(wwdd.recordCount(), 1);
    }
};

QTEST_MAIN(TestHistory)
#include "tst_history.moc"
