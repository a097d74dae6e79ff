// Alarm benchmarks, run by hand:
//   qz_bench_alarms [--dir DIR] [--rows N]
// 1. Evaluating 32 channels after each answer (engine only, nothing changing and with every
//    limit on-delay running).
// 2. Journal append with synchronous=FULL: one event per transaction, in an empty journal and
//    at the end of a journal of N rows (default 1,051,200: two years at one event a minute).
// 3. The view's 24-hour query over that journal, opening it and rebuilding the alarm list.
// 4. An alarm flood: 32 channels toggling across a limit at every poll (1.5 s) for 10 minutes,
//    in simulated time: how many events the deadband and on-delay let through.
// The journal lives in DIR (default: a new directory under the working directory, so on the
// disk a station would use; removed afterwards).

#include "AlarmEngine.h"
#include "DateTimeText.h"
#include "EventJournal.h"

#include <QCoreApplication>
#include <QFile>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

void state(TAllRecord &rec, TOption &opt, float value)
{
    for (int i = 0; i < MaxChannels; ++i) {
        opt.Names[size_t(i)] = QStringLiteral("油储温度%1").arg(i + 1);
        opt.LowerLimits[size_t(i)] = 0.f;
        opt.UpperLimits[size_t(i)] = 200.f;
        opt.AlarmModes[size_t(i)] = i % 2 ? amUpper : amLower;
        opt.AlarmValues[size_t(i)] = 100.f;
        rec.Pv[size_t(i + 1)] = value;
        rec.AlmText[size_t(i + 1)] = QString();
    }
}

struct Stats {
    double mean, median, p99, max;
};
Stats stats(QList<double> v)
{
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    return {sum / double(v.size()), v.at(v.size() / 2), v.at(qsizetype(double(v.size()) * 0.99)), v.last()};
}

void evaluation()
{
    out << "== Evaluating 32 channels after an answer\n";
    TAllRecord rec;
    TOption opt;
    AlarmEngine engine;
    QList<AlarmEvent> events;
    constexpr int Rounds = 200000;
    for (int variant = 0; variant < 2; ++variant) {
        // 0: every value inside its limits; 1: every limit crossed, on-delays running (a
        // longer on-delay than the run keeps them pending). Channels 1, 9, 17, 25 also hold
        // an instrument state.
        state(rec, opt, 100.f);
        engine = AlarmEngine();
        engine.setSettings({1.0, variant == 0 ? 5 : 86400, QString()});
        for (int k = 1; k <= 32; k += 8)
            rec.AlmText[size_t(k)] = QStringLiteral("上限报警");
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < Rounds; ++i) {
            const float wobble = float(i % 7) * 0.1f;
            for (int k = 1; k <= 32; ++k)
                rec.Pv[size_t(k)] = variant == 0 ? 100.f + (k % 2 ? -5.f : 5.f) + wobble
                                                 : 100.f + (k % 2 ? 5.f : -5.f) + wobble;
            events.clear();
            engine.evaluate(rec, opt, 32, {QDateTime(), qint64(i) * 1500}, events);
        }
        const double us = double(t.nsecsElapsed()) / 1000.0 / Rounds;
        out << QStringLiteral("  %1: %2 µs per evaluation (%3 rounds)\n")
                   .arg(variant == 0 ? QStringLiteral("values inside the limits") : QStringLiteral("all 32 limits crossed, on-delay running"))
                   .arg(us, 0, 'f', 2)
                   .arg(Rounds);
    }
}

// Row i of a made-up journal: every tenth row a station event, the others cycling through
// 64 alarms (instrument upper alarm and station upper limit of 32 channels), each going
// raised → acknowledged → returned as the engine writes them.
JournalEvent sampleEvent(const QDateTime &time, qint64 i)
{
    if (i % 10 == 9)
        return stationEvent(time, station_kinds::SettingsSaved, QStringLiteral("SystemAlm.Pf"));
    const qint64 j = i - i / 10;
    JournalEvent e;
    e.time = time;
    e.source = j % 64 < 32 ? AlarmSource::Instrument : AlarmSource::Limit;
    e.channel = int(j % 32) + 1;
    e.name = QStringLiteral("油储温度%1").arg(e.channel);
    e.kind = e.source == AlarmSource::Limit ? LimitUpperKind : QStringLiteral("上限报警");
    e.value = 80.0 + double(j % 100) / 10.0;
    const int step = int(j / 64 % 3);
    e.transition = step == 0 ? Transition::Raised : step == 1 ? Transition::Acknowledged : Transition::Returned;
    e.state = step == 0 ? AlarmState::ActiveUnacked : step == 1 ? AlarmState::ActiveAcked : AlarmState::Normal;
    if (e.transition == Transition::Acknowledged)
        e.user = QStringLiteral("operator");
    return e;
}

