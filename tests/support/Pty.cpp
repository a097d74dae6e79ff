#include "Pty.h"

#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The kernel's termios2 (custom bit rates); glibc's <termios.h> does not declare it and the
// kernel header clashes with it, so the layout is spelled out here.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};

} // namespace

Pty::Pty() { openPair(); }

Pty::~Pty() { close(); }

bool Pty::openPair()
{
    close();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return false;
    }
    // Raw both ways, so nothing is echoed or translated before the code under test opens it.
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slave = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    return true;
}

bool Pty::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    qsizetype done = 0;
    QElapsedTimer clock;
    clock.start();
    while (done < bytes.size()) {
        const ssize_t w = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (w > 0) {
            done += w;
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (clock.elapsed() > 2000)
            return false;
        pollfd pfd{m_master, POLLOUT, 0};
        ::poll(&pfd, 1, 50);
    }
    return true;
}

QByteArray Pty::readAvailable()
{
    QByteArray out;
    if (m_master < 0)
        return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: nothing more; EIO: no slave open
    }
    return out;
}

QByteArray Pty::readAtLeast(qsizetype n, int timeoutMs)
{
    QByteArray out = readAvailable();
    QElapsedTimer clock;
    clock.start();
    while (out.size() < n && clock.elapsed() < timeoutMs && m_master >= 0) {
        pollfd pfd{m_master, POLLIN, 0};
        ::poll(&pfd, 1, int(qMax<qint64>(1, timeoutMs - clock.elapsed())));
        out += readAvailable();
    }
    return out;
}

bool Pty::slaveTermios(termios *out) const
{
    return m_slave >= 0 && ::tcgetattr(m_slave, out) == 0;
}

int Pty::slaveBaudRate() const
{
    if (m_slave < 0)
        return -1;
    KernelTermios2 t{};
    if (::ioctl(m_slave, _IOR('T', 0x2A, KernelTermios2), &t) != 0)
        return -1;
    return int(t.c_ospeed);
}

void Pty::close()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

bool Pty::reopen() { return openPair(); }

int Pty::openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}
