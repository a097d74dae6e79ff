#pragma once
// A watcher as a control-room screen would be: a fresh session (nothing kept at the broker) on
// the test broker, subscribed to the given topic filters. Header only: the collector's client
// lives in qz_collect, which only the tests that watch link.

#include "MqttSubscriber.h"
#include "SiteServers.h"

inline MqttSubscriber::Options brokerWatcher(const MosquittoServer &broker, const QString &clientId, const QStringList &filters)
{
    MqttSubscriber::Options o;
    o.host = broker.host();
    o.port = broker.port();
    o.connect.clientId = clientId;
    o.connect.cleanStart = true;
    o.connect.sessionExpiryS = 0;
    o.filters = filters;
    return o;
}