void appendTimes(EventJournal &journal, const QString &what, int count)
{
    QList<double> ms;
    for (int i = 0; i < count; ++i) {
        JournalEvent e = sampleEvent(QDateTime::currentDateTime(), i);
        QElapsedTimer t;
        t.start();
        journal.append(e);
        ms.append(double(t.nsecsElapsed()) / 1e6);
    }
    const Stats s = stats(ms);
    out << QStringLiteral("  %1: mean %2 ms, median %3 ms, 99th %4 ms, max %5 ms (%6 appends)\n")
               .arg(what)
               .arg(s.mean, 0, 'f', 3)
               .arg(s.median, 0, 'f', 3)
               .arg(s.p99, 0, 'f', 3)
               .arg(s.max, 0, 'f', 3)
               .arg(count);
}

// Fills the journal with `rows` rows, one a minute up to now, in big transactions (the
// station writes them one by one over two years; the content is what matters here).
void fill(const QString &file, qint64 rows)
{
    const QString name = QStringLiteral("bench_fill");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.open();
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=OFF"));
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO events (time, source, channel, name, kind, value, transition, user, "
                                 "detail, state) VALUES (?,?,?,?,?,?,?,?,?,?)"));
        const QDateTime first = QDateTime::currentDateTime().addSecs(-60 * rows);
        db.transaction();
        for (qint64 i = 0; i < rows; ++i) {
            const JournalEvent e = sampleEvent(first.addSecs(60 * i), i);
            q.bindValue(0, db::dateTimeToText(e.time));
            q.bindValue(1, sourceToken(e.source));
            q.bindValue(2, e.channel > 0 ? QVariant(e.channel) : QVariant());
            q.bindValue(3, e.name.isNull() ? QStringLiteral("") : e.name);
            q.bindValue(4, e.kind);
            q.bindValue(5, std::isnan(e.value) ? QVariant() : QVariant(e.value));
            q.bindValue(6, transitionToken(e.transition));
            q.bindValue(7, e.user.isNull() ? QStringLiteral("") : e.user);
            q.bindValue(8, e.detail.isNull() ? QStringLiteral("") : e.detail);
            q.bindValue(9, e.isStation() ? QStringLiteral("") : stateToken(e.state));
            q.exec();
            if (i % 200000 == 199999) {
                db.commit();
                db.transaction();
            }
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// What one synchronous write costs on this disk at all: 4 KB appended and fdatasync'd, as a
// baseline for the journal's figures (each commit in WAL mode with synchronous=FULL is one such
// sync).
void syncBaseline(const QString &dir)
{
    const QByteArray path = QDir(dir).filePath(QStringLiteral("sync-baseline.tmp")).toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    const QByteArray block(4096, 'x');
    QList<double> ms;
    for (int i = 0; i < 300; ++i) {
        QElapsedTimer t;
        t.start();
        if (::write(fd, block.constData(), size_t(block.size())) != block.size() || ::fdatasync(fd) != 0)
            break;
        ms.append(double(t.nsecsElapsed()) / 1e6);
    }
    ::close(fd);
    ::unlink(path.constData());
    if (ms.isEmpty())
        return;
    const Stats s = stats(ms);
    out << QStringLiteral("  the disk itself, 4 KB write + fdatasync: mean %1 ms, median %2 ms, 99th %3 ms\n")
               .arg(s.mean, 0, 'f', 3)
               .arg(s.median, 0, 'f', 3)
               .arg(s.p99, 0, 'f', 3);
}

void journalFigures(const QString &dir, qint64 rows)
{
    out << "== Event journal (synchronous=FULL, WAL) in " << dir << "\n";
    QDir().mkpath(dir);
    syncBaseline(dir);
    const QString file = eventJournalPath(dir);
    {
        EventJournal journal(file);
        journal.open();
        appendTimes(journal, QStringLiteral("append to an empty journal"), 300);
    }
    QFile::remove(file);
    QFile::remove(file + QStringLiteral("-wal"));
    QFile::remove(file + QStringLiteral("-shm"));
    {
        EventJournal journal(file);
        journal.open();
    }
    QElapsedTimer t;
    t.start();
    fill(file, rows);
    out << QStringLiteral("  filled %1 rows in %2 s; file %3 MB\n")
               .arg(rows)
               .arg(double(t.elapsed()) / 1000.0, 0, 'f', 1)
               .arg(double(QFileInfo(file).size()) / 1048576.0, 0, 'f', 1);

    EventJournal journal(file);
    t.start();
    journal.open();
    const double openMs = double(t.nsecsElapsed()) / 1e6;
    t.start();
    const QList<Alarm> listed = journal.openAlarms(AlarmEngine::allKeys());
    const double rebuildMs = double(t.nsecsElapsed()) / 1e6;
    out << QStringLiteral("  open %1 ms; alarm list rebuilt in %2 ms (%3 alarms listed)\n")
               .arg(openMs, 0, 'f', 1)
               .arg(rebuildMs, 0, 'f', 1)
               .arg(listed.size());

    const QDateTime now = QDateTime::currentDateTime();
    for (int run = 0; run < 3; ++run) {
        t.start();
        const QList<JournalEvent> day = journal.query(now.addDays(-1), now, 100000);
        out << QStringLiteral("  24-hour query over %1 rows: %2 ms, %3 rows%4\n")
                   .arg(journal.rowCount())
                   .arg(double(t.nsecsElapsed()) / 1e6, 0, 'f', 1)
                   .arg(day.size())
                   .arg(run == 0 ? QStringLiteral(" (first)") : QString());
    }
    appendTimes(journal, QStringLiteral("append at the end of the full journal"), 300);
}

void flood()
{
    out << "== Alarm flood: 32 channels toggling across an upper limit of 100 at every poll (1.5 s), 10 minutes (400 polls)\n";
    struct Setting {
        double deadband;
        int onDelay;
    };
    const Setting settings[] = {{1.0, 5}, {0.0, 5}, {1.0, 0}, {0.0, 0}};
    const float swings[] = {1.f, 5.f};
    for (float swing : swings) {
        for (const Setting &s : settings) {
            TAllRecord rec;
            TOption opt;
            state(rec, opt, 100.f);
            for (int i = 0; i < MaxChannels; ++i)
                opt.AlarmModes[size_t(i)] = amUpper;
            AlarmEngine engine;
            engine.setSettings({s.deadband, s.onDelay, QString()});
            QList<AlarmEvent> events;
            for (int poll = 0; poll < 400; ++poll) {
                for (int k = 1; k <= 32; ++k)
                    rec.Pv[size_t(k)] = poll % 2 ? 100.f - swing : 100.f + swing;
                engine.evaluate(rec, opt, 32, {QDateTime(), qint64(poll) * 1500}, events);
            }
            out << QStringLiteral("  value 100 ± %1, deadband %2 % (%3), on-delay %4 s: %5 events\n")
                       .arg(swing)
                       .arg(s.deadband)
                       .arg(s.deadband * 2.0)
                       .arg(s.onDelay)
                       .arg(events.size());
        }
    }
    // A value that stays above the limit but dips inside the deadband at every other poll.
    TAllRecord rec;
    TOption opt;
    state(rec, opt, 100.f);
    for (int i = 0; i < MaxChannels; ++i)
        opt.AlarmModes[size_t(i)] = amUpper;
    AlarmEngine engine;
    QList<AlarmEvent> events;
    for (int poll = 0; poll < 400; ++poll) {
        for (int k = 1; k <= 32; ++k)
            rec.Pv[size_t(k)] = poll <= 4 || poll % 2 ? 105.f : 99.f;
        engine.evaluate(rec, opt, 32, {QDateTime(), qint64(poll) * 1500}, events);
    }
    out << QStringLiteral("  value 105 dipping to 99 (inside the default deadband) at every other poll once raised: %1 events\n")
               .arg(events.size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString dir;
    qint64 rows = 2 * 525600; // two years, one event a minute
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--dir"))
            dir = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--rows"))
            rows = args.at(i + 1).toLongLong();
    }
    QTemporaryDir tmp(QDir::current().filePath(QStringLiteral("qz_bench_alarms-XXXXXX")));
    if (dir.isEmpty())
        dir = tmp.path();

    evaluation();
    flood();
    journalFigures(dir, rows);
    return 0;
}
