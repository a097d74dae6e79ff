#include "AlarmState.h"

AlarmStep alarmStep(AlarmState state, AlarmInput input)
{
    using S = AlarmState;
    using T = Transition;
    switch (input) {
    case AlarmInput::ConditionOn:
        if (state == S::Normal || state == S::ReturnedUnacked)
            return {S::ActiveUnacked, T::Raised};
        return {state, T::None};
    case AlarmInput::ConditionOff:
        if (state == S::ActiveUnacked)
            return {S::ReturnedUnacked, T::Returned};
        if (state == S::ActiveAcked)
            return {S::Normal, T::Returned};
        return {state, T::None};
    case AlarmInput::Acknowledge:
        if (state == S::ActiveUnacked)
            return {S::ActiveAcked, T::Acknowledged};
        if (state == S::ReturnedUnacked)
            return {S::Normal, T::Acknowledged};
        return {state, T::None};
    }
    return {state, T::None};
}

namespace {

struct SourceNames {
    AlarmSource source;
    const char *token;
    const char *text;
};
const SourceNames Sources[] = {{AlarmSource::Instrument, "instrument", "仪表"},
                               {AlarmSource::Limit, "limit", "限值"},
                               {AlarmSource::Comm, "comm", "通讯"},
                               {AlarmSource::Station, "station", "站"},
                               {AlarmSource::Storage, "storage", "存储"}};

struct TransitionNames {
    Transition transition;
    const char *token;
    const char *text;
};
const TransitionNames Transitions[] = {{Transition::Raised, "raised", "报警"},
                                       {Transition::Returned, "returned", "恢复"},
                                       {Transition::Acknowledged, "acknowledged", "确认"},
                                       {Transition::Event, "event", "事件"}};

struct StateNames {
    AlarmState state;
    const char *token;
    const char *text;
};
const StateNames States[] = {{AlarmState::Normal, "normal", "正常"},
                             {AlarmState::ActiveUnacked, "active_unacked", "报警未确认"},
                             {AlarmState::ActiveAcked, "active_acked", "报警已确认"},
                             {AlarmState::ReturnedUnacked, "returned_unacked", "恢复未确认"}};

} // namespace

QString sourceToken(AlarmSource source)
{
    for (const auto &s : Sources)
        if (s.source == source)
            return QString::fromLatin1(s.token);
    return QString();
}

AlarmSource sourceFromToken(const QString &token, AlarmSource fallback)
{
    for (const auto &s : Sources)
        if (token == QLatin1String(s.token))
            return s.source;
    return fallback;
}

QString transitionToken(Transition transition)
{
    for (const auto &t : Transitions)
        if (t.transition == transition)
            return QString::fromLatin1(t.token);
    return QString();
}

Transition transitionFromToken(const QString &token)
{
    for (const auto &t : Transitions)
        if (token == QLatin1String(t.token))
            return t.transition;
    return Transition::None;
}

QString stateToken(AlarmState state)
{
    for (const auto &s : States)
        if (s.state == state)
            return QString::fromLatin1(s.token);
    return QString();
}

AlarmState stateFromToken(const QString &token, AlarmState fallback)
{
    for (const auto &s : States)
        if (token == QLatin1String(s.token))
            return s.state;
    return fallback;
}

QString sourceText(AlarmSource source)
{
    for (const auto &s : Sources)
        if (s.source == source)
            return QString::fromUtf8(s.text);
    return QString();
}

QString transitionText(Transition transition)
{
    for (const auto &t : Transitions)
        if (t.transition == transition)
            return QString::fromUtf8(t.text);
    return QString();
}

QString stateText(AlarmState state)
{
    for (const auto &s : States)
        if (s.state == state)
            return QString::fromUtf8(s.text);
    return QString();
}
