// The master against instruments behind Ethernet: qzsim served over TCP, as a serial device
// server passing RTU frames (qzsim --tcp) and as a Modbus TCP instrument (qzsim --tcp --mbap,
// Qt SerialBus's own server). Faults a sound gateway never makes come from a relay between the
// two (GatewayProxy); connections that go nowhere from sockets the test holds itself.

#include "DeviceAddress.h"
#include "GatewayProxy.h"
#include "InstrumentAnswer.h"
#include "ModbusM.h"
#include "Simulator.h"
#include "TcpDevice.h"

#include <QElapsedTimer>
#include <QModbusTcpClient>
#include <QProcess>
#include <QThread>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString PollerPath = QStringLiteral(QZ_BINARY_DIR "/tools/qzpoll/qzpoll");

QStringList simulatorArgs(bool mbap, int channels = 16, const QStringList &more = {})
{
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--channels"), QString::number(channels)};
    if (mbap)
        args << QStringLiteral("--mbap");
    return args + more;
}

quint16 portOf(const QString &device)
{
    DeviceAddress a;
    return parseDeviceAddress(device, &a) ? a.port : 0;
}

// The device string for a relay on `port`, in the simulator's mode.
QString viaPort(bool mbap, quint16 port)
{
    return mbap ? QStringLiteral("modbus-tcp://127.0.0.1:%1?unit=1").arg(port) : QStringLiteral("tcp://127.0.0.1:%1").arg(port);
}

// The registers of a Modbus TCP device as Qt's own client reads them: the truth answers are
// compared with, from an implementation that shares nothing with the master.
bool readByQtClient(const QString &device, int count, QByteArray *bytes)
{
    DeviceAddress a;
    if (!parseDeviceAddress(device, &a) || a.transport != DeviceTransport::ModbusTcp)
        return false;
    QModbusTcpClient client;
    client.setConnectionParameter(QModbusDevice::NetworkAddressParameter, a.host);
    client.setConnectionParameter(QModbusDevice::NetworkPortParameter, a.port);
    client.setTimeout(3000);
    client.setNumberOfRetries(0);
    if (!client.connectDevice() || !QTest::qWaitFor([&] { return client.state() == QModbusDevice::ConnectedState; }, 5000))
        return false;
    QModbusReply *reply = client.sendReadRequest(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, quint16(count)), 1);
    if (!reply || !QTest::qWaitFor([&] { return reply->isFinished(); }, 5000) || reply->error() != QModbusDevice::NoError)
        return false;
    bytes->clear();
    for (quint16 v : reply->result().values())
        bytes->append(char(v >> 8)).append(char(v & 0xFF));
    delete reply;
    return bytes->size() == 2 * count;
}

// A master on COM1 = device, recording its events.
struct Master {
    TModbusM m;
    QList<int> errors;
    QList<QByteArray> answers;

    explicit Master(const QString &device)
    {
        m.setDeviceMap({{1, device}});
        m.setComPort(pnCOM1);
        m.OnError = [this](TModbusM *s, const QString &) { errors << s->LastError(); };
        m.OnResponseReady = [this](TModbusM *s) { answers << s->ResponseData; };
    }
    // Calls OpenPort, as the station's poll tick does, until the connection is there.
    bool open(int waitMs = 5000)
    {
        return QTest::qWaitFor([this] { return m.OpenPort(); }, waitMs);
    }
    void request(int quantity = 32)
    {
        m.FunctionCode = 3;
        m.SlaveId = 1;
        m.Offset = 0;
        m.Quantity = uint16_t(quantity);
        m.SendRequest();
    }
    TcpDevice *device() const { return dynamic_cast<TcpDevice *>(m.Device()); }
    // Events so far; waits for the next one.
    int events() const { return int(errors.size() + answers.size()); }
};

struct PollResult {
    int exitCode = -1;
    QString out;
    QString err;
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
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void addModes()
{
    QTest::addColumn<bool>("mbap");
    QTest::newRow("RTU over TCP") << false;
    QTest::newRow("Modbus TCP") << true;
}

// The data bytes of a read answer as the relay saw it.
QByteArray dataOf(const QByteArray &answer, bool mbap) { return answer.mid(mbap ? 9 : 3, 64); }

} // namespace

