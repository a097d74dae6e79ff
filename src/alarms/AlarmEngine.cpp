#include "AlarmEngine.h"

#include "NumberText.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int UpperSlot = AlarmEngine::InstrumentKindCount;
constexpr int LowerSlot = AlarmEngine::InstrumentKindCount + 1;
constexpr int CommSlot = AlarmEngine::SlotCount - AlarmEngine::StationSlotCount;
constexpr int StorageSlot = CommSlot + 1;
constexpr int DiskSlot = CommSlot + 2;

const QString NotReadYet = QStringLiteral("--");

QString limitDetail(double alarmValue, double deadband)
{
    return QStringLiteral("报警值 %1，死区 %2").arg(formatGeneral(alarmValue), formatGeneral(deadband));
}

int instrumentIndex(const QString &text)
{
    if (text.isEmpty())
        return -1;
    for (int i = 0; i < AlarmEngine::InstrumentKindCount; ++i)
        if (text == InstrumentKinds.at(i))
            return i;
    return -1;
}

} // namespace

AlarmEngine::AlarmEngine()
{
    const QList<AlarmKey> keys = allKeys();
    for (int i = 0; i < SlotCount; ++i)
        m_slots[size_t(i)].alarm.key = keys.at(i);
}

QList<AlarmKey> AlarmEngine::allKeys()
{
    QList<AlarmKey> keys;
    keys.reserve(SlotCount);
    for (int k = 1; k <= MaxChannels; ++k) {
        for (const QString &kind : InstrumentKinds)
            keys.append({AlarmSource::Instrument, k, kind});
        keys.append({AlarmSource::Limit, k, LimitUpperKind});
        keys.append({AlarmSource::Limit, k, LimitLowerKind});
    }
    keys.append({AlarmSource::Comm, 0, CommKind});
    keys.append({AlarmSource::Storage, 0, StorageFailedKind});
    keys.append({AlarmSource::Storage, 0, DiskLowKind});
    return keys;
}

int AlarmEngine::slotOf(const AlarmKey &key)
{
    if (key.source == AlarmSource::Comm)
        return key.channel == 0 && key.kind == CommKind ? CommSlot : -1;
    if (key.source == AlarmSource::Storage) {
        if (key.channel != 0)
            return -1;
        return key.kind == StorageFailedKind ? StorageSlot : key.kind == DiskLowKind ? DiskSlot : -1;
    }
    if (key.channel < 1 || key.channel > MaxChannels)
        return -1;
    const int base = (key.channel - 1) * KindsPerChannel;
    if (key.source == AlarmSource::Instrument) {
        const int i = instrumentIndex(key.kind);
        return i < 0 ? -1 : base + i;
    }
    if (key.source == AlarmSource::Limit) {
        if (key.kind == LimitUpperKind)
            return base + UpperSlot;
        if (key.kind == LimitLowerKind)
            return base + LowerSlot;
    }
    return -1;
}

void AlarmEngine::apply(Slot &slot, AlarmInput input, const AlarmTime &now, double value, const QString &name,
                        const QString &detail, QList<AlarmEvent> &out, const QString &user)
{
    Alarm &a = slot.alarm;
    const AlarmStep step = alarmStep(a.state, input);
    if (step.transition == Transition::None)
        return;
    a.state = step.next;
    a.lastValue = value;
    if (step.transition == Transition::Raised) {
        a.raisedAt = now.wall;
        a.name = name;
        a.value = value;
        a.detail = detail;
    }
    out.append({now.wall, a.key, name, value, step.transition, step.next, user, detail});
}

void AlarmEngine::evaluateLimit(Slot &slot, const Limit &limit, const AlarmTime &now, double value,
                                const QString &name, QList<AlarmEvent> &out)
{
    const AlarmState s = slot.alarm.state;
    if (!limit.wanted) {
        slot.pendingSinceMs = -1;
        if (isActive(s))
            apply(slot, AlarmInput::ConditionOff, now, value, name, QString::fromUtf8(limit.why), out);
        return;
    }
    if (isActive(s)) {
        slot.alarm.lastValue = value;
        if (limit.cleared)
            apply(slot, AlarmInput::ConditionOff, now, value, name, limitDetail(limit.alarmValue, limit.deadband), out);
        return;
    }
    if (!limit.crossed) {
        slot.pendingSinceMs = -1;
        return;
    }
    if (slot.pendingSinceMs < 0)
        slot.pendingSinceMs = now.steadyMs;
    if (now.steadyMs - slot.pendingSinceMs >= qint64(m_settings.onDelaySeconds) * 1000) {
        slot.pendingSinceMs = -1;
        apply(slot, AlarmInput::ConditionOn, now, value, name, limitDetail(limit.alarmValue, limit.deadband), out);
    }
}

