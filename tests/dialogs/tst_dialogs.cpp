// The three setting dialogs, driven through their handlers without running them modally:
// what they show, what they keep in memory, what lands on disk and what the operator is told.

#include "AlmFrm.h"
#include "CommFrm.h"
#include "DeviceAddress.h"
#include "PfFile.h"
#include "ScriptedPrompter.h"
#include "Simulator.h"
#include "SettingsFiles.h"
#include "WindowState.h"
#include "sysFrm.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStringEncoder>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray gbkLines(const QStringList &lines)
{
    QStringEncoder encoder("GBK");
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += encoder.encode(line) + "\r\n";
    return bytes;
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray get(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString cell(const QTableWidget *grid, int row, int column)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

// Types into a cell as the operator would.
void type(QTableWidget *grid, int row, int column, const QString &text)
{
    QVERIFY(grid->item(row, column));
    QVERIFY(grid->item(row, column)->flags() & Qt::ItemIsEditable);
    grid->item(row, column)->setText(text);
}

QStringList pvEntry(int n, const QString &lower = "0", const QString &upper = "200")
{
    return {QStringLiteral("油储温度%1").arg(n), QStringLiteral("℃"), lower, upper};
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void sysFormOpens_data();
    void sysFormOpens();
    void sysFormCount5SavesAs8();
    void sysFormGrowsTo16();
    void sysFormShrinksTo8();
    void sysFormRejectsBadRow_data();
    void sysFormRejectsBadRow();
    void sysFormSavesByteForByte();
    void sysFormCancelWritesNothing();
    void sysFormRejectsLineBreaks();
    void dialogsRefuseSettingsNeverRead();
    void sysFormReportsFileErrorAndStaysOpen();

    void commFormOpensWithSaved_data();
    void commFormOpensWithSaved();
    void commFormWritesAndKeepsDevices();
    void commFormCancelAndFailure();
    void commFormChoosesDevice();
    void commFormRefusesBadDevice();
    void commFormNetworkDevice();

    void almFormAfterFirstStart();
    void almFormRoundTrip();
    void almFormUnknownModeSavedAsNone();
    void almFormRejectsEmptyValue();
    void almFormCancelKeepsEdits();

private:
    void firstStart(int count = 8);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    QString m_previousDir;
};

void TestDialogs::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    setProgramDirectory(m_dir->path());
    resetSharedState();
    m_prompter = std::make_unique<ScriptedPrompter>();
}

void TestDialogs::cleanup()
{
    m_prompter.reset();
    QDir::setCurrent(m_previousDir);
    setProgramDirectory(QStringLiteral("."));
    m_dir.reset();
    resetSharedState();
}

// The settings a first start leaves in memory and on disk.
void TestDialogs::firstStart(int count)
{
    put("Sys_Para.Pf", QByteArray::number(count) + "\r\n60000\r\n");
    LoadSysParams();
    LoadChannelSettings(SysParams.ChannelCount);
}

// ---------------------------------------------------------------------------------------------
// TSysForm

void TestDialogs::sysFormOpens_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("countItem");
    QTest::addColumn<int>("intervalItem");
    QTest::newRow("5 channels") << 5 << 60000 << 0 << 2;
    QTest::newRow("8 channels") << 8 << 1000 << 0 << 0;
    QTest::newRow("16 channels") << 16 << 600000 << 1 << 5;
    QTest::newRow("32 channels") << 32 << 180000 << 2 << 3;
    QTest::newRow("17 channels, odd interval") << 17 << 12345 << 2 << 0;
}