class TestModbusTcp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void valuesExact_data();
    void valuesExact();
    void pollerOverTcp();
    void silentGateway_data() { addModes(); }
    void silentGateway();
    void gatewayClosesMidFrame_data() { addModes(); }
    void gatewayClosesMidFrame();
    void frameSplitAtEveryByte_data() { addModes(); }
    void frameSplitAtEveryByte();
    void mbapBadHeaders();
    void hostNotResolved();
    void gatewayOffAndBack();
    void connectTimeout();
    void masterOnItsOwnThread();
    void realTimersRtuOverTcp() { pollWithRealTimers(false); }
    void realTimersModbusTcp() { pollWithRealTimers(true); }

private:
    void pollWithRealTimers(bool mbap);
};

void TestModbusTcp::initTestCase()
{
    QVERIFY2(QFileInfo(simulatorProgram()).isExecutable(), qPrintable(simulatorProgram()));
    QVERIFY2(QFileInfo(PollerPath).isExecutable(), qPrintable(PollerPath));
}

void TestModbusTcp::valuesExact_data()
{
    QTest::addColumn<bool>("mbap");
    QTest::addColumn<int>("channels");
    QTest::newRow("RTU over TCP, 16 channels") << false << 16;
    QTest::newRow("RTU over TCP, 32 channels") << false << 32;
    QTest::newRow("Modbus TCP, 16 channels") << true << 16;
    QTest::newRow("Modbus TCP, 32 channels") << true << 32;
}

void TestModbusTcp::valuesExact()
{
    QFETCH(bool, mbap);
    QFETCH(int, channels);
    const int quantity = 2 * channels;
    const QStringList hold{QStringLiteral("--hold")};

    // A held bank starts from the same values in every simulator.
    Simulator truthBank(simulatorProgram());
    QVERIFY(truthBank.start(simulatorArgs(true, channels, hold)));
    QByteArray truth;
    QVERIFY(readByQtClient(truthBank.path(), quantity, &truth));

    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(mbap, channels, hold)));
    QVERIFY(sim.path().startsWith(mbap ? QStringLiteral("modbus-tcp://127.0.0.1:") : QStringLiteral("tcp://127.0.0.1:")));
    Master master(sim.path());
    QVERIFY(!master.m.OpenPort()); // connecting takes its time: never there at once
    QVERIFY(master.m.PortOpening());
    QVERIFY(!master.m.PollTimer().isActive());
    QVERIFY(master.open());
    // The call that finds the connection up configures it and starts the poll tick.
    QVERIFY(master.m.PollTimer().isActive());
    for (int poll = 1; poll <= 3; ++poll) {
        master.request(quantity);
        QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), poll, 5000);
        QCOMPARE(master.answers.last().toHex(' '), truth.toHex(' '));
    }
    QCOMPARE(master.errors, QList<int>());

    const QList<ChannelReading> readings = DecodeInstrumentAnswer(master.answers.last());
    QCOMPARE(readings.size(), channels);
    QCOMPARE(readings.at(4).stateText(), QStringLiteral("信号断线"));

    // qzpoll over the same device string prints the same bytes.
    const PollResult r = runPoller({QStringLiteral("--device"), sim.path(), QStringLiteral("--quantity"), QString::number(quantity)});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith(QString::fromLatin1(truth.toHex(' ').toUpper()) + u'\n'), qPrintable(r.out));
    QVERIFY(r.out.contains(QStringLiteral("\n5 0.000 信号断线\n")));
}

