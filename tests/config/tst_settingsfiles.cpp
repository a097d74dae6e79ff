// The settings files on disk: first start, damaged and short files, GBK text, line ends,
// KTcom.ini handling and input/output failures. Each test runs in a fresh temporary
// working directory, since the .Pf files are opened by bare name.

#include "IniFile.h"
#include "PfFile.h"
#include "ScriptedPrompter.h"
#include "SettingsFiles.h"
#include "WindowState.h"
#include "Ui.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray gbk(const QString &text)
{
    QStringEncoder encoder("GBK");
    return encoder.encode(text);
}

// The lines as the station writes them: GBK, each ended by CR LF.
QByteArray crlfFile(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += gbk(line) + "\r\n";
    return bytes;
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray get(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestSettingsFiles : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void firstStartCreatesAllFiles();
    void commSettings_data();
    void commSettings();
    void writeCommSettingsKeepsOtherContent();
    void deviceMap();
    void iniFileMatching();
    void sysParams_data();
    void sysParams();
    void fileNamesMatchWithoutCase();
    void shortFilesLoadEmptyChannels();
    void unparsableChannelValues();
    void lfOnlyFileReads();
    void gbkRoundTrip();
    void saversWriteGeneralFormat();
    void inputOutputFailuresThrow();
    void unencodableTextKeepsOldFile();
    void damagedBytesSurviveRewrite();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void TestSettingsFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    resetSharedState();
}

void TestSettingsFiles::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
    resetSharedState();
}

void TestSettingsFiles::firstStartCreatesAllFiles()
{
    // The start-up order of the main window.
    const CommSettings comm = ReadCommSettings(m_dir->path());
    LoadSysParams();
    LoadChannelSettings(SysParams.ChannelCount);

    QCOMPARE(comm.port, QStringLiteral("COM1"));
    QCOMPARE(comm.speed, 9600);
    QCOMPARE(SysParams.ChannelCount, 8);
    QCOMPARE(SysParams.StorageIntervalMs, 60000);

    QCOMPARE(entries(), QStringList({"KTcom.ini", "Sys_Para.Pf", "SystemAlm.Pf", "SystemPv.Pf"}));
    QCOMPARE(get("KTcom.ini"), QByteArray("[communication]\r\nCOM=COM1\r\nBps=9600\r\n"));
    QCOMPARE(get("Sys_Para.Pf"), QByteArray("8\r\n60000\r\n"));

    // "油储温度" and "℃" in GBK, spelt out so an encoding slip cannot hide.
    const QByteArray name = QByteArray::fromHex("D3CDB4A2CEC2B6C8");
    const QByteArray unit = QByteArray::fromHex("A1E6");
    QByteArray pv, alm;
    for (int n = 1; n <= 8; ++n) {
        pv += name + QByteArray::number(n) + "\r\n" + unit + "\r\n0\r\n200\r\n";
        alm += name + QByteArray::number(n) + "\r\n0\r\n 8.00000000000000E+0001\r\n";
    }
    QCOMPARE(get("SystemPv.Pf"), pv);
    QCOMPARE(get("SystemAlm.Pf"), alm);

    for (int i = 0; i < 8; ++i) {
        QCOMPARE(Option.Names[i], QStringLiteral("油储温度") + QString::number(i + 1));
        QCOMPARE(Option.Units[i], QStringLiteral("℃"));
        QCOMPARE(Option.LowerLimits[i], 0.0f);
        QCOMPARE(Option.UpperLimits[i], 200.0f);
        QCOMPARE(Option.AlarmModes[i], int32_t(amNone));
        QCOMPARE(Option.AlarmValues[i], 80.0f);
    }
    QVERIFY(Option.Names[8].isEmpty()); // entries beyond the count are not touched

    // A second start reads the created files back to the same state, leaving them as they are.
    const TOption first = Option;
    resetSharedState();
    const CommSettings again = ReadCommSettings(m_dir->path());
    LoadSysParams();
    LoadChannelSettings(SysParams.ChannelCount);
    QCOMPARE(again.port, comm.port);
    QCOMPARE(again.speed, comm.speed);
    QCOMPARE(Option.Names, first.Names);
    QCOMPARE(Option.AlarmValues, first.AlarmValues);
    QCOMPARE(get("SystemAlm.Pf"), alm);
}

