#pragma once
// A serial device server (RS-485/Ethernet converter) in "TCP server" mode: bytes from a TCP
// client go onto the serial line unchanged, bytes from the line go to every connected client.
// The line is a pseudo-terminal whose other side the Modbus RTU server opens by path.

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QSocketNotifier;
class QTcpSocket;

class DeviceServer : public QObject {
    Q_OBJECT
public:
    explicit DeviceServer(QObject *parent = nullptr);
    ~DeviceServer() override;

    // Makes the line and listens on address:port (port 0: one the system picks). False with a
    // message in *error.
    bool open(const QHostAddress &address, quint16 port, QString *error);

    // The line's end for the Modbus server.
    QString serverSide() const { return m_path; }
    quint16 port() const { return m_server.serverPort(); }

private:
    void accept();
    void fromLine();
    void toLine(const QByteArray &bytes);

    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QSocketNotifier *m_notifier = nullptr;
    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
};