void TestModbusTcp::pollerOverTcp()
{
    // A port nobody listens on: refused, said so, exit 1.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    for (const QString &device : {QStringLiteral("tcp://127.0.0.1:%1").arg(port), QStringLiteral("modbus-tcp://127.0.0.1:%1").arg(port)}) {
        const PollResult r = runPoller({QStringLiteral("--device"), device});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(QStringLiteral("拒绝连接")) && r.err.contains(QStringLiteral("connection refused")), qPrintable(r.err));
    }
    // Malformed device strings are bad arguments.
    for (const QString &device : {QStringLiteral("tcp://127.0.0.1"), QStringLiteral("modbus-tcp://h?unit=999"), QStringLiteral("ftp://h:21")}) {
        const PollResult r = runPoller({QStringLiteral("--device"), device});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(!r.err.isEmpty(), qPrintable(device));
    }
    // Several requests on one connection, every one answered.
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(true)));
    const PollResult r = runPoller({QStringLiteral("--device"), sim.path(), QStringLiteral("--count"), QStringLiteral("3")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.count(QStringLiteral("\n5 0.000 信号断线\n")), 3);
}

void TestModbusTcp::silentGateway()
{
    QFETCH(bool, mbap);
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(mbap)));
    Master master(sim.path());
    QVERIFY(master.open());
    master.request();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), 1, 5000);

    // The gateway keeps the connection and reads the requests, but nothing comes back: every
    // request ends by its time-out and nothing is decoded.
    QVERIFY(sim.toggleAnswering());
    QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QStringLiteral("not answering")), 5000);
    for (int i = 1; i <= 2; ++i) {
        master.request();
        QTRY_COMPARE_WITH_TIMEOUT(master.errors.size(), i, 5000);
        QCOMPARE(master.errors.last(), int(meTimeout));
        QVERIFY(master.m.IsPortOpen());
    }
    // A late answer would show here: wait as long again.
    QTest::qWait(master.m.Timeout());
    QCOMPARE(master.answers.size(), 1);

    QVERIFY(sim.toggleAnswering());
    QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QStringLiteral("answering again")), 5000);
    master.request();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), 2, 5000);
    QCOMPARE(master.errors, (QList<int>{meTimeout, meTimeout}));
}

void TestModbusTcp::gatewayClosesMidFrame()
{
    QFETCH(bool, mbap);
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(mbap, 16, {QStringLiteral("--hold")})));
    GatewayProxy proxy(portOf(sim.path()), mbap ? GatewayProxy::Framing::Mbap : GatewayProxy::Framing::Rtu);
    QVERIFY(proxy.listen());
    QByteArray firstAnswer;
    proxy.setScript([&](int n, const QByteArray &answer) {
        if (n > 1)
            return GatewayProxy::passThrough(answer);
        firstAnswer = answer;
        return GatewayProxy::Reply{{{answer.left(answer.size() / 2), 0}}, true};
    });

    Master master(viaPort(mbap, proxy.port()));
    QVERIFY(master.open());
    master.request();
    // Half an answer, then the far end hangs up: the line is lost, the half is never decoded,
    // and the request ends by its time-out, as on a serial line that goes dead.
    QTRY_VERIFY_WITH_TIMEOUT(!master.m.IsPortOpen(), 5000);
    QVERIFY2(master.m.PortErrorText().contains(QStringLiteral("断开了连接")), qPrintable(master.m.PortErrorText()));
    QTRY_COMPARE_WITH_TIMEOUT(master.errors, QList<int>{meTimeout}, 5000);
    QVERIFY(master.answers.isEmpty());

    // The next poll ticks reconnect after the retry wait; the half frame is gone with the old
    // connection and the next answer is whole.
    QVERIFY(!master.m.PollTimer().isActive());
    QVERIFY(master.open(TcpDevice::FirstRetryMs + TcpDevice::ConnectTimeoutMs + 2000));
    QVERIFY(master.m.PollTimer().isActive());
    QCOMPARE(proxy.connectionsAccepted(), 2);
    master.request();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), 1, 5000);
    QCOMPARE(master.answers.first(), dataOf(firstAnswer, mbap));
    QCOMPARE(master.errors, QList<int>{meTimeout});
}

