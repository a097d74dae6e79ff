#include "Outbox.h"

#include <QDebug>

Outbox::Outbox(const QString &stream, RowSource *source, PublishCursor *cursor)
    : m_stream(stream), m_source(source), m_cursor(cursor)
{
    m_acked = m_cursor->load(stream);
    m_read = m_acked;
}

void Outbox::restartFromCursor()
{
    m_inFlight.clear();
    m_read = m_acked;
    m_caughtUp = false;
}

int Outbox::pump(int budget, const PublishFn &publish)
{
    if (budget <= 0)
        return 0;
    // The connection lives for one round only: an open reader, even an idle one, keeps the
    // station from taking the file for exclusive use ("清空数据").
    struct CloseAfter {
        RowSource *s;
        ~CloseAfter() { s->close(); }
    } closeAfter{m_source};
    QString error;
    if (!m_source->ready(&error)) {
        m_lastError = error;
        m_caughtUp = true; // nothing readable: wait for the next nudge or poll
        return 0;
    }
    error.clear();
    if (!m_source->positionValid(m_read.position, m_read.key, &error)) {
        // The table was emptied or the journal started again: what was in flight belongs to
        // rows that no longer exist.
        qInfo().noquote() << QStringLiteral("site network: %1 starts again from the first item of %2")
                                 .arg(m_stream, m_source->file());
        m_inFlight.clear();
        m_read = CursorPosition{};
        m_acked = CursorPosition{};
        m_dirty = true;
        ++m_restarts;
    }
    QList<SourceItem> items;
    if (!m_source->readAfter(m_read.position, budget, &items, &error)) {
        m_lastError = error;
        return 0;
    }
    m_lastError = error;
    m_caughtUp = items.size() < budget;
    int sent = 0;
    for (const SourceItem &item : std::as_const(items)) {
        if (item.payload.isEmpty()) {
            qWarning().noquote() << QStringLiteral("site network: %1 item %2 of %3 has no valid time and is passed over")
                                        .arg(m_stream).arg(item.position).arg(m_source->file());
            m_inFlight.push_back({-1, {item.position, item.key}, true});
        } else {
            const int mid = publish(item.payload);
            if (mid < 0) {
                m_caughtUp = false;
                break;
            }
            m_inFlight.push_back({mid, {item.position, item.key}, false});
            ++sent;
        }
        m_read = {item.position, item.key};
    }
    advance();
    return sent;
}

bool Outbox::acknowledged(int mid)
{
    for (Sent &s : m_inFlight) {
        if (s.mid == mid && !s.acked) {
            s.acked = true;
            advance();
            return true;
        }
    }
    return false;
}

void Outbox::advance()
{
    while (!m_inFlight.empty() && m_inFlight.front().acked) {
        m_acked = m_inFlight.front().at;
        m_inFlight.pop_front();
        m_dirty = true;
    }
}

bool Outbox::saveCursor(QString *error)
{
    if (!m_dirty)
        return true;
    if (!m_cursor->save(m_stream, m_acked, error))
        return false;
    m_dirty = false;
    return true;
}
