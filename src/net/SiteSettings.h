#pragma once
// Section [mqtt] of KTcom.ini: where the station sends its data on the site network.
//
//   [mqtt]
//   Host=broker.tankfarm.local   without it the station never opens a socket
//   Port=1883
//   Station=tank-a               the topic level qz/<Station>/; default: the host name
//   User=... Password=...        optional
//   TLS=0|1, CAFile=/path.pem    optional
//
// A port outside 1 … 65535 gives 1883 (8883 with TLS); TLS is on for "1" only. The station
// name becomes one topic level, so '/', '+', '#' and control characters turn into '_'.

#include <QString>

constexpr int DefaultMqttPort = 1883;
constexpr int DefaultMqttTlsPort = 8883;
inline const QString MqttSection = QStringLiteral("mqtt");

struct SiteSettings {
    QString host;
    int port = DefaultMqttPort;
    QString station;
    QString user;
    QString password;
    bool tls = false;
    QString caFile;

    bool enabled() const { return !host.isEmpty(); }
    // "qz/<station>/<leaf>"
    QString topic(const QString &leaf) const;
    bool operator==(const SiteSettings &) const = default;
};

// A station name fit to be one topic level; empty input gives "station".
QString topicLevel(const QString &name);

// Reads [mqtt] of KTcom.ini in programDir. A missing or unreadable file gives the disabled
// settings (no host); nothing is written.
SiteSettings ReadSiteSettings(const QString &programDir);