void TestDialogs::sysFormOpens()
{
    QFETCH(int, count);
    QFETCH(int, interval);
    QFETCH(int, countItem);
    QFETCH(int, intervalItem);
    SysParams.ChannelCount = count;
    SysParams.StorageIntervalMs = interval;
    Option.LowerLimits[2] = -5.5f;
    Option.UpperLimits[2] = 120.0f;

    TSysForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("系统参数设置"));
    QCOMPARE(form.size(), QSize(511, 577));
    QCOMPARE(form.ComboBox1->currentIndex(), countItem);
    QCOMPARE(form.ComboBox2->currentIndex(), intervalItem);
    QVERIFY(!form.ComboBox1->isEditable());
    QVERIFY(!form.ComboBox2->isEditable());
    QCOMPARE(form.ComboBox1->itemText(0), QStringLiteral("8  路"));
    QCOMPARE(form.ComboBox2->itemText(2), QStringLiteral("60秒种"));
    QVERIFY(m_prompter->messages.isEmpty()); // showing the saved values is no change
    QCOMPARE(form.BitBtn1->text(), QStringLiteral("&设置"));
    QCOMPARE(form.BitBtn2->text(), QStringLiteral("取消"));

    QTableWidget *g = form.StringGrid1;
    QCOMPARE(g->rowCount(), count + 1);
    QCOMPARE(g->columnCount(), 5);
    const QStringList headers = {" 通道号", " 名  称", " 下  限", " 上  限", " 单  位"};
    for (int c = 0; c < 5; ++c) {
        QCOMPARE(cell(g, 0, c), headers.at(c));
        QCOMPARE(g->columnWidth(c), 100);
    }
    QCOMPARE(g->rowHeight(1), 24);
    QCOMPARE(cell(g, 3, 0), QStringLiteral("  3通道"));
    QCOMPARE(cell(g, count, 0), QStringLiteral("  %1通道").arg(count));
    QVERIFY(!(g->item(3, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(g->item(3, 1)->flags() & Qt::ItemIsEditable);
    QCOMPARE(cell(g, 3, 2), QStringLiteral("-5.5"));
    QCOMPARE(cell(g, 3, 3), QStringLiteral("120"));
    // Empty entries are shown with the defaults, in the dialog's copy only: the running
    // station keeps its settings until they are saved.
    QCOMPARE(cell(g, count, 1), QStringLiteral("油储温度%1").arg(count));
    QCOMPARE(cell(g, count, 3), QStringLiteral("10"));
    QCOMPARE(form.edited().Units[count - 1], QStringLiteral("℃"));
    QCOMPARE(form.edited().UpperLimits[count - 1], 10.0f);
    QVERIFY(Option.Units[count - 1].isEmpty());
    QCOMPARE(Option.UpperLimits[count - 1], 0.0f);
    QCOMPARE(Option.UpperLimits[2], 120.0f);
    if (count < MaxChannels)
        QVERIFY(form.edited().Names[count].isEmpty()); // beyond the grid nothing changes
}

void TestDialogs::sysFormCount5SavesAs8()
{
    firstStart(5);
    QCOMPARE(SysParams.ChannelCount, 5);
    TSysForm form;
    QCOMPARE(form.StringGrid1->rowCount(), 6);
    form.BitBtn1Click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(SysParams.ChannelCount, 8);
    QCOMPARE(get("Sys_Para.Pf"), QByteArray("8\r\n60000\r\n"));
    QCOMPARE(PfReader("SystemPv.Pf").lineCount(), 5 * 4);
}

void TestDialogs::sysFormGrowsTo16()
{
    firstStart(8);
    TSysForm form;
    form.show();
    type(form.StringGrid1, 1, 1, QStringLiteral("进口温度"));

    form.ComboBox1->setCurrentIndex(1);
    QCOMPARE(m_prompter->messages.size(), 1);
    QCOMPARE(m_prompter->messages.first().text, QStringLiteral("测量路数改变，请重启程序！！！"));
    QCOMPARE(m_prompter->messages.first().title, ui::AppTitle);
    QCOMPARE(form.channelCount(), 16);
    QTableWidget *g = form.StringGrid1;
    QCOMPARE(g->rowCount(), 17);
    QCOMPARE(cell(g, 1, 1), QStringLiteral("进口温度")); // typed text survives the change
    QCOMPARE(cell(g, 8, 3), QStringLiteral("200"));
    for (int n = 9; n <= 16; ++n) {
        QCOMPARE(cell(g, n, 0), QStringLiteral("  %1通道").arg(n));
        QCOMPARE(cell(g, n, 1), QStringLiteral("油储温度%1").arg(n));
        QCOMPARE(cell(g, n, 2), QStringLiteral("0"));
        QCOMPARE(cell(g, n, 3), QStringLiteral("10"));
        QCOMPARE(cell(g, n, 4), QStringLiteral("℃"));
    }

    // The interval box alone shows the same message.
    form.ComboBox2->setCurrentIndex(1);
    QCOMPARE(m_prompter->messageTexts(),
             QStringList({"测量路数改变，请重启程序！！！", "测量路数改变，请重启程序！！！"}));
    QCOMPARE(g->rowCount(), 17);

    form.BitBtn1Click();
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(SysParams.ChannelCount, 16);
    QCOMPARE(SysParams.StorageIntervalMs, 10000);
    QCOMPARE(get("Sys_Para.Pf"), QByteArray("16\r\n10000\r\n"));
    QStringList lines = {"进口温度", "℃", "0", "200"};
    for (int n = 2; n <= 8; ++n)
        lines << pvEntry(n);
    for (int n = 9; n <= 16; ++n)
        lines << pvEntry(n, "0", "10");
    QCOMPARE(get("SystemPv.Pf"), gbkLines(lines));
    QCOMPARE(Option.Names[0], QStringLiteral("进口温度"));
}

void TestDialogs::sysFormShrinksTo8()
{
    firstStart(32);
    Option.Names[20] = QStringLiteral("第21路");
    TSysForm form;
    QCOMPARE(form.ComboBox1->currentIndex(), 2);
    form.ComboBox1->setCurrentIndex(0);
    QCOMPARE(form.StringGrid1->rowCount(), 9);
    form.BitBtn1Click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(SysParams.ChannelCount, 8);
    QCOMPARE(PfReader("SystemPv.Pf").lineCount(), 8 * 4);
    QCOMPARE(Option.Names[20], QStringLiteral("第21路")); // entries 9 … 32 stay in memory
    QCOMPARE(Option.UpperLimits[31], 200.0f);
}

void TestDialogs::sysFormRejectsBadRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("lower");
    QTest::addColumn<QString>("upper");
    QTest::addColumn<int>("badColumn");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty lower") << 3 << "" << "200" << 2 << "曲线:3; 油储温度3下限输入错误";
    QTest::newRow("trailing blank") << 3 << "5 " << "200" << 2 << "曲线:3; 油储温度3下限输入错误";
    QTest::newRow("comma") << 5 << "0" << "1,5" << 3 << "曲线:5; 油储温度5上限输入错误";
    QTest::newRow("lower equals upper") << 3 << "5" << "5" << 2 << "曲线:3; 油储温度3下限应小于上限";
    QTest::newRow("crossed") << 8 << "300" << "200" << 2 << "曲线:8; 油储温度8下限应小于上限";
    QTest::newRow("beyond single precision") << 2 << "1e39" << "2e39" << 2 << "曲线:2; 油储温度2下限输入错误";
}

void TestDialogs::sysFormRejectsBadRow()
{
    QFETCH(int, row);
    QFETCH(QString, lower);
    QFETCH(QString, upper);
    QFETCH(int, badColumn);
    QFETCH(QString, message);
    firstStart(8);
    const QByteArray pvBefore = get("SystemPv.Pf");

    TSysForm form;
    form.show();
    form.ComboBox2->setCurrentIndex(0); // 1 秒钟
    m_prompter->clear();
    type(form.StringGrid1, 1, 4, QStringLiteral("kPa")); // an edit in another row, kept too
    type(form.StringGrid1, row, 2, lower);
    type(form.StringGrid1, row, 3, upper);
    form.BitBtn1Click();

    QCOMPARE(m_prompter->messages.size(), 1);
    const ui::MessageRequest &box = m_prompter->messages.first();
    QCOMPARE(box.text, message);
    QCOMPARE(box.title, QStringLiteral("错误"));
    QCOMPARE(box.icon, ui::Icon::Information);
    QCOMPARE(box.buttons, ui::Buttons::Ok);

    // Count and interval are saved before the check; the channel table is not.
    QCOMPARE(SysParams.StorageIntervalMs, 1000);
    QCOMPARE(get("Sys_Para.Pf"), QByteArray("8\r\n1000\r\n"));
    QCOMPARE(get("SystemPv.Pf"), pvBefore);
    QCOMPARE(Option.Units[0], QStringLiteral("℃"));
    QCOMPARE(Option.LowerLimits[row - 1], 0.0f);

    // The dialog stays open on the bad cell with everything typed.
    QVERIFY(form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QCOMPARE(form.StringGrid1->currentRow(), row);
    QCOMPARE(form.StringGrid1->currentColumn(), badColumn);
    QCOMPARE(cell(form.StringGrid1, row, 2), lower);
    QCOMPARE(cell(form.StringGrid1, 1, 4), QStringLiteral("kPa"));

    // Mended, the same dialog saves.
    type(form.StringGrid1, row, 2, QStringLiteral("-10"));
    type(form.StringGrid1, row, 3, QStringLiteral("90.5"));
    form.BitBtn1Click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(Option.LowerLimits[row - 1], -10.0f);
    QCOMPARE(Option.UpperLimits[row - 1], 90.5f);
    QCOMPARE(Option.Units[0], QStringLiteral("kPa"));
}

void TestDialogs::sysFormSavesByteForByte()
{
    firstStart(8);
    Option.AlarmModes[0] = amUpper;
    Option.AlarmValues[0] = 33.0f;
    const QByteArray almBefore = get("SystemAlm.Pf");
    TSysForm form;
    QTableWidget *g = form.StringGrid1;
    type(g, 1, 1, QStringLiteral("进口温度"));
    type(g, 1, 2, QStringLiteral("-20.50"));
    type(g, 1, 3, QStringLiteral("1.5e3"));
    type(g, 1, 4, QStringLiteral("kPa"));
    type(g, 8, 1, QString()); // empty texts are taken as they are
    type(g, 8, 4, QString());
    type(g, 8, 2, QStringLiteral(" 0.1"));
    form.BitBtn1Click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QVERIFY(m_prompter->messages.isEmpty());

    QStringList lines = {"进口温度", "kPa", "-20.5", "1500"};
    for (int n = 2; n <= 7; ++n)
        lines << pvEntry(n);
    lines << "" << "" << "0.1" << "200";
    QCOMPARE(get("SystemPv.Pf"), gbkLines(lines));
    QCOMPARE(Option.Names[0], QStringLiteral("进口温度"));
    QCOMPARE(Option.LowerLimits[0], -20.5f);
    QCOMPARE(Option.UpperLimits[0], 1500.0f);
    QVERIFY(Option.Names[7].isEmpty());
    QCOMPARE(Option.LowerLimits[7], 0.1f);
    // Alarm settings are not this dialog's business.
    QCOMPARE(Option.AlarmModes[0], int32_t(amUpper));
    QCOMPARE(Option.AlarmValues[0], 33.0f);
    QCOMPARE(get("SystemAlm.Pf"), almBefore);
}

void TestDialogs::sysFormRejectsLineBreaks()
{
    // A line break in a name or unit would shift every later entry of SystemPv.Pf by a line.
    firstStart(8);
    const QByteArray pvBefore = get("SystemPv.Pf");
    TSysForm form;
    m_prompter->clear();
    type(form.StringGrid1, 2, 1, QStringLiteral("罐\n2"));
    form.BitBtn1Click();
    QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("曲线:2; 罐 2名称不能含换行符")});
    QCOMPARE(m_prompter->messages.first().title, QStringLiteral("错误"));
    QCOMPARE(form.StringGrid1->currentRow(), 2);
    QCOMPARE(form.StringGrid1->currentColumn(), 1);

    type(form.StringGrid1, 2, 1, QStringLiteral("罐2"));
    type(form.StringGrid1, 4, 4, QStringLiteral("k\r\nPa"));
    m_prompter->clear();
    form.BitBtn1Click();
    QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("曲线:4; 油储温度4单位不能含换行符")});
    QCOMPARE(form.StringGrid1->currentColumn(), 4);
    QCOMPARE(get("SystemPv.Pf"), pvBefore);
    QCOMPARE(Option.Names[1], QStringLiteral("油储温度2"));
}

