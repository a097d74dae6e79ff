// The main window: start-up in a program directory, run states, pause around modal windows,
// emptying the history, and the acquisition cycle over a real pseudo-terminal.
#include "MainF.h"

#include "HistoryTable.h"
#include "ModbusM.h"
#include "MyPanels.h"
#include "Pty.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "StationOptions.h"
#include "AlmFrm.h"
#include "CommFrm.h"
#include "sysFrm.h"
#include "TQuery.h"
#include "TTable.h"
#include "Tiles.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFrame>
#include <QPointer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray withCrc(QByteArray frame)
{
    const uint16_t crc = Crc16(frame.constData(), frame.size());
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

// A 16-channel answer frame (slave 1, function 3, 64 data bytes): channel k reads k × 10.0
// with one decimal; channel 3 reports a broken sensor.
QByteArray answerFrame()
{
    QByteArray data(64, '\0');
    for (int k = 1; k <= 16; ++k) {
        const int raw = k * 100;
        data[2 * (k - 1)] = char(raw >> 8);
        data[2 * (k - 1) + 1] = char(raw & 0xFF);
        data[2 * (16 + k - 1) + 1] = char(k == 3 ? 0x81 : 0x01);
    }
    return withCrc(QByteArray::fromHex("010340") + data);
}

QStringList storedTexts(const QString &dir, const QString &field)
{
    db::TQuery q;
    q.setDatabaseName(dir);
    q.SQL = QStringList{QStringLiteral("select * from wwdd order by datim")};
    q.open();
    QStringList texts;
    for (q.first(); !q.eof(); q.next())
        texts.append(q.fieldIsNull(field) ? QStringLiteral("<null>") : q.fieldText(field));
    q.close();
    return texts;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void startupWithoutDevice();
    void unknownPortNameIsAnOpenFailure();
    void startupWithPort();
    void tileLayouts_data();
    void tileLayouts();
    void runStates();
    void timersRunBehindModalWindows();
    void emptyingHistory();
    void acquisitionOverPty();
    void storageErrorShownOnce();
    void storagePeriodFollowsSetting();
    void historyWindowReadsBesideTheStation();
    void settingsSurviveFailedStartup();
    void unattendedStartupDoesNotWait();

private:
    void prepareHome(const QString &port, const QString &device, int channels = 8, int storageMs = 60000);

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    QString m_savedCwd;
};

void TestMainWindow::init()
{
    resetSharedState();
    m_savedCwd = QDir::currentPath();
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QCOMPARE(enterProgramDirectory(m_home->path()), QString());
    m_prompter = std::make_unique<ScriptedPrompter>();
}

void TestMainWindow::cleanup()
{
    m_prompter.reset();
    QDir::setCurrent(m_savedCwd);
    m_home.reset();
}

void TestMainWindow::prepareHome(const QString &port, const QString &device, int channels, int storageMs)
{
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=%1\r\nBps=9600\r\n[devices]\r\n%1=%2\r\n")
                  .arg(port, device)
                  .toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")),
              QByteArray::number(channels) + "\r\n" + QByteArray::number(storageMs) + "\r\n");
}

void TestMainWindow::startupWithoutDevice()
{
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("no-such-tty")));
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("打开串口错误")});
    QVERIFY(m_prompter->errors.isEmpty());
    QCOMPARE(w.windowTitle(), QStringLiteral("QZ系列智能仪表实时监控系统"));

    // The run state after a port failure: only the refresh tick runs.
    QVERIFY(w.core().Write_timer.isActive());
    QCOMPARE(w.core().Write_timer.interval(), 1000);
    QVERIFY(!w.core().Send.isActive());
    QCOMPARE(w.core().Send.interval(), 1500);
    QVERIFY(!w.core().Receive.isActive());
    QVERIFY(w.N2->isEnabled());
    QVERIFY(w.N3->isEnabled());
    QVERIFY(w.N18->isVisible()); // 实时报警

    QCOMPARE(w.statusPanelText(0), QStringLiteral("运行状态:"));
    QCOMPARE(w.statusPanelText(1), QStringLiteral("通讯状态:"));
    QCOMPARE(w.statusPanelText(2), QStringLiteral("登录状态： 未登录！"));

    // Settings were still read (and created) and the tiles still built.
    QCOMPARE(SysParams.ChannelCount, 8);
    QVERIFY(QFile::exists(m_home->filePath(QStringLiteral("SystemPv.Pf"))));
    QVERIFY(QFile::exists(m_home->filePath(QStringLiteral("SystemAlm.Pf"))));
    QCOMPARE(w.Panel2->findChildren<TMyPanels *>().size(), 8);

    // The history table is created and held even without a port, so a later run can store.
    QVERIFY(QFile::exists(m_home->filePath(QStringLiteral("wwdd.db"))));
    QVERIFY(w.core().HistoryTable->active());

    // Nothing has been measured: every channel shows the interruption, not a reading of 0.
    w.core().Write_timerTimer();
    TMyPanels *tile = findTile(w.Panel2, 1);
    QVERIFY(tile);
    QCOMPARE(tile->PvCaption(), QStringLiteral("中断"));
    QCOMPARE(tile->AlmCaption(), QStringLiteral("--"));
    QCOMPARE(tile->NameCaption(), QStringLiteral("油储温度1"));
    // ... and an idle station does not claim a good connection.
    for (int i = 0; i < 200; ++i)
        w.core().Write_timerTimer();
    QCOMPARE(w.statusPanelText(0), QStringLiteral("运行状态:"));
}

