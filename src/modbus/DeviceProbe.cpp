#include "DeviceProbe.h"

#include "InstrumentAnswer.h"

DeviceProbe::DeviceProbe(QObject *parent) : QObject(parent)
{
    m_openTick.setInterval(20);
    connect(&m_openTick, &QTimer::timeout, this, &DeviceProbe::checkOpen);
}

DeviceProbe::~DeviceProbe()
{
    m_openTick.stop();
    retire();
}

void DeviceProbe::retire()
{
    if (!m_master)
        return;
    m_master->OnResponseReady = nullptr;
    m_master->OnError = nullptr;
    // The probe's connection is not kept: a gateway may take one client at a time.
    m_master->ClosePort();
    m_retired.push_back(std::move(m_master));
}

void DeviceProbe::start(const QString &device, int quantity, TComPortBaudRate speed)
{
    m_openTick.stop();
    retire();
    if (!m_reporting)
        m_retired.clear();
    m_master = std::make_unique<TModbusM>();
    m_master->setDeviceMap({{1, device}});
    m_master->setComPort(pnCOM1);
    m_master->setComPortSpeed(speed);
    m_master->setTimeout(AnswerWaitMs);
    m_master->SlaveId = 1;
    m_master->FunctionCode = 3;
    m_master->Offset = 0;
    m_master->Quantity = uint16_t(qBound(1, quantity, 125));

    m_master->OnResponseReady = [this](TModbusM *m) {
        const int channels = AnswerChannelCount(m->ResponseData.size());
        QString text = QStringLiteral("通讯正常：%1 ms 内收到应答，%2 字节").arg(m_clock.elapsed()).arg(m->ResponseData.size());
        if (channels > 0)
            text += QStringLiteral("（%1 个通道）").arg(channels);
        finish(true, text + QStringLiteral("。"));
    };
    m_master->OnError = [this](TModbusM *m, const QString &message) {
        if (m->LastError() == meAcknowledge)
            return; // the instrument needs longer; its answer follows
        if (m->LastError() == meTimeout)
            finish(false, QStringLiteral("无应答：%1 秒内没有收到仪表的应答（%2）。")
                              .arg(AnswerWaitMs / 1000)
                              .arg(message.trimmed()));
        else
            finish(false, QStringLiteral("仪表应答有误：%1").arg(message.trimmed()));
    };

    m_clock.start();
    m_openDeadline = QDeadlineTimer(OpenWaitMs);
    checkOpen();
    if (m_master && !m_master->IsPortOpen())
        m_openTick.start();
}

void DeviceProbe::checkOpen()
{
    if (!m_master)
        return;
    if (!m_master->OpenPort()) {
        const QString why = m_master->PortErrorText();
        const bool failed = !m_master->PortOpening() && (m_master->Transport() == DeviceTransport::Serial || !why.isEmpty());
        if (failed || m_openDeadline.hasExpired())
            finish(false, QStringLiteral("连接失败：") + (why.isEmpty() ? QStringLiteral("设备打不开。") : why));
        return;
    }
    m_openTick.stop();
    m_clock.start();
    m_master->SendRequest();
}

void DeviceProbe::finish(bool ok, const QString &text)
{
    m_openTick.stop();
    if (!m_master)
        return;
    // The master may be the one reporting: it is retired, not destroyed, while it runs.
    retire();
    m_reporting = true;
    Q_EMIT finished(ok, text);
    m_reporting = false;
}
