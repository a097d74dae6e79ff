// The alarm engine without journal or widgets: the ISA-18.2 state table, instrument states,
// station limits at the edges of their deadband and on-delay, interrupted channels, settings
// and channel count changing under active alarms, "通讯中断", acknowledgement and the rebuilt
// list.

#include "AlarmEngine.h"
#include "AlarmFixture.h"

#include <QtTest>

Q_DECLARE_METATYPE(AlarmState)
Q_DECLARE_METATYPE(AlarmInput)
Q_DECLARE_METATYPE(Transition)

namespace {

// The transitions of one evaluation as "kind:transition" lines, for compact comparisons.
QStringList summary(const QList<AlarmEvent> &events)
{
    QStringList lines;
    for (const AlarmEvent &e : events)
        lines.append(QStringLiteral("%1 %2:%3").arg(e.key.channel).arg(e.key.kind, transitionToken(e.transition)));
    return lines;
}

} // namespace

class TestAlarmEngine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stateTable_data();
    void stateTable();
    void tokensRoundTrip();
    void instrumentStates();
    void upperLimitDeadbandAndOnDelay();
    void lowerLimitDeadbandAndOnDelay();
    void limitEdgesWithoutDeadbandOrDelay();
    void interruptedChannels();
    void settingsChangeUnderActiveAlarm();
    void channelCountLowered();
    void commAlarm();
    void acknowledgement();
    void restoreAndList();
    void steadyClockTimesTheOnDelay();
};

void TestAlarmEngine::stateTable_data()
{
    QTest::addColumn<AlarmState>("state");
    QTest::addColumn<AlarmInput>("input");
    QTest::addColumn<AlarmState>("next");
    QTest::addColumn<Transition>("transition");
    using S = AlarmState;
    using I = AlarmInput;
    using T = Transition;
    QTest::newRow("normal, on") << S::Normal << I::ConditionOn << S::ActiveUnacked << T::Raised;
    QTest::newRow("normal, off") << S::Normal << I::ConditionOff << S::Normal << T::None;
    QTest::newRow("normal, ack") << S::Normal << I::Acknowledge << S::Normal << T::None;
    QTest::newRow("active unacked, on") << S::ActiveUnacked << I::ConditionOn << S::ActiveUnacked << T::None;
    QTest::newRow("active unacked, off") << S::ActiveUnacked << I::ConditionOff << S::ReturnedUnacked << T::Returned;
    QTest::newRow("active unacked, ack") << S::ActiveUnacked << I::Acknowledge << S::ActiveAcked << T::Acknowledged;
    QTest::newRow("active acked, on") << S::ActiveAcked << I::ConditionOn << S::ActiveAcked << T::None;
    QTest::newRow("active acked, off") << S::ActiveAcked << I::ConditionOff << S::Normal << T::Returned;
    QTest::newRow("active acked, ack") << S::ActiveAcked << I::Acknowledge << S::ActiveAcked << T::None;
    QTest::newRow("returned unacked, on") << S::ReturnedUnacked << I::ConditionOn << S::ActiveUnacked << T::Raised;
    QTest::newRow("returned unacked, off") << S::ReturnedUnacked << I::ConditionOff << S::ReturnedUnacked << T::None;
    QTest::newRow("returned unacked, ack") << S::ReturnedUnacked << I::Acknowledge << S::Normal << T::Acknowledged;
}

void TestAlarmEngine::stateTable()
{
    QFETCH(AlarmState, state);
    QFETCH(AlarmInput, input);
    QFETCH(AlarmState, next);
    QFETCH(Transition, transition);
    const AlarmStep step = alarmStep(state, input);
    QCOMPARE(step.next, next);
    QCOMPARE(step.transition, transition);
}