void TestDialogs::dialogsRefuseSettingsNeverRead()
{
    // Start-up never read the settings (an unreadable file stopped it): whatever the grids
    // show, nothing may be written over the files.
    SysParams.ChannelCount = 8;
    AlmChannelCount = 8;
    {
        TSysForm form;
        QCOMPARE(form.StringGrid1->rowCount(), 9);
        form.BitBtn1Click();
        TAlmForm alarms;
        alarms.BitBtn1Click();
    }
    QCOMPARE(m_prompter->messages.size(), 2);
    for (const ui::MessageRequest &m : m_prompter->messages) {
        QVERIFY2(m.text.startsWith(QStringLiteral("设置文件在启动时未能读入")), qPrintable(m.text));
        QCOMPARE(m.title, QStringLiteral("错误"));
    }
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{});

    // Read, but a table without rows would write empty files.
    firstStart(8);
    const QByteArray almBefore = get("SystemAlm.Pf");
    SysParams.ChannelCount = 0;
    m_prompter->clear();
    TAlmForm empty;
    QCOMPARE(empty.StringGrid1->rowCount(), 1);
    empty.BitBtn1Click();
    QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("表格中没有通道，不能保存：保存会清空所有通道的设置。")});
    QCOMPARE(get("SystemAlm.Pf"), almBefore);
}

