// Number text of the settings files: the general format, the strict readers the dialogs
// and loaders rely on, the loose readers of the alarm file and the fixed-width value texts.

#include "NumberText.h"

#include <QLocale>
#include <QTest>

#include <cmath>
#include <limits>

class TestNumberText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void formatGeneral_data();
    void formatGeneral();
    void formatGeneralIgnoresLocale();
    void operatorValuesRoundTrip_data();
    void operatorValuesRoundTrip();
    void parseNumber_data();
    void parseNumber();
    void parseSingleRange();
    void parseInteger_data();
    void parseInteger();
    void looseReaders_data();
    void looseReaders();
    void fixedWidthTexts_data();
    void fixedWidthTexts();
};

void TestNumberText::formatGeneral_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("integer") << 200.0 << "200";
    QTest::newRow("fraction") << 12.5 << "12.5";
    QTest::newRow("negative") << -3.25 << "-3.25";
    QTest::newRow("single 0.1") << double(0.1f) << "0.1";
    QTest::newRow("single 75.5") << double(75.5f) << "75.5";
    QTest::newRow("seven digits") << 123.456789 << "123.4568";
    QTest::newRow("seven integer digits") << 1234567.0 << "1234567";
    QTest::newRow("eight integer digits") << 12345678.0 << "1.234568E+07";
    QTest::newRow("rounds up to eight digits") << 9999999.5 << "1E+07";
    QTest::newRow("large") << 1.5e10 << "1.5E+10";
    QTest::newRow("huge") << 1e100 << "1E+100";
    QTest::newRow("smallest fixed") << 0.00001 << "0.00001";
    QTest::newRow("small fixed digits") << 0.000012345678 << "0.00001234568";
    QTest::newRow("below fixed") << 0.000001 << "1E-06";
    QTest::newRow("negative small") << -2.5e-7 << "-2.5E-07";
    QTest::newRow("round 0.99999999") << 0.99999999 << "1";
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << "NAN";
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << "-INF";
}

void TestNumberText::formatGeneral()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(::formatGeneral(value), text);
}

void TestNumberText::formatGeneralIgnoresLocale()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(::formatGeneral(12.5), QStringLiteral("12.5"));
    QCOMPARE(formatPv3(25.3), QStringLiteral("25.300"));
    double v = 0;
    QVERIFY(!::parseNumber(QStringLiteral("12,5"), &v));
    QVERIFY(::parseNumber(QStringLiteral("12.5"), &v));
    QCOMPARE(v, 12.5);
    QLocale::setDefault(QLocale::c());
}

void TestNumberText::operatorValuesRoundTrip_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::newRow("25.3") << "25.3" << "25.3";
    QTest::newRow("-1000") << "-1000" << "-1000";
    QTest::newRow("0.001") << "0.001" << "0.001";
    QTest::newRow("123456") << "123456" << "123456";
    QTest::newRow("3.14159") << "3.14159" << "3.14159";
    QTest::newRow("trailing zeros") << "+075.50" << "75.5";
    QTest::newRow("exponent") << "2.5e3" << "2500";
    QTest::newRow("tiny") << "1e-6" << "1E-06";
}

// What the operator types into a limit cell, stored in single precision, is written back
// as the same number and reads back to the same single.
void TestNumberText::operatorValuesRoundTrip()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    float f = 0;
    QVERIFY(parseSingle(typed, &f));
    const QString text = ::formatGeneral(f);
    QCOMPARE(text, stored);
    float back = 0;
    QVERIFY(parseSingle(text, &back));
    QCOMPARE(back, f);
}

void TestNumberText::parseNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");
    QTest::newRow("digits") << "5" << true << 5.0;
    QTest::newRow("leading blanks") << "   5" << true << 5.0;
    QTest::newRow("plus") << "+5" << true << 5.0;
    QTest::newRow("negative fraction") << "-3.25" << true << -3.25;
    QTest::newRow("exponent") << "1.5E+10" << true << 1.5e10;
    QTest::newRow("lower-case exponent") << "2.5e-3" << true << 2.5e-3;
    QTest::newRow("leading point") << ".5" << true << 0.5;
    QTest::newRow("trailing point") << "5." << true << 5.0;
    QTest::newRow("long scientific line") << " 8.00000000000000E+0001" << true << 80.0;
    QTest::newRow("underflow reads as zero") << "1e-400" << true << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("blanks only") << "   " << false << 0.0;
    QTest::newRow("trailing blank") << "5 " << false << 0.0;
    QTest::newRow("comma") << "1,5" << false << 0.0;
    QTest::newRow("letters") << "abc" << false << 0.0;
    QTest::newRow("trailing letter") << "5a" << false << 0.0;
    QTest::newRow("no mantissa") << "e5" << false << 0.0;
    QTest::newRow("point only") << "." << false << 0.0;
    QTest::newRow("exponent without digits") << "1e" << false << 0.0;
    QTest::newRow("exponent sign only") << "1e+" << false << 0.0;
    QTest::newRow("double sign") << "--5" << false << 0.0;
    QTest::newRow("blank after sign") << "- 5" << false << 0.0;
    QTest::newRow("leading tab") << "\t5" << false << 0.0;
    QTest::newRow("two points") << "1.2.3" << false << 0.0;
    QTest::newRow("hexadecimal") << "0x10" << false << 0.0;
    QTest::newRow("overflow") << "1e999" << false << 0.0;
    QTest::newRow("nan word") << "NaN" << false << 0.0;
    QTest::newRow("inf word") << "inf" << false << 0.0;
}

void TestNumberText::parseNumber()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, value);
    double v = -12345.0;
    QCOMPARE(::parseNumber(text, &v), ok);
    QCOMPARE(v, ok ? value : -12345.0); // untouched on failure
}

