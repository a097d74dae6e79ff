#pragma once
// The instrument bank simulator qzsim as a child process, for tests that cross the wire with
// the real timers. It makes its own pseudo-terminal pair and tells the station's end; SIGUSR1
// switches its answering off and on. Stopped with SIGTERM when it goes out of scope.

#include <QProcess>
#include <QString>
#include <QStringList>

class Simulator {
public:
    explicit Simulator(const QString &program) : m_program(program) {}
    ~Simulator() { stop(); }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Starts qzsim with args and waits for the device path it prints.
    bool start(const QStringList &args);
    // Ends it with the signal; its exit code, or -1 when it did not end cleanly.
    int stop(int signal = 15 /* SIGTERM */);
    // Switches answering off or back on.
    bool toggleAnswering();

    QString path() const { return m_path; }
    qint64 pid() const { return m_process.processId(); }
    // What it wrote to standard error so far.
    QString log();

private:
    QString m_program;
    QProcess m_process;
    QString m_path;
    QString m_log;
};

// The simulator of the build tree the test belongs to.
#ifdef QZ_BINARY_DIR
inline QString simulatorProgram() { return QStringLiteral(QZ_BINARY_DIR "/tools/qzsim/qzsim"); }
#endif