void TestSettingsFiles::commSettings_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QByteArray>("after");

    const QByteArray good = "[communication]\r\nCOM=COM3\r\nBps=4800\r\n";
    QTest::newRow("valid, left alone") << good << "COM3" << 4800 << good;
    QTest::newRow("19200 replaced")
        << QByteArray("[communication]\r\nCOM=COM2\r\nBps=19200\r\n") << "COM2" << 9600
        << QByteArray("[communication]\r\nCOM=COM2\r\nBps=9600\r\n");
    QTest::newRow("empty port replaced")
        << QByteArray("[communication]\r\nCOM=\r\nBps=2400\r\n") << "COM1" << 2400
        << QByteArray("[communication]\r\nCOM=COM1\r\nBps=2400\r\n");
    QTest::newRow("keys in other case")
        << QByteArray("[Communication]\r\ncom = com5\r\nBPS=1200\r\n") << "com5" << 1200
        << QByteArray("[Communication]\r\ncom = com5\r\nBPS=1200\r\n");
    QTest::newRow("speed not a number, LF file")
        << QByteArray("[communication]\nCOM=COM2\nBps=abc\n") << "COM2" << 9600
        << QByteArray("[communication]\r\nCOM=COM2\r\nBps=9600\r\n");
    // Not a number, like any other: the speed becomes 9600 and is written back.
    QTest::newRow("speed with trailing text") << QByteArray("[communication]\r\nCOM=COM2\r\nBps=2400 baud\r\n")
                                              << "COM2" << 9600
                                              << QByteArray("[communication]\r\nCOM=COM2\r\nBps=9600\r\n");
    QTest::newRow("speed with blanks around") << QByteArray("[communication]\r\nCOM=COM2\r\nBps=  2400 \r\n")
                                              << "COM2" << 2400
                                              << QByteArray("[communication]\r\nCOM=COM2\r\nBps=  2400 \r\n");
    QTest::newRow("speed with a decimal part") << QByteArray("[communication]\r\nCOM=COM2\r\nBps=4800.0\r\n")
                                               << "COM2" << 9600
                                               << QByteArray("[communication]\r\nCOM=COM2\r\nBps=9600\r\n");
    QTest::newRow("missing keys, other section kept")
        << QByteArray("; station\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[communication]\r\nParity=N\r\n\r\n")
        << "COM1" << 9600
        << QByteArray("; station\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[communication]\r\nParity=N\r\n"
                      "COM=COM1\r\nBps=9600\r\n\r\n");
    QTest::newRow("section missing")
        << QByteArray("[devices]\r\nCOM2=/dev/ttyACM0") << "COM1" << 9600
        << QByteArray("[devices]\r\nCOM2=/dev/ttyACM0\r\n\r\n[communication]\r\nCOM=COM1\r\nBps=9600\r\n");
}

void TestSettingsFiles::commSettings()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, port);
    QFETCH(int, speed);
    QFETCH(QByteArray, after);
    put("KTcom.ini", before);
    const CommSettings s = ReadCommSettings(m_dir->path());
    QCOMPARE(s.port, port);
    QCOMPARE(s.speed, speed);
    QCOMPARE(get("KTcom.ini"), after);
}