void AlarmEngine::evaluate(const TAllRecord &rec, const TOption &opt, int channelCount, const AlarmTime &now,
                           QList<AlarmEvent> &out)
{
    const int count = std::clamp(channelCount, 0, MaxChannels);
    for (int k = 1; k <= MaxChannels; ++k) {
        Slot *slots = &m_slots[size_t((k - 1) * KindsPerChannel)];
        const QString &name = opt.Names[size_t(k - 1)];
        if (k > count) {
            // A channel no longer monitored: its conditions are gone.
            for (int i = 0; i < KindsPerChannel; ++i) {
                slots[i].pendingSinceMs = -1;
                if (slots[i].alarm.state != AlarmState::Normal)
                    apply(slots[i], AlarmInput::ConditionOff, now, NoValue, name,
                          QStringLiteral("通道不在监控范围内"), out);
            }
            continue;
        }
        const float pv = rec.Pv[size_t(k)];
        if (isInterrupted(pv)) {
            // Nothing is known about an interrupted channel: its alarms stay as they are
            // ("通讯中断" tells why), and an on-delay has to start again from a real reading.
            slots[UpperSlot].pendingSinceMs = -1;
            slots[LowerSlot].pendingSinceMs = -1;
            continue;
        }
        const double v = pv;
        const QString &text = rec.AlmText[size_t(k)];
        if (text != NotReadYet) {
            // Returns first, then the raise: the state moved from one to the other.
            const int active = instrumentIndex(text);
            for (int i = 0; i < InstrumentKindCount; ++i) {
                if (i != active && slots[i].alarm.state != AlarmState::Normal)
                    apply(slots[i], AlarmInput::ConditionOff, now, v, name, QString(), out);
                if (slots[i].alarm.state != AlarmState::Normal)
                    slots[i].alarm.lastValue = v;
            }
            if (active >= 0)
                apply(slots[active], AlarmInput::ConditionOn, now, v, name, QString(), out);
        }

        const int32_t mode = opt.AlarmModes[size_t(k - 1)];
        const double a = opt.AlarmValues[size_t(k - 1)];
        const bool usable = std::isfinite(a);
        const double d = deadbandOf(m_settings, opt.LowerLimits[size_t(k - 1)], opt.UpperLimits[size_t(k - 1)]);
        const char *why = usable ? "报警设置已取消" : "报警值无效";
        evaluateLimit(slots[UpperSlot], {mode == amUpper && usable, v > a, v <= a - d, a, d, why}, now, v, name, out);
        evaluateLimit(slots[LowerSlot], {mode == amLower && usable, v < a, v >= a + d, a, d, why}, now, v, name, out);
    }
}

void AlarmEngine::setCommState(CommState state, const AlarmTime &now, QList<AlarmEvent> &out)
{
    if (state == CommState::Unknown)
        return;
    apply(m_slots[CommSlot], state == CommState::Error ? AlarmInput::ConditionOn : AlarmInput::ConditionOff, now,
          NoValue, QString(), QString(), out);
}

void AlarmEngine::setStorageCondition(const QString &kind, bool on, const QString &detail, const AlarmTime &now,
                                      QList<AlarmEvent> &out)
{
    const int i = slotOf({AlarmSource::Storage, 0, kind});
    if (i < 0)
        return;
    Slot &slot = m_slots[size_t(i)];
    // The reason may change while the alarm stands (another error): the list shows the latest.
    if (on && isActive(slot.alarm.state))
        slot.alarm.detail = detail;
    apply(slot, on ? AlarmInput::ConditionOn : AlarmInput::ConditionOff, now, NoValue, QString(), detail, out);
}

void AlarmEngine::acknowledge(const QList<AlarmKey> &keys, const QString &user, const AlarmTime &now,
                              QList<AlarmEvent> &out)
{
    for (const AlarmKey &key : keys) {
        const int i = slotOf(key);
        if (i < 0)
            continue;
        Slot &slot = m_slots[size_t(i)];
        apply(slot, AlarmInput::Acknowledge, now, slot.alarm.lastValue, slot.alarm.name, QString(), out, user);
    }
}

void AlarmEngine::acknowledgeAll(const QString &user, const AlarmTime &now, QList<AlarmEvent> &out)
{
    // In the order of the list, newest first.
    QList<AlarmKey> keys;
    for (const Alarm &a : alarms())
        keys.append(a.key);
    acknowledge(keys, user, now, out);
}

void AlarmEngine::restore(const QList<Alarm> &alarms)
{
    for (const Alarm &a : alarms) {
        const int i = slotOf(a.key);
        if (i < 0 || a.state == AlarmState::Normal)
            continue;
        Slot &slot = m_slots[size_t(i)];
        slot.alarm = a;
        slot.pendingSinceMs = -1;
    }
}

QList<Alarm> AlarmEngine::alarms() const
{
    QList<Alarm> listed;
    for (const Slot &slot : m_slots)
        if (slot.alarm.state != AlarmState::Normal)
            listed.append(slot.alarm);
    std::stable_sort(listed.begin(), listed.end(),
                     [](const Alarm &x, const Alarm &y) { return x.raisedAt > y.raisedAt; });
    return listed;
}

int AlarmEngine::unacknowledgedCount() const
{
    int n = 0;
    for (const Slot &slot : m_slots)
        n += isUnacknowledged(slot.alarm.state) ? 1 : 0;
    return n;
}

AlarmState AlarmEngine::state(const AlarmKey &key) const
{
    const int i = slotOf(key);
    return i < 0 ? AlarmState::Normal : m_slots[size_t(i)].alarm.state;
}
