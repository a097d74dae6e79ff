#include "WebAuth.h"

#include <QRandomGenerator>

QByteArray WebSessions::create(const QString &user, const QByteArray &accountHash, qint64 nowMs)
{
    if (m_sessions.size() >= MaxSessions) {
        auto oldest = m_sessions.begin();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
            if (it->lastSeenMs < oldest->lastSeenMs)
                oldest = it;
        m_sessions.erase(oldest);
    }
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(raw.begin(), raw.end());
    const QByteArray token = raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    m_sessions.insert(token, Session{user, accountHash, nowMs});
    return token;
}

std::optional<WebSessions::Session> WebSessions::use(const QByteArray &token, qint64 nowMs)
{
    const auto it = m_sessions.find(token);
    if (token.isEmpty() || it == m_sessions.end())
        return std::nullopt;
    if (nowMs - it->lastSeenMs > IdleLimitMs) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    it->lastSeenMs = qMax(it->lastSeenMs, nowMs);
    return *it;
}

void WebSessions::remove(const QByteArray &token) { m_sessions.remove(token); }

QByteArray LoginThrottle::keyOf(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4); // IPv4-mapped IPv6 counts as IPv4
    if (isV4)
        return QByteArray::number(v4);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8); // the /64 network
}

void LoginThrottle::prune(qint64 nowMs)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (nowMs - it->lastFailureMs > ForgetAfterMs && nowMs >= it->lockedUntilMs)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

qint64 LoginThrottle::lockedFor(const QHostAddress &address, qint64 nowMs)
{
    const auto it = m_entries.find(keyOf(address));
    if (it == m_entries.end())
        return 0;
    if (nowMs - it->lastFailureMs > ForgetAfterMs && nowMs >= it->lockedUntilMs) {
        m_entries.erase(it);
        return 0;
    }
    return qMax<qint64>(0, it->lockedUntilMs - nowMs);
}

void LoginThrottle::failed(const QHostAddress &address, qint64 nowMs)
{
    if (m_entries.size() >= MaxAddresses)
        prune(nowMs);
    const QByteArray key = keyOf(address);
    if (m_entries.size() >= MaxAddresses && !m_entries.contains(key)) {
        // Under a flood from very many addresses the oldest entry makes room.
        auto oldest = m_entries.begin();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            if (it->lastFailureMs < oldest->lastFailureMs)
                oldest = it;
        m_entries.erase(oldest);
    }
    Entry &e = m_entries[key];
    if (e.failures > 0 && nowMs - e.lastFailureMs > ForgetAfterMs)
        e = Entry{};
    ++e.failures;
    e.lastFailureMs = nowMs;
    if (e.failures >= FreeFailures) {
        const int doublings = qMin(e.failures - FreeFailures, 20);
        // The lock runs from the moment the failure is answered.
        e.lockedUntilMs = nowMs + FailureAnswerDelayMs + qMin<qint64>(MaxLockMs, 1000LL << doublings);
    }
}

void LoginThrottle::succeeded(const QHostAddress &address) { m_entries.remove(keyOf(address)); }

int LoginThrottle::failures(const QHostAddress &address) const { return m_entries.value(keyOf(address)).failures; }