void TestModbusTcp::frameSplitAtEveryByte()
{
    QFETCH(bool, mbap);
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(mbap, 16, {QStringLiteral("--hold")})));
    GatewayProxy proxy(portOf(sim.path()), mbap ? GatewayProxy::Framing::Mbap : GatewayProxy::Framing::Rtu);
    QVERIFY(proxy.listen());
    // Answer n is cut after byte n; the rest follows after a pause longer than any frame gap,
    // so the master sees the first piece on its own.
    QByteArray whole;
    proxy.setScript([&](int n, const QByteArray &answer) {
        whole = answer;
        return GatewayProxy::Reply{{{answer.left(n), 0}, {answer.mid(n), 30}}, false};
    });
    Master master(viaPort(mbap, proxy.port()));
    QVERIFY(master.open());
    const int frameSize = mbap ? 7 + 2 + 64 : 3 + 64 + 2;
    for (int cut = 1; cut < frameSize; ++cut) {
        master.request();
        QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), cut, 5000);
        QCOMPARE(whole.size(), frameSize);
        QCOMPARE(master.answers.last(), dataOf(whole, mbap));
        QVERIFY2(master.errors.isEmpty(), qPrintable(QStringLiteral("cut after byte %1").arg(cut)));
    }
    QCOMPARE(proxy.connectionsAccepted(), 1);
}

void TestModbusTcp::mbapBadHeaders()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(true, 16, {QStringLiteral("--hold")})));
    GatewayProxy proxy(portOf(sim.path()), GatewayProxy::Framing::Mbap);
    QVERIFY(proxy.listen());

    auto set16 = [](QByteArray f, int at, int value) {
        f[at] = char(value >> 8);
        f[at + 1] = char(value & 0xFF);
        return f;
    };
    // What becomes of each answer, by its number, and what the master must make of it.
    struct Step {
        const char *what;
        std::function<QByteArray(const QByteArray &)> change;
        int error; // -1: decoded, unchanged
    };
    const QList<Step> steps = {
        {"as sent", [](const QByteArray &a) { return a; }, -1},
        {"another transaction id", [&](const QByteArray &a) { return set16(a, 0, (uint8_t(a[0]) << 8 | uint8_t(a[1])) + 100); }, meTimeout},
        {"a stale copy with other data first",
         [&](const QByteArray &a) {
             QByteArray stale = set16(a, 0, (uint8_t(a[0]) << 8 | uint8_t(a[1])) - 1);
             stale[9] = char(0x7F);
             return stale + a;
         },
         -1},
        {"protocol id 1", [&](const QByteArray &a) { return set16(a, 2, 1); }, meCommError},
        {"length one short", [&](const QByteArray &a) { return set16(a, 4, a.size() - 7); }, meSlaveFailure},
        {"length 0", [&](const QByteArray &a) { return set16(a, 4, 0); }, meCommError},
        {"length 1000", [&](const QByteArray &a) { return set16(a, 4, 1000); }, meCommError},
        {"unit 2", [](QByteArray a) {
             a[6] = char(2);
             return a;
         },
         meCommError},
        {"as sent again", [](const QByteArray &a) { return a; }, -1},
    };
    QByteArray whole;
    proxy.setScript([&](int n, const QByteArray &answer) {
        whole = answer;
        return GatewayProxy::Reply{{{steps.at((n - 1) % steps.size()).change(answer), 0}}, false};
    });

    Master master(viaPort(true, proxy.port()));
    QVERIFY(master.open());
    for (const Step &step : steps) {
        const QList<int> errorsBefore = master.errors;
        const qsizetype answersBefore = master.answers.size();
        master.request();
        QTRY_VERIFY2_WITH_TIMEOUT(master.events() > int(errorsBefore.size() + answersBefore), step.what, 5000);
        if (step.error < 0) {
            QCOMPARE(master.answers.size(), answersBefore + 1);
            QCOMPARE(master.answers.last(), dataOf(whole, true));
            QCOMPARE(master.errors, errorsBefore);
        } else {
            QVERIFY2(master.answers.size() == answersBefore, step.what); // never decoded
            QCOMPARE(master.errors, errorsBefore + QList<int>{step.error});
        }
        QVERIFY(master.m.IsPortOpen());
    }
}

