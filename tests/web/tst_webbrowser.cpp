// The web view in a real browser: Debian's chromium, headless, against the headless station on
// qzsim (a record every second), all started through one helper. Without a login every page
// goes to the login page and every API answers 401; after it the tiles show what the station
// stores, an outage shows ERROR and "中断", the history page draws a day with the gaps of an
// outage and of a span without records, and the CSV link gives the bytes --export-csv writes.
// With QZ_WEB_SHOTS=DIR the pages are also saved there at 1280×800 and 390×844.
#include "Browser.h"
#include "WebStation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

const QString Monitor = QStringLiteral(QZ_BINARY_DIR "/src/app/qzmonitor");

// A station and a browser with one page, logged in when asked.
struct Rig {
    WebStation station;
    Browser browser;
    QString page;

    bool start(const WebStationOptions &options, QString *error)
    {
        WebStationOptions o = options;
        o.buildDir = QStringLiteral(QZ_BINARY_DIR);
        if (!station.start(o, error) || !browser.start(error))
            return false;
        page = browser.newPage(error);
        return !page.isEmpty();
    }
    QString url(const QString &path) const { return station.baseUrl() + path; }
    QJsonValue eval(const QString &js, QString *error = nullptr) { return browser.evaluate(page, js, error); }
    bool waitFor(const QString &js, int ms, QString *error) { return browser.waitFor(page, js, ms, error); }
    // Through the login form, as an operator does.
    bool login(const QString &next, QString *error)
    {
        if (!browser.navigate(page, url(QStringLiteral("/login?next=") + next), error))
            return false;
        const QString fill = QStringLiteral("document.getElementById('user').value = %1;"
                                            "document.getElementById('password').value = %2;"
                                            "document.getElementById('login').submit(); true")
                                 .arg(jsString(WebStation::User), jsString(WebStation::Password));
        eval(fill, error);
        return waitFor(QStringLiteral("location.pathname === '%1' && document.readyState === 'complete'").arg(next),
                       15000, error);
    }
    static QString jsString(const QString &s)
    {
        QString out = s;
        out.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
        return QLatin1Char('\'') + out + QLatin1Char('\'');
    }
    void shots(const QString &name)
    {
        const QString dir = qEnvironmentVariable("QZ_WEB_SHOTS");
        if (dir.isEmpty())
            return;
        QDir().mkpath(dir);
        QString error;
        QVERIFY2(browser.screenshot(page, 1280, 800, QDir(dir).filePath(name + QStringLiteral("-1280x800.png")), &error),
                 qPrintable(error));
        QVERIFY2(browser.screenshot(page, 390, 844, QDir(dir).filePath(name + QStringLiteral("-390x844.png")), &error),
                 qPrintable(error));
    }
};

// The page reflows: nothing wider than the window at any width, more tiles side by side on a
// wide screen than on a phone.
int tileColumns(Rig &rig, int width)
{
    QString error;
    rig.browser.setViewport(rig.page, width, 900, &error);
    rig.eval(QStringLiteral("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))"));
    const QJsonObject o = rig.eval(QStringLiteral(
        "({scroll: document.documentElement.scrollWidth, inner: window.innerWidth,"
        " columns: new Set(Array.from(document.querySelectorAll('.tile')).map(t => Math.round(t.getBoundingClientRect().left))).size})"))
                              .toObject();
    if (o.value(QLatin1String("scroll")).toInt() > o.value(QLatin1String("inner")).toInt())
        return -1;
    return o.value(QLatin1String("columns")).toInt();
}

// Rows of one statement on a read-only connection of its own: the first `columns` columns, trimmed.
QList<QStringList> historyRows(const QString &home, const QString &statement, int columns)
{
    const QString name = QStringLiteral("web-test-read");
    QList<QStringList> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(home + QStringLiteral("/wwdd.db"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=3000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(statement))
                while (q.next()) {
                    QStringList row;
                    for (int c = 0; c < columns; ++c)
                        row.append(q.value(c).toString().trimmed());
                    rows.append(row);
                }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

QString stamp(const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); }

QStringList trimmed(const QJsonArray &a)
{
    QStringList out;
    for (const QJsonValue &v : a)
        out.append(v.toString().trimmed());
    return out;
}

} // namespace

class TestWebBrowser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pagesNeedLogin();
    void overviewFollowsStation();
    void outageShowsErrorAndInterrupted();
    void historyDrawsDayWithGaps();
    void alarmsPage();
};