void TestAlarmEngine::tokensRoundTrip()
{
    for (AlarmState s : {AlarmState::Normal, AlarmState::ActiveUnacked, AlarmState::ActiveAcked, AlarmState::ReturnedUnacked})
        QCOMPARE(stateFromToken(stateToken(s), AlarmState::Normal), s);
    QCOMPARE(stateToken(AlarmState::ReturnedUnacked), QStringLiteral("returned_unacked"));
    QCOMPARE(stateFromToken(QStringLiteral("bogus"), AlarmState::ActiveAcked), AlarmState::ActiveAcked);
    for (AlarmSource s : {AlarmSource::Instrument, AlarmSource::Limit, AlarmSource::Comm, AlarmSource::Station})
        QCOMPARE(sourceFromToken(sourceToken(s), AlarmSource::Station), s);
    QCOMPARE(sourceToken(AlarmSource::Instrument), QStringLiteral("instrument"));
    QCOMPARE(transitionToken(Transition::Acknowledged), QStringLiteral("acknowledged"));
    QCOMPARE(transitionFromToken(QStringLiteral("event")), Transition::Event);
    QCOMPARE(transitionFromToken(QStringLiteral("raise")), Transition::None);
    // Every key the engine holds has a slot of its own.
    QSet<int> slots_;
    for (const AlarmKey &key : AlarmEngine::allKeys())
        slots_.insert(AlarmEngine::slotOf(key));
    QCOMPARE(slots_.size(), AlarmEngine::SlotCount);
    QVERIFY(!slots_.contains(-1));
    QCOMPARE(AlarmEngine::slotOf({AlarmSource::Instrument, 33, QStringLiteral("上溢")}), -1);
    QCOMPARE(AlarmEngine::slotOf({AlarmSource::Instrument, 1, LimitUpperKind}), -1);
    QCOMPARE(AlarmEngine::slotOf({AlarmSource::Station, 0, CommKind}), -1);
}

void TestAlarmEngine::instrumentStates()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    AlarmEngine engine;
    TestClock clock;
    QList<AlarmEvent> out;

    rec.AlmText[3] = QStringLiteral("上限报警");
    rec.Pv[3] = 181.5f;
    engine.evaluate(rec, opt, 8, clock.at(0), out);
    // No on-delay for what the instrument reports itself.
    QCOMPARE(summary(out), QStringList{QStringLiteral("3 上限报警:raised")});
    QCOMPARE(out.first().value, 181.5);
    QCOMPARE(out.first().name, QStringLiteral("油储温度3"));
    QCOMPARE(out.first().stateAfter, AlarmState::ActiveUnacked);
    QCOMPARE(out.first().time, clock.start);

    // The state text holds only the highest state: sensor broken replaces the upper alarm.
    out.clear();
    rec.AlmText[3] = QStringLiteral("信号断线");
    engine.evaluate(rec, opt, 8, clock.at(1500), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("3 上限报警:returned"), QStringLiteral("3 信号断线:raised")}));
    QCOMPARE(engine.state(instrumentKey(3, QStringLiteral("上限报警"))), AlarmState::ReturnedUnacked);

    // "--" (nothing read yet) and texts that are no state change nothing; the empty text
    // returns the state.
    out.clear();
    rec.AlmText[3] = QStringLiteral("--");
    engine.evaluate(rec, opt, 8, clock.at(3000), out);
    QVERIFY(out.isEmpty());
    rec.AlmText[3] = QString();
    engine.evaluate(rec, opt, 8, clock.at(4500), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("3 信号断线:returned")});
    QCOMPARE(engine.unacknowledgedCount(), 2);

    // Every one of the five states is its own alarm.
    for (const QString &kind : InstrumentKinds) {
        out.clear();
        rec.AlmText[7] = kind;
        engine.evaluate(rec, opt, 8, clock.at(clock.ms + 1500), out);
        QVERIFY2(summary(out).contains(QStringLiteral("7 %1:raised").arg(kind)), qPrintable(summary(out).join(u'|')));
    }
}

