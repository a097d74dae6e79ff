// The acknowledged cursor without a network: the outboxes read wwdd and the journal from real
// SQLite files and hand payloads to a recording publisher; acknowledgements are given by hand,
// in and out of order. A clock stepped back, "清空数据", a journal that starts again, a
// restart of the station and a damaged cursor file.

#include "EventJournal.h"
#include "Outbox.h"
#include "PublishCursor.h"
#include "SiteFixture.h"
#include "SitePayload.h"
#include "SiteSources.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace sitefixture;

namespace {

// Records what was published; ids count up like a client's.
struct Recorder {
    QList<QByteArray> payloads;
    QList<int> mids;
    int next = 1;
    bool refuse = false;
    Outbox::PublishFn fn()
    {
        return [this](const QByteArray &p) {
            if (refuse)
                return -1;
            payloads.append(p);
            mids.append(next);
            return next++;
        };
    }
};

QString datimOf(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object().value(QStringLiteral("datim")).toString();
}

QString localText(const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); }

} // namespace

class TestSiteCursor : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    int m_homes = 0;

    QString freshHome()
    {
        const QString home = m_tmp.filePath(QStringLiteral("home%1").arg(++m_homes));
        QDir().mkpath(home + QStringLiteral("/Data"));
        ensureHistoryTable(home);
        return home;
    }