void TestDialogs::sysFormCancelWritesNothing()
{
    firstStart(8);
    Option.Names[1].clear(); // as if the file held an empty name
    Option.UpperLimits[1] = 0.0f;
    const QByteArray para = get("Sys_Para.Pf"), pv = get("SystemPv.Pf");

    TSysForm form;
    form.show();
    type(form.StringGrid1, 1, 1, QStringLiteral("改了"));
    form.ComboBox1->setCurrentIndex(2);
    form.BitBtn2->click();
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QCOMPARE(get("Sys_Para.Pf"), para);
    QCOMPARE(get("SystemPv.Pf"), pv);
    QCOMPARE(SysParams.ChannelCount, 8);
    QCOMPARE(Option.Names[0], QStringLiteral("油储温度1"));
    // Nothing the grid showed reached the station's settings: not the edit, not a default.
    QVERIFY(Option.Names[1].isEmpty());
    QCOMPARE(Option.UpperLimits[1], 0.0f);
    QVERIFY(Option.Names[20].isEmpty());
}

void TestDialogs::sysFormReportsFileErrorAndStaysOpen()
{
    firstStart(8);
    const QByteArray pv = get("SystemPv.Pf");
    TSysForm form;
    form.show();
    type(form.StringGrid1, 2, 1, QStringLiteral("温度\U0001F600")); // not representable in GBK
    form.BitBtn1->click(); // through the button: the error reaches the standard handler
    QCOMPARE(m_prompter->errors.size(), 1);
    QVERIFY2(m_prompter->errors.first().contains("SystemPv.Pf"), qPrintable(m_prompter->errors.first()));
    QVERIFY(form.isVisible());
    QCOMPARE(get("SystemPv.Pf"), pv);
    QCOMPARE(Option.Names[1], QStringLiteral("油储温度2")); // memory still matches the file

    QVERIFY(QFile::remove("Sys_Para.Pf"));
    QVERIFY(QDir().mkdir("Sys_Para.Pf"));
    type(form.StringGrid1, 2, 1, QStringLiteral("温度"));
    form.BitBtn1->click();
    QCOMPARE(m_prompter->errors.size(), 2);
    QVERIFY(m_prompter->errors.last().contains("Sys_Para.Pf"));
    QVERIFY(form.isVisible());
    QCOMPARE(get("SystemPv.Pf"), pv);
}

// ---------------------------------------------------------------------------------------------
// TCommForm

void TestDialogs::commFormOpensWithSaved_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("speed");
    QTest::newRow("COM2 4800") << QByteArray("[communication]\r\nCOM=COM2\r\nBps=4800\r\n") << "COM2" << "4800 Bps";
    QTest::newRow("lower case COM16 1200") << QByteArray("[Communication]\r\ncom=com16\r\nbps=1200\r\n") << "COM16"
                                           << "1200 Bps";
    QTest::newRow("unknown port and speed") << QByteArray("[communication]\r\nCOM=COM19\r\nBps=19200\r\n") << "COM1"
                                            << "9600 Bps";
    QTest::newRow("port not a COM name") << QByteArray("[communication]\r\nCOM=/dev/ttyS0\r\nBps=2400\r\n") << "COM1"
                                         << "2400 Bps";
    QTest::newRow("missing file") << QByteArray() << "COM1" << "9600 Bps";
}

