#pragma once
// The alarm engine: from the live channel state and the settings it decides which alarms
// are raised and returned, keeps each alarm's state (AlarmState.h) and reports every change
// as an AlarmEvent for the journal. No widgets, no timers, no files: the caller feeds it and
// says what time it is.
//
// Alarms, one per channel and condition:
//   - instrument states from the status byte ("信号断线", "上溢", "下溢", "上限报警",
//     "下限报警"): active while the channel's state text says so;
//   - station limits from the alarm settings: mode upper is crossed while v > value, mode lower
//     while v < value. Raised once crossed for the on-delay without a break; returned once the
//     value is back past the alarm value by the deadband (upper: v ≤ value − deadband; lower:
//     v ≥ value + deadband);
//   - "通讯中断", one for the station: active while the communication state is an error;
//   - "存盘失败" and "磁盘空间不足", the station's storage: active while records cannot be
//     stored, and while the disk of the program directory is nearly full.

#include "AlarmSettings.h"
#include "AlarmState.h"
#include "SharedState.h"

#include <QDateTime>
#include <QList>
#include <array>
#include <limits>

inline constexpr double NoValue = std::numeric_limits<double>::quiet_NaN();

// The moment of an evaluation: the wall-clock time the journal records, and a steady clock
// (milliseconds, never stepped) that times the on-delay, so setting the clock back does not
// hold an alarm back.
struct AlarmTime {
    QDateTime wall;
    qint64 steadyMs = 0;
};

// One alarm as the list shows it.
struct Alarm {
    AlarmKey key;
    AlarmState state = AlarmState::Normal;
    QDateTime raisedAt;      // when it was last raised
    QString name;            // the channel's name then ('' for the station)
    double value = NoValue;  // the value then; NaN when there is none
    double lastValue = NoValue; // the latest value seen while listed
    QString detail;          // the limit in force, for limit alarms
};

// One change, as it goes into the journal.
struct AlarmEvent {
    QDateTime time;
    AlarmKey key;
    QString name;
    double value = NoValue;
    Transition transition = Transition::None;
    AlarmState stateAfter = AlarmState::Normal;
    QString user;   // who acknowledged
    QString detail;
};

// What the status bar's communication panel shows: nothing yet, OK or ERROR.
enum class CommState { Unknown, Ok, Error };

class AlarmEngine {
public:
    static constexpr int InstrumentKindCount = 5;
    static constexpr int KindsPerChannel = InstrumentKindCount + 2; // and the two limits
    static constexpr int StationSlotCount = 3; // "通讯中断", "存盘失败", "磁盘空间不足"
    static constexpr int SlotCount = MaxChannels * KindsPerChannel + StationSlotCount;

    AlarmEngine();

    void setSettings(const AlarmSettings &settings) { m_settings = settings; }
    const AlarmSettings &settings() const { return m_settings; }

    // After each decoded answer: the alarms of channels 1 … channelCount follow rec and opt;
    // alarms of higher channels return. A channel whose value is the interruption marker, or
    // whose state text is still "--" (nothing read yet), keeps its alarms as they are and
    // starts no on-delay. Changes are appended to out, in channel order.
    void evaluate(const TAllRecord &rec, const TOption &opt, int channelCount, const AlarmTime &now,
                  QList<AlarmEvent> &out);

    // On each refresh tick: "通讯中断" follows the communication state; Unknown changes nothing.
    void setCommState(CommState state, const AlarmTime &now, QList<AlarmEvent> &out);
    // A storage alarm (StorageFailedKind, DiskLowKind) follows its condition; detail says why
    // (the reason in Chinese first, then the technical text). Other kinds change nothing.
    void setStorageCondition(const QString &kind, bool on, const QString &detail, const AlarmTime &now,
                             QList<AlarmEvent> &out);

    // Acknowledges the given alarms (those not waiting for it are left alone), or all of them.
    void acknowledge(const QList<AlarmKey> &keys, const QString &user, const AlarmTime &now, QList<AlarmEvent> &out);
    void acknowledgeAll(const QString &user, const AlarmTime &now, QList<AlarmEvent> &out);

    // Puts back alarms rebuilt from the journal at start; unknown keys and normal ones are
    // ignored.
    void restore(const QList<Alarm> &alarms);

    // The listed alarms (state not normal), newest raised first.
    QList<Alarm> alarms() const;
    int unacknowledgedCount() const;
    AlarmState state(const AlarmKey &key) const;

    // Every alarm the engine can hold: per channel the instrument states and the two limits,
    // then "通讯中断", "存盘失败" and "磁盘空间不足".
    static QList<AlarmKey> allKeys();
    // The slot of a key, -1 when the engine has none for it.
    static int slotOf(const AlarmKey &key);

private:
    struct Slot {
        Alarm alarm;
        qint64 pendingSinceMs = -1; // limit crossed since then, on-delay running
    };

    void apply(Slot &slot, AlarmInput input, const AlarmTime &now, double value, const QString &name,
               const QString &detail, QList<AlarmEvent> &out, const QString &user = QString());
    struct Limit {
        bool wanted;      // the mode asks for this alarm
        bool crossed;     // the value is past the alarm value
        bool cleared;     // the value is back past it by the deadband
        double alarmValue;
        double deadband;
        const char *why;  // detail of a return for a reason other than the value
    };
    void evaluateLimit(Slot &slot, const Limit &limit, const AlarmTime &now, double value, const QString &name,
                       QList<AlarmEvent> &out);

    std::array<Slot, SlotCount> m_slots;
    AlarmSettings m_settings;
};
