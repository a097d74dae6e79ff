#include "WebAccounts.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

const QByteArray SchemeName = "pbkdf2-sha256";
constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;
constexpr int MaxIterations = 10'000'000; // beyond this a login would take minutes

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations,
                                              HashBytes);
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

QString webAccountsPath(const QString &programDir) { return QDir(programDir).filePath(WebAccountsFileName); }

QString accountNameError(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("用户名不能为空 (the name is empty)");
    if (name.size() > 32)
        return QStringLiteral("用户名最多 32 个字符 (at most 32 characters)");
    for (const QChar c : name)
        if (c == u':' || c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("用户名不能含空白、控制字符或 ':' (no blanks, control characters or ':')");
    return {};
}

WebAccount makeAccount(const QString &name, const QString &password, int iterations)
{
    WebAccount a;
    a.name = name;
    a.iterations = iterations;
    a.salt.resize(SaltBytes);
    QRandomGenerator::system()->generate(a.salt.begin(), a.salt.end());
    a.hash = derive(password, a.salt, iterations);
    return a;
}

bool verifyPassword(const WebAccount &account, const QString &password)
{
    if (account.iterations < MinIterations || account.iterations > MaxIterations || account.hash.size() != HashBytes)
        return false;
    return sameBytes(derive(password, account.salt, account.iterations), account.hash);
}

QList<WebAccount> parseAccounts(const QByteArray &text, QStringList *problems)
{
    QList<WebAccount> out;
    int lineNo = 0;
    for (QByteArray line : text.split('\n')) {
        ++lineNo;
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> f = line.split(':');
        auto refuse = [&](const QString &why) {
            if (problems)
                problems->append(QStringLiteral("%1: %2").arg(lineNo).arg(why));
        };
        if (f.size() != 5 || f[1] != SchemeName) {
            refuse(QStringLiteral("not NAME:pbkdf2-sha256:ITERATIONS:SALT:HASH"));
            continue;
        }
        WebAccount a;
        a.name = QString::fromUtf8(f[0]);
        bool ok = false;
        a.iterations = f[2].toInt(&ok);
        const auto salt = QByteArray::fromBase64Encoding(f[3], QByteArray::AbortOnBase64DecodingErrors);
        const auto hash = QByteArray::fromBase64Encoding(f[4], QByteArray::AbortOnBase64DecodingErrors);
        if (!accountNameError(a.name).isEmpty()) {
            refuse(QStringLiteral("bad name"));
            continue;
        }
        if (!ok || a.iterations < MinIterations || a.iterations > MaxIterations) {
            refuse(QStringLiteral("iterations must be %1 … %2").arg(MinIterations).arg(MaxIterations));
            continue;
        }
        if (!salt || !hash || salt.decoded.size() < 8 || hash.decoded.size() != HashBytes) {
            refuse(QStringLiteral("bad salt or hash"));
            continue;
        }
        a.salt = salt.decoded;
        a.hash = hash.decoded;
        bool duplicate = false;
        for (const WebAccount &b : out)
            duplicate = duplicate || b.name == a.name;
        if (duplicate) {
            refuse(QStringLiteral("a second entry for %1").arg(a.name));
            continue;
        }
        out.append(a);
    }
    return out;
}

QByteArray formatAccounts(const QList<WebAccount> &accounts)
{
    QByteArray out = "# QZ web view accounts (qzmonitor --web-user NAME): NAME:pbkdf2-sha256:ITERATIONS:SALT:HASH\n";
    for (const WebAccount &a : accounts)
        out += a.name.toUtf8() + ':' + SchemeName + ':' + QByteArray::number(a.iterations) + ':' + a.salt.toBase64()
            + ':' + a.hash.toBase64() + '\n';
    return out;
}

void WebAccountStore::refresh()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_checkedMs >= 0 && now - m_checkedMs < 1000 && now >= m_checkedMs)
        return;
    m_checkedMs = now;
    struct stat st {};
    if (::stat(QFile::encodeName(m_file).constData(), &st) != 0) {
        m_accounts.clear();
        m_problem = QStringLiteral("%1: 没有账户文件 (no accounts file: qzmonitor --web-user NAME makes one)").arg(m_file);
        m_size = -1;
        return;
    }
    const QDateTime modified = QFileInfo(m_file).lastModified();
    if (m_size == qint64(st.st_size) && m_inode == quint64(st.st_ino) && m_modified == modified && m_problem.isEmpty())
        return;
    m_size = qint64(st.st_size);
    m_inode = quint64(st.st_ino);
    m_modified = modified;
    m_accounts.clear();
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        m_problem = QStringLiteral("%1: 账户文件对其他用户开放，未使用 (others may read it: chmod 600)").arg(m_file);
        return;
    }
    QFile f(m_file);
    if (!f.open(QIODevice::ReadOnly)) {
        m_problem = QStringLiteral("%1: %2").arg(m_file, f.errorString());
        return;
    }
    m_accounts = parseAccounts(f.read(1 << 20));
    m_problem.clear();
}