void TestSettingsFiles::writeCommSettingsKeepsOtherContent()
{
    // Missing file: created with the two keys in this order.
    WriteCommSettings(m_dir->path(), "COM4", 2400);
    QCOMPARE(get("KTcom.ini"), QByteArray("[communication]\r\nCOM=COM4\r\nBps=2400\r\n"));

    put("KTcom.ini",
        "; serial settings\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[COMMUNICATION]\r\nbps=9600\r\nEcho=1\r\n"
        "Com=COM2\r\n\r\n[other]\r\nx=y\r\n");
    WriteCommSettings(m_dir->path(), "COM1", 4800);
    QCOMPARE(get("KTcom.ini"),
             QByteArray("; serial settings\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[COMMUNICATION]\r\nbps=4800\r\n"
                        "Echo=1\r\nCom=COM1\r\n\r\n[other]\r\nx=y\r\n"));
    const CommSettings s = ReadCommSettings(m_dir->path());
    QCOMPARE(s.port, QStringLiteral("COM1"));
    QCOMPARE(s.speed, 4800);
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), QStringLiteral("/dev/ttyUSB0"));
}

void TestSettingsFiles::deviceMap()
{
    QVERIFY(ReadDeviceMap(m_dir->path()).isEmpty());
    QVERIFY(entries().isEmpty()); // reading creates nothing

    put("ktcom.INI",
        "[communication]\r\nCOM=COM1\r\n[Devices]\r\ncom1=/dev/ttyUSB0\r\nCOM12 = /dev/ttyACM0 \r\nfoo=bar\r\n"
        "COMx=/dev/x\r\nCOM0=/dev/zero\r\nCOM3=\r\n;COM4=/dev/commented\r\nCOM1=/dev/second\r\n[next]\r\n"
        "COM5=/dev/other\r\n");
    const QMap<int, QString> map = ReadDeviceMap(m_dir->path());
    QCOMPARE(map.keys(), QList<int>({1, 12}));
    QCOMPARE(map.value(1), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(map.value(12), QStringLiteral("/dev/ttyACM0"));

    // Network devices: the '=' of ?unit= belongs to the value.
    WriteDeviceMapping(m_dir->path(), 2, QStringLiteral("modbus-tcp://10.0.0.7:502?unit=1"));
    WriteDeviceMapping(m_dir->path(), 3, QStringLiteral("tcp://[fe80::1]:4001"));
    const QMap<int, QString> network = ReadDeviceMap(m_dir->path());
    QCOMPARE(network.value(2), QStringLiteral("modbus-tcp://10.0.0.7:502?unit=1"));
    QCOMPARE(network.value(3), QStringLiteral("tcp://[fe80::1]:4001"));
    QCOMPARE(network.value(1), QStringLiteral("/dev/ttyUSB0"));
}

void TestSettingsFiles::iniFileMatching()
{
    put("t.ini",
        "[A]\r\nkey=first\r\n[b]\r\nName = \"quoted value\" \r\nNum=  -42xyz\r\nEmpty=\r\nBig=99999999999\r\n"
        "Text=abc\r\nNeg= -42 \r\nHex=$960\r\n[a]\r\nkey=second section\r\n");
    IniFile ini("t.ini");
    QCOMPARE(ini.readString("a", "KEY"), QStringLiteral("first")); // first matching section counts
    QCOMPARE(ini.readString("B", "name"), QStringLiteral("quoted value"));
    QCOMPARE(ini.readString("B", "missing", "dflt"), QStringLiteral("dflt"));
    QCOMPARE(ini.readString("nosection", "key", "dflt"), QStringLiteral("dflt"));
    // A value that is not a number as a whole counts as missing.
    QCOMPARE(ini.readInteger("b", "num", 7), 7);
    QCOMPARE(ini.readInteger("b", "empty", 7), 7);
    QCOMPARE(ini.readInteger("b", "missing", 7), 7);
    QCOMPARE(ini.readInteger("b", "text", 7), 7);
    QCOMPARE(ini.readInteger("b", "big", 7), 7);
    QCOMPARE(ini.readInteger("b", "neg", 7), -42);
    QCOMPARE(ini.readInteger("b", "hex", 7), 2400);

    ini.writeString("A", "Key", "changed");
    ini.writeString("b", "new", "1");
    QCOMPARE(get("t.ini"),
             QByteArray("[A]\r\nkey=changed\r\n[b]\r\nName = \"quoted value\" \r\nNum=  -42xyz\r\nEmpty=\r\n"
                        "Big=99999999999\r\nText=abc\r\nNeg= -42 \r\nHex=$960\r\nnew=1\r\n[a]\r\n"
                        "key=second section\r\n"));

    // Texts go to disk in GBK like every settings file.
    ini.writeString("b", "名称", "油储温度");
    QVERIFY(get("t.ini").contains(gbk("名称=油储温度") + "\r\n"));
    QCOMPARE(IniFile("t.ini").readString("B", "名称"), QStringLiteral("油储温度"));
}

void TestSettingsFiles::sysParams_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("interval");
    QTest::newRow("valid") << "Sys_Para.Pf" << QByteArray("16\r\n10000\r\n") << 16 << 10000;
    QTest::newRow("count 5 kept") << "Sys_Para.Pf" << QByteArray("5\r\n600000\r\n") << 5 << 600000;
    QTest::newRow("count abc") << "Sys_Para.Pf" << QByteArray("abc\r\n1000\r\n") << 8 << 1000;
    QTest::newRow("interval missing") << "Sys_Para.Pf" << QByteArray("16\r\n") << 16 << 60000;
    QTest::newRow("empty file") << "Sys_Para.Pf" << QByteArray() << 8 << 60000;
    QTest::newRow("trailing blank") << "Sys_Para.Pf" << QByteArray("16 \r\n10000 \r\n") << 8 << 60000;
    QTest::newRow("hex count") << "Sys_Para.Pf" << QByteArray("$20\r\n0x3E8\r\n") << 32 << 1000;
    QTest::newRow("LF only") << "Sys_Para.Pf" << QByteArray("32\n180000\n") << 32 << 180000;
    QTest::newRow("count 0") << "Sys_Para.Pf" << QByteArray("0\r\n60000\r\n") << 8 << 60000;
    QTest::newRow("count negative") << "Sys_Para.Pf" << QByteArray("-5\r\n60000\r\n") << 8 << 60000;
    QTest::newRow("count 33") << "Sys_Para.Pf" << QByteArray("33\r\n60000\r\n") << 8 << 60000;
    QTest::newRow("count huge") << "Sys_Para.Pf" << QByteArray("99999999999\r\n60000\r\n") << 8 << 60000;
    QTest::newRow("interval beyond 32 bits") << "Sys_Para.Pf" << QByteArray("8\r\n4294967296\r\n") << 8 << 60000;
    QTest::newRow("odd interval kept") << "Sys_Para.Pf" << QByteArray("8\r\n-7\r\n") << 8 << -7;
    QTest::newRow("lower-case name") << "sys_para.pf" << QByteArray("32\r\n300000\r\n") << 32 << 300000;
}

