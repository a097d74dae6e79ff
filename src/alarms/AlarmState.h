#pragma once
// What an alarm is and the states it goes through. The states are those of ISA-18.2 (and of
// OPC UA Alarms & Conditions):
//
//   normal --condition on--> active unacknowledged --acknowledge--> active acknowledged
//   active acknowledged --condition off--> normal
//   active unacknowledged --condition off--> returned unacknowledged --acknowledge--> normal
//   returned unacknowledged --condition on--> active unacknowledged (raised again)
//
// An alarm is listed while its state is not normal, that is until it has both returned and
// been acknowledged.

#include <QString>
#include <QStringList>

// Where an alarm or event comes from; the journal's `source` column holds the token.
// Storage: the station's own keeping of the history (the table cannot be written, the disk is
// nearly full).
enum class AlarmSource { Instrument, Limit, Comm, Station, Storage };

enum class AlarmState { Normal, ActiveUnacked, ActiveAcked, ReturnedUnacked };

// What happened to an alarm; station events have Event. None: nothing changed.
enum class Transition { None, Raised, Returned, Acknowledged, Event };

enum class AlarmInput { ConditionOn, ConditionOff, Acknowledge };

struct AlarmStep {
    AlarmState next;
    Transition transition; // None when the input changes nothing
};

// The state machine above, as one table.
AlarmStep alarmStep(AlarmState state, AlarmInput input);

inline bool isActive(AlarmState s) { return s == AlarmState::ActiveUnacked || s == AlarmState::ActiveAcked; }
inline bool isUnacknowledged(AlarmState s)
{
    return s == AlarmState::ActiveUnacked || s == AlarmState::ReturnedUnacked;
}

// Tokens stored in the journal ('instrument', 'raised', 'active_unacked', …) and back. A token
// that is not known reads as the fallback.
QString sourceToken(AlarmSource source);
AlarmSource sourceFromToken(const QString &token, AlarmSource fallback);
QString transitionToken(Transition transition);
Transition transitionFromToken(const QString &token);
QString stateToken(AlarmState state);
AlarmState stateFromToken(const QString &token, AlarmState fallback);

// Texts the operator reads in the alarm list and the journal grid.
QString sourceText(AlarmSource source);         // "仪表", "限值", "通讯", "站", "存储"
QString transitionText(Transition transition);  // "报警", "恢复", "确认", "事件"
QString stateText(AlarmState state);            // "报警未确认", "报警已确认", "恢复未确认", "正常"

// The instrument states of the status byte, in the order the engine keeps them.
inline const QStringList InstrumentKinds = {QStringLiteral("信号断线"), QStringLiteral("上溢"), QStringLiteral("下溢"),
                                            QStringLiteral("上限报警"), QStringLiteral("下限报警")};
// The station's own limit alarms (modes "上限报警" / "下限报警" of the alarm settings). Named
// apart from the instrument's own "上限报警" so the list tells the two thresholds apart.
inline const QString LimitUpperKind = QStringLiteral("越上限报警");
inline const QString LimitLowerKind = QStringLiteral("越下限报警");
inline const QString CommKind = QStringLiteral("通讯中断");
// The station's storage alarms: records cannot be stored; the disk is nearly full.
inline const QString StorageFailedKind = QStringLiteral("存盘失败");
inline const QString DiskLowKind = QStringLiteral("磁盘空间不足");

// One alarm: which condition of which channel (0 for the station).
struct AlarmKey {
    AlarmSource source = AlarmSource::Instrument;
    int channel = 0;
    QString kind;

    bool operator==(const AlarmKey &other) const = default;
};
