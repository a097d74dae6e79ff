#include "CommFrm.h"

#include "DialogParts.h"
#include "SettingsFiles.h"
#include "SettingsRows.h"
#include "SharedState.h"
#include "Ui.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

TCommForm::TCommForm(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("通讯参数设置："));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    resize(305, 203);

    // One panel fills the (resizable) window; the controls sit at fixed places on it.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    Panel1 = makePanel(this, 0, 0, 305, 203, palette().color(QPalette::Window));
    layout->addWidget(Panel1);

    QLabel *title = makeLabel(Panel1, QStringLiteral("通讯参数设置"), 0, 14, true);
    title->move((305 - title->width()) / 2, 14);

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

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("设置"), Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(48, 144, 89, 28);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("取消"), Panel1);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(168, 144, 89, 28);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { ui::guarded([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate();
}

void TCommForm::FormCreate()
{
    ComboBox1->setCurrentIndex(0);
    ComboBox2->setCurrentIndex(0);
    CommSettings saved{QString(), 0};
    ui::guarded([&saved] { saved = ReadSavedCommSettings(programDirectory()); });
    if (const int i = portChoiceIndex(saved.port); i >= 0)
        ComboBox1->setCurrentIndex(i);
    if (const int i = choiceIndexOf(speedChoices(), saved.speed); i >= 0)
        ComboBox2->setCurrentIndex(i);
}

void TCommForm::BitBtn1Click()
{
    // Both boxes are fixed lists, so an item is always selected; the first one stands in
    // should that ever not hold.
    const int port = std::max(0, ComboBox1->currentIndex());
    const int speed = std::max(0, ComboBox2->currentIndex());
    WriteCommSettings(programDirectory(), portChoices().at(port), speedChoices().at(speed).value);
    ui::showMessage(QStringLiteral("设置成功！请重新运行程序！"), this);
    accept();
}
