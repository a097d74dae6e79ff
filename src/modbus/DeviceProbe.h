#pragma once
// One poll of a device, without ever blocking the thread: for the "测试" button of the
// communication dialog. Opens the device with a master of its own (a network device connects
// in the background), reads the instruments' holding registers once (slave 1, function 3) and
// reports in one text what came back. The station's own connection is not touched; a gateway
// that takes a single client at a time may refuse the probe while the station is connected.

#include "ModbusM.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class DeviceProbe : public QObject {
    Q_OBJECT
public:
    // How long the device may take to open (a connection: its time-out and a little more),
    // and to answer.
    static constexpr int OpenWaitMs = 4000;
    static constexpr int AnswerWaitMs = 2000;

    explicit DeviceProbe(QObject *parent = nullptr);
    ~DeviceProbe() override;

    // Polls device for quantity registers (32 for 16 channels, 64 for 32). A poll still
    // running is abandoned without a report.
    void start(const QString &device, int quantity, TComPortBaudRate speed = br9600);
    bool running() const { return m_master != nullptr; }

Q_SIGNALS:
    // Once per start: whether the instruments answered, and what to tell the operator.
    void finished(bool ok, const QString &text);

private:
    void checkOpen();
    void finish(bool ok, const QString &text);
    void retire();

    std::unique_ptr<TModbusM> m_master;
    // Masters whose poll is over. The one reporting cannot go while its handler runs; they go
    // at the next start or with the probe.
    std::vector<std::unique_ptr<TModbusM>> m_retired;
    bool m_reporting = false;
    QTimer m_openTick;
    QDeadlineTimer m_openDeadline;
    QElapsedTimer m_clock;
};
