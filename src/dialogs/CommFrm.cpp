#include "CommFrm.h"

#include "DeviceProbe.h"
#include "DialogParts.h"
#include "SettingsFiles.h"
#include "SettingsRows.h"
#include "WindowState.h"
#include "Ui.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The dialog is wider than the port and speed lists alone need: stable device names are long.
constexpr int FormWidth = 560;
constexpr int FormHeight = 306;

// NetModeBox's items, in this order.
const QStringList NetModes = {QStringLiteral("串口服务器（RTU over TCP）"), QStringLiteral("Modbus TCP")};
constexpr int NoUnit = -1; // NetUnitBox's lowest value: no unit id, the slave address serves

} // namespace

TCommForm::TCommForm(QWidget *parent, std::function<SerialDeviceScan()> scan)
    : QDialog(parent), m_scan(scan ? std::move(scan) : std::function<SerialDeviceScan()>(scanSerialDevices))
{
    setWindowTitle(QStringLiteral("通讯参数设置："));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    resize(FormWidth, FormHeight);

    // One panel fills the (resizable) window; the controls sit at fixed places on it.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    Panel1 = makePanel(this, 0, 0, FormWidth, FormHeight, palette().color(QPalette::Window));
    layout->addWidget(Panel1);

    QLabel *title = makeLabel(Panel1, QStringLiteral("通讯参数设置"), 0, 14, true);
    title->move((FormWidth - title->width()) / 2, 14);

    makeLabel(Panel1, QStringLiteral("通讯端口："), 48, 62);
    ComboBox1 = new QComboBox(Panel1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(128, 58, 121, 24);
    ComboBox1->addItems(portChoices());

    makeLabel(Panel1, QStringLiteral("波特率："), 48, 100);
    ComboBox2 = new QComboBox(Panel1);
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    ComboBox2->setGeometry(128, 96, 121, 24);
    for (const Choice &c : speedChoices())
        ComboBox2->addItem(c.text);

    makeLabel(Panel1, QStringLiteral("串口设备："), 48, 138);
    ComboBox3 = new QComboBox(Panel1);
    ComboBox3->setObjectName(QStringLiteral("ComboBox3"));
    ComboBox3->setGeometry(128, 134, 340, 24);
    // A device the list cannot know (a pseudo-terminal, an odd driver) may be typed.
    ComboBox3->setEditable(true);
    ComboBox3->setInsertPolicy(QComboBox::NoInsert);
    RefreshButton = new QPushButton(QStringLiteral("刷新"), Panel1);
    RefreshButton->setObjectName(QStringLiteral("RefreshButton"));
    RefreshButton->setGeometry(476, 134, 60, 24);

    makeLabel(Panel1, QStringLiteral("网络地址："), 48, 176);
    NetAddressEdit = new QLineEdit(Panel1);
    NetAddressEdit->setObjectName(QStringLiteral("NetAddressEdit"));
    NetAddressEdit->setGeometry(128, 172, 160, 24);
    NetAddressEdit->setPlaceholderText(QStringLiteral("192.168.1.20:4001"));
    NetModeBox = new QComboBox(Panel1);
    NetModeBox->setObjectName(QStringLiteral("NetModeBox"));
    NetModeBox->setGeometry(296, 172, 172, 24);
    NetModeBox->addItems(NetModes);
    TestButton = new QPushButton(QStringLiteral("测试"), Panel1);
    TestButton->setObjectName(QStringLiteral("TestButton"));
    TestButton->setGeometry(476, 172, 60, 24);
    makeLabel(Panel1, QStringLiteral("单元号："), 48, 214);
    NetUnitBox = new QSpinBox(Panel1);
    NetUnitBox->setObjectName(QStringLiteral("NetUnitBox"));
    NetUnitBox->setGeometry(128, 210, 80, 24);
    NetUnitBox->setRange(NoUnit, 255);
    NetUnitBox->setSpecialValueText(QStringLiteral("从站地址"));
    NetUnitBox->setValue(1);
    NetResultLabel = new QLabel(Panel1);
    NetResultLabel->setObjectName(QStringLiteral("NetResultLabel"));
    NetResultLabel->setGeometry(216, 204, 320, 44);
    NetResultLabel->setWordWrap(true);
    NetResultLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("设置"), Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(128, 258, 89, 28);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("取消"), Panel1);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(248, 258, 89, 28);

    m_probe = new DeviceProbe(this);
    connect(m_probe, &DeviceProbe::finished, this, [this](bool, const QString &text) {
        NetResultLabel->setText(text);
        updateNetworkRow();
    });

    connect(BitBtn1, &QPushButton::clicked, this, [this] { ui::guarded([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
    connect(RefreshButton, &QPushButton::clicked, this, &TCommForm::RefreshDevices);
    connect(TestButton, &QPushButton::clicked, this, &TCommForm::TestNetworkDevice);
    connect(ComboBox3, &QComboBox::currentIndexChanged, this, &TCommForm::showChosenDevice);
    connect(NetModeBox, &QComboBox::currentIndexChanged, this, &TCommForm::updateNetworkRow);
    // Text typed over a network item makes it a typed device: the row no longer applies.
    connect(ComboBox3, &QComboBox::editTextChanged, this, &TCommForm::updateNetworkRow);

    FormCreate();
    // Only now: FormCreate has chosen the port whose devices are shown.
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TCommForm::showDevicesOfPort);
}

void TCommForm::FormCreate()
{
    ComboBox1->setCurrentIndex(0);
    ComboBox2->setCurrentIndex(0);
    CommSettings saved{QString(), 0};
    m_deviceMap.clear();
    ui::guarded([this, &saved] {
        saved = ReadSavedCommSettings(programDirectory());
        m_deviceMap = ReadDeviceMap(programDirectory());
    });
    if (const int i = portChoiceIndex(saved.port); i >= 0)
        ComboBox1->setCurrentIndex(i);
    if (const int i = choiceIndexOf(speedChoices(), saved.speed); i >= 0)
        ComboBox2->setCurrentIndex(i);
    m_devices = m_scan();
    showDevicesOfPort();
}

void TCommForm::RefreshDevices()
{
    m_devices = m_scan();
    showDevicesOfPort();
}

QString TCommForm::mappedDevice() const
{
    return m_deviceMap.value(portNumber(ComboBox1->currentText())).trimmed();
}

void TCommForm::showDevicesOfPort()
{
    const int port = portNumber(ComboBox1->currentText());
    m_choices = buildDeviceChoices(m_devices.found, m_devices.stable, mappedDevice(), unmappedDevicePath(port));
    m_choices.append(networkDeviceChoice());
    ComboBox3->clear();
    for (const DeviceChoice &c : std::as_const(m_choices))
        ComboBox3->addItem(c.text, c.device);
    ComboBox3->setCurrentIndex(0);
    showChosenDevice();
    // The list may be wider than the box: stable names run to some 70 characters.
    ComboBox3->view()->setMinimumWidth(ComboBox3->view()->sizeHintForColumn(0) + 24);
}

void TCommForm::showChosenDevice()
{
    // The device name is the start of the text: keep it in view, not the end of the details.
    ComboBox3->lineEdit()->setCursorPosition(0);
    ComboBox3->setToolTip(ComboBox3->currentText());

    // A network device already set up fills the address row.
    const int i = ComboBox3->currentIndex();
    DeviceAddress address;
    if (i >= 0 && i < m_choices.size() && m_choices.at(i).network && !m_choices.at(i).device.isEmpty()
        && parseDeviceAddress(m_choices.at(i).device, &address) && address.isNetwork()) {
        NetAddressEdit->setText(hostPortText(address.host, address.port));
        NetModeBox->setCurrentIndex(address.transport == DeviceTransport::ModbusTcp ? 1 : 0);
        NetUnitBox->setValue(address.transport == DeviceTransport::ModbusTcp ? address.unit : 1);
    }
    updateNetworkRow();
    if (networkChosen() && NetAddressEdit->text().isEmpty())
        NetAddressEdit->setFocus();
}

void TCommForm::updateNetworkRow()
{
    const bool network = networkChosen();
    NetAddressEdit->setEnabled(network);
    NetModeBox->setEnabled(network);
    NetUnitBox->setEnabled(network && chosenTransport() == DeviceTransport::ModbusTcp);
    TestButton->setEnabled(network && !m_probe->running());
}

bool TCommForm::networkChosen() const
{
    const int i = ComboBox3->currentIndex();
    return i >= 0 && i < m_choices.size() && m_choices.at(i).network && ComboBox3->currentText() == m_choices.at(i).text;
}

DeviceTransport TCommForm::chosenTransport() const
{
    return NetModeBox->currentIndex() == 1 ? DeviceTransport::ModbusTcp : DeviceTransport::RtuOverTcp;
}

QString TCommForm::networkDevice(QString *error) const
{
    return networkDeviceString(NetAddressEdit->text(), chosenTransport(), NetUnitBox->value(), error);
}

void TCommForm::TestNetworkDevice()
{
    QString error;
    const QString device = networkDevice(&error);
    if (device.isEmpty()) {
        NetResultLabel->setText(error);
        return;
    }
    TestButton->setEnabled(false);
    NetResultLabel->setText(QStringLiteral("正在测试 %1 …").arg(deviceDisplayText(device)));
    m_probe->start(device, SysParams.ChannelCount == 32 ? 64 : 32);
}

void TCommForm::BitBtn1Click()
{
    // Both boxes are fixed lists, so an item is always selected; the first one stands in
    // should that ever not hold.
    const int port = std::max(0, ComboBox1->currentIndex());
    const int speed = std::max(0, ComboBox2->currentIndex());
    const QString portName = portChoices().at(port);
    const int number = portNumber(portName);
    QString error;
    const bool network = networkChosen();
    const QString device = network ? networkDevice(&error) : chosenDevice(ComboBox3->currentText(), m_choices, &error);
    if (device.isEmpty()) {
        ui::showValidationError(error, this);
        if (network)
            NetAddressEdit->setFocus();
        else
            ComboBox3->setFocus();
        return;
    }
    WriteCommSettings(programDirectory(), portName, speedChoices().at(speed).value);
    if (deviceMappingChanges(device, mappedDevice(), unmappedDevicePath(number)))
        WriteDeviceMapping(programDirectory(), number, device);
    ui::showMessage(QStringLiteral("设置成功！请重新运行程序！"), this);
    accept();
}