void TestWebBrowser::pagesNeedLogin()
{
    Rig rig;
    QString error;
    QVERIFY2(rig.start({}, &error), qPrintable(error));

    for (const QString &page : {QStringLiteral("/"), QStringLiteral("/alarms"), QStringLiteral("/history")}) {
        QVERIFY2(rig.browser.navigate(rig.page, rig.url(page), &error), qPrintable(error));
        QCOMPARE(rig.eval(QStringLiteral("location.pathname")).toString(), QStringLiteral("/login"));
        QCOMPARE(rig.eval(QStringLiteral("document.documentElement.lang")).toString(), QStringLiteral("zh-CN"));
        QVERIFY(rig.eval(QStringLiteral("document.getElementById('password').type")).toString() == QLatin1String("password"));
    }
    // From the login page: every API and script answers 401, the live connection is refused.
    const QJsonArray statuses = rig.eval(QStringLiteral(
        "Promise.all(['/api/status','/api/live','/api/alarms','/api/events','/api/history?span=60',"
        "'/api/history.csv?span=60','/static/overview.js','/dygraphs/dygraph.min.js','/ws']"
        ".map(u => fetch(u).then(r => r.status)))")).toArray();
    QCOMPARE(statuses.size(), 9);
    for (const QJsonValue &s : statuses)
        QCOMPARE(s.toInt(), 401);
    QCOMPARE(rig.eval(QStringLiteral("new Promise(r => { const w = new WebSocket('ws://' + location.host + '/ws');"
                                     " w.onopen = () => r('open'); w.onclose = () => r('refused'); })"))
                 .toString(),
             QStringLiteral("refused"));

    // A wrong password says so on the page; the right one leads to the page asked for.
    QVERIFY2(rig.browser.navigate(rig.page, rig.url(QStringLiteral("/login?next=/alarms")), &error), qPrintable(error));
    rig.eval(QStringLiteral("document.getElementById('user').value = 'operator';"
                            "document.getElementById('password').value = 'not the password';"
                            "document.getElementById('login').submit(); true"));
    QVERIFY2(rig.waitFor(QStringLiteral("document.getElementById('message') && "
                                        "document.getElementById('message').textContent === '用户名或密码错误'"),
                         10000, &error),
             qPrintable(error + rig.eval(QStringLiteral("location.href + ' ' + document.body.innerText")).toString()));
    QVERIFY2(rig.login(QStringLiteral("/alarms"), &error), qPrintable(error));
    // The session cookie is out of the scripts' reach.
    QCOMPARE(rig.eval(QStringLiteral("document.cookie")).toString(), QString());
    QCOMPARE(rig.eval(QStringLiteral("fetch('/api/status').then(r => r.status)")).toInt(), 200);

    // Logging out ends the session: the open page's live connection closes and it goes back to
    // the login page.
    QVERIFY2(rig.browser.navigate(rig.page, rig.url(QStringLiteral("/")), &error), qPrintable(error));
    QVERIFY2(rig.waitFor(QStringLiteral("document.querySelectorAll('.tile').length === 16"), 10000, &error), qPrintable(error));
    const QString second = rig.browser.newPage(&error);
    QVERIFY2(rig.browser.navigate(second, rig.url(QStringLiteral("/history")), &error), qPrintable(error));
    rig.browser.evaluate(second, QStringLiteral("document.querySelector('form[action=\"/logout\"]').submit(); true"));
    QVERIFY2(rig.browser.waitFor(second, QStringLiteral("location.pathname === '/login'"), 10000, &error), qPrintable(error));
    QVERIFY2(rig.waitFor(QStringLiteral("location.pathname === '/login'"), 10000, &error), qPrintable(error));
    QCOMPARE(rig.eval(QStringLiteral("fetch('/api/live').then(r => r.status)")).toInt(), 401);
    QCOMPARE(rig.station.stop(), 0);
}