void TestSettingsFiles::sysParams()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(int, interval);
    put(fileName, content);
    LoadSysParams();
    QCOMPARE(SysParams.ChannelCount, count);
    QCOMPARE(SysParams.StorageIntervalMs, interval);
    QCOMPARE(get(fileName), content); // never rewritten by the loader
    QCOMPARE(entries(), QStringList({fileName}));
}

void TestSettingsFiles::fileNamesMatchWithoutCase()
{
    put("SYS_PARA.PF", "16\r\n1000\r\n");
    put("systempv.pf", crlfFile({"甲", "kPa", "1", "2"}));
    LoadSysParams();
    LoadChannelSettings(1);
    QCOMPARE(SysParams.ChannelCount, 16);
    QCOMPARE(Option.Names[0], QStringLiteral("甲"));

    // The savers write into the files already there, whatever their case.
    SysParams.ChannelCount = 32;
    SaveSysParams();
    SaveChannelSettings(1);
    QCOMPARE(entries(), QStringList({"SYS_PARA.PF", "SystemAlm.Pf", "systempv.pf"}));
    QCOMPARE(get("SYS_PARA.PF"), QByteArray("32\r\n1000\r\n"));
}

void TestSettingsFiles::shortFilesLoadEmptyChannels()
{
    put("Sys_Para.Pf", "16\r\n60000\r\n");
    QStringList pv, alm;
    for (int n = 1; n <= 8; ++n) {
        pv << QStringLiteral("通道%1").arg(n) << "MPa" << QString::number(-n) << QString::number(n * 10);
        alm << QStringLiteral("通道%1").arg(n) << "1" << "55.5";
    }
    put("SystemPv.Pf", crlfFile(pv));
    put("SystemAlm.Pf", crlfFile(alm));
    Option.Names[20] = "untouched";
    Option.AlarmValues[20] = 3.0f;

    LoadSysParams();
    LoadChannelSettings(SysParams.ChannelCount);

    for (int i = 0; i < 8; ++i) {
        QCOMPARE(Option.Names[i], QStringLiteral("通道%1").arg(i + 1));
        QCOMPARE(Option.Units[i], QStringLiteral("MPa"));
        QCOMPARE(Option.LowerLimits[i], float(-(i + 1)));
        QCOMPARE(Option.UpperLimits[i], float((i + 1) * 10));
        QCOMPARE(Option.AlarmModes[i], int32_t(amUpper));
        QCOMPARE(Option.AlarmValues[i], 55.5f);
    }
    for (int i = 8; i < 16; ++i) {
        QVERIFY(Option.Names[i].isEmpty());
        QVERIFY(Option.Units[i].isEmpty());
        QCOMPARE(Option.LowerLimits[i], 0.0f);
        QCOMPARE(Option.UpperLimits[i], 0.0f);
        QCOMPARE(Option.AlarmModes[i], int32_t(amNone));
        QCOMPARE(Option.AlarmValues[i], 0.0f);
    }
    QCOMPARE(Option.Names[20], QStringLiteral("untouched"));
    QCOMPARE(Option.AlarmValues[20], 3.0f);
    // Nothing is repaired on disk.
    QCOMPARE(get("SystemPv.Pf"), crlfFile(pv));
    QCOMPARE(get("SystemAlm.Pf"), crlfFile(alm));
}