void TestModbusTcp::hostNotResolved()
{
    // .invalid never resolves (RFC 6761).
    Master master(QStringLiteral("tcp://no-such-gateway.invalid:4001"));
    QVERIFY(!master.m.OpenPort());
    // The call came back while the name is still being looked up: nothing waited for it.
    QVERIFY(master.m.PortOpening());
    QTRY_VERIFY_WITH_TIMEOUT(!master.m.PortOpening(), TcpDevice::ConnectTimeoutMs + 5000);
    const QString why = master.m.PortErrorText();
    // A resolver that does not answer at all leaves the connect time-out to say it.
    QVERIFY2(why.startsWith(QStringLiteral("找不到主机 no-such-gateway.invalid：主机名无法解析。"))
                 || why.startsWith(QStringLiteral("连接 no-such-gateway.invalid:4001 超时")),
             qPrintable(why));
    QVERIFY(!master.m.IsPortOpen());
    master.request();
    QCOMPARE(master.errors, QList<int>{mePortClosed});
    QCOMPARE(master.device()->attempts(), 1);
    QCOMPARE(master.device()->nextRetryDelayMs(), 2 * TcpDevice::FirstRetryMs);
}

void TestModbusTcp::gatewayOffAndBack()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(false)));
    const QString device = sim.path();
    const quint16 port = portOf(device);
    Master master(device);
    QVERIFY(master.open());
    master.request();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), 1, 5000);
    QCOMPARE(master.device()->attempts(), 1);

    // Switched off: the connection is lost, and every attempt is refused, each after a
    // longer wait.
    QCOMPARE(sim.stop(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!master.m.IsPortOpen(), 5000);
    QVERIFY2(master.m.PortErrorText().contains(QStringLiteral("断开了连接")), qPrintable(master.m.PortErrorText()));
    QElapsedTimer clock;
    clock.start();
    QList<qint64> attemptAt;
    // The station's poll tick calls OpenPort; here more often, to see each attempt. Attempts
    // start only inside OpenPort, so the tick records their times exactly.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        master.m.OpenPort();
        while (attemptAt.size() < master.device()->attempts() - 1)
            attemptAt << clock.elapsed();
    });
    tick.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(attemptAt.size() >= 3 && !master.m.PortOpening(), 20000);
    QVERIFY2(master.m.PortErrorText().contains(QStringLiteral("拒绝连接")), qPrintable(master.m.PortErrorText()));
    // After the loss 1 s (the connection had carried answers), then 2 s, 4 s, 8 s, and never
    // more than 10 s.
    QVERIFY2(attemptAt.at(1) - attemptAt.at(0) >= 2 * TcpDevice::FirstRetryMs, qPrintable(QString::number(attemptAt.at(1) - attemptAt.at(0))));
    QVERIFY2(attemptAt.at(2) - attemptAt.at(1) >= 4 * TcpDevice::FirstRetryMs, qPrintable(QString::number(attemptAt.at(2) - attemptAt.at(1))));
    QVERIFY(master.device()->retryWaitMs() <= 8 * TcpDevice::FirstRetryMs);
    QCOMPARE(master.device()->nextRetryDelayMs(), TcpDevice::LastRetryMs);
    master.request();
    QCOMPARE(master.errors.last(), int(mePortClosed));

    // Switched on again at the same address: the next attempt connects, the answers resume.
    Simulator again(simulatorProgram());
    QVERIFY(again.start({QStringLiteral("--tcp"), QString::number(port)}));
    QCOMPARE(again.path(), device);
    QTRY_VERIFY_WITH_TIMEOUT(master.m.IsPortOpen(), TcpDevice::LastRetryMs + TcpDevice::ConnectTimeoutMs + 2000);
    tick.stop();
    master.request();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), 2, 5000);
    QVERIFY(master.m.PortErrorText().isEmpty());
}

