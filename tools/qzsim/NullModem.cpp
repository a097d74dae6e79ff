#include "NullModem.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

NullModem::NullModem(QObject *parent) : QObject(parent) {}

NullModem::~NullModem()
{
    closeEnd(m_a);
    closeEnd(m_b);
}

bool openRawPty(int *master, int *slave, QString *slavePath, QString *error)
{
    *master = *slave = -1;
    auto fail = [&](const char *what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
        if (*slave >= 0)
            ::close(*slave);
        if (*master >= 0)
            ::close(*master);
        *master = *slave = -1;
        return false;
    };
    *master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0)
        return fail("posix_openpt");
    if (::grantpt(*master) != 0 || ::unlockpt(*master) != 0)
        return fail("unlockpt");
    char name[128];
    if (::ptsname_r(*master, name, sizeof name) != 0)
        return fail("ptsname");
    *slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0)
        return fail("open slave");
    termios t{};
    if (::tcgetattr(*slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(*slave, TCSANOW, &t);
    }
    ::fcntl(*master, F_SETFL, ::fcntl(*master, F_GETFL) | O_NONBLOCK);
    *slavePath = QString::fromLocal8Bit(name);
    return true;
}

bool NullModem::openEnd(End &end, QString *error)
{
    return openRawPty(&end.master, &end.slave, &end.path, error);
}

void NullModem::closeEnd(End &end)
{
    delete end.notifier;
    end.notifier = nullptr;
    if (end.slave >= 0)
        ::close(end.slave);
    if (end.master >= 0)
        ::close(end.master);
    end.slave = end.master = -1;
}

bool NullModem::open(QString *error)
{
    if (!openEnd(m_a, error) || !openEnd(m_b, error))
        return false;
    m_a.notifier = new QSocketNotifier(m_a.master, QSocketNotifier::Read, this);
    m_b.notifier = new QSocketNotifier(m_b.master, QSocketNotifier::Read, this);
    connect(m_a.notifier, &QSocketNotifier::activated, this, [this] { relay(m_a, m_b); });
    connect(m_b.notifier, &QSocketNotifier::activated, this, [this] {
        m_stationHeardMs = QDeadlineTimer::current().deadline();
        relay(m_b, m_a);
    });
    auto *idle = new QTimer(this);
    connect(idle, &QTimer::timeout, this, &NullModem::releaseIdleStation);
    idle->start(1000);
    return true;
}

void NullModem::releaseIdleStation()
{
    // A polling station sends a request every 1.5 s: three seconds of silence mean it has
    // stopped or is gone.
    if (QDeadlineTimer::current().deadline() - m_stationHeardMs > 3000 && m_b.slave >= 0)
        ::ioctl(m_b.slave, TIOCNXCL);
}

void NullModem::relay(End &from, End &to)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(from.master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // Cannot happen while the slave side is held open; never spin on it.
            from.notifier->setEnabled(false);
            return;
        }
        if (n <= 0)
            return; // nothing more for now
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(to.master, buf + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break; // the other end does not take more: like a cable to nobody, drop it
            done += w;
        }
    }
}