void TestSettingsFiles::unparsableChannelValues()
{
    put("SystemPv.Pf", crlfFile({"a", "u", "1,5", "5 ", "b", "", "", "abc", "c", "v", "-1.5e2", "+0.25"}));
    put("SystemAlm.Pf", crlfFile({"a", "abc", "", "b", "-1 ", " 8.00000000000000E+0001", "c", "2", "75.5x"}));
    Option.LowerLimits[0] = 9.0f; // stale values must not survive a failed parse
    Option.UpperLimits[0] = 9.0f;
    Option.AlarmModes[0] = amUpper;
    LoadChannelSettings(3);

    QCOMPARE(Option.LowerLimits[0], 0.0f); // comma as decimal separator
    QCOMPARE(Option.UpperLimits[0], 0.0f); // trailing blank
    QVERIFY(Option.Units[1].isEmpty());
    QCOMPARE(Option.LowerLimits[1], 0.0f);
    QCOMPARE(Option.UpperLimits[1], 0.0f);
    QCOMPARE(Option.LowerLimits[2], -150.0f);
    QCOMPARE(Option.UpperLimits[2], 0.25f);

    QCOMPARE(Option.AlarmModes[0], int32_t(amNone)); // "abc"
    QCOMPARE(Option.AlarmValues[0], 0.0f);           // empty line
    QCOMPARE(Option.AlarmModes[1], int32_t(amLower)); // "-1 " read loosely
    QCOMPARE(Option.AlarmValues[1], 80.0f);
    QCOMPARE(Option.AlarmModes[2], 2); // kept as read; the alarm dialog shows no text for it
    QCOMPARE(Option.AlarmValues[2], 75.5f);
    QCOMPARE(Option.Names[0], QStringLiteral("a")); // names come from SystemPv.Pf only
}