void TestModbusTcp::connectTimeout()
{
    // A listener whose queue of connections is full (backlog 0, one connection waiting)
    // drops further connection requests unanswered, like a host unplugged from the network.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    socklen_t len = sizeof addr;
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(::connect(filler, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);

    Master master(QStringLiteral("tcp://127.0.0.1:%1").arg(ntohs(addr.sin_port)));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!master.m.OpenPort());
    QVERIFY(master.m.PortOpening());
    // Requests meanwhile are refused at once, as on a closed port.
    master.request();
    QCOMPARE(master.errors, QList<int>{mePortClosed});
    QTRY_VERIFY_WITH_TIMEOUT(!master.m.PortOpening(), TcpDevice::ConnectTimeoutMs + 5000);
    QVERIFY2(clock.elapsed() >= TcpDevice::ConnectTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(master.m.PortErrorText().startsWith(QStringLiteral("连接 127.0.0.1:%1 超时：3 秒内没有回应。").arg(ntohs(addr.sin_port))),
             qPrintable(master.m.PortErrorText()));
    QVERIFY(!master.m.IsPortOpen());
    QCOMPARE(master.device()->nextRetryDelayMs(), 2 * TcpDevice::FirstRetryMs);
    ::close(filler);
    ::close(listener);
}

void TestModbusTcp::masterOnItsOwnThread()
{
    // As the station core will run it: made on one thread, moved to its own before the first
    // OpenPort. Its timers and its connection then live there, and everything it does happens
    // there.
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(true)));
    QThread core;
    auto *m = new TModbusM;
    m->setDeviceMap({{1, sim.path()}});
    m->setComPort(pnCOM1);
    m->moveToThread(&core);
    core.start();
    QAtomicInt answers = 0, wrongThread = 0;
    auto onCore = [&](const std::function<void()> &f) {
        QMetaObject::invokeMethod(m, [&] { f(); }, Qt::BlockingQueuedConnection);
    };
    onCore([&] {
        m->OnResponseReady = [&](TModbusM *s) {
            if (QThread::currentThread() != &core)
                wrongThread.ref();
            if (DecodeInstrumentAnswer(s->ResponseData).size() == 16)
                answers.ref();
        };
    });
    bool open = false;
    QVERIFY(QTest::qWaitFor([&] {
        onCore([&] { open = m->OpenPort(); });
        return open;
    }, 5000));
    QCOMPARE(m->PollTimer().thread(), &core);
    QCOMPARE(m->ResponseTimer().thread(), &core);
    for (int i = 1; i <= 3; ++i) {
        onCore([&] {
            m->FunctionCode = 3;
            m->SlaveId = 1;
            m->Quantity = 32;
            m->SendRequest();
        });
        QTRY_COMPARE_WITH_TIMEOUT(answers.loadRelaxed(), i, 5000);
    }
    QCOMPARE(wrongThread.loadRelaxed(), 0);
    onCore([&] { delete m; });
    core.quit();
    QVERIFY(core.wait(5000));
}

void TestModbusTcp::pollWithRealTimers(bool mbap)
{
    // The station's rhythm for more than 30 s: a poll every 1500 ms that calls OpenPort and
    // sends the read, the master's own poll tick and response wait. Every request is answered
    // within its wait and decoded; nothing fails.
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start(simulatorArgs(mbap)));
    Master master(sim.path());
    QVERIFY(master.open());

    int polls = 0, decoded = 0;
    master.m.OnResponseReady = [&](TModbusM *m) {
        master.answers << m->ResponseData;
        const QList<ChannelReading> r = DecodeInstrumentAnswer(m->ResponseData);
        if (r.size() == 16 && r.at(4).stateText() == QStringLiteral("信号断线"))
            ++decoded;
    };
    QTimer send;
    send.setInterval(1500);
    QObject::connect(&send, &QTimer::timeout, &send, [&] {
        master.m.OpenPort();
        master.request();
        ++polls;
    });
    send.start();
    QTest::qWait(31 * 1000);
    send.stop();
    QTRY_COMPARE_WITH_TIMEOUT(master.answers.size(), polls, 3000);
    QVERIFY2(polls >= 20, qPrintable(QString::number(polls)));
    QCOMPARE(decoded, polls);
    QCOMPARE(master.errors, QList<int>());
    QVERIFY(master.m.IsPortOpen());
    QCOMPARE(master.device()->attempts(), 1); // one connection throughout
}

QTEST_GUILESS_MAIN(TestModbusTcp)
#include "tst_modbus_tcp.moc"
