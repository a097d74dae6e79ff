// The acquisition arithmetic: answer decoding, clamping, the watch counter, storage period.
#include "Acquisition.h"
#include "HeadlessStation.h"
#include "StationOptions.h"

#include <QtTest>

namespace {

// A 16-channel answer: value registers 0–15, status in the low bytes of registers 16–31.
QByteArray answer16()
{
    return QByteArray(64, '\0');
}

void setChannel(QByteArray &data, int channels, int k, uint8_t hi, uint8_t lo, uint8_t status)
{
    data[2 * (k - 1)] = char(hi);
    data[2 * (k - 1) + 1] = char(lo);
    data[2 * (channels + k - 1)] = char(0x5A); // high byte of the status register is not used
    data[2 * (channels + k - 1) + 1] = char(status);
}

TOption optionWithLimits(float lower, float upper)
{
    TOption opt;
    for (int i = 0; i < MaxChannels; ++i) {
        opt.LowerLimits[i] = lower;
        opt.UpperLimits[i] = upper;
    }
    return opt;
}

} // namespace

class TestAcquisition : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decodesValuesAndStates_data();
    void decodesValuesAndStates();
    void decodesThirtyTwoChannels();
    void otherLengthsChangeNothing();
    void clampingOrder();
    void watchCounter();
    void pollQuantityAndStoragePeriod();
    void commandLine();
};

void TestAcquisition::decodesValuesAndStates_data()
{
    QTest::addColumn<int>("hi");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("status");
    QTest::addColumn<float>("lower");
    QTest::addColumn<float>("upper");
    QTest::addColumn<float>("pv");
    QTest::addColumn<QString>("text");

    QTest::newRow("sign-magnitude negative, 1 decimal") << 0x81 << 0x2C << 0x01 << -50.f << 200.f << -30.0f << "";
    QTest::newRow("3 decimals") << 0x01 << 0x2C << 0x03 << 0.f << 200.f << 0.3f << "";
    QTest::newRow("0xFFFF is -32767, not -1") << 0xFF << 0xFF << 0x00 << -40000.f << 40000.f << -32767.f << "";
    QTest::newRow("0x8000 is 0") << 0x80 << 0x00 << 0x00 << -10.f << 10.f << 0.f << "";
    QTest::newRow("below lower clamps") << 0x80 << 0x32 << 0x01 << 0.f << 200.f << 0.f << "";   // -5.0
    QTest::newRow("above upper clamps") << 0x09 << 0xC4 << 0x01 << 0.f << 200.f << 200.f << ""; // 250.0
    QTest::newRow("crossed limits: upper wins") << 0x00 << 0x05 << 0x00 << 100.f << 50.f << 50.f << "";
    QTest::newRow("broken sensor beats the rest") << 0x00 << 0x64 << 0xC8 << 0.f << 200.f << 100.f << "信号断线";
    QTest::newRow("overflow") << 0x00 << 0x64 << 0x48 << 0.f << 200.f << 100.f << "上溢";
    QTest::newRow("underflow") << 0x00 << 0x64 << 0x24 << 0.f << 200.f << 100.f << "下溢";
    QTest::newRow("upper before lower alarm") << 0x00 << 0x64 << 0x0C << 0.f << 200.f << 100.f << "上限报警";
    QTest::newRow("lower alarm") << 0x00 << 0x64 << 0x04 << 0.f << 200.f << 100.f << "下限报警";
    QTest::newRow("unused bit 4 gives no text") << 0x00 << 0x64 << 0x10 << 0.f << 200.f << 100.f << "";
}

void TestAcquisition::decodesValuesAndStates()
{
    QFETCH(int, hi);
    QFETCH(int, lo);
    QFETCH(int, status);
    QFETCH(float, lower);
    QFETCH(float, upper);
    QFETCH(float, pv);
    QFETCH(QString, text);

    QByteArray data = answer16();
    setChannel(data, 16, 7, uint8_t(hi), uint8_t(lo), uint8_t(status));
    TAllRecord rec;
    rec.AlmText[7] = QStringLiteral("--");
    QVERIFY(decodeAnswer(data, rec, optionWithLimits(lower, upper)));
    QCOMPARE(rec.Pv[7], pv);
    QCOMPARE(rec.AlmText[7], text);
}

void TestAcquisition::decodesThirtyTwoChannels()
{
    QByteArray data(128, '\0');
    for (int k = 1; k <= 32; ++k)
        setChannel(data, 32, k, 0x00, uint8_t(k * 3), 0x00);
    setChannel(data, 32, 32, 0x00, 0x7B, 0x81); // 12.3, broken sensor
    TAllRecord rec;
    QVERIFY(decodeAnswer(data, rec, optionWithLimits(-100.f, 1000.f)));
    QCOMPARE(rec.Pv[1], 3.f);
    QCOMPARE(rec.Pv[17], 51.f);
    QCOMPARE(rec.Pv[31], 93.f);
    QCOMPARE(rec.Pv[32], 12.3f);
    QCOMPARE(rec.AlmText[32], QStringLiteral("信号断线"));
    QCOMPARE(rec.AlmText[31], QString());
}

