// Decoding of the instruments' answer: sign-magnitude values, decimal places, state texts and
// the two register layouts (16 and 32 channels).

#include "InstrumentAnswer.h"

#include <QtTest>

class TestInstrumentAnswer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signMagnitude_data();
    void signMagnitude();
    void encodeRoundTrip();
    void divisor();
    void statusText_data();
    void statusText();
    void decode_data();
    void decode();
    void otherLengths();
};

void TestInstrumentAnswer::signMagnitude_data()
{
    QTest::addColumn<int>("hi");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("value");
    QTest::newRow("81 2C") << 0x81 << 0x2C << -300;
    QTest::newRow("01 2C") << 0x01 << 0x2C << 300;
    QTest::newRow("FF FF, not -1") << 0xFF << 0xFF << -32767;
    QTest::newRow("7F FF") << 0x7F << 0xFF << 32767;
    QTest::newRow("80 00, negative zero") << 0x80 << 0x00 << 0;
    QTest::newRow("00 00") << 0x00 << 0x00 << 0;
    QTest::newRow("80 01") << 0x80 << 0x01 << -1;
    QTest::newRow("00 FF") << 0x00 << 0xFF << 255;
}

void TestInstrumentAnswer::signMagnitude()
{
    QFETCH(int, hi);
    QFETCH(int, lo);
    QFETCH(int, value);
    QCOMPARE(DecodeSignMagnitude(uint8_t(hi), uint8_t(lo)), value);
}

void TestInstrumentAnswer::encodeRoundTrip()
{
    for (int v : {0, 1, -1, 253, -253, 32767, -32767}) {
        const uint16_t r = EncodeSignMagnitude(v);
        QCOMPARE(DecodeSignMagnitude(uint8_t(r >> 8), uint8_t(r & 0xFF)), v);
    }
    QCOMPARE(EncodeSignMagnitude(-300), uint16_t(0x812C));
    // Out of range: the largest magnitude, sign kept.
    QCOMPARE(EncodeSignMagnitude(40000), uint16_t(0x7FFF));
    QCOMPARE(EncodeSignMagnitude(-40000), uint16_t(0xFFFF));
    QCOMPARE(EncodeSignMagnitude(std::numeric_limits<int>::min()), uint16_t(0xFFFF));
}

void TestInstrumentAnswer::divisor()
{
    QCOMPARE(DecimalDivisor(0x00), 1);
    QCOMPARE(DecimalDivisor(0x01), 10);
    QCOMPARE(DecimalDivisor(0x02), 100);
    QCOMPARE(DecimalDivisor(0x03), 1000);
    QCOMPARE(DecimalDivisor(0xFD), 10); // only bits 1–0 count
}

void TestInstrumentAnswer::statusText_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("C8: broken wins") << 0xC8 << QStringLiteral("信号断线");
    QTest::newRow("0C: upper over lower") << 0x0C << QStringLiteral("上限报警");
    QTest::newRow("10: unused bit") << 0x10 << QString();
    QTest::newRow("00") << 0x00 << QString();
    QTest::newRow("03: decimals only") << 0x03 << QString();
    QTest::newRow("04") << 0x04 << QStringLiteral("下限报警");
    QTest::newRow("08") << 0x08 << QStringLiteral("上限报警");
    QTest::newRow("20") << 0x20 << QStringLiteral("下溢");
    QTest::newRow("2C: underflow over alarms") << 0x2C << QStringLiteral("下溢");
    QTest::newRow("40") << 0x40 << QStringLiteral("上溢");
    QTest::newRow("60: overflow over underflow") << 0x60 << QStringLiteral("上溢");
    QTest::newRow("80") << 0x80 << QStringLiteral("信号断线");
    QTest::newRow("FF") << 0xFF << QStringLiteral("信号断线");
}

void TestInstrumentAnswer::statusText()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    QCOMPARE(StatusText(uint8_t(status)), text);
}

void TestInstrumentAnswer::decode_data()
{
    QTest::addColumn<int>("channels");
    QTest::newRow("64 bytes, 16 channels") << 16;
    QTest::newRow("128 bytes, 32 channels") << 32;
}

void TestInstrumentAnswer::decode()
{
    QFETCH(int, channels);
    // Channel k: value register k − 1 holds k × 100 (negative for even k), status register
    // channels + k − 1 holds k in its low byte and 0xEE in its unused high byte.
    QByteArray answer(4 * channels, '\0');
    for (int k = 1; k <= channels; ++k) {
        const uint16_t v = EncodeSignMagnitude(k % 2 ? k * 100 : -k * 100);
        answer[2 * (k - 1)] = char(v >> 8);
        answer[2 * (k - 1) + 1] = char(v & 0xFF);
        answer[2 * (channels + k - 1)] = char(0xEE);
        answer[2 * (channels + k - 1) + 1] = char(k);
    }
    QCOMPARE(AnswerChannelCount(answer.size()), channels);
    const QList<ChannelReading> r = DecodeInstrumentAnswer(answer);
    QCOMPARE(r.size(), channels);
    for (int k = 1; k <= channels; ++k) {
        const ChannelReading &c = r[k - 1];
        QCOMPARE(c.channel, k);
        QCOMPARE(c.raw, k % 2 ? k * 100 : -k * 100);
        QCOMPARE(int(c.status), k);
        QCOMPARE(c.value(), double(c.raw) / DecimalDivisor(uint8_t(k)));
        QCOMPARE(c.stateText(), StatusText(uint8_t(k)));
    }
    // Channel 1: 100 with one decimal; channel 4: −400 with no decimals and the lower alarm.
    QCOMPARE(r[0].value(), 10.0);
    QCOMPARE(r[3].value(), -400.0);
    QCOMPARE(r[3].stateText(), QStringLiteral("下限报警"));
}

void TestInstrumentAnswer::otherLengths()
{
    for (int n : {0, 2, 63, 65, 96, 127, 129, 256}) {
        QCOMPARE(AnswerChannelCount(n), 0);
        QVERIFY(DecodeInstrumentAnswer(QByteArray(n, '\x01')).isEmpty());
    }
    // Status 0x01 with 81 2C: -30.0; status 0x03 with 01 2C: 0.3 (no clamping here).
    QByteArray answer(64, '\0');
    answer[0] = char(0x81);
    answer[1] = char(0x2C);
    answer[33] = char(0x01);
    answer[2] = char(0x01);
    answer[3] = char(0x2C);
    answer[35] = char(0x03);
    const QList<ChannelReading> r = DecodeInstrumentAnswer(answer);
    QCOMPARE(r[0].value(), -30.0);
    QCOMPARE(r[1].value(), 0.3);
}

QTEST_GUILESS_MAIN(TestInstrumentAnswer)
#include "tst_instrumentanswer.moc"