void TestDialogs::commFormOpensWithSaved()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, port);
    QFETCH(QString, speed);
    if (!ini.isEmpty())
        put("KTcom.ini", ini);
    TCommForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("通讯参数设置："));
    QCOMPARE(form.ComboBox1->currentText(), port);
    QCOMPARE(form.ComboBox2->currentText(), speed);
    QCOMPARE(form.ComboBox1->count(), 16);
    QCOMPARE(form.ComboBox1->itemText(15), QStringLiteral("COM16"));
    QVERIFY(!form.ComboBox1->isEditable());
    QVERIFY(!form.ComboBox2->isEditable());
    QCOMPARE(get("KTcom.ini"), ini.isEmpty() ? QByteArray("<missing>") : ini); // opening writes nothing
    QVERIFY(m_prompter->messages.isEmpty());
}

void TestDialogs::commFormWritesAndKeepsDevices()
{
    put("KTcom.ini", "; station\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[communication]\r\nCOM=COM2\r\nBps=4800\r\n");
    TCommForm form;
    form.show();
    form.ComboBox1->setCurrentIndex(0);
    form.ComboBox2->setCurrentIndex(2);
    form.BitBtn1Click();
    QCOMPARE(get("KTcom.ini"),
             QByteArray("; station\r\n[devices]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[communication]\r\nCOM=COM1\r\nBps=2400\r\n"));
    QCOMPARE(m_prompter->messageTexts(), QStringList({"设置成功！请重新运行程序！"}));
    QCOMPARE(m_prompter->messages.first().title, ui::AppTitle);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QVERIFY(!form.isVisible());

    const CommSettings s = ReadCommSettings(m_dir->path());
    QCOMPARE(s.port, QStringLiteral("COM1"));
    QCOMPARE(s.speed, 2400);
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), QStringLiteral("/dev/ttyUSB0"));
}

void TestDialogs::commFormCancelAndFailure()
{
    const QByteArray ini = "[communication]\r\nCOM=COM3\r\nBps=9600\r\n";
    put("KTcom.ini", ini);
    {
        TCommForm form;
        form.show();
        form.ComboBox1->setCurrentIndex(7);
        form.BitBtn2->click();
        QCOMPARE(form.result(), int(QDialog::Rejected));
        QCOMPARE(get("KTcom.ini"), ini);
        QVERIFY(m_prompter->messages.isEmpty());
    }
    // A program directory that cannot hold the file: the error is reported, no success message.
    put("plainfile", "x");
    setProgramDirectory(m_dir->filePath("plainfile/home"));
    TCommForm form;
    form.show();
    QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("COM1"));
    form.BitBtn1->click();
    QCOMPARE(m_prompter->errors.size(), 1);
    QVERIFY(m_prompter->errors.first().contains("KTcom.ini"));
    QVERIFY(m_prompter->messages.isEmpty());
    QVERIFY(form.isVisible());
}