private Q_SLOTS:
    void init() { resetSharedState(); }

    void acknowledgedInAnyOrderMovesOnlyOverAContiguousRun()
    {
        const QString home = freshHome();
        db::TTable wwdd;
        wwdd.setDatabaseName(home);
        wwdd.setTableName(HistoryTableName);
        const QDateTime t0(QDate(2026, 3, 1), QTime(8, 0));
        for (int i = 0; i < 5; ++i)
            storeRecord(wwdd, t0.addSecs(i), 16, 20.0f + float(i));

        PublishCursor cursor;
        QString error;
        QVERIFY2(cursor.open(cursorFilePath(home), &error), qPrintable(error));
        HistorySource source(home);
        Outbox box(QStringLiteral("record"), &source, &cursor);
        Recorder rec;
        QCOMPARE(box.pump(3, rec.fn()), 3);
        QVERIFY(!box.caughtUp());
        QCOMPARE(box.inFlight(), 3);
        QCOMPARE(datimOf(rec.payloads[0]).left(23), localText(t0));

        // The third and second are acknowledged before the first: the cursor waits.
        QVERIFY(box.acknowledged(rec.mids[2]));
        QVERIFY(box.acknowledged(rec.mids[1]));
        QCOMPARE(box.acked().position, 0);
        QVERIFY(!box.acknowledged(999)); // not ours
        QVERIFY(box.acknowledged(rec.mids[0]));
        QCOMPARE(box.acked().position, 3);
        QCOMPARE(box.acked().key, localText(t0.addSecs(2)));
        QCOMPARE(box.inFlight(), 0);

        // The rest; a refusing client leaves the items for the next round.
        rec.refuse = true;
        QCOMPARE(box.pump(10, rec.fn()), 0);
        rec.refuse = false;
        QCOMPARE(box.pump(10, rec.fn()), 2);
        QVERIFY(box.caughtUp());
        QCOMPARE(datimOf(rec.payloads[3]).left(23), localText(t0.addSecs(3)));

        // Not acknowledged before the reconnect: sent again from the cursor.
        box.restartFromCursor();
        QCOMPARE(box.pump(10, rec.fn()), 2);
        QCOMPARE(datimOf(rec.payloads[5]).left(23), localText(t0.addSecs(3)));
        QVERIFY(box.acknowledged(rec.mids[5]));
        QVERIFY(box.acknowledged(rec.mids[6]));
        QVERIFY(!box.acknowledged(rec.mids[3])); // a forgotten message of the old connection
        QCOMPARE(box.acked().position, 5);

        // The cursor survives a restart of the station.
        QVERIFY(box.saveCursor(&error));
        cursor.close();
        PublishCursor again;
        QVERIFY(again.open(cursorFilePath(home), &error));
        QCOMPARE(again.load(QStringLiteral("record")), (CursorPosition{5, localText(t0.addSecs(4))}));
        Outbox next(QStringLiteral("record"), &source, &again);
        storeRecord(wwdd, t0.addSecs(5), 16, 30.0f);
        QCOMPARE(next.pump(10, rec.fn()), 1);
        QCOMPARE(datimOf(rec.payloads.last()).left(23), localText(t0.addSecs(5)));
        wwdd.close();
    }

    void clockSteppedBackAndEmptiedTable()
    {
        const QString home = freshHome();
        db::TTable wwdd;
        wwdd.setDatabaseName(home);
        wwdd.setTableName(HistoryTableName);
        const QDateTime t0(QDate(2026, 3, 1), QTime(12, 0));
        storeRecord(wwdd, t0, 8, 10.0f);
        storeRecord(wwdd, t0.addSecs(60), 8, 11.0f);
        // NTP steps the clock back an hour: later records carry earlier times.
        storeRecord(wwdd, t0.addSecs(-3600), 8, 12.0f);
        storeRecord(wwdd, t0.addSecs(-3599), 8, 13.0f);

        PublishCursor cursor;
        QString error;
        QVERIFY(cursor.open(cursorFilePath(home), &error));
        HistorySource source(home);
        Outbox box(QStringLiteral("record"), &source, &cursor);
        Recorder rec;
        QCOMPARE(box.pump(2, rec.fn()), 2);
        for (int mid : rec.mids)
            box.acknowledged(mid);
        QCOMPARE(box.pump(10, rec.fn()), 2);
        QCOMPARE(rec.payloads.size(), 4);
        // In storing order, the stepped-back records after the others.
        QCOMPARE(datimOf(rec.payloads[2]).left(23), localText(t0.addSecs(-3600)));
        QCOMPARE(datimOf(rec.payloads[3]).left(23), localText(t0.addSecs(-3599)));
        box.acknowledged(rec.mids[2]);
        box.acknowledged(rec.mids[3]);
        QCOMPARE(box.acked().position, 4);
        QCOMPARE(box.restarts(), 0);

        // "清空数据", then two new records: rowids start again at 1, below the cursor.
        EmptyHistory(wwdd);
        storeRecord(wwdd, t0.addSecs(120), 8, 14.0f);
        storeRecord(wwdd, t0.addSecs(121), 8, 15.0f);
        QCOMPARE(box.pump(10, rec.fn()), 2);
        QCOMPARE(box.restarts(), 1);
        QCOMPARE(datimOf(rec.payloads[4]).left(23), localText(t0.addSecs(120)));
        box.acknowledged(rec.mids[4]);
        box.acknowledged(rec.mids[5]);
        QCOMPARE(box.acked().position, 2);

        // Emptied again and refilled past the cursor's rowid: the datim at the position differs.
        EmptyHistory(wwdd);
        for (int i = 0; i < 3; ++i)
            storeRecord(wwdd, t0.addSecs(200 + i), 8, 16.0f);
        QCOMPARE(box.pump(10, rec.fn()), 3);
        QCOMPARE(box.restarts(), 2);
        QCOMPARE(datimOf(rec.payloads[6]).left(23), localText(t0.addSecs(200)));

        // Emptied while messages were in flight: their acknowledgements no longer count.
        EmptyHistory(wwdd);
        storeRecord(wwdd, t0.addSecs(300), 8, 17.0f);
        QCOMPARE(box.pump(10, rec.fn()), 1);
        QVERIFY(!box.acknowledged(rec.mids[6]));
        QVERIFY(box.acknowledged(rec.mids.last()));
        QCOMPARE(box.acked(), (CursorPosition{1, localText(t0.addSecs(300))}));
        wwdd.close();
    }

    void recordPayloadFromStoredRow()
    {
        const QString home = freshHome();
        db::TTable wwdd;
        wwdd.setDatabaseName(home);
        wwdd.setTableName(HistoryTableName);
        const QDateTime t0(QDate(2026, 7, 1), QTime(9, 30, 15, 250));
        storeRecord(wwdd, t0, 4, -5.0f);
        wwdd.close();
        // A damaged value text and a damaged time, written by some other program.
        QVERIFY(execSql(historyFilePath(home), QStringLiteral("INSERT INTO wwdd (datim, aa1, aa2) VALUES ('%1', 'abc', ' 7.5 ');"
                                                              "INSERT INTO wwdd (datim, aa1) VALUES ('yesterday', '1.000');")
                                                    .arg(localText(t0.addSecs(1)))));
        PublishCursor cursor;
        QString error;
        QVERIFY(cursor.open(cursorFilePath(home), &error));
        HistorySource source(home);
        Outbox box(QStringLiteral("record"), &source, &cursor);
        Recorder rec;
        QCOMPARE(box.pump(10, rec.fn()), 2); // the row without a valid time is passed over
        const QJsonObject first = QJsonDocument::fromJson(rec.payloads[0]).object();
        QCOMPARE(first.value(QStringLiteral("datim")).toString(), isoWithOffset(t0));
        const QJsonArray values = first.value(QStringLiteral("values")).toArray();
        QCOMPARE(values.size(), MaxChannels);
        QCOMPARE(values[0].toDouble(), -4.9);
        QCOMPARE(values[1].toDouble(), -4.8);
        QVERIFY(values[2].isNull()); // interrupted
        QCOMPARE(values[3].toDouble(), -4.6);
        QVERIFY(values[4].isNull()); // beyond the channel count
        const QJsonArray damaged = QJsonDocument::fromJson(rec.payloads[1]).object().value(QStringLiteral("values")).toArray();
        QVERIFY(damaged[0].isNull());
        QCOMPARE(damaged[1].toDouble(), 7.5);
        box.acknowledged(rec.mids[0]);
        QCOMPARE(box.acked().position, 1);
        box.acknowledged(rec.mids[1]);
        QCOMPARE(box.acked().position, 3); // over the passed-over row
    }

    void journalMissingPrunedAndStartedAgain()
    {
        const QString home = freshHome();
        PublishCursor cursor;
        QString error;
        QVERIFY(cursor.open(cursorFilePath(home), &error));
        JournalSource source(home);
        Outbox box(QStringLiteral("event"), &source, &cursor);
        Recorder rec;
        // No journal yet: nothing to do, and no file is created by reading.
        QCOMPARE(box.pump(10, rec.fn()), 0);
        QVERIFY(!box.lastError().isEmpty());
        QVERIFY(!QFile::exists(journalFile(home)));

        for (int i = 0; i < 4; ++i)
            QVERIFY(addEvent(home, QStringLiteral("2026-03-01T08:00:0%1.000").arg(i), QStringLiteral("上限报警"), i + 1, 80.5 + i));
        QCOMPARE(box.pump(10, rec.fn()), 4);
        const QJsonObject e = QJsonDocument::fromJson(rec.payloads[1]).object();
        QCOMPARE(e.value(QStringLiteral("id")).toInt(), 2);
        QCOMPARE(e.value(QStringLiteral("kind")).toString(), QStringLiteral("上限报警"));
        QCOMPARE(e.value(QStringLiteral("channel")).toInt(), 2);
        QCOMPARE(e.value(QStringLiteral("value")).toDouble(), 81.5);
        QCOMPARE(e.value(QStringLiteral("transition")).toString(), QStringLiteral("raised"));
        QCOMPARE(e.value(QStringLiteral("time")).toString(),
                 isoWithOffset(QDateTime(QDate(2026, 3, 1), QTime(8, 0, 1))));
        for (int mid : rec.mids)
            box.acknowledged(mid);
        QCOMPARE(box.acked().position, 4);

        // Old events pruned (the cursor's own row among them): reading goes on after it.
        QVERIFY(execSql(journalFile(home), QStringLiteral("DELETE FROM events WHERE id <= 4;")));
        QVERIFY(addEvent(home, QStringLiteral("2026-03-01T09:00:00.000"), QStringLiteral("下限报警"), 7, 1.0));
        QCOMPARE(box.pump(10, rec.fn()), 1);
        QCOMPARE(box.restarts(), 0);
        QCOMPARE(QJsonDocument::fromJson(rec.payloads.last()).object().value(QStringLiteral("id")).toInt(), 5);
        box.acknowledged(rec.mids.last());

        // The journal file is replaced by a new one: ids start again and it is read from the start.
        QVERIFY(QFile::remove(journalFile(home)));
        QFile::remove(journalFile(home) + QStringLiteral("-wal"));
        QFile::remove(journalFile(home) + QStringLiteral("-shm"));
        QVERIFY(addEvent(home, QStringLiteral("2026-03-02T08:00:00.000"), QStringLiteral("信号断线"), 2, 0));
        QCOMPARE(box.pump(10, rec.fn()), 1);
        QCOMPARE(box.restarts(), 1);
        QCOMPARE(QJsonDocument::fromJson(rec.payloads.last()).object().value(QStringLiteral("kind")).toString(),
                 QStringLiteral("信号断线"));
    }

    void journalWrittenByTheStation()
    {
        // The journal as the station's own event journal writes it (with its extra columns).
        const QString home = freshHome();
        EventJournal journal(eventJournalPath(home));
        journal.open();
        JournalEvent started = stationEvent(QDateTime(QDate(2026, 4, 1), QTime(6, 0, 0, 125)), station_kinds::ProgramStarted);
        journal.append(started);
        JournalEvent limit;
        limit.time = QDateTime(QDate(2026, 4, 1), QTime(6, 5));
        limit.source = AlarmSource::Limit;
        limit.channel = 4;
        limit.name = QStringLiteral("油储温度4");
        limit.kind = QStringLiteral("上限报警");
        limit.value = 91.5;
        limit.transition = Transition::Raised;
        journal.append(limit);

        PublishCursor cursor;
        QString error;
        QVERIFY(cursor.open(cursorFilePath(home), &error));
        JournalSource source(home);
        Outbox box(QStringLiteral("event"), &source, &cursor);
        Recorder rec;
        QCOMPARE(box.pump(10, rec.fn()), 2); // read while the journal is open for writing
        const QJsonObject first = QJsonDocument::fromJson(rec.payloads[0]).object();
        QCOMPARE(first.value(QStringLiteral("kind")).toString(), station_kinds::ProgramStarted);
        QCOMPARE(first.value(QStringLiteral("source")).toString(), QStringLiteral("station"));
        QCOMPARE(first.value(QStringLiteral("transition")).toString(), QStringLiteral("event"));
        QVERIFY(first.value(QStringLiteral("channel")).isNull());
        QVERIFY(first.value(QStringLiteral("value")).isNull());
        QCOMPARE(first.value(QStringLiteral("time")).toString(), isoWithOffset(started.time));
        const QJsonObject second = QJsonDocument::fromJson(rec.payloads[1]).object();
        QCOMPARE(second.value(QStringLiteral("id")).toInteger(), limit.id);
        QCOMPARE(second.value(QStringLiteral("source")).toString(), QStringLiteral("limit"));
        QCOMPARE(second.value(QStringLiteral("channel")).toInt(), 4);
        QCOMPARE(second.value(QStringLiteral("value")).toDouble(), 91.5);
        QCOMPARE(second.value(QStringLiteral("transition")).toString(), QStringLiteral("raised"));
        journal.close();
    }

    void damagedCursorFileStartsAfresh()
    {
        const QString home = freshHome();
        const QString file = cursorFilePath(home);
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        PublishCursor cursor;
        QString error;
        QVERIFY2(cursor.open(file, &error), qPrintable(error));
        QVERIFY(QFile::exists(file + QStringLiteral(".damaged")));
        QCOMPARE(cursor.load(QStringLiteral("record")), CursorPosition{});
        QVERIFY(cursor.save(QStringLiteral("record"), {7, QStringLiteral("k")}, &error));
        QCOMPARE(cursor.load(QStringLiteral("record")), (CursorPosition{7, QStringLiteral("k")}));
        QCOMPARE(cursor.load(QStringLiteral("event")), CursorPosition{});
    }
};

QTEST_GUILESS_MAIN(TestSiteCursor)
#include "tst_sitecursor.moc"
