#pragma once
// A pseudo-terminal pair for tests that cross the serial wire. The code under test opens
// slavePath() like any serial device; the test plays the far end through the master.
// The helper keeps its own descriptor of the slave open (in raw mode), so the line stays up
// while the code under test closes and reopens it; close() drops both ends, which the slave
// side sees as a hang-up, like an unplugged adapter.

#include <QByteArray>
#include <QString>

struct termios;

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isOpen() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Far end: bytes written here arrive at the slave side.
    bool write(const QByteArray &bytes);
    // Whatever the slave side has sent so far, without waiting.
    QByteArray readAvailable();
    // Waits up to timeoutMs for at least n bytes from the slave side; returns what came.
    QByteArray readAtLeast(qsizetype n, int timeoutMs);

    // Line settings as the slave side has them now.
    bool slaveTermios(termios *out) const;
    // The slave side's output bit rate, custom rates included; -1 when unknown.
    int slaveBaudRate() const;

    // The far end disappears: both descriptors close, the slave side hangs up.
    void close();
    // A fresh pair (usually another slave path).
    bool reopen();

    // Descriptors this process has open now (to find leaks).
    static int openDescriptorCount();

private:
    bool openPair();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