void TestAcquisition::otherLengthsChangeNothing()
{
    for (int n : {0, 2, 63, 65, 127, 129, 256}) {
        TAllRecord rec;
        rec.Pv[1] = 42.f;
        rec.AlmText[1] = QStringLiteral("--");
        QVERIFY2(!decodeAnswer(QByteArray(n, '\x01'), rec, optionWithLimits(0.f, 200.f)), qPrintable(QString::number(n)));
        QCOMPARE(rec.Pv[1], 42.f);
        QCOMPARE(rec.AlmText[1], QStringLiteral("--"));
    }
}

void TestAcquisition::clampingOrder()
{
    QCOMPARE(clampToLimits(std::numeric_limits<float>::quiet_NaN(), 1.f, 9.f), 1.f);
    QCOMPARE(clampToLimits(5.f, 1.f, 9.f), 5.f);
    QCOMPARE(clampToLimits(1.f, 1.f, 9.f), 1.f);
    QCOMPARE(clampToLimits(9.f, 1.f, 9.f), 9.f);
}

void TestAcquisition::watchCounter()
{
    using E = CommWatchCounter::Event;
    CommWatchCounter w;
    // An idle station never claims a good connection, and does not call it an error either.
    for (int i = 0; i < 70000; ++i)
        QCOMPARE(w.tick(), E::None);
    QCOMPARE(w.value(), uint16_t(65535)); // saturated, not wrapped

    // A poll, then two refresh ticks without an answer: error.
    w.polled();
    QCOMPARE(w.tick(), E::None);
    QCOMPARE(w.tick(), E::Error);
    QCOMPARE(w.tick(), E::None);

    // A decoded answer: the next tick reports OK, once.
    w.answered();
    QCOMPARE(w.tick(), E::Ok);
    QCOMPARE(w.tick(), E::None);

    // Polls every 1.5 s with answers keep the counter away from the error value.
    w.polled();
    w.answered();
    QCOMPARE(w.tick(), E::Ok);
    w.polled();
    QCOMPARE(w.tick(), E::None);
    w.answered();
    QCOMPARE(w.tick(), E::Ok);
}

void TestAcquisition::pollQuantityAndStoragePeriod()
{
    QCOMPARE(pollQuantity(8), 32);
    QCOMPARE(pollQuantity(5), 32);
    QCOMPARE(pollQuantity(16), 32);
    QCOMPARE(pollQuantity(12), 32);
    QCOMPARE(pollQuantity(17), 64);
    QCOMPARE(pollQuantity(32), 64);

    QCOMPARE(storagePeriodMs(60000), 60000);
    QCOMPARE(storagePeriodMs(1000), 1000);
    QCOMPARE(storagePeriodMs(999), 5000);
    QCOMPARE(storagePeriodMs(0), 5000);
    QCOMPARE(storagePeriodMs(-1), 5000);
    QCOMPARE(storagePeriodMs(86'400'000), 86'400'000);
    QCOMPARE(storagePeriodMs(86'400'001), 5000);
}

void TestAcquisition::commandLine()
{
    const QString exe = QStringLiteral("qzmonitor");
    StationOptions o = parseStationOptions({exe, QStringLiteral("--home"), QStringLiteral("/srv/qz"), QStringLiteral("--start")});
    QVERIFY(o.error.isEmpty());
    QCOMPARE(o.home, QStringLiteral("/srv/qz"));
    QVERIFY(o.start);
    QVERIFY(!o.help);

    o = parseStationOptions({exe, QStringLiteral("--home=/a b")});
    QCOMPARE(o.home, QStringLiteral("/a b"));
    QVERIFY(!o.start);

    QVERIFY(parseStationOptions({exe, QStringLiteral("--help")}).help);
    QVERIFY(parseStationOptions({exe, QStringLiteral("--version")}).version);
    QVERIFY(!parseStationOptions({exe, QStringLiteral("--home")}).error.isEmpty());
    QVERIFY(!parseStationOptions({exe, QStringLiteral("--strat")}).error.isEmpty());
    QVERIFY(!parseStationOptions({exe, QStringLiteral("stray")}).error.isEmpty());
    QVERIFY(parseStationOptions({exe}).error.isEmpty());
    // An empty directory is no directory, for either program; the window's --start is not one
    // of qzstation's options.
    QVERIFY(!parseStationOptions({exe, QStringLiteral("--home=")}).error.isEmpty());
    QVERIFY(!parseStationOptions({exe, QStringLiteral("--home"), QString(), QStringLiteral("--start")}).error.isEmpty());
    const QString headless = QStringLiteral("qzstation");
    QCOMPARE(parseHeadlessOptions({headless, QStringLiteral("--home"), QStringLiteral("/var/lib/qz")}).home,
             QStringLiteral("/var/lib/qz"));
    QVERIFY(!parseHeadlessOptions({headless, QStringLiteral("--home=")}).error.isEmpty());
    QCOMPARE(parseHeadlessOptions({headless, QStringLiteral("--start")}).error, QStringLiteral("unknown option: --start"));
    QCOMPARE(parseHeadlessOptions({headless, QStringLiteral("x"), QStringLiteral("--bad")}).error,
             QStringLiteral("unexpected argument: x"));
}

QTEST_GUILESS_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