void TestMainWindow::unknownPortNameIsAnOpenFailure()
{
    for (const QString &port : {QStringLiteral("COM0"), QStringLiteral("COM17"), QStringLiteral("ttyUSB0")}) {
        Pty pty;
        QVERIFY(pty.isOpen());
        prepareHome(port, pty.slavePath());
        m_prompter->clear();
        TMainFrm w(nullptr, false, StationThreading::CallerThread);
        QCOMPARE(m_prompter->messageTexts(), QStringList{QStringLiteral("打开串口错误")});
        QVERIFY(!w.core().comm1->IsPortOpen());
        QCOMPARE(w.Panel2->findChildren<TMyPanels *>().size(), 8);
    }
}

void TestMainWindow::startupWithPort()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    prepareHome(QStringLiteral("COM12"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    QVERIFY(m_prompter->messages.isEmpty());
    QVERIFY(w.core().comm1->IsPortOpen());
    QCOMPARE(w.core().comm1->ComPort(), pnCOM12);
    QCOMPARE(w.statusPanelText(1), QStringLiteral("通讯接口： COM12"));
    QCOMPARE(w.statusPanelText(2), QStringLiteral("通讯速率： 9600 Bps"));
    // Storing runs from start-up on; polling waits for "开始运行".
    QVERIFY(w.core().Receive.isActive());
    QVERIFY(!w.core().Send.isActive());
}

void TestMainWindow::tileLayouts_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("k");
    QTest::addColumn<QPoint>("pos");
    QTest::newRow("8") << 8 << 7 << QPoint(50, 310);
    QTest::newRow("16") << 16 << 16 << QPoint(515, 420);
    QTest::newRow("32") << 32 << 32 << QPoint(435, 570);
    QTest::newRow("odd count 5") << 5 << 5 << QPoint(670, 150);
    QTest::newRow("out of range 40 loads as 8") << 40 << 8 << QPoint(205, 310);
}

void TestMainWindow::tileLayouts()
{
    QFETCH(int, channels);
    QFETCH(int, k);
    QFETCH(QPoint, pos);
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("no-such-tty")), channels);
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    const int expectedTiles = channels > 32 ? 8 : channels;
    QCOMPARE(w.Panel2->findChildren<TMyPanels *>().size(), expectedTiles);
    TMyPanels *tile = findTile(w.Panel2, k);
    QVERIFY(tile);
    QCOMPARE(tile->pos(), pos);
    QCOMPARE(tile->AddrCaption(), QString::number(k));
    QVERIFY(!findTile(w.Panel2, expectedTiles + 1));
}

