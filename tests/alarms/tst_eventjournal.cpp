// The event journal: the table as other programs read it, rows in and out, the alarm list
// rebuilt from it, files that are not a journal left alone, readers beside the writer, and
// rows that survive a writer killed with SIGKILL.

#include "AlarmFixture.h"
#include "DbError.h"
#include "Durability.h"
#include "EventJournal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Writer = QStringLiteral(QZ_BINARY_DIR "/tests/alarms/journalwriter");
const QDateTime T0(QDate(2024, 5, 6), QTime(7, 8, 9, 123));

JournalEvent alarmRow(const QDateTime &time, const AlarmKey &key, Transition t, AlarmState state, double value,
                      const QString &name = QString())
{
    JournalEvent e;
    e.time = time;
    e.source = key.source;
    e.channel = key.channel;
    e.kind = key.kind;
    e.name = name;
    e.value = value;
    e.transition = t;
    e.state = state;
    return e;
}

QVariant scalar(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next())
        return QVariant();
    return q.value(0);
}

// A plain QtSql connection, as another program reads the file.
class Reader {
public:
    explicit Reader(const QString &file)
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(file);
        m_db.open();
    }
    ~Reader()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return m_db; }

private:
    QString m_name = QStringLiteral("tst_eventjournal_reader");
    QSqlDatabase m_db;
};

QByteArray digest(const QString &file)
{
    QFile f(file);
    f.open(QIODevice::ReadOnly);
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

} // namespace

class TestEventJournal : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tableAsOtherProgramsReadIt();
    void rowsInAndOut();
    void rebuildsTheAlarmList();
    void previousRunEnded();
    void leavesForeignFilesAlone();
    void addsTheStateColumnToAnOlderJournal();
    void readerBesideTheWriter();
    void survivesKilledWriter();
};