// A machine with one USB adapter (stable name) and one on-board port.
static SerialDeviceScan oneAdapter()
{
    return {{{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART"), QStringLiteral("FTDI"), QStringLiteral("A50285BI")},
             {QStringLiteral("/dev/ttyS0"), {}, {}, {}}},
            {{QStringLiteral("/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"), QStringLiteral("/dev/ttyUSB0")}}};
}

void TestDialogs::commFormChoosesDevice()
{
    put("KTcom.ini", "[communication]\r\nCOM=COM2\r\nBps=4800\r\n[devices]\r\n; bench\r\nCOM2=/dev/ttyACM3\r\n");
    int scans = 0;
    SerialDeviceScan scan = oneAdapter();
    TCommForm form(nullptr, [&] {
        ++scans;
        return scan;
    });
    form.show();
    QCOMPARE(scans, 1);
    // COM2's device comes first, though unplugged; then the adapter, then the on-board port,
    // then the entry for a network device.
    QCOMPARE(form.ComboBox3->count(), 4);
    QCOMPARE(form.ComboBox3->currentIndex(), 0);
    QCOMPARE(form.ComboBox3->currentText(), QStringLiteral("当前：/dev/ttyACM3  —  未找到"));
    QCOMPARE(form.ComboBox3->itemText(1),
             QStringLiteral("/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0  —  /dev/ttyUSB0, FT232R USB UART, FTDI, 序列号 A50285BI"));
    QCOMPARE(form.ComboBox3->itemText(2), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(form.ComboBox3->itemText(3), QStringLiteral("网络设备…"));
    QVERIFY(!form.NetAddressEdit->isEnabled());
    QVERIFY(!form.TestButton->isEnabled());

    // Another port shows its own device: COM1 has no entry and opens /dev/ttyS0, which is there.
    form.ComboBox1->setCurrentIndex(0);
    QCOMPARE(form.ComboBox3->currentText(), QStringLiteral("当前：/dev/ttyS0  —  默认设备"));
    QCOMPARE(form.ComboBox3->count(), 3);

    // An adapter plugged in while the dialog is open appears on "刷新".
    scan.stable.append({QStringLiteral("/dev/serial/by-id/usb-Prolific-if00-port0"), QStringLiteral("/dev/ttyUSB1")});
    form.RefreshButton->click();
    QCOMPARE(scans, 2);
    QCOMPARE(form.ComboBox3->count(), 4);
    QCOMPARE(form.deviceChoices().at(2).device, QStringLiteral("/dev/serial/by-id/usb-Prolific-if00-port0"));

    // The adapter for COM1: stored under its stable name; COM2's entry and the rest are kept.
    form.ComboBox3->setCurrentIndex(1);
    QCOMPARE(form.ComboBox3->lineEdit()->cursorPosition(), 0); // the name in view, not the details
    form.BitBtn1->click();
    QCOMPARE(get("KTcom.ini"), QByteArray("[communication]\r\nCOM=COM1\r\nBps=4800\r\n[devices]\r\n; bench\r\nCOM2=/dev/ttyACM3\r\n"
                                          "COM1=/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0\r\n"));
    QCOMPARE(m_prompter->messageTexts(), QStringList({"设置成功！请重新运行程序！"}));
    QCOMPARE(form.result(), int(QDialog::Accepted));

    // Again for COM2, typing a device the list cannot know: its entry changes in place.
    m_prompter->clear();
    TCommForm again(nullptr, [&] { return scan; });
    again.show();
    again.ComboBox1->setCurrentIndex(1);
    QCOMPARE(again.ComboBox3->currentText(), QStringLiteral("当前：/dev/ttyACM3  —  未找到"));
    again.ComboBox3->setEditText(QStringLiteral(" /tmp/ttyQZ "));
    again.BitBtn1Click();
    QCOMPARE(get("KTcom.ini"), QByteArray("[communication]\r\nCOM=COM2\r\nBps=4800\r\n[devices]\r\n; bench\r\nCOM2=/tmp/ttyQZ\r\n"
                                          "COM1=/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0\r\n"));
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(2), QStringLiteral("/tmp/ttyQZ"));
}

void TestDialogs::commFormRefusesBadDevice()
{
    const QByteArray ini = "[communication]\r\nCOM=COM1\r\nBps=9600\r\n";
    put("KTcom.ini", ini);
    TCommForm form(nullptr, [] { return oneAdapter(); });
    form.show();
    form.ComboBox2->setCurrentIndex(3);
    form.ComboBox3->setEditText(QStringLiteral("ttyUSB0"));
    form.BitBtn1->click();
    // Told what is wrong, nothing written, the dialog stays open for a correction.
    QCOMPARE(m_prompter->messages.size(), 1);
    QCOMPARE(m_prompter->messages.first().title, QStringLiteral("错误"));
    QVERIFY(m_prompter->messages.first().text.startsWith(QStringLiteral("串口设备必须是完整路径")));
    QCOMPARE(get("KTcom.ini"), ini);
    QVERIFY(form.isVisible());

    // Cancel after choosing a device writes nothing either.
    form.ComboBox3->setCurrentIndex(1);
    form.BitBtn2->click();
    QCOMPARE(get("KTcom.ini"), ini);
}

void TestDialogs::commFormNetworkDevice()
{
    put("KTcom.ini", "[communication]\r\nCOM=COM1\r\nBps=9600\r\n");
    Simulator gateway(simulatorProgram());
    QVERIFY(gateway.start({QStringLiteral("--tcp"), QStringLiteral("0")}));
    const QString hostPort = deviceDisplayText(gateway.path());
    QVERIFY(hostPort.startsWith(QStringLiteral("127.0.0.1:")));

    TCommForm form(nullptr, [] { return oneAdapter(); });
    form.show();
    QCOMPARE(form.ComboBox3->itemText(form.ComboBox3->count() - 1), QStringLiteral("网络设备…"));
    form.ComboBox3->setCurrentIndex(form.ComboBox3->count() - 1);
    QVERIFY(form.NetAddressEdit->isEnabled());
    QVERIFY(form.TestButton->isEnabled());
    QCOMPARE(form.NetModeBox->currentText(), QStringLiteral("串口服务器（RTU over TCP）"));
    QVERIFY(!form.NetUnitBox->isEnabled()); // a unit id is Modbus TCP's alone

    // A typing error is shown at once; nothing is polled.
    form.NetAddressEdit->setText(QStringLiteral("127.0.0.1"));
    form.TestButton->click();
    QVERIFY(form.NetResultLabel->text().startsWith(QStringLiteral("网络设备的地址应为 主机:端口")));
    QVERIFY(form.TestButton->isEnabled());

    // "测试" returns at once and the dialog goes on; the outcome shows when it is there.
    form.NetAddressEdit->setText(hostPort);
    form.TestButton->click();
    QCOMPARE(form.NetResultLabel->text(), QStringLiteral("正在测试 %1 …").arg(hostPort));
    QVERIFY(!form.TestButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(form.NetResultLabel->text().startsWith(QStringLiteral("通讯正常：")), 10000);
    QVERIFY2(form.NetResultLabel->text().endsWith(QStringLiteral("64 字节（16 个通道）。")), qPrintable(form.NetResultLabel->text()));
    QVERIFY(form.TestButton->isEnabled());

    // A gateway that is off: said so.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    form.NetAddressEdit->setText(QStringLiteral("127.0.0.1:%1").arg(closedPort));
    form.TestButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(form.TestButton->isEnabled(), 10000);
    QVERIFY2(form.NetResultLabel->text().startsWith(QStringLiteral("连接失败：127.0.0.1:%1 拒绝连接").arg(closedPort)),
             qPrintable(form.NetResultLabel->text()));

    // "设置" stores the device string like a serial device.
    form.NetAddressEdit->setText(hostPort);
    form.BitBtn1->click();
    QCOMPARE(m_prompter->messageTexts(), QStringList({"设置成功！请重新运行程序！"}));
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), QStringLiteral("tcp://") + hostPort);
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), gateway.path());

    // Opened again: the network device is the current one and fills the row.
    m_prompter->clear();
    Simulator instrument(simulatorProgram());
    QVERIFY(instrument.start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--mbap")}));
    TCommForm again(nullptr, [] { return oneAdapter(); });
    again.show();
    QCOMPARE(again.ComboBox3->currentText(), QStringLiteral("当前：tcp://%1  —  网络设备").arg(hostPort));
    QVERIFY(again.NetAddressEdit->isEnabled());
    QCOMPARE(again.NetAddressEdit->text(), hostPort);
    // Now a Modbus TCP instrument, unit 1.
    again.NetAddressEdit->setText(deviceDisplayText(instrument.path()));
    again.NetModeBox->setCurrentIndex(1);
    QVERIFY(again.NetUnitBox->isEnabled());
    again.NetUnitBox->setValue(1);
    again.TestButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(again.NetResultLabel->text().startsWith(QStringLiteral("通讯正常：")), 10000);
    // A bad address with the network row in use is refused; nothing is written.
    const QByteArray before = get("KTcom.ini");
    again.NetAddressEdit->setText(QStringLiteral("127.0.0.1:99999"));
    again.BitBtn1->click();
    QCOMPARE(m_prompter->messages.size(), 1);
    QCOMPARE(m_prompter->messages.first().title, QStringLiteral("错误"));
    QVERIFY(m_prompter->messages.first().text.startsWith(QStringLiteral("端口必须是 1 到 65535")));
    QCOMPARE(get("KTcom.ini"), before);
    QVERIFY(again.isVisible());
    m_prompter->clear();
    again.NetAddressEdit->setText(deviceDisplayText(instrument.path()));
    again.BitBtn1->click();
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), instrument.path()); // modbus-tcp://…?unit=1

    // A device string typed into the list itself counts as well.
    m_prompter->clear();
    TCommForm typed(nullptr, [] { return oneAdapter(); });
    typed.show();
    typed.ComboBox3->setEditText(QStringLiteral("modbus-tcp://10.0.0.9?unit=4"));
    QVERIFY(!typed.NetAddressEdit->isEnabled());
    typed.BitBtn1->click();
    QCOMPARE(ReadDeviceMap(m_dir->path()).value(1), QStringLiteral("modbus-tcp://10.0.0.9?unit=4"));
}