void TestNumberText::parseSingleRange()
{
    float f = 1.0f;
    QVERIFY(parseSingle(QStringLiteral("3.4e38"), &f));
    QCOMPARE(f, 3.4e38f);
    f = 1.0f;
    QVERIFY(!parseSingle(QStringLiteral("1e39"), &f)); // would be an infinity in single precision
    QCOMPARE(f, 1.0f);
    QVERIFY(!parseSingle(QStringLiteral("-1e39"), &f));
    QVERIFY(parseSingle(QStringLiteral("75.5"), &f));
    QCOMPARE(f, 75.5f);
}

void TestNumberText::parseInteger_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("value");
    QTest::newRow("digits") << "8" << true << qint64(8);
    QTest::newRow("leading blanks") << "  16" << true << qint64(16);
    QTest::newRow("negative") << "-1" << true << qint64(-1);
    QTest::newRow("plus") << "+7" << true << qint64(7);
    QTest::newRow("dollar hex") << "$1F" << true << qint64(31);
    QTest::newRow("0x hex") << "0x1F" << true << qint64(31);
    QTest::newRow("0X hex lower digits") << "0X1f" << true << qint64(31);
    QTest::newRow("negative hex") << "-$10" << true << qint64(-16);
    QTest::newRow("leading zeros") << "007" << true << qint64(7);
    QTest::newRow("max") << "9223372036854775807" << true << std::numeric_limits<qint64>::max();
    QTest::newRow("min") << "-9223372036854775808" << true << std::numeric_limits<qint64>::min();
    QTest::newRow("empty") << "" << false << qint64(0);
    QTest::newRow("letters") << "abc" << false << qint64(0);
    QTest::newRow("trailing blank") << "5 " << false << qint64(0);
    QTest::newRow("fraction") << "1.0" << false << qint64(0);
    QTest::newRow("exponent") << "1e3" << false << qint64(0);
    QTest::newRow("dollar only") << "$" << false << qint64(0);
    QTest::newRow("0x only") << "0x" << false << qint64(0);
    QTest::newRow("bad hex digit") << "$1G" << false << qint64(0);
    QTest::newRow("hex trailing blank") << "0x1F " << false << qint64(0);
    QTest::newRow("overflow") << "9223372036854775808" << false << qint64(0);
    QTest::newRow("hex overflow") << "$10000000000000000" << false << qint64(0);
    QTest::newRow("sign only") << "-" << false << qint64(0);
}

void TestNumberText::parseInteger()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(qint64, value);
    qint64 v = -777;
    QCOMPARE(::parseInteger(text, &v), ok);
    QCOMPARE(v, ok ? value : qint64(-777));
}

void TestNumberText::looseReaders_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("integer");
    QTest::addColumn<float>("number");
    QTest::newRow("empty") << "" << 0 << 0.0f;
    QTest::newRow("letters") << "abc" << 0 << 0.0f;
    QTest::newRow("mode -1") << "-1" << -1 << -1.0f;
    QTest::newRow("mode -1 with blank") << "-1 " << -1 << -1.0f;
    QTest::newRow("mode 2") << "2" << 2 << 2.0f;
    QTest::newRow("leading blank") << " 1" << 1 << 1.0f;
    QTest::newRow("long scientific") << " 8.00000000000000E+0001" << 8 << 80.0f;
    QTest::newRow("general") << "75.5" << 75 << 75.5f;
    QTest::newRow("trailing letters") << "75.5x" << 75 << 75.5f;
    QTest::newRow("dangling exponent") << "1e" << 1 << 1.0f;
    QTest::newRow("hex") << "$10" << 16 << 0.0f;
    QTest::newRow("int overflow clamps") << "99999999999" << std::numeric_limits<int>::max() << 99999999999.0f;
    QTest::newRow("float overflow") << "1e999" << 1 << 0.0f;
    QTest::newRow("single overflow") << "1e39" << 1 << 0.0f;
    QTest::newRow("point fraction") << "-.5" << 0 << -0.5f;
    QTest::newRow("sign only") << "-" << 0 << 0.0f;
}

void TestNumberText::looseReaders()
{
    QFETCH(QString, text);
    QFETCH(int, integer);
    QFETCH(float, number);
    QCOMPARE(readLooseInteger(text), integer);
    QCOMPARE(readLooseSingle(text), number);
}

void TestNumberText::fixedWidthTexts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("pv3");
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("scientific");
    QTest::newRow("80") << 80.0 << "80.000" << "  80.000" << " 8.00000000000000E+0001";
    QTest::newRow("25.3") << 25.3 << "25.300" << "  25.300" << " 2.53000000000000E+0001";
    QTest::newRow("marker") << -1000.0 << "-1000.000" << "-1000.000" << "-1.00000000000000E+0003";
    QTest::newRow("zero") << 0.0 << "0.000" << "   0.000" << " 0.00000000000000E+0000";
    QTest::newRow("small negative") << -0.00125 << "-0.001" << "  -0.001" << "-1.25000000000000E-0003";
    QTest::newRow("rounding") << 2.0006 << "2.001" << "   2.001" << " 2.00060000000000E+0000";
    QTest::newRow("wide") << 123456.789 << "123456.789" << "123456.789" << " 1.23456789000000E+0005";
}

void TestNumberText::fixedWidthTexts()
{
    QFETCH(double, value);
    QFETCH(QString, pv3);
    QFETCH(QString, record);
    QFETCH(QString, scientific);
    QCOMPARE(formatPv3(value), pv3);
    QCOMPARE(formatRecord(value), record);
    QCOMPARE(formatScientific23(value), scientific);
    QCOMPARE(formatScientific23(value).size(), 23);
}

QTEST_GUILESS_MAIN(TestNumberText)
#include "tst_numbertext.moc"