void TestEventJournal::tableAsOtherProgramsReadIt()
{
    QTemporaryDir tmp;
    const QString path = eventJournalPath(tmp.path());
    QCOMPARE(path, tmp.path() + QStringLiteral("/Data/events.db"));
    EventJournal journal(path);
    journal.open(); // creates Data/ as well
    QVERIFY(QFile::exists(path));
    QCOMPARE(scalar(journal.database(), QStringLiteral("PRAGMA synchronous")).toInt(), 2); // FULL
    QCOMPARE(scalar(journal.database(), QStringLiteral("PRAGMA locking_mode")).toString(), QStringLiteral("normal"));

    Reader reader(path);
    QCOMPARE(scalar(reader.db(), QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    // Columns by position, with their declarations: readers rely on the names, the order only
    // ever grows at the end.
    QSqlQuery q(reader.db());
    QVERIFY(q.exec(QStringLiteral("PRAGMA table_info(events)")));
    QStringList columns;
    while (q.next())
        columns.append(QStringLiteral("%1 %2%3%4")
                           .arg(q.value(1).toString(), q.value(2).toString(),
                                q.value(3).toInt() ? QStringLiteral(" NOT NULL") : QString(),
                                q.value(4).isNull() ? QString() : QStringLiteral(" DEFAULT ") + q.value(4).toString()));
    QCOMPARE(columns, (QStringList{QStringLiteral("id INTEGER"), QStringLiteral("time TEXT NOT NULL"),
                                   QStringLiteral("source TEXT NOT NULL"), QStringLiteral("channel INTEGER"),
                                   QStringLiteral("name TEXT NOT NULL"), QStringLiteral("kind TEXT NOT NULL"),
                                   QStringLiteral("value REAL"), QStringLiteral("transition TEXT NOT NULL"),
                                   QStringLiteral("user TEXT NOT NULL DEFAULT ''"),
                                   QStringLiteral("detail TEXT NOT NULL DEFAULT ''"),
                                   QStringLiteral("state TEXT NOT NULL DEFAULT ''")}));
    const QString ddl = scalar(reader.db(), QStringLiteral("SELECT sql FROM sqlite_master WHERE name='events'")).toString();
    QVERIFY2(ddl.contains(QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT")), qPrintable(ddl));
    QCOMPARE(scalar(reader.db(), QStringLiteral("SELECT sql FROM sqlite_master WHERE name='events_time'")).toString(),
             QStringLiteral("CREATE INDEX events_time ON events(time)"));

    // Ids are never reused: after the newest row is deleted, the next one gets a new id.
    QList<JournalEvent> rows{stationEvent(T0, station_kinds::ProgramStarted),
                             stationEvent(T0, station_kinds::RunStarted)};
    journal.append(rows);
    QCOMPARE(rows.at(1).id, rows.at(0).id + 1);
    QVERIFY(QSqlQuery(journal.database()).exec(QStringLiteral("DELETE FROM events WHERE id = %1").arg(rows.at(1).id)));
    JournalEvent next = stationEvent(T0, station_kinds::RunStopped);
    journal.append(next);
    QCOMPARE(next.id, rows.at(1).id + 1);
}

void TestEventJournal::rowsInAndOut()
{
    QTemporaryDir tmp;
    EventJournal journal(eventJournalPath(tmp.path()));
    journal.open();
    QList<JournalEvent> rows;
    rows.append(stationEvent(T0, station_kinds::SettingsSaved, QStringLiteral("SystemAlm.Pf")));
    rows.append(alarmRow(T0.addMSecs(1), upperKey(3), Transition::Raised, AlarmState::ActiveUnacked, 81.25,
                         QStringLiteral("油储温度3")));
    rows.append(alarmRow(T0.addSecs(60), commKey(), Transition::Raised, AlarmState::ActiveUnacked, NoValue));
    JournalEvent ack = alarmRow(T0.addSecs(120), upperKey(3), Transition::Acknowledged, AlarmState::ActiveAcked, 82.0,
                                QStringLiteral("油储温度3"));
    ack.user = QStringLiteral("wang");
    rows.append(ack);
    journal.append(rows);
    QCOMPARE(journal.rowCount(), 4);
    QCOMPARE(journal.lastId(), rows.last().id);

    // Stored as the file's readers expect them.
    {
        Reader reader(journal.file());
        QSqlQuery q(reader.db());
        QVERIFY(q.exec(QStringLiteral("SELECT time, source, channel, name, kind, value, transition, user, detail, state "
                                      "FROM events ORDER BY id")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("2024-05-06T07:08:09.123"));
        QCOMPARE(q.value(1).toString(), QStringLiteral("station"));
        QVERIFY(q.value(2).isNull());
        QCOMPARE(q.value(3).toString(), QString());
        QCOMPARE(q.value(4).toString(), QStringLiteral("保存设置"));
        QVERIFY(q.value(5).isNull());
        QCOMPARE(q.value(6).toString(), QStringLiteral("event"));
        QCOMPARE(q.value(8).toString(), QStringLiteral("SystemAlm.Pf"));
        QCOMPARE(q.value(9).toString(), QString());
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("2024-05-06T07:08:09.124"));
        QCOMPARE(q.value(1).toString(), QStringLiteral("limit"));
        QCOMPARE(q.value(2).toInt(), 3);
        QCOMPARE(q.value(3).toString(), QStringLiteral("油储温度3"));
        QCOMPARE(q.value(4).toString(), QStringLiteral("越上限报警"));
        QCOMPARE(q.value(5).toDouble(), 81.25);
        QCOMPARE(q.value(6).toString(), QStringLiteral("raised"));
        QCOMPARE(q.value(9).toString(), QStringLiteral("active_unacked"));
        QVERIFY(q.next());
        QCOMPARE(q.value(1).toString(), QStringLiteral("comm"));
        QVERIFY(q.value(2).isNull());
        QVERIFY(q.value(5).isNull());
        QVERIFY(q.next());
        QCOMPARE(q.value(6).toString(), QStringLiteral("acknowledged"));
        QCOMPARE(q.value(7).toString(), QStringLiteral("wang"));
    }

    // The range takes both ends to the millisecond; newest first; a limit keeps the newest.
    QList<JournalEvent> got = journal.query(T0.addMSecs(1), T0.addSecs(120));
    QCOMPARE(got.size(), 3);
    QCOMPARE(got.first().kind, QString(ack.kind));
    QCOMPARE(got.first().transition, Transition::Acknowledged);
    QCOMPARE(got.first().user, QStringLiteral("wang"));
    QCOMPARE(got.first().state, AlarmState::ActiveAcked);
    QCOMPARE(got.last().value, 81.25);
    QCOMPARE(got.last().time, T0.addMSecs(1));
    QCOMPARE(got.last().timeText, QStringLiteral("2024-05-06T07:08:09.124"));
    QVERIFY(std::isnan(got.at(1).value));
    QCOMPARE(got.at(1).channel, 0);
    QCOMPARE(journal.query(T0.addMSecs(2), T0.addSecs(120).addMSecs(-1)).size(), 1);
    QCOMPARE(journal.query(T0, T0.addSecs(600), 2).size(), 2);
    QCOMPARE(journal.query(T0, T0.addSecs(600), 2).last().source, AlarmSource::Comm);
    // Same time stamp: the later row first.
    JournalEvent same = stationEvent(T0.addSecs(120), station_kinds::RunStopped);
    journal.append(same);
    QCOMPARE(journal.query(T0, T0.addSecs(600)).first().id, same.id);

    // forEach: oldest first, and it stops when asked.
    QList<qint64> ids;
    journal.forEach(T0, T0.addSecs(600), [&ids](const JournalEvent &e) {
        ids.append(e.id);
        return ids.size() < 3;
    });
    QCOMPARE(ids, (QList<qint64>{rows.at(0).id, rows.at(1).id, rows.at(2).id}));

    // An empty batch writes nothing; a closed journal refuses.
    QList<JournalEvent> none;
    journal.append(none);
    QCOMPARE(journal.rowCount(), 5);
    journal.close();
    QVERIFY_THROWS_EXCEPTION(db::DbError, journal.append(same));
    QVERIFY_THROWS_EXCEPTION(db::DbError, journal.query(T0, T0));
}

void TestEventJournal::rebuildsTheAlarmList()
{
    QTemporaryDir tmp;
    EventJournal journal(eventJournalPath(tmp.path()));
    journal.open();
    using S = AlarmState;
    using T = Transition;
    const AlarmKey broken = instrumentKey(5, QStringLiteral("信号断线"));
    QList<JournalEvent> rows{
        // Channel 5: raised, acknowledged, returned, raised again, acknowledged: active acked,
        // shown with its second raise.
        alarmRow(T0, broken, T::Raised, S::ActiveUnacked, 0.0, QStringLiteral("旧名")),
        alarmRow(T0.addSecs(1), broken, T::Acknowledged, S::ActiveAcked, 0.0),
        alarmRow(T0.addSecs(2), broken, T::Returned, S::Normal, 10.0),
        alarmRow(T0.addSecs(3), broken, T::Raised, S::ActiveUnacked, 12.5, QStringLiteral("新名")),
        alarmRow(T0.addSecs(4), broken, T::Acknowledged, S::ActiveAcked, 13.0, QStringLiteral("新名")),
        // Upper limit of channel 2: returned before anyone acknowledged.
        alarmRow(T0.addSecs(5), upperKey(2), T::Raised, S::ActiveUnacked, 90.0),
        alarmRow(T0.addSecs(6), upperKey(2), T::Returned, S::ReturnedUnacked, 70.0),
        // Lower limit of channel 2: over and done.
        alarmRow(T0.addSecs(7), lowerKey(2), T::Raised, S::ActiveUnacked, 5.0),
        alarmRow(T0.addSecs(8), lowerKey(2), T::Returned, S::ReturnedUnacked, 25.0),
        alarmRow(T0.addSecs(9), lowerKey(2), T::Acknowledged, S::Normal, 25.0),
        alarmRow(T0.addSecs(10), commKey(), T::Raised, S::ActiveUnacked, NoValue),
        stationEvent(T0.addSecs(11), station_kinds::ProgramEnded),
    };
    journal.append(rows);
    const QList<Alarm> alarms = journal.openAlarms(AlarmEngine::allKeys());
    QCOMPARE(alarms.size(), 3);
    QHash<int, Alarm> bySlot;
    for (const Alarm &a : alarms)
        bySlot.insert(AlarmEngine::slotOf(a.key), a);
    const Alarm b = bySlot.value(AlarmEngine::slotOf(broken));
    QCOMPARE(b.state, S::ActiveAcked);
    QCOMPARE(b.raisedAt, T0.addSecs(3));
    QCOMPARE(b.value, 12.5);
    QCOMPARE(b.lastValue, 13.0);
    QCOMPARE(b.name, QStringLiteral("新名"));
    QCOMPARE(bySlot.value(AlarmEngine::slotOf(upperKey(2))).state, S::ReturnedUnacked);
    QCOMPARE(bySlot.value(AlarmEngine::slotOf(upperKey(2))).value, 90.0);
    QVERIFY(!bySlot.contains(AlarmEngine::slotOf(lowerKey(2))));
    QCOMPARE(bySlot.value(AlarmEngine::slotOf(commKey())).state, S::ActiveUnacked);
    QVERIFY(std::isnan(bySlot.value(AlarmEngine::slotOf(commKey())).value));

    // Fed to an engine, the list reads as it did.
    AlarmEngine engine;
    engine.restore(alarms);
    QCOMPARE(engine.unacknowledgedCount(), 2);
    QCOMPARE(engine.alarms().first().key, commKey());
}

void TestEventJournal::previousRunEnded()
{
    QTemporaryDir tmp;
    EventJournal journal(eventJournalPath(tmp.path()));
    journal.open();
    QVERIFY(journal.previousRunEnded()); // nothing yet
    JournalEvent e = stationEvent(T0, station_kinds::ProgramStarted);
    journal.append(e);
    QVERIFY(!journal.previousRunEnded());
    e = stationEvent(T0.addSecs(1), station_kinds::ProgramEnded);
    journal.append(e);
    QVERIFY(journal.previousRunEnded());
    e = stationEvent(T0.addSecs(2), station_kinds::ProgramStarted);
    journal.append(e);
    e = stationEvent(T0.addSecs(3), station_kinds::RunStarted);
    journal.append(e);
    QVERIFY(!journal.previousRunEnded()); // killed after the start
}

void TestEventJournal::leavesForeignFilesAlone()
{
    QTemporaryDir tmp;
    const QString path = eventJournalPath(tmp.path());
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));

    // Not a database at all.
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    const QByteArray before = digest(path);
    EventJournal journal(path);
    QVERIFY_THROWS_EXCEPTION(db::DbError, journal.open());
    QVERIFY(!journal.isOpen());
    QCOMPARE(digest(path), before);
    QVERIFY(QFile::remove(path));

    // A database whose "events" table is something else.
    {
        Reader other(path);
        QVERIFY(QSqlQuery(other.db()).exec(QStringLiteral("CREATE TABLE events (id INTEGER, what TEXT)")));
        QVERIFY(QSqlQuery(other.db()).exec(QStringLiteral("INSERT INTO events VALUES (1, 'theirs')")));
    }
    try {
        journal.open();
        QFAIL("a foreign events table was taken");
    } catch (const db::DbError &e) {
        QVERIFY2(e.text().contains(QStringLiteral("not an event journal")), qPrintable(e.text()));
    }
    Reader other(path);
    QCOMPARE(scalar(other.db(), QStringLiteral("SELECT what FROM events")).toString(), QStringLiteral("theirs"));

    // No file at all: refused, not a temporary database that forgets its rows.
    EventJournal unnamed;
    QVERIFY_THROWS_EXCEPTION(db::DbError, unnamed.open());

    // Reading only: a missing journal is an error and is not created.
    EventJournal missing(eventJournalPath(tmp.path() + QStringLiteral("/nowhere")));
    QVERIFY_THROWS_EXCEPTION(db::DbError, missing.openForReading());
    QVERIFY(!QFileInfo::exists(tmp.path() + QStringLiteral("/nowhere")));
}

void TestEventJournal::addsTheStateColumnToAnOlderJournal()
{
    QTemporaryDir tmp;
    const QString path = eventJournalPath(tmp.path());
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    {
        Reader older(path);
        QVERIFY(QSqlQuery(older.db()).exec(QStringLiteral(
            "CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, source TEXT NOT NULL,"
            " channel INTEGER, name TEXT NOT NULL, kind TEXT NOT NULL, value REAL, transition TEXT NOT NULL,"
            " user TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '')")));
        QVERIFY(QSqlQuery(older.db()).exec(QStringLiteral(
            "INSERT INTO events (time, source, channel, name, kind, value, transition) VALUES "
            "('2024-01-01T00:00:00.000', 'limit', 1, 'a', '越上限报警', 90, 'raised')")));
    }
    EventJournal reading(path);
    QVERIFY_THROWS_EXCEPTION(db::DbError, reading.openForReading()); // a reader changes nothing
    EventJournal journal(path);
    journal.open();
    QCOMPARE(journal.rowCount(), 1);
    // Rows without a state list nothing (what they meant is not known).
    QVERIFY(journal.openAlarms(AlarmEngine::allKeys()).isEmpty());
    JournalEvent e = alarmRow(T0, upperKey(1), Transition::Raised, AlarmState::ActiveUnacked, 95.0);
    journal.append(e);
    QCOMPARE(journal.openAlarms(AlarmEngine::allKeys()).size(), 1);
}

void TestEventJournal::readerBesideTheWriter()
{
    QTemporaryDir tmp;
    const QString path = eventJournalPath(tmp.path());
    EventJournal writer(path);
    writer.open();
    JournalEvent first = stationEvent(T0, station_kinds::ProgramStarted);
    writer.append(first);

    EventJournal reader(path);
    reader.openForReading();
    QCOMPARE(reader.query(T0, T0).size(), 1);
    // The writer goes on while the reader is open, and the reader sees the new rows.
    JournalEvent second = stationEvent(T0.addSecs(1), station_kinds::RunStarted);
    writer.append(second);
    QCOMPARE(reader.query(T0, T0.addSecs(1)).size(), 2);
    // A reader in the middle of a long read does not block the writer either.
    int seen = 0;
    reader.forEach(T0, T0.addSecs(10), [&](const JournalEvent &) {
        if (seen++ == 0) {
            JournalEvent third = stationEvent(T0.addSecs(2), station_kinds::RunStopped);
            writer.append(third);
        }
        return true;
    });
    QCOMPARE(writer.rowCount(), 3);
}

void TestEventJournal::survivesKilledWriter()
{
    QTemporaryDir tmp;
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    QSet<qint64> reported;
    constexpr int Runs = 8;
    for (int run = 0; run < Runs; ++run) {
        const qint64 first = qint64(run) * 1000000;
        // Run 0 is killed as soon as it runs (while it creates the file); the others after a
        // random number of committed events, while they keep writing.
        const int wanted = run == 0 ? 0 : int(random.bounded(1, 300));
        QProcess writer;
        writer.start(Writer, {tmp.path(), QString::number(first)});
        QVERIFY2(writer.waitForStarted(10000), qPrintable(writer.errorString()));
        QByteArray output;
        while (output.count('\n') < wanted && writer.state() == QProcess::Running) {
            if (writer.waitForReadyRead(10000))
                output += writer.readAllStandardOutput();
            else
                break;
        }
        QVERIFY2(output.count('\n') >= wanted,
                 qPrintable(QStringLiteral("run %1: the writer stopped: %2 %3")
                                .arg(run)
                                .arg(QString::fromUtf8(output.right(200)),
                                     QString::fromUtf8(writer.readAllStandardError()))));
        writer.kill(); // SIGKILL
        QVERIFY(writer.waitForFinished(10000));
        QCOMPARE(writer.exitStatus(), QProcess::CrashExit);
        output += writer.readAllStandardOutput();
        QVERIFY2(!output.contains("error"), output.constData());
        qint64 last = first - 1;
        const qsizetype before = reported.size();
        durability::collectNumbers(output, &reported, &last);
        QVERIFY(reported.size() - before >= wanted);
    }

    const QString path = eventJournalPath(tmp.path());
    QCOMPARE(durability::integrityCheck(path), QStringLiteral("ok"));
    EventJournal journal(path);
    journal.open(); // opens after the last kill, log and all
    QSet<qint64> stored;
    qint64 lastId = 0;
    journal.forEach(QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QDateTime::currentDateTime().addDays(1),
                    [&](const JournalEvent &e) {
                        const qint64 n = e.detail.toLongLong();
                        if (stored.contains(n))
                            qWarning("event %lld stored twice", n);
                        stored.insert(n);
                        lastId = qMax(lastId, e.id);
                        return true;
                    });
    QCOMPARE(qint64(stored.size()), journal.rowCount());
    for (qint64 n : std::as_const(reported))
        QVERIFY2(stored.contains(n), qPrintable(QStringLiteral("event %1 was reported written but is lost").arg(n)));
    // Beyond the reported ones, at most the batch (3 events) each kill interrupted after its commit.
    QVERIFY(stored.size() <= reported.size() + 3 * Runs);
    // Ids go on after the last one, never reused.
    JournalEvent after = stationEvent(QDateTime::currentDateTime(), station_kinds::ProgramStarted);
    journal.append(after);
    QVERIFY(after.id > lastId);
}

QTEST_GUILESS_MAIN(TestEventJournal)
#include "tst_eventjournal.moc"
