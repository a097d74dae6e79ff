#pragma once
// Section [mqtt] of KTcom.ini: where the station sends its data on the site network.
//
//   [mqtt]
//   Host=broker.tankfarm.local   without it the station never opens a socket
//   Port=1883
//   Station=tank-a               the topic level qz/<Station>/; default: the host name
//   User=... Password=...        optional
//   TLS=1, CAFile=/path.pem      optional
//
// A port outside 1 … 65535 gives 1883 (8883 with TLS). TLS is on for 1, yes, true or on and
// off for 0, no, false, off or nothing (any case); any other value leaves the station off the
// network with the reason in `error`: a typing mistake must never send the password in plain
// text. The station name becomes one topic level and the key of its rows at the collector:
// every character but letters, digits, '-', '_' and '.' turns into '_', and it is cut to 64
// bytes.

#include <QString>
#include <optional>

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
    // Why these settings are refused (Chinese, for the link's state text); empty when fine.
    QString error;

    bool enabled() const { return !host.isEmpty() && error.isEmpty(); }
    // "qz/<station>/<leaf>"
    QString topic(const QString &leaf) const;
    bool operator==(const SiteSettings &) const = default;
};

// A station name fit to be one topic level; empty input gives "station".
QString topicLevel(const QString &name);
// The value of TLS=: true for 1, yes, true, on; false for 0, no, false, off and an empty
// value (any case, blanks around ignored); nullopt for anything else.
std::optional<bool> tlsSetting(const QString &value);

// Reads [mqtt] of KTcom.ini in programDir. A missing or unreadable file gives the disabled
// settings (no host); nothing is written.
SiteSettings ReadSiteSettings(const QString &programDir);