void TestWebBrowser::overviewFollowsStation()
{
    Rig rig;
    QString error;
    QVERIFY2(rig.start({}, &error), qPrintable(error));
    QVERIFY2(rig.login(QStringLiteral("/"), &error), qPrintable(error));
    QVERIFY2(rig.waitFor(QStringLiteral("document.body.dataset.comm === 'OK' && document.querySelectorAll('.tile').length === 16"),
                         15000, &error),
             qPrintable(error));

    // For a while: every record the station stores shows on the page at a refresh tick (the
    // answer decoded before a storage tick is the one shown at the refresh tick after it).
    const QDateTime from = QDateTime::currentDateTime();
    QTest::qWait(6000);
    const QDateTime to = QDateTime::currentDateTime().addSecs(-2);
    const QJsonArray shownLog = rig.eval(QStringLiteral("window.qzShown")).toArray();
    QList<QStringList> shown;
    for (const QJsonValue &entry : shownLog)
        shown.append(trimmed(entry.toArray().at(2).toArray()));
    // The newest record's values, all 16 channels, are among what the page shows within a
    // refresh tick or two.
    const auto newest = rig.station.newestRecord(16);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QJsonArray log = rig.eval(QStringLiteral("window.qzShown")).toArray();
            for (const QJsonValue &entry : log)
                if (trimmed(entry.toArray().at(2).toArray()) == newest.second)
                    return true;
            return false;
        }(),
        3000);
    // And so are those of every record stored meanwhile, channel by channel.
    const QList<QStringList> stored = historyRows(
        rig.station.home(),
        QStringLiteral("select aa1, aa2, aa3, aa4, aa5, aa6, aa7, aa8, aa9, aa10, aa11, aa12, aa13, aa14, aa15, aa16, datim"
                       " from wwdd where datim >= '%1' and datim <= '%2' order by datim")
            .arg(stamp(from), stamp(to)),
        17);
    QVERIFY2(stored.size() >= 3, qPrintable(QString::number(stored.size())));
    QStringList missing;
    for (const QStringList &row : stored)
        if (!shown.contains(row.mid(0, 16)))
            missing.append(row.join(u' '));
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u'\n')));

    // The four panels with the station's own texts; the broken sensor of channel 5 in red.
    const QJsonObject panels = rig.eval(QStringLiteral(
        "({p0: panel0.textContent, p1: panel1.textContent, p2: panel2.textContent, p3: panel3.textContent,"
        "  red: panel3.classList.contains('unacked')})")).toObject();
    QCOMPARE(panels.value(QLatin1String("p0")).toString(), QStringLiteral("通讯接收正常：OK！ "));
    QCOMPARE(panels.value(QLatin1String("p1")).toString(), QStringLiteral("通讯接口： COM1"));
    QCOMPARE(panels.value(QLatin1String("p2")).toString(), QStringLiteral("通讯速率： 9600 Bps"));
    QVERIFY(panels.value(QLatin1String("p3")).toString().startsWith(QStringLiteral("报警：")));
    QVERIFY(panels.value(QLatin1String("p3")).toString().endsWith(QStringLiteral(" 条未确认")));
    QVERIFY(panels.value(QLatin1String("red")).toBool());
    const QJsonObject tile5 = rig.eval(QStringLiteral(
        "(t => ({name: t.querySelector('.name').textContent, state: t.querySelector('.state').textContent,"
        " alarm: t.classList.contains('alarm'), unit: t.querySelector('.unit').textContent,"
        " color: getComputedStyle(t.querySelector('.state')).backgroundColor}))(document.querySelector('.tile[data-channel=\"5\"]'))"))
                                  .toObject();
    QCOMPARE(tile5.value(QLatin1String("name")).toString(), QStringLiteral("油储温度5"));
    QCOMPARE(tile5.value(QLatin1String("state")).toString(), QStringLiteral("信号断线"));
    QCOMPARE(tile5.value(QLatin1String("unit")).toString(), QStringLiteral("℃"));
    QVERIFY(tile5.value(QLatin1String("alarm")).toBool());
    QCOMPARE(tile5.value(QLatin1String("color")).toString(), QStringLiteral("rgb(255, 0, 0)"));

    // Reflow from a 1920-pixel screen to a 390-pixel phone.
    const int wide = tileColumns(rig, 1920);
    const int laptop = tileColumns(rig, 1280);
    const int phone = tileColumns(rig, 390);
    QVERIFY2(wide > laptop && laptop > phone && phone >= 1, qPrintable(QStringLiteral("%1 %2 %3").arg(wide).arg(laptop).arg(phone)));
    QVERIFY(phone <= 2);
    rig.shots(QStringLiteral("overview"));
    // Nothing went wrong on the way: no script error, no blocked resource, no refused request.
    QVERIFY2(rig.browser.problems(rig.page).isEmpty(), qPrintable(rig.browser.problems(rig.page).join(u'\n')));
    QCOMPARE(rig.station.stop(), 0);
}

