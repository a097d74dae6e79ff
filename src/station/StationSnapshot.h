#pragma once
// What the station core publishes after each poll, decoded answer, refresh tick and command: a
// copy of everything a viewer shows (the window, the web view), so no viewer ever reads the
// core's own state across threads. It travels by value in queued signals; its lists and texts
// are implicitly shared, so a copy costs a few reference counts.

#include "AlarmEngine.h"
#include "SharedState.h"
#include "SitePayload.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// What the communication panel shows: nothing yet, "通讯接收正常：OK！ ", "通讯接收错误：ERROR！！！ ".
// The same three states the site network's status reports (NONE, OK, ERROR).
using CommShown = StationComm;

struct StationSnapshot {
    // What made the core publish it.
    enum class Reason { Started, Poll, Answer, Refresh, Stored, Command, Alarms, Site };

    Reason reason = Reason::Started;
    quint64 serial = 0;             // counts up with every snapshot of a run
    QDateTime time;                 // when it was published

    // The live channel state and the settings it was decoded and is shown with.
    TAllRecord record;
    TOption option;
    int channelCount = 0;

    CommShown comm = CommShown::None;
    bool running = false;           // polling (开始运行 … 停止运行)
    bool storing = false;           // the storage tick runs (records are kept when storageError is empty)
    int storagePeriodMs = 0;

    // The line as configured, and whether it has been opened since start-up.
    QString portName;               // "COM1"
    int speed = 0;                  // bit/s
    QString device;                 // what COMn maps to ("/dev/ttyUSB0")
    bool portShown = false;         // the port has been open once: panels 1 and 2 name it
    bool portOpen = false;

    // The poll tick and the answer after it, for the window caption.
    QDateTime lastPoll;             // invalid before the first poll
    int answerBytes = -1;           // data bytes of the answer to the last poll; -1: none yet

    // The history table: the last record stored, and why storing fails (empty while it works).
    QDateTime lastStored;
    QString storageError;

    QList<Alarm> alarms;            // listed alarms, newest raised first
    int unacknowledged = 0;

    bool siteEnabled = false;       // [mqtt] configured
    QString siteState;              // the link's state text
};

Q_DECLARE_METATYPE(StationSnapshot)

// A message the core raises for the operator: a plain box (the application title, OK) or the
// standard error box. Raised during start-up, a station that starts by itself shows it without
// waiting and writes it to standard error; the headless station only writes it there.
struct StationMessage {
    enum class Kind { Message, Error };
    Kind kind = Kind::Error;
    QString text;
    bool startup = false;
};

Q_DECLARE_METATYPE(StationMessage)
