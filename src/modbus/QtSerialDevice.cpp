#include "QtSerialDevice.h"

#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

QtSerialDevice::QtSerialDevice()
{
    QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port,
                     [this](QSerialPort::SerialPortError error) { onError(error); });
    QObject::connect(&m_port, &QSerialPort::readyRead, &m_port, [this] { reportArrival(); });
}

QtSerialDevice::~QtSerialDevice()
{
    // No lost or arrival report from our own destruction.
    setLostHandler({});
    setArrivalHandler({});
    close();
}

bool QtSerialDevice::open(const QString &path)
{
    if (m_port.isOpen())
        return true;
    m_port.setPortName(path);
    return m_port.open(QIODevice::ReadWrite);
}

void QtSerialDevice::close()
{
    if (m_port.isOpen())
        m_port.close();
}

bool QtSerialDevice::isOpen() const { return m_port.isOpen(); }

bool QtSerialDevice::configure(const SerialLineSettings &s)
{
    if (!m_port.isOpen())
        return false;
    bool ok = m_port.setBaudRate(s.baudRate);
    ok = m_port.setDataBits(QSerialPort::DataBits(qBound(5, s.dataBits, 8))) && ok;

    QSerialPort::Parity parity = QSerialPort::NoParity;
    switch (s.parity) {
    case SerialLineSettings::Parity::None: parity = QSerialPort::NoParity; break;
    case SerialLineSettings::Parity::Odd: parity = QSerialPort::OddParity; break;
    case SerialLineSettings::Parity::Even: parity = QSerialPort::EvenParity; break;
    case SerialLineSettings::Parity::Mark: parity = QSerialPort::MarkParity; break;
    case SerialLineSettings::Parity::Space: parity = QSerialPort::SpaceParity; break;
    }
    ok = m_port.setParity(parity) && ok;

    switch (s.stopBits) {
    case SerialLineSettings::StopBits::One: ok = m_port.setStopBits(QSerialPort::OneStop) && ok; break;
    case SerialLineSettings::StopBits::Two: ok = m_port.setStopBits(QSerialPort::TwoStop) && ok; break;
    case SerialLineSettings::StopBits::OneAndHalf:
#ifdef Q_OS_UNIX
        // POSIX lines know only one or two (QSerialPort would quietly send one); a UART asked
        // for two stop bits with 5-bit characters sends one and a half, the one case where
        // 1.5 is used at all.
        ok = m_port.setStopBits(QSerialPort::TwoStop) && ok;
#else
        ok = m_port.setStopBits(QSerialPort::OneAndHalfStop) && ok;
#endif
        break;
    }

    if (s.rtsCtsHandshake) {
        ok = m_port.setFlowControl(QSerialPort::HardwareControl) && ok;
    } else {
        ok = m_port.setFlowControl(QSerialPort::NoFlowControl) && ok;
        // Held inactive. Lines without modem signals (pseudo-terminals) refuse this; that
        // is no fault of the settings.
        if (m_port.isOpen()) {
            m_port.setDataTerminalReady(false);
            m_port.setRequestToSend(false);
        }
    }
    return ok && m_port.isOpen();
}

bool QtSerialDevice::purge(bool rx, bool tx)
{
    if (!m_port.isOpen() || (!rx && !tx))
        return false;
    QSerialPort::Directions dirs;
    if (rx)
        dirs |= QSerialPort::Input;
    if (tx)
        dirs |= QSerialPort::Output;
    return m_port.clear(dirs);
}

void QtSerialDevice::setQueueSizes(int inputSize, int /*outputSize*/)
{
    // The port's read buffer plays the driver's input queue: when it is full the port stops
    // reading and the rest waits in the kernel until the next drain. Output goes straight to
    // the driver, whose own queue the master watches.
    m_port.setReadBufferSize(qMax(inputSize, 1));
}

int QtSerialDevice::outputQueued() const
{
    if (!m_port.isOpen())
        return -1;
    qint64 queued = m_port.bytesToWrite();
#ifdef Q_OS_UNIX
    int inKernel = 0;
    if (::ioctl(m_port.handle(), TIOCOUTQ, &inKernel) == -1)
        return -1;
    queued += inKernel;
#endif
    return int(qMin<qint64>(queued, std::numeric_limits<int>::max()));
}

int QtSerialDevice::inputQueued() const
{
    if (!m_port.isOpen())
        return -1;
    qint64 queued = m_port.bytesAvailable();
#ifdef Q_OS_UNIX
    int inKernel = 0;
    if (::ioctl(m_port.handle(), TIOCINQ, &inKernel) == -1)
        return -1;
    queued += inKernel;
#endif
    return int(qMin<qint64>(queued, std::numeric_limits<int>::max()));
}

qint64 QtSerialDevice::read(char *data, qint64 maxSize)
{
    if (!m_port.isOpen())
        return -1;
    if (maxSize <= 0)
        return 0;
    // Bytes the driver holds but the event loop has not yet fetched count as buffered too:
    // fetch them now, without waiting.
    if (m_port.bytesAvailable() < maxSize) {
        m_port.waitForReadyRead(0);
        if (!m_port.isOpen()) // the fetch found the line gone
            return -1;
    }
    const qint64 n = m_port.read(data, maxSize);
    if (n < 0) {
        lose();
        return -1;
    }
    return n;
}

qint64 QtSerialDevice::write(const char *data, qint64 size, int waitMs)
{
    if (!m_port.isOpen())
        return -1;
    if (size <= 0)
        return 0;
#ifdef Q_OS_UNIX
    // Straight to the descriptor (which the port opened non-blocking), so "taken" means taken
    // by the driver and nothing lingers in a buffer of ours to be sent twice.
    const int fd = m_port.handle();
    qint64 done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, data + done, size_t(size - done));
        if (w > 0) {
            done += w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lose();
            return done > 0 ? done : -1;
        }
        // The driver's queue is full: wait for room, at most waitMs without progress.
        pollfd pfd{fd, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&pfd, 1, qMax(waitMs, 0));
        } while (r < 0 && errno == EINTR);
        if (r == 0)
            return done;
        if (r < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            lose();
            return done > 0 ? done : -1;
        }
    }
    return done;
#else
    if (m_port.write(data, size) != size) {
        lose();
        return -1;
    }
    while (m_port.isOpen() && m_port.bytesToWrite() > 0) {
        if (!m_port.waitForBytesWritten(waitMs))
            break;
    }
    return m_port.isOpen() ? size : -1;
#endif
}

void QtSerialDevice::waitForRoom(int waitMs)
{
    if (!m_port.isOpen() || waitMs <= 0)
        return;
#ifdef Q_OS_UNIX
    pollfd pfd{m_port.handle(), POLLOUT, 0};
    ::poll(&pfd, 1, waitMs);
#else
    m_port.waitForBytesWritten(waitMs);
#endif
}

void QtSerialDevice::onError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        lose();
        break;
    default:
        // Refused settings, time-outs of waits and failed opens leave the line as it is.
        break;
    }
}

void QtSerialDevice::lose()
{
    if (m_losing || !m_port.isOpen())
        return;
    m_losing = true;
    m_port.close();
    m_losing = false;
    reportLost();
}
