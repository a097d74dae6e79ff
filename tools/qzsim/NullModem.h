#pragma once
// A null-modem cable made of two pseudo-terminals. The master side of a pseudo-terminal has
// no path a serial port could open, so the simulator takes two pairs and relays bytes
// between their master sides: the Modbus server opens one slave side by path, the station
// the other.
//
// Each slave side is also held open here (raw, never read), so the line stays up while the
// station closes and reopens its end; otherwise the master side would report a hang-up.
//
// Holding it has one cost a real adapter does not have: a station opens its port for itself
// alone (the terminal's exclusive mode), and a station that is killed cannot give that up; on a
// real device the kernel drops it with the last close, here the held side keeps it, and a
// restarted station without administrator rights would find the line busy for good. So when
// the station has sent nothing for a while (stopped, or gone) the exclusive mode is cleared.

#include <QObject>
#include <QString>

class QSocketNotifier;

// A pseudo-terminal pair: the master side non-blocking, the slave side opened and raw (held
// open so the line stays up while others open and close it). False with a message in *error.
bool openRawPty(int *master, int *slave, QString *slavePath, QString *error);

class NullModem : public QObject {
    Q_OBJECT
public:
    explicit NullModem(QObject *parent = nullptr);
    ~NullModem() override;

    // Creates both pairs; false with a message in *error.
    bool open(QString *error);

    QString serverSide() const { return m_a.path; }
    QString stationSide() const { return m_b.path; }

private:
    struct End {
        int master = -1;
        int slave = -1;
        QString path;
        QSocketNotifier *notifier = nullptr;
    };

    static bool openEnd(End &end, QString *error);
    static void closeEnd(End &end);
    void relay(End &from, End &to);
    void releaseIdleStation();

    End m_a; // server side
    End m_b; // station side
    qint64 m_stationHeardMs = 0; // when the station side last sent something (steady clock)
};
