#pragma once
// One stream of stored items on its way to the broker ("record" from wwdd, "event" from the
// journal). The outbox reads items after the last one it has sent, hands them to the
// publisher in order and remembers each message id; a PUBACK marks its item, and the
// acknowledged cursor moves over the longest run of marked items from the front. So the
// cursor never passes an item the broker has not acknowledged, whatever order the
// acknowledgements come in.
//
// After a reconnect the outbox forgets what was in flight and reads again from the cursor:
// the client may also send its own copies again, and the collector drops duplicates.

#include "PublishCursor.h"
#include "SiteSources.h"

#include <QString>
#include <deque>
#include <functional>

class Outbox {
public:
    // publish(payload) gives the message id, or a negative value when the message could not be
    // handed to the client (not connected): the item is read again next round.
    using PublishFn = std::function<int(const QByteArray &payload)>;

    Outbox(const QString &stream, RowSource *source, PublishCursor *cursor);

    QString stream() const { return m_stream; }

    // Sends up to `budget` items; returns how many were handed to publish. Items whose
    // payload is empty (a damaged row) count as acknowledged at once.
    int pump(int budget, const PublishFn &publish);
    // A PUBACK; ids of other streams or of forgotten messages are ignored.
    bool acknowledged(int mid);
    // In flight is forgotten; the next pump reads from the acknowledged cursor.
    void restartFromCursor();

    int inFlight() const { return int(m_inFlight.size()); }
    // True when the last pump found nothing more to read.
    bool caughtUp() const { return m_caughtUp; }
    CursorPosition acked() const { return m_acked; }
    // Writes the cursor when it moved since the last write.
    bool saveCursor(QString *error);
    // The last problem reading the source ("" when the last round went well).
    QString lastError() const { return m_lastError; }
    // How often the source started again from its first item (emptied table, new journal).
    int restarts() const { return m_restarts; }

private:
    struct Sent {
        int mid;
        CursorPosition at;
        bool acked;
    };
    void advance();

    QString m_stream;
    RowSource *m_source;
    PublishCursor *m_cursor;
    CursorPosition m_acked; // acknowledged by the broker
    CursorPosition m_read;  // last item handed to the client
    bool m_dirty = false;
    bool m_caughtUp = false;
    int m_restarts = 0;
    QString m_lastError;
    std::deque<Sent> m_inFlight;
};
