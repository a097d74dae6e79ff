// End to end over pseudo-terminals: the master and the qzpoll tool against the instrument
// simulator qzsim (an independent Modbus RTU slave on Qt SerialBus).

#include "InstrumentAnswer.h"
#include "ModbusM.h"
#include "Pty.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

const QString SimulatorPath = QStringLiteral(QZ_BINARY_DIR "/tools/qzsim/qzsim");
const QString PollerPath = QStringLiteral(QZ_BINARY_DIR "/tools/qzpoll/qzpoll");

// A running qzsim; stopped with SIGTERM when it goes out of scope.
class Simulator {
public:
    bool start(const QStringList &args)
    {
        m_process.start(SimulatorPath, args);
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (!m_process.canReadLine() && clock.elapsed() < 5000)
            m_process.waitForReadyRead(100);
        m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        return !m_path.isEmpty();
    }
    ~Simulator() { stop(); }

    // SIGTERM; the exit code, or -1 when it did not end cleanly.
    int stop(int signal = SIGTERM)
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        ::kill(pid_t(m_process.processId()), signal);
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    QString path() const { return m_path; }

private:
    QProcess m_process;
    QString m_path;
};

struct PollResult {
    int exitCode = -1;
    QStringList lines;
};

PollResult runPoller(const QStringList &args)
{
    QProcess p;
    p.start(PollerPath, args);
    PollResult r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return r;
}

} // namespace

class TestModbusEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void masterReadsSimulator_data();
    void masterReadsSimulator();
    void unmappedRegistersAreRefused();
    void pollerPrintsAnswers();
    void pollerReportsSilence();
    void pollerRejectsBadArguments();
    void simulatorLinkAndSignals();
    void simulatorOnGivenDevice();
    void simulatorOutage();
};

void TestModbusEndToEnd::initTestCase()
{
    QVERIFY2(QFileInfo(SimulatorPath).isExecutable(), qPrintable(SimulatorPath));
    QVERIFY2(QFileInfo(PollerPath).isExecutable(), qPrintable(PollerPath));
}

void TestModbusEndToEnd::masterReadsSimulator_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("quantity");
    QTest::newRow("16 channels, 32 registers") << 16 << 32;
    QTest::newRow("32 channels, 64 registers") << 32 << 64;
}

void TestModbusEndToEnd::masterReadsSimulator()
{
    QFETCH(int, channels);
    QFETCH(int, quantity);

    Simulator sim;
    QVERIFY(sim.start({QStringLiteral("--channels"), QString::number(channels)}));

    TModbusM m;
    m.setDeviceMap({{1, sim.path()}});
    m.setComPort(pnCOM1);
    m.setComPortSpeed(br9600);
    QVERIFY(m.OpenPort());
    int ready = 0;
    QList<int> errors;
    m.OnResponseReady = [&](TModbusM *) { ++ready; };
    m.OnError = [&](TModbusM *s, const QString &) { errors << s->LastError(); };

    for (int poll = 1; poll <= 2; ++poll) {
        m.OpenPort();
        m.FunctionCode = 3;
        m.SlaveId = 1;
        m.Offset = 0;
        m.Quantity = uint16_t(quantity);
        m.SendRequest();
        QTRY_COMPARE_WITH_TIMEOUT(ready, poll, 5000);
        // Only time-outs may come in between (the answer waits for the next poll tick).
        for (int e : errors)
            QCOMPARE(e, int(meTimeout));

        QCOMPARE(m.ResponseData.size(), 2 * quantity);
        const QList<ChannelReading> readings = DecodeInstrumentAnswer(m.ResponseData);
        QCOMPARE(readings.size(), channels);
        int alive = 0;
        for (const ChannelReading &r : readings) {
            if (r.channel == 5) {
                QCOMPARE(r.stateText(), QStringLiteral("信号断线"));
                continue;
            }
            QVERIFY2(!(r.status & StatusSensorBroken), qPrintable(QString::number(r.channel)));
            QVERIFY2(r.value() >= -20.0 && r.value() <= 220.0, qPrintable(QString::number(r.value())));
            // The state text follows the reported bits only.
            QVERIFY(r.stateText().isEmpty() || r.stateText() == QStringLiteral("上限报警")
                    || r.stateText() == QStringLiteral("下限报警"));
            if (r.raw != 0)
                ++alive;
        }
        QVERIFY(alive >= channels - 2);
    }
}

void TestModbusEndToEnd::unmappedRegistersAreRefused()
{
    // A 16-channel bank has 32 registers: asking for 64 gets exception 2.
    Simulator sim;
    QVERIFY(sim.start({}));
    TModbusM m;
    m.setDeviceMap({{1, sim.path()}});
    m.setComPort(pnCOM1);
    QVERIFY(m.OpenPort());
    m.setTimeout(3000);
    QStringList messages;
    m.OnError = [&](TModbusM *, const QString &msg) { messages << msg; };
    m.FunctionCode = 3;
    m.SlaveId = 1;
    m.Quantity = 64;
    m.SendRequest();
    QTRY_COMPARE_WITH_TIMEOUT(messages, QStringList{QStringLiteral(" 02-Dirección ilegal")}, 5000);
    QVERIFY(!m.Busy());
}

