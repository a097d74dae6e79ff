#pragma once
// A serial device for the situations a pseudo-terminal cannot produce: a full output queue,
// a driver that takes part of a write and then nothing, a hard write error, and line
// settings a pseudo-terminal does not keep (data bits, parity). It records what the master
// asked of it. Everything else is tested on a real pseudo-terminal.

#include "SerialDevice.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QThread>
#include <cstring>

class ScriptedSerialDevice final : public SerialDevice {
public:
    // Script
    bool openSucceeds = true;
    int queued = 0;               // what outputQueued() reports
    QList<qint64> writeResults;   // per write call: bytes taken (capped), 0, or -1
    bool stalled = false;         // once writeResults is empty: take nothing (else all)
    QByteArray input;             // what drains find
    int takeEveryMs = 0;          // a slow driver: each write blocks this long (at most its
                                  // wait) and takes one byte if the time was there

    // Record
    QStringList calls; // "open", "configure", "purge", "queues", "close", in order
    QString openedPath;
    QList<SerialLineSettings> configured;
    QList<QPair<bool, bool>> purges;
    int inputQueueSize = 0;
    int outputQueueSize = 0;
    QByteArray written;
    int writeCalls = 0;
    int roomWaits = 0;
    QList<int> writeWaits; // the wait each write call was given
    int blockedMs = 0;     // time the slow driver kept write calls blocked, in all

    bool open(const QString &path) override
    {
        calls << QStringLiteral("open");
        openedPath = path;
        m_open = openSucceeds;
        return m_open;
    }
    void close() override
    {
        if (m_open)
            calls << QStringLiteral("close");
        m_open = false;
    }
    bool isOpen() const override { return m_open; }
    bool configure(const SerialLineSettings &s) override
    {
        calls << QStringLiteral("configure");
        configured.append(s);
        return true;
    }
    bool purge(bool rx, bool tx) override
    {
        calls << QStringLiteral("purge");
        purges.append({rx, tx});
        return true;
    }
    void setQueueSizes(int in, int out) override
    {
        calls << QStringLiteral("queues");
        inputQueueSize = in;
        outputQueueSize = out;
    }
    int outputQueued() const override { return queued; }
    int inputQueued() const override { return int(input.size()); }
    qint64 read(char *data, qint64 maxSize) override
    {
        if (!m_open)
            return -1;
        const qint64 n = qMin<qint64>(maxSize, input.size());
        memcpy(data, input.constData(), size_t(n));
        input.remove(0, n);
        return n;
    }
    qint64 write(const char *data, qint64 size, int waitMs) override
    {
        ++writeCalls;
        writeWaits.append(waitMs);
        if (!m_open)
            return -1;
        if (takeEveryMs > 0) {
            const int slept = qMin(takeEveryMs, qMax(waitMs, 0));
            QThread::msleep(ulong(slept));
            blockedMs += slept;
            if (slept < takeEveryMs || size <= 0)
                return 0;
            written.append(data, 1);
            return 1;
        }
        qint64 take = !writeResults.isEmpty() ? writeResults.takeFirst() : stalled ? 0 : size;
        if (take < 0) {
            loseLine();
            return -1;
        }
        take = qMin(take, size);
        written.append(data, take);
        return take;
    }
    void waitForRoom(int waitMs) override
    {
        ++roomWaits;
        QThread::msleep(ulong(qMax(waitMs, 1)));
    }

    // The line is lost: the device closes itself and tells its owner.
    void loseLine()
    {
        m_open = false;
        reportLost();
    }

private:
    bool m_open = false;
};
