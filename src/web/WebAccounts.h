#pragma once
// The web view's accounts: a file of their own, <program directory>/web_accounts, readable and
// writable by its owner only (mode 0600), one line per account:
//
//   NAME:pbkdf2-sha256:ITERATIONS:SALT:HASH
//
// SALT (16 random bytes) and HASH (32 bytes of PBKDF2-HMAC-SHA256 of the UTF-8 password) in
// base64; lines starting with '#' and blank lines are ignored. Names are 1 … 32 characters
// without blanks, control characters or ':'. Entries with fewer than MinIterations are refused:
// a hand-edited file cannot weaken the hashes.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

inline const QString WebAccountsFileName = QStringLiteral("web_accounts");
constexpr int MinIterations = 100000;
constexpr int DefaultIterations = 120000; // about 0.2 s of one core per login
constexpr int MinPasswordLength = 8;

struct WebAccount {
    QString name;
    int iterations = DefaultIterations;
    QByteArray salt;
    QByteArray hash;
    bool operator==(const WebAccount &) const = default;
};

// <programDir>/web_accounts
QString webAccountsPath(const QString &programDir);

// Why a name cannot be an account's; empty when it can.
QString accountNameError(const QString &name);

// A fresh account with a random salt.
WebAccount makeAccount(const QString &name, const QString &password, int iterations = DefaultIterations);
// Whether password is the account's (compared in constant time).
bool verifyPassword(const WebAccount &account, const QString &password);

// The file's text and back. parseAccounts skips (and names in *problems) lines it cannot use.
QList<WebAccount> parseAccounts(const QByteArray &text, QStringList *problems = nullptr);
QByteArray formatAccounts(const QList<WebAccount> &accounts);

// The file as the station reads it: re-read when it changed on disk (checked at most once a
// second), so accounts added, changed or removed with --web-user take effect without a restart.
// A file that others may read or write is not used (nobody can log in) and the reason is kept.
class WebAccountStore {
public:
    explicit WebAccountStore(const QString &file) : m_file(file) {}
    QString file() const { return m_file; }
    std::optional<WebAccount> find(const QString &name);
    // Why the file is not used (missing, unreadable, open to others); empty when it is.
    QString problem();

private:
    void refresh();

    QString m_file;
    QList<WebAccount> m_accounts;
    QString m_problem;
    qint64 m_checkedMs = -1;
    QDateTime m_modified;
    qint64 m_size = -1;
    quint64 m_inode = 0;
};

// Writing the file (the --web-user command): the whole file is written anew with mode 0600 and
// replaces the old one at once. False with a reason.
bool setAccountPassword(const QString &file, const QString &name, const QString &password, QString *error);
bool removeAccount(const QString &file, const QString &name, QString *error);
// The accounts of the file (none when it is missing); *error set when it cannot be read whole.
QList<WebAccount> readAccountsFile(const QString &file, QString *error);