void TestAlarmEngine::upperLimitDeadbandAndOnDelay()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    opt.AlarmModes[1] = amUpper;
    opt.AlarmValues[1] = 80.f;
    AlarmEngine engine; // 1 % of 0 … 200: deadband 2; on-delay 5 s
    QCOMPARE(engine.settings().onDelaySeconds, 5);
    TestClock clock;
    QList<AlarmEvent> out;
    auto at = [&](qint64 ms, float v) {
        out.clear();
        rec.Pv[2] = v;
        engine.evaluate(rec, opt, 8, clock.at(ms), out);
        return summary(out);
    };

    QVERIFY(at(0, 80.f).isEmpty());         // equal is not above
    QVERIFY(at(1000, 80.001f).isEmpty());   // crossed: the on-delay starts
    QVERIFY(at(5999, 95.f).isEmpty());      // 4.999 s
    QCOMPARE(at(6000, 81.f), QStringList{QStringLiteral("2 越上限报警:raised")}); // 5 s exactly
    QCOMPARE(out.first().value, 81.0);
    QCOMPARE(out.first().detail, QStringLiteral("报警值 80，死区 2"));
    QVERIFY(at(7500, 79.f).isEmpty());      // below the value, inside the deadband
    QVERIFY(at(9000, 78.0001f).isEmpty());  // still inside
    QCOMPARE(at(10500, 78.f), QStringList{QStringLiteral("2 越上限报警:returned")}); // value − deadband
    QCOMPARE(engine.state(upperKey(2)), AlarmState::ReturnedUnacked);

    // A break resets the on-delay; the raise comes 5 s after the last break.
    QVERIFY(at(20000, 85.f).isEmpty());
    QVERIFY(at(23000, 80.f).isEmpty());
    QVERIFY(at(24000, 85.f).isEmpty());
    QVERIFY(at(28999, 85.f).isEmpty());
    QCOMPARE(at(29000, 85.f), QStringList{QStringLiteral("2 越上限报警:raised")});
    QCOMPARE(engine.state(upperKey(2)), AlarmState::ActiveUnacked);
    // No other channel and no lower alarm moved.
    QCOMPARE(engine.alarms().size(), 1);
}

void TestAlarmEngine::lowerLimitDeadbandAndOnDelay()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    opt.AlarmModes[4] = amLower;
    opt.AlarmValues[4] = 20.f;
    opt.LowerLimits[4] = -50.f;
    opt.UpperLimits[4] = 150.f; // range 200: deadband 2 as well
    AlarmEngine engine;
    engine.setSettings({0.5, 3, QString()}); // deadband 1, on-delay 3 s
    TestClock clock;
    QList<AlarmEvent> out;
    auto at = [&](qint64 ms, float v) {
        out.clear();
        rec.Pv[5] = v;
        engine.evaluate(rec, opt, 8, clock.at(ms), out);
        return summary(out);
    };
    QVERIFY(at(0, 20.f).isEmpty());
    QVERIFY(at(1000, 19.9f).isEmpty());
    QVERIFY(at(3999, -5.f).isEmpty());
    QCOMPARE(at(4000, 19.f), QStringList{QStringLiteral("5 越下限报警:raised")});
    QCOMPARE(out.first().detail, QStringLiteral("报警值 20，死区 1"));
    QVERIFY(at(5000, 20.99f).isEmpty());
    QCOMPARE(at(6000, 21.f), QStringList{QStringLiteral("5 越下限报警:returned")});
    QVERIFY(engine.state(upperKey(5)) == AlarmState::Normal);
}

