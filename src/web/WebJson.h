#pragma once
// The JSON the web view answers with (and pushes over its live connection), built from the
// snapshot the core published. Times are ISO 8601 with the local offset, as on the site
// network; a value the station does not have is null. Texts are the station's own, so a page
// shows exactly what the window shows (see README, "Web view", for every field).

#include "EventJournal.h"
#include "StationSnapshot.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

// What the web view adds to the snapshot: the moment of the last decoded answer and the id of
// the newest journal row it has heard of.
struct LiveExtras {
    QDateTime answerTime;
    qint64 lastEventId = 0;
};

// The four status panels, as the window's status bar shows them.
QJsonArray panelTexts(const StationSnapshot &s);
// One tile: {"channel","name","unit","value","text","state","bar","interrupted","alarm"}.
QJsonObject tileJson(const StationSnapshot &s, int channel);

QByteArray statusJson(const StationSnapshot &s, const QString &station);
QByteArray liveJson(const StationSnapshot &s, const LiveExtras &extras);
QByteArray alarmsJson(const StationSnapshot &s);
// Journal rows newest first; truncated: more rows lie in the range than were read.
QByteArray eventsJson(const QList<JournalEvent> &rows, const QDateTime &from, const QDateTime &to, bool truncated);
// {"error": text}
QByteArray errorJson(const QString &text);

// A float as its shortest decimal text read back as a double (25.3f gives 25.3); null when not
// finite.
QJsonValue floatValue(float v);