// ---------------------------------------------------------------------------------------------
// TAlmForm

void TestDialogs::almFormAfterFirstStart()
{
    firstStart(8);
    TAlmForm form;
    AlmForm = &form;
    QCOMPARE(form.windowTitle(), QStringLiteral("报警状态设置"));
    QCOMPARE(form.size(), QSize(414, 516));
    QCOMPARE(AlmChannelCount, 8);
    QTableWidget *g = form.StringGrid1;
    QCOMPARE(g->rowCount(), 9);
    QCOMPARE(g->columnCount(), 4);
    const QStringList headers = {" 通道号", " 名  称", " 报警状态", " 报警数值"};
    for (int c = 0; c < 4; ++c)
        QCOMPARE(cell(g, 0, c), headers.at(c));
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(cell(g, n, 0), QStringLiteral("  %1通道").arg(n));
        QCOMPARE(cell(g, n, 1), QStringLiteral("油储温度%1").arg(n));
        QCOMPARE(cell(g, n, 2), QStringLiteral("无报警"));
        QCOMPARE(cell(g, n, 3), QStringLiteral("80"));
    }
    // Only the value column can be selected and edited; the grid starts on its first cell.
    for (int c = 0; c < 3; ++c)
        QVERIFY(!(g->item(1, c)->flags() & (Qt::ItemIsEditable | Qt::ItemIsSelectable)));
    QVERIFY(g->item(1, 3)->flags() & Qt::ItemIsEditable);
    QCOMPARE(g->currentRow(), 1);
    QCOMPARE(g->currentColumn(), 3);
    QCOMPARE(form.Menu->actions().size(), 3);
    QCOMPARE(form.N1->text(), QStringLiteral("上限报警"));
    QCOMPARE(form.N2->text(), QStringLiteral("下限报警"));
    QCOMPARE(form.N3->text(), QStringLiteral("无报警"));
    QCOMPARE(form.BitBtn1->text(), QStringLiteral("&设置"));
}