void TestWebBrowser::outageShowsErrorAndInterrupted()
{
    Rig rig;
    QString error;
    QVERIFY2(rig.start({}, &error), qPrintable(error));
    QVERIFY2(rig.login(QStringLiteral("/"), &error), qPrintable(error));
    QVERIFY2(rig.waitFor(QStringLiteral("document.body.dataset.comm === 'OK' && document.querySelectorAll('.tile').length === 16"),
                         15000, &error),
             qPrintable(error));
    QTest::qWait(2000); // two refresh ticks of answers

    const qint64 silentAt = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(rig.station.simulator().toggleAnswering());
    const QString allDown = QStringLiteral(
        "document.body.dataset.comm === 'ERROR' && panel0.textContent === '通讯接收错误：ERROR！！！ ' &&"
        " Array.from(document.querySelectorAll('.tile')).every(t => t.querySelector('.value').textContent === '中断'"
        "   && t.querySelector('.state').textContent === '--' && t.querySelector('.unit').textContent === '')");
    QVERIFY2(rig.waitFor(allDown, 10000, &error), qPrintable(error));
    // When it showed: the first message the page rendered with ERROR.
    const double shownAt = rig.eval(QStringLiteral(
        "(window.qzShown.find(e => e[0] >= %1 && e[2].every(t => t === '中断')) || [0])[0]").arg(silentAt)).toDouble();
    const qint64 after = qint64(shownAt) - silentAt;
    qInfo("ERROR and 中断 shown %lld ms after the line fell silent", after);
    // The station declares the line silent at its second refresh tick without an answer after a
    // poll (at most 2.5 s after the last answer) and the page shows the next message at once.
    QVERIFY2(after > 0 && after <= 4000 + 1500, qPrintable(QString::number(after)));
    rig.shots(QStringLiteral("outage"));

    // Answers again: OK and values.
    QVERIFY(rig.station.simulator().toggleAnswering());
    QVERIFY2(rig.waitFor(QStringLiteral("document.body.dataset.comm === 'OK' && "
                                        "document.querySelector('.tile[data-channel=\"1\"] .value').textContent !== '中断'"),
                         10000, &error),
             qPrintable(error));
    QVERIFY2(rig.browser.problems(rig.page).isEmpty(), qPrintable(rig.browser.problems(rig.page).join(u'\n')));
    QCOMPARE(rig.station.stop(), 0);
}