void TestSettingsFiles::lfOnlyFileReads()
{
    put("SystemPv.Pf", gbk("油储温度1\n℃\n-20\n150.5\n压力\nMPa\n0\n1.6"));
    LoadChannelSettings(2);
    QCOMPARE(Option.Names[0], QStringLiteral("油储温度1"));
    QCOMPARE(Option.Units[0], QStringLiteral("℃"));
    QCOMPARE(Option.LowerLimits[0], -20.0f);
    QCOMPARE(Option.UpperLimits[0], 150.5f);
    QCOMPARE(Option.Names[1], QStringLiteral("压力"));
    QCOMPARE(Option.UpperLimits[1], 1.6f); // last line without a line end still counts

    PfReader reader("SystemPv.Pf");
    QCOMPARE(reader.lineCount(), 8);
    for (int i = 0; i < 8; ++i)
        reader.readLine();
    QCOMPARE(reader.readLine(), QString()); // past the end: empty lines
    QCOMPARE(reader.readLine(), QString());
}

void TestSettingsFiles::gbkRoundTrip()
{
    Option.Names[0] = QStringLiteral("油储温度1");
    Option.Units[0] = QStringLiteral("℃");
    Option.LowerLimits[0] = -12.5f;
    Option.UpperLimits[0] = 200.0f;
    SaveChannelSettings(1);
    QCOMPARE(get("SystemPv.Pf"), QByteArray::fromHex("D3CDB4A2CEC2B6C8310D0A" "A1E60D0A" "2D31322E350D0A" "3230300D0A"));

    resetSharedState();
    LoadChannelSettings(1);
    QCOMPARE(Option.Names[0], QStringLiteral("油储温度1"));
    QCOMPARE(Option.Units[0], QStringLiteral("℃"));
    QCOMPARE(Option.LowerLimits[0], -12.5f);

    // A file written elsewhere in GBK (no byte-order mark) reads as the same text.
    put("SystemPv.Pf", QByteArray::fromHex("D1B9C1A60D0A" "4D50610D0A" "300D0A" "312E360D0A")); // 压力, MPa
    LoadChannelSettings(1);
    QCOMPARE(Option.Names[0], QStringLiteral("压力"));
    QCOMPARE(Option.Units[0], QStringLiteral("MPa"));
}

void TestSettingsFiles::saversWriteGeneralFormat()
{
    SysParams.ChannelCount = 32;
    SysParams.StorageIntervalMs = 180000;
    SaveSysParams();
    QCOMPARE(get("Sys_Para.Pf"), QByteArray("32\r\n180000\r\n"));

    const int32_t modes[3] = {amLower, amNone, amUpper};
    const float values[3] = {75.5f, 80.0f, 1.5e10f};
    for (int i = 0; i < 3; ++i) {
        Option.Names[i] = QStringLiteral("T%1").arg(i + 1);
        Option.Units[i] = QString(); // empty texts are kept as empty lines
        Option.LowerLimits[i] = 0.1f * float(i);
        Option.UpperLimits[i] = values[i];
        Option.AlarmModes[i] = modes[i];
        Option.AlarmValues[i] = values[i];
    }
    SaveChannelSettings(3);
    SaveAlarmSettings(3);
    QCOMPARE(get("SystemPv.Pf"),
             QByteArray("T1\r\n\r\n0\r\n75.5\r\nT2\r\n\r\n0.1\r\n80\r\nT3\r\n\r\n0.2\r\n1.5E+10\r\n"));
    QCOMPARE(get("SystemAlm.Pf"), QByteArray("T1\r\n-1\r\n75.5\r\nT2\r\n0\r\n80\r\nT3\r\n1\r\n1.5E+10\r\n"));

    // Counts beyond the tables are held to them.
    SaveAlarmSettings(40);
    QCOMPARE(PfReader("SystemAlm.Pf").lineCount(), 32 * 3);
    SaveAlarmSettings(-1);
    QCOMPARE(get("SystemAlm.Pf"), QByteArray());
}

