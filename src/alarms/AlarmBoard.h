#pragma once
// What an alarm viewer reads of the station's alarms, on the viewer's own thread: the list and
// the count as last published, acknowledgement as a request, and the journal through a
// connection of the viewer's own. The alarm center is one (on its own thread, for tests and
// tools); the window's handle on the station core is another.

#include "AlarmEngine.h"
#include "EventJournal.h"

#include <QList>
#include <QObject>

class AlarmBoard : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QList<Alarm> alarms() const = 0;
    virtual int unacknowledgedCount() const = 0;
    // The operator acknowledges the given alarms, or every alarm waiting for it.
    virtual void acknowledge(const QList<AlarmKey> &keys) = 0;
    virtual void acknowledgeAll() = 0;
    // The journal, to read on the caller's thread. Throws AppError when it cannot be opened.
    virtual const EventJournal &journal() = 0;
    virtual QString programDirectory() const = 0;

Q_SIGNALS:
    // The list changed (an alarm raised, returned or acknowledged).
    void alarmsChanged();
    // Rows that went into the journal, in order (ids set).
    void eventsJournaled(const QList<JournalEvent> &events);
};