void TestAlarmEngine::limitEdgesWithoutDeadbandOrDelay()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    opt.AlarmModes[0] = amUpper;
    opt.AlarmValues[0] = 80.1f; // not exact in binary: compared as the same single value
    AlarmEngine engine;
    engine.setSettings({0.0, 0, QString()});
    TestClock clock;
    QList<AlarmEvent> out;
    auto at = [&](qint64 ms, float v) {
        out.clear();
        rec.Pv[1] = v;
        engine.evaluate(rec, opt, 8, clock.at(ms), out);
        return summary(out);
    };
    QVERIFY(at(0, 80.1f).isEmpty());
    QCOMPARE(at(1500, std::nextafter(80.1f, 1000.f)), QStringList{QStringLiteral("1 越上限报警:raised")});
    // Without a deadband the alarm is active exactly while v > value.
    QCOMPARE(at(3000, 80.1f), QStringList{QStringLiteral("1 越上限报警:returned")});
    QCOMPARE(at(4500, 90.f), QStringList{QStringLiteral("1 越上限报警:raised")}); // raised again, unacked
    QCOMPARE(engine.state(upperKey(1)), AlarmState::ActiveUnacked);

    // Crossed limits (lower above upper) still give a deadband from the width of the range.
    opt.LowerLimits[0] = 200.f;
    opt.UpperLimits[0] = 0.f;
    engine.setSettings({10.0, 0, QString()});
    QVERIFY(at(6000, 61.f).isEmpty());
    QCOMPARE(at(7500, 60.1f), QStringList{QStringLiteral("1 越上限报警:returned")});
    QCOMPARE(out.first().detail, QStringLiteral("报警值 80.1，死区 20"));

    // An alarm value that is not a number raises nothing.
    opt.AlarmValues[0] = std::numeric_limits<float>::quiet_NaN();
    QVERIFY(at(9000, 199.f).isEmpty());
}

void TestAlarmEngine::interruptedChannels()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    opt.AlarmModes[0] = amUpper;  // channel 1: pending on-delay
    opt.AlarmModes[1] = amLower;  // channel 2: the marker would be far below its value
    opt.AlarmValues[1] = 20.f;
    opt.AlarmModes[2] = amUpper;  // channel 3: active when the interruption comes
    opt.LowerLimits[1] = -2000.f;
    AlarmEngine engine;
    TestClock clock;
    QList<AlarmEvent> out;

    rec.Pv[3] = 150.f;
    rec.AlmText[3] = QStringLiteral("上限报警");
    engine.evaluate(rec, opt, 8, clock.at(0), out);
    engine.evaluate(rec, opt, 8, clock.at(5000), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("3 上限报警:raised"), QStringLiteral("3 越上限报警:raised")}));

    out.clear();
    rec.Pv[1] = 90.f;
    engine.evaluate(rec, opt, 8, clock.at(6000), out); // channel 1 crossed: on-delay from 6 s
    for (int k = 1; k <= 8; ++k)
        rec.Pv[size_t(k)] = InterruptionMarker; // what the refresh tick does once answers stop
    rec.AlmText[3] = QString(); // a state text left from before is not read either
    for (qint64 t = 7500; t <= 30000; t += 1500)
        engine.evaluate(rec, opt, 8, clock.at(t), out);
    QVERIFY2(out.isEmpty(), qPrintable(summary(out).join(u'|')));
    QCOMPARE(engine.state(upperKey(3)), AlarmState::ActiveUnacked);
    QCOMPARE(engine.state(instrumentKey(3, QStringLiteral("上限报警"))), AlarmState::ActiveUnacked);

    // Readings again: channel 1's on-delay starts afresh, channel 3 follows its values.
    rec.Pv[1] = 90.f;
    rec.Pv[2] = 50.f;
    rec.Pv[3] = 50.f;
    engine.evaluate(rec, opt, 8, clock.at(31500), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("3 上限报警:returned"), QStringLiteral("3 越上限报警:returned")}));
    out.clear();
    engine.evaluate(rec, opt, 8, clock.at(36499), out);
    QVERIFY(out.isEmpty());
    engine.evaluate(rec, opt, 8, clock.at(36500), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 越上限报警:raised")});
}

