#pragma once
// Runs a Station on a thread of its own (QThread with its own event loop): the station and
// everything it owns (timers, the serial device, the SQLite connections, the MQTT link) are
// created there, live there and are destroyed there, so nothing the caller's thread does (a
// long query, printing, a modal box) can delay a poll or a record. The caller holds this object
// on its own thread, connects to the station's signals (queued copies reach it) and sends
// commands with post(), which queues them onto the station's thread.
//
// For tests of the window's behaviour the station may run on the caller's thread instead
// (StationThreading::CallerThread): then signals arrive and commands run at once, and the cycle's
// handlers can be called by hand.

#include "Station.h"

#include <QMetaObject>
#include <QThread>
#include <memory>

enum class StationThreading { OwnThread, CallerThread };

class StationThread {
public:
    explicit StationThread(const StationConfig &config, StationThreading threading = StationThreading::OwnThread);
    ~StationThread();
    StationThread(const StationThread &) = delete;
    StationThread &operator=(const StationThread &) = delete;

    // Creates the station on its thread and runs its start-up there; returns once it is done
    // (start-up reads files and opens the port; nothing in it waits on a device).
    // `connectSignals` runs first, on the caller's thread, with the station made but not yet
    // started, so not one message or snapshot of the start-up is missed.
    StationStart start(const std::function<void(Station &)> &connectSignals = {});
    // Shuts the station down on its thread, destroys it there and ends the thread. The
    // destructor does it too.
    void stop();

    // The station, for connecting to its signals. Its members belong to its thread: call
    // them only through post() (or directly with StationThreading::CallerThread).
    Station *station() const { return m_station; }
    bool ownThread() const { return m_threading == StationThreading::OwnThread; }

    // Runs fn(station) on the station's thread, after whatever was posted before.
    template <class Fn>
    void post(Fn fn)
    {
        if (!m_station)
            return;
        Station *s = m_station;
        QMetaObject::invokeMethod(s, [s, fn = std::move(fn)]() mutable { fn(*s); }, Qt::AutoConnection);
    }

    // Runs fn(station) on the station's thread and waits for its result (tests, tools: what
    // the snapshot does not carry).
    template <class Fn>
    auto call(Fn fn) -> decltype(fn(std::declval<Station &>()))
    {
        decltype(fn(std::declval<Station &>())) result{};
        runThere([&] { result = fn(*m_station); });
        return result;
    }

private:
    // Runs fn on the station's thread and waits for it.
    void runThere(const std::function<void()> &fn);

    StationConfig m_config;
    StationThreading m_threading;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_anchor; // lives on the station's thread: the context of runThere
    Station *m_station = nullptr;
};