void TestWebBrowser::historyDrawsDayWithGaps()
{
    // A day of records every 5 s (17,280 a day) before the station starts, with an outage
    // (interruption markers, 20 minutes) and a span without records (30 minutes), and the
    // station storing every 5 s after it.
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime first = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), now.time().second()))
                                .addSecs(-86400 + 10);
    constexpr int Records = 17278;
    const int outageFrom = 6000, outageTo = 6240;  // records 6000 … 6239: 20 minutes
    const int holeFrom = 12000, holeTo = 12360;    // records 12000 … 12359 missing: 30 minutes
    WebStationOptions options;
    options.storageMs = 5000;
    QString prepareError;
    options.prepareHome = [&](const QString &home) {
        const bool ok = writeHistory(
            home, first, 5000, Records,
            [&](int r, int k) {
                if (k > 16)
                    return QString();
                if (r >= outageFrom && r < outageTo)
                    return QStringLiteral("-1000.000");
                return QString::asprintf("%8.3f", 60.0 + 10.0 * k + 20.0 * std::sin(r / 300.0 + k));
            },
            [&](int r) { return r >= holeFrom && r < holeTo; }, &prepareError);
        if (!ok)
            prepareError = QStringLiteral("history: ") + prepareError;
    };
    Rig rig;
    QString error;
    QVERIFY2(rig.start(options, &error), qPrintable(error + prepareError));
    QVERIFY2(prepareError.isEmpty(), qPrintable(prepareError));
    QVERIFY2(rig.login(QStringLiteral("/history"), &error), qPrintable(error));
    QVERIFY2(rig.waitFor(QStringLiteral("document.body.dataset.drawn !== undefined && document.body.dataset.drawn !== ''"),
                         15000, &error),
             qPrintable(error));

    // 1天, channels 1 … 4.
    rig.eval(QStringLiteral(
        "document.querySelector('input[name=span][value=\"86400\"]').checked = true;"
        "for (const b of document.querySelectorAll('#channels input')) b.checked = Number(b.value) <= 4;"
        "window.qzRun(); true"));
    QVERIFY2(rig.waitFor(QStringLiteral("document.body.dataset.drawn > 16500 && window.qzGraph && window.qzGraph.numColumns() === 5"),
                         30000, &error),
             qPrintable(error + rig.eval(QStringLiteral("JSON.stringify(document.body.dataset) + historyError.textContent + historyInfo.textContent")).toString()));
    const QJsonObject drawn = rig.eval(QStringLiteral(
        "({rows: Number(document.body.dataset.drawn), gaps: Number(document.body.dataset.gaps),"
        "  interruptions: Number(document.body.dataset.interruptions), ms: Number(document.body.dataset.drawMs),"
        "  from: document.getElementById('from').value, to: document.getElementById('to').value,"
        "  csv: document.getElementById('csv').getAttribute('href')})")).toObject();
    qInfo("day chart: %d records, drawn %.0f ms after the request", drawn.value(QLatin1String("rows")).toInt(),
          drawn.value(QLatin1String("ms")).toDouble());
    // Every record of the range, as the history window's query finds it.
    const QString fromText = drawn.value(QLatin1String("from")).toString().replace(u'T', u' ');
    const QString toText = drawn.value(QLatin1String("to")).toString().replace(u'T', u' ');
    const QList<QStringList> counted = historyRows(
        rig.station.home(),
        QStringLiteral("select count(*) from wwdd where datim >= '%1.000' and datim <= '%2.999'")
            .arg(QString(fromText).replace(u' ', u'T'), QString(toText).replace(u' ', u'T')),
        1);
    QCOMPARE(counted.size(), 1);
    const int expected = counted.first().first().toInt();
    QCOMPARE(drawn.value(QLatin1String("rows")).toInt(), expected);
    // The range is the day before the query, whenever it ran: it holds every prepared record
    // from its start on (the hole excepted), besides those the station stored since.
    const QDateTime rangeFrom = QDateTime::fromString(drawn.value(QLatin1String("from")).toString(), Qt::ISODate);
    const QDateTime rangeTo = QDateTime::fromString(drawn.value(QLatin1String("to")).toString(), Qt::ISODate).addMSecs(999);
    QVERIFY2(rangeFrom.isValid() && rangeTo.isValid(), qPrintable(fromText + u' ' + toText));
    int prepared = 0;
    for (int r = 0; r < Records; ++r) {
        const QDateTime t = first.addMSecs(qint64(r) * 5000);
        prepared += !(r >= holeFrom && r < holeTo) && t >= rangeFrom && t <= rangeTo;
    }
    QVERIFY2(prepared > 16000, qPrintable(QString::number(prepared))); // most of a day is drawn
    QVERIFY2(expected >= prepared, qPrintable(QStringLiteral("%1 of %2 prepared records").arg(expected).arg(prepared)));
    QVERIFY2(drawn.value(QLatin1String("gaps")).toInt() >= 1, "the span without records");
    // The outage in each of the four channels (and the station's own first record, before its
    // first answer, may add its own).
    QVERIFY(drawn.value(QLatin1String("interruptions")).toInt() >= 4);

    // On the chart itself: no curve in the middle of the outage or of the span without records,
    // curves everywhere else.
    auto curvePixels = [&](const QDateTime &at) {
        const QString local = at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        return rig.eval(QStringLiteral(
                            "(() => { const g = window.qzGraph; const x = Math.round(g.toDomXCoord(Date.parse('%1Z')));"
                            " const c = g.hidden_; const ctx = c.getContext('2d'); const h = c.height;"
                            " const data = ctx.getImageData(x - 1, 0, 3, h).data; let n = 0;"
                            " for (let i = 0; i < data.length; i += 4) {"
                            "   const r = data[i], gg = data[i + 1], b = data[i + 2];"
                            "   if (Math.max(r, gg, b) - Math.min(r, gg, b) > 100) ++n; }"
                            " return n; })()")
                            .arg(local))
            .toInt();
    };
    const int inOutage = curvePixels(first.addMSecs(qint64(outageFrom + outageTo) / 2 * 5000));
    const int inHole = curvePixels(first.addMSecs(qint64(holeFrom + holeTo) / 2 * 5000));
    const int before = curvePixels(first.addMSecs(qint64(outageFrom - 600) * 5000));
    const int after = curvePixels(first.addMSecs(qint64(holeTo + 600) * 5000));
    QVERIFY2(inOutage == 0 && inHole == 0 && before > 0 && after > 0,
             qPrintable(QStringLiteral("outage %1, hole %2, before %3, after %4").arg(inOutage).arg(inHole).arg(before).arg(after)));
    rig.shots(QStringLiteral("history"));

    // The CSV link: the very bytes --export-csv writes for the same range.
    const QString csvBase64 = rig.eval(QStringLiteral(
        "fetch(document.getElementById('csv').getAttribute('href')).then(r => r.arrayBuffer()).then(b => {"
        " let s = ''; const u = new Uint8Array(b); for (let i = 0; i < u.length; i += 8192)"
        "   s += String.fromCharCode.apply(null, u.subarray(i, i + 8192)); return btoa(s); })"), &error).toString();
    QVERIFY2(!csvBase64.isEmpty(), qPrintable(error));
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("export.csv"));
    QProcess exporter;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    exporter.setProcessEnvironment(env);
    exporter.start(Monitor, {QStringLiteral("--home"), rig.station.home(), QStringLiteral("--export-csv"), file,
                             QStringLiteral("--from"), fromText, QStringLiteral("--to"), toText});
    QVERIFY(exporter.waitForFinished(60000));
    QCOMPARE(exporter.exitCode(), 0);
    QFile exported(file);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const QByteArray web = QByteArray::fromBase64(csvBase64.toLatin1());
    const QByteArray cli = exported.readAll();
    QCOMPARE(web.size(), cli.size());
    QVERIFY(web == cli);
    QVERIFY(web.startsWith("\xEF\xBB\xBF时间,aa1,aa2"));
    QVERIFY2(rig.browser.problems(rig.page).isEmpty(), qPrintable(rig.browser.problems(rig.page).join(u'\n')));
    QCOMPARE(rig.station.stop(), 0);
}