void TestAlarmEngine::settingsChangeUnderActiveAlarm()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt, 100.f);
    opt.AlarmModes[0] = amUpper;
    AlarmEngine engine;
    engine.setSettings({1.0, 0, QString()});
    TestClock clock;
    QList<AlarmEvent> out;
    engine.evaluate(rec, opt, 8, clock.at(0), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 越上限报警:raised")});

    // Upper becomes lower: the upper alarm returns, the lower one does not apply at 100.
    out.clear();
    opt.AlarmModes[0] = amLower;
    engine.evaluate(rec, opt, 8, clock.at(1000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 越上限报警:returned")});
    QCOMPARE(out.first().detail, QStringLiteral("报警设置已取消"));
    // A higher alarm value makes it a lower alarm at once.
    out.clear();
    opt.AlarmValues[0] = 120.f;
    engine.evaluate(rec, opt, 8, clock.at(2000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 越下限报警:raised")});
    // A wider range widens the deadband of an active alarm: 1 % of 1000 = 10.
    out.clear();
    opt.UpperLimits[0] = 1000.f;
    rec.Pv[1] = 125.f;
    engine.evaluate(rec, opt, 8, clock.at(3000), out);
    QVERIFY(out.isEmpty());
    rec.Pv[1] = 130.f;
    engine.evaluate(rec, opt, 8, clock.at(4000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 越下限报警:returned")});
    // Mode none.
    out.clear();
    rec.Pv[1] = 50.f;
    engine.evaluate(rec, opt, 8, clock.at(5000), out);
    opt.AlarmModes[0] = amNone;
    engine.evaluate(rec, opt, 8, clock.at(6000), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("1 越下限报警:raised"), QStringLiteral("1 越下限报警:returned")}));
}

void TestAlarmEngine::channelCountLowered()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    AlarmEngine engine;
    TestClock clock;
    QList<AlarmEvent> out;
    rec.AlmText[12] = QStringLiteral("下溢");
    rec.AlmText[16] = QStringLiteral("上溢");
    engine.evaluate(rec, opt, 16, clock.at(0), out);
    QCOMPARE(out.size(), 2);
    out.clear();
    engine.evaluate(rec, opt, 8, clock.at(1500), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("12 下溢:returned"), QStringLiteral("16 上溢:returned")}));
    QCOMPARE(out.first().detail, QStringLiteral("通道不在监控范围内"));
    QVERIFY(std::isnan(out.first().value));
    // A count outside 0 … 32 is taken as its nearest bound, never read past the arrays.
    out.clear();
    engine.evaluate(rec, opt, 1000, clock.at(3000), out);
    QCOMPARE(summary(out), (QStringList{QStringLiteral("12 下溢:raised"), QStringLiteral("16 上溢:raised")}));
    out.clear();
    engine.evaluate(rec, opt, -3, clock.at(4500), out);
    QCOMPARE(out.size(), 2);
}

void TestAlarmEngine::commAlarm()
{
    AlarmEngine engine;
    TestClock clock;
    QList<AlarmEvent> out;
    engine.setCommState(CommState::Unknown, clock.at(0), out);
    engine.setCommState(CommState::Ok, clock.at(1000), out);
    QVERIFY(out.isEmpty());
    engine.setCommState(CommState::Error, clock.at(2000), out);
    engine.setCommState(CommState::Error, clock.at(3000), out);
    engine.setCommState(CommState::Unknown, clock.at(4000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("0 通讯中断:raised")});
    QCOMPARE(out.first().key.source, AlarmSource::Comm);
    QVERIFY(std::isnan(out.first().value));
    QVERIFY(out.first().name.isEmpty());
    engine.setCommState(CommState::Ok, clock.at(5000), out);
    QCOMPARE(summary(out).last(), QStringLiteral("0 通讯中断:returned"));
    QCOMPARE(engine.state(commKey()), AlarmState::ReturnedUnacked);
}

void TestAlarmEngine::acknowledgement()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    AlarmEngine engine;
    TestClock clock;
    QList<AlarmEvent> out;
    rec.AlmText[1] = QStringLiteral("上限报警");
    rec.AlmText[2] = QStringLiteral("下限报警");
    engine.evaluate(rec, opt, 8, clock.at(0), out);
    engine.setCommState(CommState::Error, clock.at(1000), out);
    QCOMPARE(engine.unacknowledgedCount(), 3);

    out.clear();
    engine.acknowledge({instrumentKey(1, QStringLiteral("上限报警")), instrumentKey(5, QStringLiteral("上溢"))},
                       QStringLiteral("zhang"), clock.at(2000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 上限报警:acknowledged")});
    QCOMPARE(out.first().user, QStringLiteral("zhang"));
    QCOMPARE(out.first().stateAfter, AlarmState::ActiveAcked);
    QCOMPARE(out.first().name, QStringLiteral("油储温度1"));
    QCOMPARE(engine.unacknowledgedCount(), 2);
    QCOMPARE(engine.alarms().size(), 3); // acknowledged but active: still listed

    // Acknowledged, then returned: gone from the list.
    out.clear();
    rec.AlmText[1] = QString();
    engine.evaluate(rec, opt, 8, clock.at(3000), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("1 上限报警:returned")});
    QCOMPARE(out.first().stateAfter, AlarmState::Normal);
    QCOMPARE(engine.alarms().size(), 2);

    // Returned before anyone acknowledged: listed until acknowledged. Acknowledging twice
    // changes nothing.
    rec.AlmText[2] = QString();
    engine.evaluate(rec, opt, 8, clock.at(4000), out);
    out.clear();
    engine.acknowledgeAll(QStringLiteral("li"), clock.at(5000), out);
    engine.acknowledgeAll(QStringLiteral("li"), clock.at(5001), out);
    // Newest raised first: "通讯中断" (1 s) before channel 2 (0 s).
    QCOMPARE(summary(out), (QStringList{QStringLiteral("0 通讯中断:acknowledged"), QStringLiteral("2 下限报警:acknowledged")}));
    QCOMPARE(out.at(1).stateAfter, AlarmState::Normal);
    QCOMPARE(engine.alarms().size(), 1);
    QCOMPARE(engine.alarms().first().state, AlarmState::ActiveAcked);
    QCOMPARE(engine.unacknowledgedCount(), 0);
}

void TestAlarmEngine::restoreAndList()
{
    AlarmEngine engine;
    const QDateTime t0(QDate(2024, 1, 1), QTime(8, 0));
    Alarm older{upperKey(4), AlarmState::ActiveAcked, t0, QStringLiteral("甲"), 90.0, 91.0, QString()};
    Alarm newer{commKey(), AlarmState::ReturnedUnacked, t0.addSecs(60), QString(), NoValue, NoValue, QString()};
    Alarm normal{lowerKey(4), AlarmState::Normal, t0, QString(), 1.0, 1.0, QString()};
    Alarm unknown{{AlarmSource::Limit, 40, LimitUpperKind}, AlarmState::ActiveUnacked, t0, QString(), 1.0, 1.0, QString()};
    engine.restore({older, normal, newer, unknown});
    const QList<Alarm> listed = engine.alarms();
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.at(0).key, commKey());
    QCOMPARE(listed.at(1).key, upperKey(4));
    QCOMPARE(listed.at(1).value, 90.0);
    QCOMPARE(engine.unacknowledgedCount(), 1);

    // A restored active alarm whose condition still holds is not raised again; one whose
    // condition ended returns at the first reading.
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt, 95.f);
    opt.AlarmModes[3] = amUpper;
    QList<AlarmEvent> out;
    TestClock clock;
    engine.evaluate(rec, opt, 8, clock.at(0), out);
    QVERIFY(out.isEmpty());
    rec.Pv[4] = 10.f;
    engine.evaluate(rec, opt, 8, clock.at(1500), out);
    QCOMPARE(summary(out), QStringList{QStringLiteral("4 越上限报警:returned")});
}

void TestAlarmEngine::steadyClockTimesTheOnDelay()
{
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt, 150.f);
    opt.AlarmModes[0] = amUpper;
    AlarmEngine engine;
    QList<AlarmEvent> out;
    const QDateTime wall(QDate(2024, 10, 27), QTime(3, 0));
    engine.evaluate(rec, opt, 8, {wall, 1000}, out);
    // The wall clock is set back an hour (time service); 5 s later on the steady clock the
    // alarm is raised, stamped with the wall time.
    engine.evaluate(rec, opt, 8, {wall.addSecs(-3600 + 3), 4000}, out);
    QVERIFY(out.isEmpty());
    engine.evaluate(rec, opt, 8, {wall.addSecs(-3600 + 5), 6000}, out);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.first().time, wall.addSecs(-3600 + 5));
}

QTEST_GUILESS_MAIN(TestAlarmEngine)
#include "tst_alarmengine.moc"