void TestMainWindow::runStates()
{
    Pty pty;
    prepareHome(QStringLiteral("COM1"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);

    w.N2->trigger(); // 开始运行
    QVERIFY(w.core().Send.isActive());
    QVERIFY(w.core().Receive.isActive());
    QVERIFY(!w.N2->isEnabled());
    QVERIFY(w.N3->isEnabled());

    w.N3->trigger(); // 停止运行
    QVERIFY(!w.core().Send.isActive());
    QVERIFY(!w.core().Receive.isActive());
    QVERIFY(w.N2->isEnabled());
    QVERIFY(!w.N3->isEnabled());
    QVERIFY(w.core().Write_timer.isActive()); // never stopped
}

void TestMainWindow::timersRunBehindModalWindows()
{
    Pty pty;
    prepareHome(QStringLiteral("COM1"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    AlmForm = new TAlmForm(&w);
    w.N2Click();

    // What the timers do while each modal window is shown: "send receive write" flags.
    QStringList during;
    QList<QPointer<QDialog>> shown;
    m_prompter->onModal = [&](QDialog *dialog) {
        shown.append(dialog);
        during.append(QStringLiteral("%1 %2%3%4")
                          .arg(QString::fromLatin1(dialog->metaObject()->className()))
                          .arg(int(w.core().Send.isActive()))
                          .arg(int(w.core().Receive.isActive()))
                          .arg(int(w.core().Write_timer.isActive())));
        return int(QDialog::Rejected);
    };
    auto everyWindow = [&] {
        w.N7Click(); // 系统参数设置
        w.N6Click(); // 通讯参数设置
        w.NAlmClick(); // 报警状态设置
        w.N16Click(); // 实时数据
        w.N17Click(); // 实时曲线
        w.N19Click(); // 数据查询
    };

    // Running: polling, storing and the refresh go on behind every window.
    everyWindow();
    QCOMPARE(during, (QStringList{QStringLiteral("TSysForm 111"), QStringLiteral("TCommForm 111"),
                                  QStringLiteral("TAlmForm 111"), QStringLiteral("TPvForm 111"),
                                  QStringLiteral("TRealLineForm 111"), QStringLiteral("TForm3 111")}));
    QVERIFY(w.core().Send.isActive());
    QVERIFY(w.core().Receive.isActive());
    // "通讯参数设置" asks for a restart whatever the dialog's outcome (here: cancelled).
    QVERIFY(m_prompter->messageTexts().contains(QStringLiteral("通讯接口改变需重启程序才能生效！")));

    // Stopped stays stopped: no window starts the run.
    w.N3Click();
    during.clear();
    everyWindow();
    for (const QString &d : during)
        QVERIFY2(d.endsWith(QStringLiteral(" 001")), qPrintable(d));
    QVERIFY(!w.core().Send.isActive());
    QVERIFY(!w.core().Receive.isActive());

    // Windows made for one use are destroyed on close; the alarm dialog lives on.
    for (const QPointer<QDialog> &d : shown) {
        if (qobject_cast<TAlmForm *>(d.data()))
            continue;
        QVERIFY(d.isNull());
    }
    QVERIFY(AlmForm);
    delete AlmForm;
}

void TestMainWindow::emptyingHistory()
{
    Pty pty;
    prepareHome(QStringLiteral("COM1"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    w.core().ReceiveTimer();
    w.core().ReceiveTimer();
    w.N3Click(); // stopped

    // Cancel changes nothing.
    m_prompter->replies.enqueue(ui::Reply::Cancel);
    w.N4Click();
    QCOMPARE(m_prompter->messages.size(), 1);
    const ui::MessageRequest &question = m_prompter->messages.first();
    QCOMPARE(question.text, QStringLiteral("你真的想清除所有的历史数据吗?"));
    QCOMPARE(question.title, QStringLiteral("提示"));
    QCOMPARE(question.buttons, ui::Buttons::OkCancel);
    QCOMPARE(question.defaultReply, ui::Reply::Cancel);
    QVERIFY(!w.core().Send.isActive());
    QVERIFY(!w.core().Receive.isActive());
    w.core().HistoryTable->close();
    QCOMPARE(storedTexts(m_home->path(), QStringLiteral("aa1")).size(), 2);
    w.core().HistoryTable->open();

    // OK empties the table and leaves polling and storing running, the menu agreeing.
    m_prompter->replies.enqueue(ui::Reply::Ok);
    w.N4Click();
    QVERIFY(w.core().Send.isActive());
    QVERIFY(w.core().Receive.isActive());
    QVERIFY(!w.N2->isEnabled());
    QVERIFY(w.N3->isEnabled());
    QVERIFY(w.core().HistoryTable->active());
    QCOMPARE(w.core().HistoryTable->recordCount(), qint64(0));
    QCOMPARE(w.core().HistoryTable->fieldNames().size(), 33);
}

void TestMainWindow::acquisitionOverPty()
{
    Pty pty;
    prepareHome(QStringLiteral("COM1"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);

    w.core().SendTimer();
    QCOMPARE(pty.readAtLeast(8, 3000).toHex(' '), QByteArray("01 03 00 00 00 20 44 12"));
    QVERIFY(w.windowTitle().startsWith(QStringLiteral("QZ系列智能仪表实时监控系统 ")));
    QVERIFY(pty.write(answerFrame()));
    QTRY_VERIFY_WITH_TIMEOUT(w.windowTitle().endsWith(QStringLiteral(" Receive:64字节")), 5000);
    QCOMPARE(AllRecord.Pv[2], 20.f);
    QCOMPARE(AllRecord.Pv[3], 30.f);
    QCOMPARE(AllRecord.AlmText[3], QStringLiteral("信号断线"));
    // Channels beyond the count are decoded too (against limits never loaded), never shown.
    QCOMPARE(AllRecord.AlmText[16], QString());

    w.core().Write_timerTimer();
    QCOMPARE(w.statusPanelText(0), QStringLiteral("通讯接收正常：OK！ "));
    TMyPanels *tile2 = findTile(w.Panel2, 2);
    QCOMPARE(tile2->PvCaption(), QStringLiteral("20.000"));
    QCOMPARE(tile2->ProgressCaption(), 10);
    QCOMPARE(findTile(w.Panel2, 3)->AlmCaption(), QStringLiteral("信号断线"));

    w.core().ReceiveTimer();

    // The instruments fall silent: after two refresh ticks without an answer the station
    // reports the error and marks every channel interrupted.
    w.core().SendTimer();
    QCOMPARE(pty.readAtLeast(8, 3000).size(), 8);
    w.core().Write_timerTimer();
    QCOMPARE(w.statusPanelText(0), QStringLiteral("通讯接收正常：OK！ "));
    w.core().Write_timerTimer();
    QCOMPARE(w.statusPanelText(0), QStringLiteral("通讯接收错误：ERROR！！！ "));
    QCOMPARE(tile2->PvCaption(), QStringLiteral("中断"));
    QCOMPARE(findTile(w.Panel2, 3)->AlmCaption(), QStringLiteral("--"));
    w.core().ReceiveTimer();

    // Answers come back: values and OK return.
    w.core().SendTimer();
    pty.readAtLeast(8, 3000);
    QVERIFY(pty.write(answerFrame()));
    QTRY_COMPARE_WITH_TIMEOUT(AllRecord.Pv[2], 20.f, 5000);
    w.core().Write_timerTimer();
    QCOMPARE(w.statusPanelText(0), QStringLiteral("通讯接收正常：OK！ "));
    QCOMPARE(tile2->PvCaption(), QStringLiteral("20.000"));

    w.core().HistoryTable->close();
    QCOMPARE(storedTexts(m_home->path(), QStringLiteral("aa2")),
             (QStringList{QStringLiteral("  20.000"), QStringLiteral("-1000.000")}));
    QCOMPARE(storedTexts(m_home->path(), QStringLiteral("aa8")).first(), QStringLiteral("  80.000"));
    QCOMPARE(storedTexts(m_home->path(), QStringLiteral("aa9")).first(), QStringLiteral("<null>"));
}

void TestMainWindow::storageErrorShownOnce()
{
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("no-such-tty")));
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    m_prompter->clear();

    // The table becomes unreachable: one message, however many storage ticks fail.
    w.core().HistoryTable->close();
    w.core().HistoryTable->setDatabaseName(m_home->filePath(QStringLiteral("gone/away")));
    for (int i = 0; i < 5; ++i)
        w.core().ReceiveTimer();
    QCOMPARE(m_prompter->errors.size(), 1);

    // Storing works again, then fails again: reported again.
    w.core().HistoryTable->setDatabaseName(m_home->path());
    w.core().ReceiveTimer();
    QCOMPARE(m_prompter->errors.size(), 1);
    w.core().HistoryTable->close();
    w.core().HistoryTable->setDatabaseName(m_home->filePath(QStringLiteral("gone/away")));
    w.core().ReceiveTimer();
    w.core().ReceiveTimer();
    QCOMPARE(m_prompter->errors.size(), 2);
}

void TestMainWindow::storagePeriodFollowsSetting()
{
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("no-such-tty")), 8, 10000);
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    QCOMPARE(w.core().Receive.interval(), 10000);
    w.core().SysParams.StorageIntervalMs = 500; // out of range: the fixed 5 s period
    w.core().ApplyStorageInterval();
    QCOMPARE(w.core().Receive.interval(), 5000);
}

void TestMainWindow::historyWindowReadsBesideTheStation()
{
    Pty pty;
    prepareHome(QStringLiteral("COM1"), pty.slavePath());
    TMainFrm w(nullptr, false, StationThreading::CallerThread);
    w.core().ReceiveTimer();

    for (const bool running : {true, false}) {
        running ? w.N2Click() : w.N3Click();
        QString seen;
        m_prompter->onModal = [&](QDialog *dialog) {
            // While the window is shown the station still holds and writes wwdd; a reader
            // sees what it has stored, a second writer is kept out.
            w.core().ReceiveTimer();
            db::TTable reader;
            reader.setDatabaseName(m_home->path());
            reader.setTableName(QStringLiteral("wwdd"));
            reader.open();
            db::TTable writer;
            writer.setDatabaseName(m_home->path());
            writer.setTableName(QStringLiteral("wwdd"));
            writer.setExclusive(true);
            bool refused = false;
            try {
                writer.open();
            } catch (const db::DbError &) {
                refused = true;
            }
            seen = QStringLiteral("%1 %2 %3%4 %5")
                       .arg(QString::fromLatin1(dialog->metaObject()->className()))
                       .arg(reader.recordCount())
                       .arg(int(w.core().Send.isActive()))
                       .arg(int(w.core().Receive.isActive()))
                       .arg(refused ? QStringLiteral("refused") : QStringLiteral("let in"));
            return int(QDialog::Rejected);
        };
        w.N19Click();
        QCOMPARE(seen, running ? QStringLiteral("TForm3 2 11 refused") : QStringLiteral("TForm3 3 00 refused"));
        QVERIFY(w.core().HistoryTable->active());
        QCOMPARE(w.core().Send.isActive(), running);
        QCOMPARE(w.core().Receive.isActive(), running);
    }
    QVERIFY(m_prompter->errors.isEmpty());
}

void TestMainWindow::settingsSurviveFailedStartup()
{
    // Settings as the dialogs themselves write them, so a save of unchanged settings gives the
    // same bytes; a history table that cannot be opened.
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("no-such-tty")));
    QByteArray pv, alm;
    for (int k = 1; k <= 8; ++k) {
        pv += QStringLiteral("罐%1\r\nkPa\r\n-10\r\n150.5\r\n").arg(k).toLocal8Bit();
        alm += QStringLiteral("罐%1\r\n1\r\n95.5\r\n").arg(k).toLocal8Bit();
    }
    QStringEncoder gbk("GBK");
    writeFile(m_home->filePath(QStringLiteral("SystemPv.Pf")), QByteArray(gbk(QString::fromLocal8Bit(pv))));
    writeFile(m_home->filePath(QStringLiteral("SystemAlm.Pf")), QByteArray(gbk(QString::fromLocal8Bit(alm))));
    writeFile(m_home->filePath(QStringLiteral("wwdd.db")), "this is not a history table\n");
    // The alarm section as a first start writes it, so KTcom.ini only changes if something is wrong.
    {
        QFile ini(m_home->filePath(QStringLiteral("KTcom.ini")));
        QVERIFY(ini.open(QIODevice::Append));
        ini.write("\r\n[alarms]\r\nDeadband=1\r\nOnDelaySeconds=5\r\nCommand=\r\n");
    }
    const QStringList files = {QStringLiteral("KTcom.ini"), QStringLiteral("Sys_Para.Pf"),
                               QStringLiteral("SystemPv.Pf"), QStringLiteral("SystemAlm.Pf"),
                               QStringLiteral("wwdd.db")};
    auto snapshot = [&] {
        QList<QByteArray> bytes;
        for (const QString &f : files) {
            QFile file(m_home->filePath(f));
            bytes.append(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>"));
        }
        return bytes;
    };
    const QList<QByteArray> before = snapshot();

    {
        TMainFrm w(nullptr, false, StationThreading::CallerThread);
        QCOMPARE(m_prompter->errors.size(), 1);
        QVERIFY2(m_prompter->errors.first().startsWith(QStringLiteral("数据表无法打开")), qPrintable(m_prompter->errors.first()));
        // The settings were read all the same, and the tiles built from them.
        QCOMPARE(SysParams.ChannelCount, 8);
        QCOMPARE(Option.Names[7], QStringLiteral("罐8"));
        QCOMPARE(Option.AlarmModes[0], 1);
        QCOMPARE(w.Panel2->findChildren<TMyPanels *>().size(), 8);
        QCOMPARE(findTile(w.Panel2, 2)->NameCaption(), QStringLiteral("罐2"));

        // Each dialog's "设置" saves what was read: nothing changes on disk.
        AlmForm = new TAlmForm(&w);
        TSysForm sys(&w);
        sys.BitBtn1Click();
        AlmForm->BitBtn1Click();
        TCommForm comm(&w);
        comm.BitBtn1Click();
        QCOMPARE(m_prompter->errors.size(), 1);
        QVERIFY(m_prompter->noticeTexts().isEmpty());
        delete AlmForm;
    }
    QCOMPARE(snapshot(), before);

    // A settings file that cannot be read at all: no tiles, and the dialogs refuse to save.
    resetSharedState();
    m_prompter->clear();
    QVERIFY(QFile::remove(m_home->filePath(QStringLiteral("SystemPv.Pf"))));
    QVERIFY(QDir(m_home->path()).mkdir(QStringLiteral("SystemPv.Pf")));
    {
        TMainFrm w(nullptr, false, StationThreading::CallerThread);
        QCOMPARE(m_prompter->errors.size(), 2); // the table, then the settings file
        QVERIFY2(m_prompter->errors.at(1).contains(QStringLiteral("SystemPv.Pf")), qPrintable(m_prompter->errors.at(1)));
        QCOMPARE(w.Panel2->findChildren<TMyPanels *>().size(), 0);
        m_prompter->messages.clear();
        AlmForm = new TAlmForm(&w);
        TSysForm sys(&w);
        sys.BitBtn1Click();
        AlmForm->BitBtn1Click();
        QCOMPARE(m_prompter->messages.size(), 2);
        for (const ui::MessageRequest &m : m_prompter->messages)
            QVERIFY2(m.text.startsWith(QStringLiteral("设置文件在启动时未能读入")), qPrintable(m.text));
        delete AlmForm;
    }
    const QList<QByteArray> after = snapshot();
    QCOMPARE(after.at(0), before.at(0));
    QCOMPARE(after.at(1), before.at(1));
    QCOMPARE(after.at(3), before.at(3));
    QCOMPARE(after.at(4), before.at(4));
}

void TestMainWindow::unattendedStartupDoesNotWait()
{
    // Started by itself with the adapter not there yet: the problem is told without waiting
    // for anyone, and the run begins.
    prepareHome(QStringLiteral("COM1"), m_home->filePath(QStringLiteral("late-tty")));
    Pty pty;
    {
        TMainFrm w(nullptr, true, StationThreading::CallerThread);
        QVERIFY(m_prompter->messages.isEmpty());
        QCOMPARE(m_prompter->noticeTexts(), QStringList{QStringLiteral("打开串口错误")});
        QVERIFY(w.core().Send.isActive());
        QVERIFY(w.core().Receive.isActive());
        QVERIFY(!w.N2->isEnabled());
        QCOMPARE(w.statusPanelText(1), QStringLiteral("通讯状态:"));

        // The adapter appears: the next poll tick opens it and the status bar names it.
        QVERIFY(QFile::link(pty.slavePath(), m_home->filePath(QStringLiteral("late-tty"))));
        w.core().SendTimer();
        QVERIFY(w.core().comm1->IsPortOpen());
        QCOMPARE(pty.readAtLeast(8, 3000).toHex(), QByteArray("0103000000204412"));
        QCOMPARE(w.statusPanelText(1), QStringLiteral("通讯接口： COM1"));
        QCOMPARE(w.statusPanelText(2), QStringLiteral("通讯速率： 9600 Bps"));
    }

    // A port name the master has no port for is never opened in its place.
    resetSharedState();
    m_prompter->clear();
    prepareHome(QStringLiteral("COM17"), pty.slavePath());
    TMainFrm other(nullptr, true, StationThreading::CallerThread);
    QCOMPARE(m_prompter->noticeTexts(), QStringList{QStringLiteral("打开串口错误")});
    other.core().SendTimer();
    QVERIFY(!other.core().comm1->IsPortOpen());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
