#pragma once
// The notification command of [alarms] Command=: every raised and returned alarm runs the
// program directly (QProcess, no shell), with the event as arguments
//   TIME CHANNEL NAME KIND VALUE TRANSITION
// and as environment variables QZ_EVENT_TIME, QZ_CHANNEL, QZ_NAME, QZ_KIND, QZ_VALUE,
// QZ_TRANSITION (and QZ_SOURCE). TIME is 'yyyy-MM-ddTHH:mm:ss.zzz'; CHANNEL and VALUE are
// empty for the station; VALUE has three decimals; TRANSITION is 'raised' or 'returned'.
// Sites use it for SMS modems and mail.
//
// Nothing here waits: a command that does not end within the time-out (10 s) is killed. At
// most 4 commands are outstanding; an event that finds 4 is refused, and the caller journals
// it as not notified. Commands start in the order of their events: the next one as soon as
// the one before it has ended, or once it has run for the start spacing (1 s), so a quick
// command (one that appends to a file) sees the events in order, and up to 4 slow ones (a
// modem) run at once. A command that cannot start, fails or times out is reported once
// (failed()) until one succeeds again (recovered()); nothing is ever retried.

#include <QObject>
#include <QElapsedTimer>
#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

class QProcess;
struct JournalEvent;

class AlarmNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultMaxOutstanding = 4;
    static constexpr int DefaultTimeoutMs = 10000;
    static constexpr int DefaultStartSpacingMs = 1000;

    explicit AlarmNotifier(QObject *parent = nullptr);
    ~AlarmNotifier() override;

    // The program to run; empty turns notification off.
    void setCommand(const QString &program);
    QString command() const { return m_command; }
    bool enabled() const { return !m_command.isEmpty(); }

    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    int timeoutMs() const { return m_timeoutMs; }
    void setMaxOutstanding(int n) { m_maxOutstanding = n; }
    int maxOutstanding() const { return m_maxOutstanding; }
    void setStartSpacingMs(int ms) { m_spacingMs = ms; }
    void setWorkingDirectory(const QString &dir) { m_workingDirectory = dir; }

    // Takes an event for the command. False when notification is off or 4 commands are
    // outstanding (the event is then not notified).
    bool offer(const JournalEvent &event);

    int running() const { return int(m_running.size()); }
    int waiting() const { return int(m_waiting.size()); }
    int outstanding() const { return running() + waiting(); }

    // The command line of an event.
    static QStringList argumentsOf(const JournalEvent &event);
    static QList<std::pair<QString, QString>> environmentOf(const JournalEvent &event);

Q_SIGNALS:
    // A command could not be started, ended with a failure or was killed after the time-out.
    // Emitted for the first failure after a success (or after start) only.
    void failed(const QString &detail);
    // A command ended well after failed().
    void recovered();
    // Every command that ended or could not start (for tests and diagnostics).
    void finished(bool ok, const QString &detail);

private:
    struct Job {
        QStringList arguments;
        QList<std::pair<QString, QString>> environment;
    };
    struct Running {
        QProcess *process;
        QTimer *timeout;
        bool timedOut = false;
    };

    void startDue();
    void start(const Job &job);
    void ended(QProcess *process, bool ok, const QString &detail);

    QString m_command;
    QString m_workingDirectory;
    int m_timeoutMs = DefaultTimeoutMs;
    int m_maxOutstanding = DefaultMaxOutstanding;
    int m_spacingMs = DefaultStartSpacingMs;
    QQueue<Job> m_waiting;
    QList<Running> m_running;
    QProcess *m_last = nullptr;   // the command started last, while it runs
    QElapsedTimer m_lastStarted;
    QTimer m_spacing;
    bool m_failing = false;
};
