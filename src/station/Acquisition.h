#pragma once
// The arithmetic of the acquisition cycle, free of widgets and timers: which request a poll
// sends, how an answer becomes channel values and state texts, how the communication watch
// counter turns into status texts, and which storage period applies.

#include "SharedState.h"

#include <QByteArray>
#include <cstdint>

// Registers asked for per poll: 32 for up to 16 channels, 64 for 32 channels.
int pollQuantity(int channelCount);

// Clamps into [lower, upper]: anything not ≥ lower (NaN included) becomes lower; then
// anything above upper becomes upper, so upper wins when the limits are crossed.
float clampToLimits(float value, float lower, float upper);

// Decodes an answer's data bytes into rec: a 64-byte answer carries channels 1 … 16 (values
// in registers 0–15, status in the low bytes of registers 16–31), a 128-byte answer channels
// 1 … 32 (values 0–31, status 32–63). Values are clamped to the channel's limits in opt.
// Returns false, changing nothing, for any other length.
bool decodeAnswer(const QByteArray &data, TAllRecord &rec, const TOption &opt);

// Marks channels 1 … count as interrupted (Pv = −1000.0).
void markInterrupted(TAllRecord &rec, int count);

// Counts refresh ticks since the last poll or decoded answer. It starts high so an idle
// station never claims a good connection, and saturates instead of wrapping.
class CommWatchCounter {
public:
    enum class Event { None, Error, Ok };
    static constexpr uint16_t Initial = 1001;

    void polled() { m_value = 999; }
    void answered() { m_value = 111; }
    Event tick();
    uint16_t value() const { return m_value; }

private:
    uint16_t m_value = Initial;
};

// The storage tick's period: the configured interval, or 5000 ms when it is below 1 s or
// above a day.
int storagePeriodMs(int storageIntervalMs);

// Free space the program directory's file system must keep: 1 GiB, or a day of records at the
// current rate when that is more. A record of n channels takes about 64 + 12·n bytes on disk
// (its time, n texts of "%8.3F", the row and index overhead of the table).
qint64 diskSpaceNeeded(int channelCount, int storagePeriodMs);
// Whether the disk is (still) too full: below `needed` raises it; once raised it returns only
// at 5 % above, so free space that hovers at the line does not raise it every minute.
bool diskSpaceLow(qint64 freeBytes, qint64 needed, bool lowBefore);