void TestDialogs::almFormRoundTrip()
{
    firstStart(8);
    auto form = std::make_unique<TAlmForm>();
    AlmForm = form.get();
    QTableWidget *g = form->StringGrid1;
    g->setCurrentCell(2, 3);
    form->N2Click();
    type(g, 2, 3, QStringLiteral("75.5"));
    g->setCurrentCell(3, 3);
    form->N1Click();
    type(g, 3, 3, QStringLiteral("-1.5e2"));
    g->setCurrentCell(4, 3);
    form->N1Click();
    form->N3Click(); // changed back
    QCOMPARE(cell(g, 2, 2), QStringLiteral("下限报警"));
    QCOMPARE(cell(g, 3, 2), QStringLiteral("上限报警"));
    QCOMPARE(cell(g, 4, 2), QStringLiteral("无报警"));

    form->BitBtn1Click();
    QCOMPARE(form->result(), int(QDialog::Accepted));
    QVERIFY(m_prompter->messages.isEmpty());
    QCOMPARE(Option.AlarmModes[1], int32_t(amLower));
    QCOMPARE(Option.AlarmValues[1], 75.5f);
    QCOMPARE(Option.AlarmModes[2], int32_t(amUpper));
    QCOMPARE(Option.AlarmValues[2], -150.0f);
    QCOMPARE(Option.AlarmModes[3], int32_t(amNone));

    QStringList lines;
    for (int n = 1; n <= 8; ++n) {
        const QString name = QStringLiteral("油储温度%1").arg(n);
        if (n == 2)
            lines << name << "-1" << "75.5";
        else if (n == 3)
            lines << name << "1" << "-150";
        else
            lines << name << "0" << "80";
    }
    QCOMPARE(get("SystemAlm.Pf"), gbkLines(lines));

    // A new start reads the saved settings back.
    resetSharedState();
    firstStart(8);
    QCOMPARE(Option.AlarmModes[1], int32_t(amLower));
    QCOMPARE(Option.AlarmValues[1], 75.5f);

    form.reset();
    QVERIFY(AlmForm == nullptr); // the global does not outlive the dialog
}

void TestDialogs::almFormUnknownModeSavedAsNone()
{
    put("SystemAlm.Pf", gbkLines({"a", "2", "12", "b", "-1", "13"}));
    firstStart(2);
    QCOMPARE(Option.AlarmModes[0], 2);
    TAlmForm form;
    QCOMPARE(cell(form.StringGrid1, 1, 2), QString());
    QCOMPARE(cell(form.StringGrid1, 2, 2), QStringLiteral("下限报警"));
    form.BitBtn1Click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(Option.AlarmModes[0], int32_t(amNone));
    QCOMPARE(get("SystemAlm.Pf"), gbkLines({"油储温度1", "0", "12", "油储温度2", "-1", "13"}));

    // Filled again, a mode without a text leaves the status cell as it is.
    Option.AlarmModes[1] = 5;
    form.StringGrid1->setCurrentCell(2, 3);
    form.N1Click();
    form.FillGrid();
    QCOMPARE(cell(form.StringGrid1, 2, 2), QStringLiteral("上限报警"));
    QCOMPARE(cell(form.StringGrid1, 1, 2), QStringLiteral("无报警"));
}

void TestDialogs::almFormRejectsEmptyValue()
{
    firstStart(8);
    const QByteArray before = get("SystemAlm.Pf");
    TAlmForm form;
    form.show();
    QTableWidget *g = form.StringGrid1;
    g->setCurrentCell(2, 3);
    form.N1Click();
    type(g, 1, 3, QString());
    form.BitBtn1Click();
    QCOMPARE(m_prompter->messageTexts(), QStringList({"曲线:1; 油储温度1报警数值输入错误"}));
    QCOMPARE(m_prompter->messages.first().title, QStringLiteral("错误"));
    QCOMPARE(m_prompter->messages.first().icon, ui::Icon::Information);
    QCOMPARE(get("SystemAlm.Pf"), before);
    QCOMPARE(Option.AlarmModes[1], int32_t(amNone)); // nothing reached memory either
    QCOMPARE(Option.AlarmValues[0], 80.0f);
    QVERIFY(form.isVisible());
    QCOMPARE(g->currentRow(), 1);
    QCOMPARE(g->currentColumn(), 3);
    QCOMPARE(cell(g, 2, 2), QStringLiteral("上限报警"));

    type(g, 1, 3, QStringLiteral("7,5"));
    form.BitBtn1Click();
    QCOMPARE(m_prompter->messages.size(), 2);
    QCOMPARE(get("SystemAlm.Pf"), before);
}

void TestDialogs::almFormCancelKeepsEdits()
{
    firstStart(8);
    const QByteArray before = get("SystemAlm.Pf");
    TAlmForm form;
    form.show();
    QTableWidget *g = form.StringGrid1;
    form.N1Click(); // the grid starts on row 1
    type(g, 1, 3, QStringLiteral("12"));
    form.BitBtn2->click();
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QCOMPARE(get("SystemAlm.Pf"), before);
    QCOMPARE(Option.AlarmModes[0], int32_t(amNone));

    // A later change of channel count or names does not reach the grid; the edits are still there.
    SysParams.ChannelCount = 16;
    Option.Names[0] = QStringLiteral("改名");
    form.show();
    QCOMPARE(g->rowCount(), 9);
    QCOMPARE(cell(g, 1, 2), QStringLiteral("上限报警"));
    QCOMPARE(cell(g, 1, 3), QStringLiteral("12"));
    form.BitBtn1->click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    // The file takes the current names from memory.
    QCOMPARE(PfReader("SystemAlm.Pf").readLine(), QStringLiteral("改名"));
    QCOMPARE(Option.AlarmModes[0], int32_t(amUpper));
    QCOMPARE(Option.AlarmValues[0], 12.0f);
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
