#pragma once
// A TCP relay between the station and a simulator served over TCP (qzsim --tcp), for the faults
// a sound gateway never makes. Requests go upstream unchanged; every answer frame from upstream
// is handed to a script that decides what reaches the station instead: which bytes, in which
// pieces and after which pauses, and whether the connection ends after them.
//
// Answer frames are cut by their own framing: Modbus TCP by the MBAP length field; RTU by the
// length the request just forwarded calls for (5 bytes for an exception).

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

class GatewayProxy : public QObject {
    Q_OBJECT
public:
    enum class Framing { Rtu, Mbap };
    struct Piece {
        QByteArray bytes;
        int delayMs = 0; // pause before this piece
    };
    struct Reply {
        QList<Piece> pieces;
        bool close = false; // end the connection after the last piece
    };
    // answerNo counts answer frames from 1 over the proxy's whole life.
    using Script = std::function<Reply(int answerNo, const QByteArray &answer)>;

    GatewayProxy(quint16 upstreamPort, Framing framing, QObject *parent = nullptr);
    ~GatewayProxy() override;

    // Listens on 127.0.0.1 on a port the system picks.
    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    // Without a script every answer passes unchanged.
    void setScript(Script script) { m_script = std::move(script); }

    int connectionsAccepted() const { return m_accepted; }
    int answersSeen() const { return m_answers; }

    // Answers pass whole.
    static Reply passThrough(const QByteArray &answer) { return {{{answer, 0}}, false}; }

private:
    struct Link;
    void accept();
    void fromUpstream(Link *link);
    void send(Link *link, Reply reply);
    void pump(Link *link);

    QTcpServer m_server;
    quint16 m_upstreamPort;
    Framing m_framing;
    Script m_script;
    QList<Link *> m_links;
    int m_accepted = 0;
    int m_answers = 0;
};