void TestSettingsFiles::inputOutputFailuresThrow()
{
    // A directory where a settings file is expected: reading and writing both fail.
    QVERIFY(QDir().mkdir("Sys_Para.Pf"));
    try {
        LoadSysParams();
        QFAIL("reading a directory as Sys_Para.Pf did not fail");
    } catch (const AppError &e) {
        QVERIFY2(e.text().contains("Sys_Para.Pf"), qPrintable(e.text()));
    }
    SysParams.ChannelCount = 8;
    try {
        SaveSysParams();
        QFAIL("writing over a directory did not fail");
    } catch (const AppError &e) {
        QVERIFY2(e.text().contains("Sys_Para.Pf"), qPrintable(e.text()));
    }

    // KTcom.ini in a "directory" that is a regular file: the default write-back fails.
    put("plainfile", "x");
    const QString badHome = m_dir->filePath("plainfile/home");
    try {
        ReadCommSettings(badHome);
        QFAIL("writing KTcom.ini below a regular file did not fail");
    } catch (const AppError &e) {
        QVERIFY2(e.text().contains("KTcom.ini"), qPrintable(e.text()));
    }
    QVERIFY_THROWS_EXCEPTION(AppError, WriteCommSettings(badHome, "COM1", 9600));

    // Unhandled, the error reaches the standard error handler with its text.
    ScriptedPrompter prompter;
    QVERIFY(!ui::guarded([] { SaveSysParams(); }));
    QCOMPARE(prompter.errors.size(), 1);
    QVERIFY(prompter.errors.first().contains("Sys_Para.Pf"));
}

void TestSettingsFiles::unencodableTextKeepsOldFile()
{
    LoadChannelSettings(2);
    const QByteArray before = get("SystemPv.Pf");
    Option.Names[1] = QStringLiteral("温度\U0001F600"); // no GBK code for this character
    QVERIFY_THROWS_EXCEPTION(AppError, SaveChannelSettings(2));
    QCOMPARE(get("SystemPv.Pf"), before);
}

void TestSettingsFiles::damagedBytesSurviveRewrite()
{
    // Names with bytes that are no GBK (a lone 0xFF, a lead byte before a line end) load, the
    // missing alarm file is created with them, and a rewrite keeps every byte.
    const QByteArray pv = QByteArray::fromHex("CEC2FF310D0A" "A1E60D0A" "300D0A" "3230300D0A"
                                              "41E60D0A" "A1E60D0A" "300D0A" "3230300D0A");
    put("SystemPv.Pf", pv);
    LoadChannelSettings(2);
    QCOMPARE(Option.Names[0].size(), 3);
    QCOMPARE(get("SystemAlm.Pf").left(6), QByteArray::fromHex("CEC2FF310D0A"));
    SaveChannelSettings(2);
    QCOMPARE(get("SystemPv.Pf"), pv);

    // KTcom.ini with a stray byte in a comment still takes its defaults.
    put("KTcom.ini", QByteArray::fromHex("3BFF0D0A") + "[communication]\r\n");
    QCOMPARE(ReadCommSettings(m_dir->path()).port, QStringLiteral("COM1"));
    QCOMPARE(get("KTcom.ini"), QByteArray::fromHex("3BFF0D0A") + "[communication]\r\nCOM=COM1\r\nBps=9600\r\n");

    // A real character whose second half looks like a kept byte is still refused.
    Option.Names[0] = QStringLiteral("\U00010080");
    QVERIFY_THROWS_EXCEPTION(AppError, SaveChannelSettings(1));
}

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "tst_settingsfiles.moc"
