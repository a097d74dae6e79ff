#include "WebUserCommand.h"

#include "WebAccounts.h"

#include <QDir>
#include <QFileInfo>

#include <termios.h>
#include <unistd.h>

namespace {

struct WebUserCommand {
    QString home;
    QString name;
    bool list = false;
    bool remove = false;
    QString error;
};

WebUserCommand parse(const QStringList &arguments)
{
    WebUserCommand c;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        auto value = [&](QString *out) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
                c.error = a + QStringLiteral(" needs a value");
                return;
            }
            *out = arguments.at(++i);
        };
        if (a == QLatin1String("--web-user"))
            value(&c.name);
        else if (a.startsWith(QLatin1String("--web-user=")))
            c.name = a.mid(11);
        else if (a == QLatin1String("--web-users"))
            c.list = true;
        else if (a == QLatin1String("--remove"))
            c.remove = true;
        else if (a == QLatin1String("--home"))
            value(&c.home);
        else if (a.startsWith(QLatin1String("--home=")))
            c.home = a.mid(7);
        else
            c.error = QStringLiteral("unexpected argument with --web-user: ") + a;
        if (!c.error.isEmpty())
            return c;
    }
    if (c.list == !c.name.isEmpty() || (c.remove && c.list))
        c.error = QStringLiteral("give either --web-user NAME [--remove] or --web-users");
    return c;
}

// One line of in; with echo off when in is a terminal.
bool readLine(std::FILE *in, std::FILE *prompt, const char *text, bool terminal, QString *line)
{
    termios saved {};
    if (terminal) {
        std::fputs(text, prompt);
        std::fflush(prompt);
        tcgetattr(fileno(in), &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fileno(in), TCSAFLUSH, &quiet);
    }
    QByteArray bytes;
    int c;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        bytes.append(char(c));
        if (bytes.size() > 4096)
            break;
    }
    if (terminal)
        tcsetattr(fileno(in), TCSAFLUSH, &saved);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    *line = QString::fromUtf8(bytes);
    return any;
}

} // namespace

bool isWebUserCommandLine(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--web-user") || a == QLatin1String("--web-users") || a.startsWith(QLatin1String("--web-user=")))
            return true;
    }
    return false;
}

QString webUserCommandUsage()
{
    return QStringLiteral(
        "  --web-user NAME [--remove]\n"
        "               set the password of web view account NAME (made if new; read from the terminal\n"
        "               without echo, or as the first line of standard input), or remove it; the\n"
        "               accounts are in web_accounts in the program directory (mode 0600)\n"
        "  --web-users  list the web view accounts\n");
}

int runWebUserCommand(const QStringList &arguments, const QString &defaultHome, std::FILE *in, std::FILE *out,
                      std::FILE *err)
{
    const WebUserCommand c = parse(arguments);
    if (!c.error.isEmpty()) {
        std::fprintf(err, "%s\n%s", qPrintable(c.error), qPrintable(webUserCommandUsage()));
        return 2;
    }
    const QString home = c.home.isEmpty() ? defaultHome : c.home;
    if (!QDir().mkpath(home)) {
        std::fprintf(err, "cannot make the program directory %s\n", qPrintable(home));
        return 1;
    }
    const QString file = webAccountsPath(home);
    QString error;
    if (c.list) {
        const QList<WebAccount> accounts = readAccountsFile(file, &error);
        for (const WebAccount &a : accounts)
            std::fprintf(out, "%s\n", a.name.toUtf8().constData());
        if (!error.isEmpty())
            std::fprintf(err, "%s\n", qPrintable(error));
        return error.isEmpty() ? 0 : 1;
    }
    if (const QString why = accountNameError(c.name); !why.isEmpty()) {
        std::fprintf(err, "%s\n", qPrintable(why));
        return 1;
    }
    if (c.remove) {
        if (!removeAccount(file, c.name, &error)) {
            std::fprintf(err, "%s\n", qPrintable(error));
            return 1;
        }
        std::fprintf(out, "已删除网页用户 %s (account removed)\n", c.name.toUtf8().constData());
        return 0;
    }
    const bool terminal = ::isatty(fileno(in));
    QString password;
    if (!readLine(in, err, "新密码 (new password): ", terminal, &password) || password.isEmpty()) {
        std::fprintf(err, "没有读到密码 (no password read)\n");
        return 1;
    }
    if (terminal) {
        QString again;
        readLine(in, err, "再次输入新密码 (again): ", terminal, &again);
        if (again != password) {
            std::fprintf(err, "两次输入的密码不同 (the passwords differ)\n");
            return 1;
        }
    }
    if (!setAccountPassword(file, c.name, password, &error)) {
        std::fprintf(err, "%s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(out, "已设置网页用户 %s 的密码 (password set) in %s\n", c.name.toUtf8().constData(),
                 qPrintable(QDir::toNativeSeparators(file)));
    return 0;
}
