#include "StationThread.h"

#include "EventJournal.h"

StationThread::StationThread(const StationConfig &config, StationThreading threading)
    : m_config(config), m_threading(threading)
{
    qRegisterMetaType<StationSnapshot>();
    qRegisterMetaType<StationMessage>();
    qRegisterMetaType<QList<JournalEvent>>();
    if (m_threading == StationThreading::OwnThread) {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(QStringLiteral("station"));
        m_anchor = std::make_unique<QObject>();
        m_anchor->moveToThread(m_thread.get());
        m_thread->start();
    }
}

StationThread::~StationThread() { stop(); }

void StationThread::runThere(const std::function<void()> &fn)
{
    if (m_threading == StationThreading::CallerThread)
        fn();
    else
        QMetaObject::invokeMethod(m_anchor.get(), fn, Qt::BlockingQueuedConnection);
}

StationStart StationThread::start(const std::function<void(Station &)> &connectSignals)
{
    StationStart result;
    runThere([this] { m_station = new Station(m_config); });
    if (connectSignals)
        connectSignals(*m_station);
    runThere([this, &result] { result = m_station->startUp(); });
    return result;
}

void StationThread::stop()
{
    if (m_station) {
        runThere([this] {
            m_station->shutDown();
            delete m_station;
        });
        m_station = nullptr;
    }
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        // The thread has ended: nothing can be delivered to the anchor any more.
        m_anchor.reset();
        m_thread.reset();
    }
}
