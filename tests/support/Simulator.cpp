#include "Simulator.h"

#include <QElapsedTimer>

#include <csignal>

bool Simulator::start(const QStringList &args)
{
    m_process.start(m_program, args);
    if (!m_process.waitForStarted(5000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine() && clock.elapsed() < 10000 && m_process.state() == QProcess::Running)
        m_process.waitForReadyRead(100);
    m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return !m_path.isEmpty();
}

int Simulator::stop(int signal)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(pid_t(m_process.processId()), signal);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool Simulator::toggleAnswering()
{
    return m_process.state() == QProcess::Running && ::kill(pid_t(m_process.processId()), SIGUSR1) == 0;
}

QString Simulator::log()
{
    m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_log;
}
