#include "AlarmNotifier.h"

#include "DateTimeText.h"
#include "EventJournal.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <cmath>

AlarmNotifier::AlarmNotifier(QObject *parent) : QObject(parent)
{
    m_spacing.setSingleShot(true);
    connect(&m_spacing, &QTimer::timeout, this, &AlarmNotifier::startDue);
}

AlarmNotifier::~AlarmNotifier()
{
    m_waiting.clear();
    const QList<Running> running = m_running;
    m_running.clear();
    for (const Running &r : running) {
        r.process->disconnect(this);
        // The program is ending: a command still running is stopped, not left behind.
        r.process->kill();
        r.process->waitForFinished(1000);
        delete r.process;
    }
}

void AlarmNotifier::setCommand(const QString &program)
{
    if (program.trimmed() != m_command)
        m_failing = false; // a new command gets its own first report
    m_command = program.trimmed();
}

QStringList AlarmNotifier::argumentsOf(const JournalEvent &event)
{
    return {db::dateTimeToText(event.time),
            event.channel > 0 ? QString::number(event.channel) : QString(),
            event.name,
            event.kind,
            std::isnan(event.value) ? QString() : QString::number(event.value, 'f', 3),
            transitionToken(event.transition)};
}

QList<std::pair<QString, QString>> AlarmNotifier::environmentOf(const JournalEvent &event)
{
    const QStringList a = argumentsOf(event);
    return {{QStringLiteral("QZ_EVENT_TIME"), a.at(0)}, {QStringLiteral("QZ_CHANNEL"), a.at(1)},
            {QStringLiteral("QZ_NAME"), a.at(2)},       {QStringLiteral("QZ_KIND"), a.at(3)},
            {QStringLiteral("QZ_VALUE"), a.at(4)},      {QStringLiteral("QZ_TRANSITION"), a.at(5)},
            {QStringLiteral("QZ_SOURCE"), sourceToken(event.source)}};
}

bool AlarmNotifier::offer(const JournalEvent &event)
{
    if (!enabled() || outstanding() >= m_maxOutstanding)
        return false;
    m_waiting.enqueue({argumentsOf(event), environmentOf(event)});
    startDue();
    return true;
}

void AlarmNotifier::startDue()
{
    while (!m_waiting.isEmpty() && running() < m_maxOutstanding) {
        if (m_last && m_lastStarted.elapsed() < m_spacingMs) {
            if (!m_spacing.isActive())
                m_spacing.start(int(m_spacingMs - m_lastStarted.elapsed()) + 1);
            return;
        }
        start(m_waiting.dequeue());
    }
}

void AlarmNotifier::start(const Job &job)
{
    auto *process = new QProcess(this);
    process->setProgram(m_command);
    process->setArguments(job.arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto &[key, value] : job.environment)
        environment.insert(key, value);
    process->setProcessEnvironment(environment);
    if (!m_workingDirectory.isEmpty())
        process->setWorkingDirectory(m_workingDirectory);
    // Whatever the command prints is of no use here and must not fill a pipe.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());

    auto *timeout = new QTimer(process);
    timeout->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the time-out is a promise to the site's command.
    timeout->setTimerType(Qt::PreciseTimer);
    m_running.append({process, timeout});

    connect(timeout, &QTimer::timeout, this, [this, process] {
        for (Running &r : m_running)
            if (r.process == process)
                r.timedOut = true;
        process->kill();
    });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        bool timedOut = false;
        for (const Running &r : std::as_const(m_running))
            if (r.process == process)
                timedOut = r.timedOut;
        if (timedOut)
            ended(process, false,
                  QStringLiteral("报警通知命令超过 %1 秒未结束，已终止：%2 (killed after the time-out)")
                      .arg(m_timeoutMs / 1000.0)
                      .arg(m_command));
        else if (status == QProcess::CrashExit)
            ended(process, false,
                  QStringLiteral("报警通知命令异常结束：%1 (%2)").arg(m_command, process->errorString()));
        else if (exitCode != 0)
            ended(process, false, QStringLiteral("报警通知命令出错退出：%1 (exit status %2)").arg(m_command).arg(exitCode));
        else
            ended(process, true, QString());
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(process, false,
                  QStringLiteral("报警通知命令无法启动：%1 (%2)").arg(m_command, process->errorString()));
    });

    m_last = process;
    m_lastStarted.start();
    timeout->start(m_timeoutMs);
    process->start();
}

void AlarmNotifier::ended(QProcess *process, bool ok, const QString &detail)
{
    bool known = false;
    for (qsizetype i = 0; i < m_running.size(); ++i) {
        if (m_running.at(i).process == process) {
            m_running.removeAt(i);
            known = true;
            break;
        }
    }
    if (!known)
        return;
    if (m_last == process)
        m_last = nullptr;
    process->disconnect(this);
    process->deleteLater();

    Q_EMIT finished(ok, detail);
    if (!ok && !m_failing) {
        m_failing = true;
        Q_EMIT failed(detail);
    } else if (ok && m_failing) {
        m_failing = false;
        Q_EMIT recovered();
    }
    startDue();
}