std::optional<WebAccount> WebAccountStore::find(const QString &name)
{
    refresh();
    for (const WebAccount &a : std::as_const(m_accounts))
        if (a.name == name)
            return a;
    return std::nullopt;
}

QString WebAccountStore::problem()
{
    refresh();
    return m_problem;
}

QList<WebAccount> readAccountsFile(const QString &file, QString *error)
{
    QFile f(file);
    if (!f.exists())
        return {};
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(file, f.errorString());
        return {};
    }
    QStringList problems;
    const QList<WebAccount> accounts = parseAccounts(f.read(1 << 20), &problems);
    // Rewriting would drop what cannot be read: the file is left for a person to mend.
    if (!problems.isEmpty())
        *error = QStringLiteral("%1: 无法读取的行 (lines that cannot be read) %2").arg(file, problems.join(QStringLiteral("; ")));
    return accounts;
}

namespace {

bool writeAccounts(const QString &file, const QList<WebAccount> &accounts, QString *error)
{
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: %2").arg(file, f.errorString());
        return false;
    }
    // The temporary file gets the final mode before a byte of a hash is in it.
    if (!f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("%1: cannot set mode 0600").arg(file);
        f.cancelWriting();
        return false;
    }
    f.write(formatAccounts(accounts));
    if (!f.commit()) {
        *error = QStringLiteral("%1: %2").arg(file, f.errorString());
        return false;
    }
    return true;
}

} // namespace

bool setAccountPassword(const QString &file, const QString &name, const QString &password, QString *error)
{
    if (const QString why = accountNameError(name); !why.isEmpty()) {
        *error = why;
        return false;
    }
    if (password.size() < MinPasswordLength) {
        *error = QStringLiteral("密码至少 %1 个字符 (the password needs at least %1 characters)").arg(MinPasswordLength);
        return false;
    }
    QString readError;
    QList<WebAccount> accounts = readAccountsFile(file, &readError);
    if (!readError.isEmpty()) {
        *error = readError;
        return false;
    }
    const WebAccount fresh = makeAccount(name, password);
    bool replaced = false;
    for (WebAccount &a : accounts)
        if (a.name == name) {
            a = fresh;
            replaced = true;
        }
    if (!replaced)
        accounts.append(fresh);
    return writeAccounts(file, accounts, error);
}

bool removeAccount(const QString &file, const QString &name, QString *error)
{
    QString readError;
    QList<WebAccount> accounts = readAccountsFile(file, &readError);
    if (!readError.isEmpty()) {
        *error = readError;
        return false;
    }
    const qsizetype before = accounts.size();
    accounts.removeIf([&name](const WebAccount &a) { return a.name == name; });
    if (accounts.size() == before) {
        *error = QStringLiteral("没有用户 %1 (no such account)").arg(name);
        return false;
    }
    return writeAccounts(file, accounts, error);
}
