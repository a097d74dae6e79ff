#pragma once
// Section [web] of KTcom.ini: the read-only web view the station serves. Without the section,
// or without its Listen key, the station opens no listening socket.
//
//   [web]
//   Listen=127.0.0.1:8080     empty: 127.0.0.1:8080; every other address must be written out
//                             (0.0.0.0:8080 for every interface, [::]:8080 for IPv6)
//   CertFile=/etc/qz/web.pem  with KeyFile: TLS (HTTPS) only
//   KeyFile=/etc/qz/web.key
//
// A port alone ("8080") listens on 127.0.0.1. Host names are not looked up: the address is a
// literal (or "localhost").

#include <QHostAddress>
#include <QString>

inline const QString WebSection = QStringLiteral("web");
constexpr quint16 DefaultWebPort = 8080;

struct WebSettings {
    bool enabled = false;     // [web] with Listen=
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = DefaultWebPort;
    QString certFile;
    QString keyFile;
    QString error;            // the section asks for something that cannot be done

    bool tls() const { return !certFile.isEmpty(); }
    // "127.0.0.1:8080", "[::1]:8080"
    QString listenText() const;
};

// Reads "host:port", "port", "[v6]:port" or "" into address and port; false with a reason.
bool parseListen(const QString &text, QHostAddress *address, quint16 *port, QString *error);

// Reads [web] of KTcom.ini in programDir. A missing file or section gives the disabled settings;
// a section that cannot be used gives enabled settings with `error` set (the station says it
// and serves nothing).
WebSettings readWebSettings(const QString &programDir);
