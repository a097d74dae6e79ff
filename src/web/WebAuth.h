#pragma once
// Who may see the station: sessions made by a login, and the brake on guessing passwords.
// Both keep their state in memory on the web view's thread and take the time as an argument,
// so their rules are tested without waiting.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>
#include <optional>

inline const QByteArray SessionCookieName = "qzsession";

// A session lives while it is used: it ends after IdleLimitMs without a request or an open live
// connection. Its token is 32 random bytes (base64url, 43 characters); the account's hash at
// login is kept, so changing or removing the account (--web-user) ends its sessions.
class WebSessions {
public:
    static constexpr qint64 IdleLimitMs = 12LL * 3600 * 1000;
    static constexpr int MaxSessions = 1000; // beyond, the longest idle one goes

    struct Session {
        QString user;
        QByteArray accountHash;
        qint64 lastSeenMs = 0;
    };

    QByteArray create(const QString &user, const QByteArray &accountHash, qint64 nowMs);
    // The session of token, marked as used now; none when unknown or idle too long.
    std::optional<Session> use(const QByteArray &token, qint64 nowMs);
    void remove(const QByteArray &token);
    int count() const { return int(m_sessions.size()); }

private:
    QHash<QByteArray, Session> m_sessions;
};

// Login failures slow an address down. Every failure is answered FailureAnswerDelayMs late. From
// the FreeFailures-th failure on, each failure locks the address out for 1 s, 2 s, 4 s, … (at
// most MaxLockMs) from the moment it is answered, and attempts while locked are refused without
// looking at the password. Failures are forgotten ForgetAfterMs after the last one, or on a success.
// IPv4 addresses count one by one, IPv6 addresses by their /64 network.
class LoginThrottle {
public:
    static constexpr int FreeFailures = 5;
    static constexpr qint64 MaxLockMs = 5LL * 60 * 1000;
    static constexpr qint64 ForgetAfterMs = 15LL * 60 * 1000;
    static constexpr qint64 FailureAnswerDelayMs = 1000; // a failed login is answered this late
    static constexpr int MaxAddresses = 10000;

    // Milliseconds the address must wait before its next attempt is looked at; 0: go ahead.
    qint64 lockedFor(const QHostAddress &address, qint64 nowMs);
    void failed(const QHostAddress &address, qint64 nowMs);
    void succeeded(const QHostAddress &address);
    int failures(const QHostAddress &address) const;

private:
    struct Entry {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 lockedUntilMs = 0;
    };
    static QByteArray keyOf(const QHostAddress &address);
    void prune(qint64 nowMs);

    QHash<QByteArray, Entry> m_entries;
};