void TestModbusEndToEnd::pollerPrintsAnswers()
{
    Simulator sim;
    QVERIFY(sim.start({}));
    const PollResult r = runPoller({QStringLiteral("--device"), sim.path(), QStringLiteral("--count"), QStringLiteral("2")});
    QCOMPARE(r.exitCode, 0);

    static const QRegularExpression hexLine(QStringLiteral("^([0-9A-F]{2} ){63}[0-9A-F]{2}$"));
    static const QRegularExpression channelLine(QStringLiteral("^(\\d+) (-?\\d+\\.\\d{3})( \\S+)?$"));
    int hexLines = 0;
    QList<int> channels;
    for (const QString &line : r.lines) {
        if (hexLine.match(line).hasMatch()) {
            ++hexLines;
            continue;
        }
        if (line.contains(QStringLiteral("Time out")))
            continue; // an answer may come only after the time-out report
        const QRegularExpressionMatch m = channelLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        channels << m.captured(1).toInt();
        if (m.captured(1) == QStringLiteral("5"))
            QCOMPARE(line, QStringLiteral("5 0.000 信号断线"));
    }
    QCOMPARE(hexLines, 2);
    QCOMPARE(channels.size(), 32);
    QCOMPARE(channels.first(), 1);
    QCOMPARE(channels.at(15), 16);
}

void TestModbusEndToEnd::pollerReportsSilence()
{
    Pty silent; // nobody answers on this line
    const PollResult r = runPoller({QStringLiteral("--device"), silent.slavePath()});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.lines.contains(QStringLiteral(" 07-Time out")));
    // The request went out all the same.
    QCOMPARE(silent.readAvailable().toHex().toUpper(), QByteArray("0103000000204412"));
}

void TestModbusEndToEnd::pollerRejectsBadArguments()
{
    QTemporaryDir dir;
    QCOMPARE(runPoller({}).exitCode, 2);
    QCOMPARE(runPoller({QStringLiteral("--device"), QStringLiteral("/dev/null"), QStringLiteral("--baud"), QStringLiteral("12345")}).exitCode, 2);
    QCOMPARE(runPoller({QStringLiteral("--device"), QStringLiteral("/dev/null"), QStringLiteral("--slave"), QStringLiteral("300")}).exitCode, 2);
    QCOMPARE(runPoller({QStringLiteral("--device"), QStringLiteral("/dev/null"), QStringLiteral("--data"), QStringLiteral("XYZ")}).exitCode, 2);
    QCOMPARE(runPoller({QStringLiteral("--device"), dir.filePath(QStringLiteral("none"))}).exitCode, 1);
}

void TestModbusEndToEnd::simulatorLinkAndSignals()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyQZ"));
    {
        Simulator sim;
        QVERIFY(sim.start({QStringLiteral("--link"), link, QStringLiteral("--channels"), QStringLiteral("32")}));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path());
        // The station can use the link like a device name.
        const PollResult r = runPoller({QStringLiteral("--device"), link, QStringLiteral("--quantity"), QStringLiteral("64")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.lines.contains(QStringLiteral("5 0.000 信号断线")));
        QVERIFY(r.lines.filter(QRegularExpression(QStringLiteral("^32 "))).size() == 1);
        QCOMPARE(sim.stop(SIGTERM), 0);
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    }
    Simulator sim;
    QVERIFY(sim.start({QStringLiteral("--link"), link}));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(sim.stop(SIGINT), 0);
    QVERIFY(!QFileInfo(link).isSymLink());

    // Bad arguments end it at once with a message.
    QProcess bad;
    bad.start(SimulatorPath, {QStringLiteral("--channels"), QStringLiteral("8")});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("--channels"));
}

void TestModbusEndToEnd::simulatorOnGivenDevice()
{
    // --device serves an existing line; here the test plays the station on the far end.
    Pty line;
    Simulator sim;
    QVERIFY(sim.start({QStringLiteral("--device"), line.slavePath(), QStringLiteral("--channels"), QStringLiteral("32")}));
    QCOMPARE(sim.path(), line.slavePath());
    QVERIFY(line.write(QByteArray::fromHex("010300000040443A")));
    const QByteArray answer = line.readAtLeast(133, 5000);
    QCOMPARE(answer.size(), 133); // address, function, count, 128 data bytes, CRC
    QCOMPARE(answer.left(3).toHex().toUpper(), QByteArray("010380"));
    QCOMPARE(int(Crc16(answer.constData(), answer.size() - 2)),
             (uint8_t(answer.at(132)) << 8) | uint8_t(answer.at(131)));
    const QList<ChannelReading> readings = DecodeInstrumentAnswer(answer.mid(3, 128));
    QCOMPARE(readings.size(), 32);
    QCOMPARE(readings.at(4).stateText(), QStringLiteral("信号断线"));
}

void TestModbusEndToEnd::simulatorOutage()
{
    // Answers for two seconds, then silent for two, and so on: the master sees both. The wait
    // outlasts the poll tick, so a time-out here means silence, never a late answer.
    Simulator sim;
    QVERIFY(sim.start({QStringLiteral("--outage"), QStringLiteral("2"), QStringLiteral("--outage-every"), QStringLiteral("2")}));
    TModbusM m;
    m.setDeviceMap({{1, sim.path()}});
    m.setComPort(pnCOM1);
    QVERIFY(m.OpenPort());
    m.setTimeout(1500);
    int timeouts = 0;
    bool answerAfterSilence = false;
    m.OnResponseReady = [&](TModbusM *) { answerAfterSilence = answerAfterSilence || timeouts > 0; };
    m.OnError = [&](TModbusM *s, const QString &) { timeouts += s->LastError() == meTimeout; };
    auto poll = [&] {
        if (m.Busy())
            return;
        m.FunctionCode = 3;
        m.SlaveId = 1;
        m.Quantity = 32;
        m.SendRequest();
    };
    QTimer pollTimer;
    QObject::connect(&pollTimer, &QTimer::timeout, &m, poll);
    pollTimer.start(200);
    QTRY_VERIFY_WITH_TIMEOUT(timeouts > 0 && answerAfterSilence, 15000);
}

QTEST_GUILESS_MAIN(TestModbusEndToEnd)
#include "tst_modbus_e2e.moc"