void TestWebBrowser::alarmsPage()
{
    Rig rig;
    QString error;
    QVERIFY2(rig.start({}, &error), qPrintable(error));
    QVERIFY2(rig.login(QStringLiteral("/alarms"), &error), qPrintable(error));
    // Channel 5's broken sensor is an unacknowledged alarm, marked; its raise is in the journal
    // of the last 24 hours, with the station's start before it.
    QVERIFY2(rig.waitFor(QStringLiteral(
                             "Array.from(document.querySelectorAll('#alarmList tbody tr')).some(tr =>"
                             " tr.classList.contains('unacknowledged') && tr.children[1].textContent === '5'"
                             " && tr.children[3].textContent === '信号断线' && tr.children[5].textContent === '报警未确认')"),
                         15000, &error),
             qPrintable(error));
    QCOMPARE(trimmed(rig.eval(QStringLiteral("Array.from(document.querySelectorAll('#alarmList th')).map(t => t.textContent)")).toArray()),
             (QStringList{QStringLiteral("报警时间"), QStringLiteral("通道"), QStringLiteral("名称"), QStringLiteral("类型"),
                          QStringLiteral("数值"), QStringLiteral("状态")}));
    QVERIFY(rig.eval(QStringLiteral("document.getElementById('alarmCount').textContent")).toString().contains(QStringLiteral("条未确认")));
    QVERIFY2(rig.waitFor(QStringLiteral(
                             "Array.from(document.querySelectorAll('#journal tbody tr')).some(tr =>"
                             " tr.classList.contains('raised') && tr.children[4].textContent === '信号断线') &&"
                             "Array.from(document.querySelectorAll('#journal tbody tr')).some(tr =>"
                             " tr.children[4].textContent === '程序启动')"),
                         15000, &error),
             qPrintable(error));
    QVERIFY(rig.eval(QStringLiteral("document.getElementById('journalCount').textContent")).toString().endsWith(QStringLiteral(" 条")));
    rig.shots(QStringLiteral("alarms"));
    // A range of the picker before the station ran holds nothing.
    rig.eval(QStringLiteral("journalFrom.value = '2001-01-01T00:00:00'; journalTo.value = '2001-01-02T00:00:00';"
                            "document.querySelector('#journalRange button[type=submit]').click(); true"));
    QVERIFY2(rig.waitFor(QStringLiteral("document.getElementById('journalCount').textContent === '0 条' &&"
                                        " document.querySelectorAll('#journal tbody tr').length === 0"),
                         10000, &error),
             qPrintable(error));
    // Read-only: nothing on the page acknowledges.
    QCOMPARE(rig.eval(QStringLiteral("Array.from(document.querySelectorAll('button')).filter(b => b.textContent.includes('确认')).length")).toInt(), 0);
    QVERIFY2(rig.browser.problems(rig.page).isEmpty(), qPrintable(rig.browser.problems(rig.page).join(u'\n')));
    QCOMPARE(rig.station.stop(), 0);
}

QTEST_GUILESS_MAIN(TestWebBrowser)
#include "tst_webbrowser.moc"
