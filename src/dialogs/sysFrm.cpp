#include "sysFrm.h"

#include "DialogParts.h"
#include "NumberText.h"
#include "SettingsFiles.h"
#include "SettingsRows.h"
#include "WindowState.h"
#include "Ui.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>

namespace {
constexpr int NameColumn = 1, LowerColumn = 2, UpperColumn = 3, UnitColumn = 4;
}

TSysForm::TSysForm(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("系统参数设置"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(511, 577);

    Panel1 = makePanel(this, 0, 0, 511, 41, SkyBlue);
    Label1 = makeLabel(Panel1, QStringLiteral("系统参数设置"), 0, 0, true);
    Label1->move((511 - Label1->width()) / 2, (41 - Label1->height()) / 2);

    Panel2 = makePanel(this, 0, 41, 511, 48, SkyBlue);
    makeLabel(Panel2, QStringLiteral("仪表数目："), 24, 16);
    ComboBox1 = new QComboBox(Panel2);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(100, 12, 97, 24);
    for (const Choice &c : channelCountChoices())
        ComboBox1->addItem(c.text);
    makeLabel(Panel2, QStringLiteral("数据存盘时间："), 248, 16);
    ComboBox2 = new QComboBox(Panel2);
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    ComboBox2->setGeometry(352, 12, 97, 24);
    for (const Choice &c : storageIntervalChoices())
        ComboBox2->addItem(c.text);

    Panel3 = makePanel(this, 0, 89, 511, 440, SkyBlue);
    makeLabel(Panel3, QStringLiteral("仪表参数设置 "), 8, 6);
    StringGrid1 = new QTableWidget(Panel3);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setGeometry(4, 26, 503, 410);
    setupStringGrid(StringGrid1, 5, Silver);

    Panel4 = makePanel(this, 0, 529, 511, 48, SkyBlue);
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("&设置"), Panel4);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(128, 10, 89, 28);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("取消"), Panel4);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(296, 10, 89, 28);

    connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] { ComboBox1Change(); });
    connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { ComboBox1Change(); });
    // A file error reaches the standard error handler; the dialog stays open with the edits.
    connect(BitBtn1, &QPushButton::clicked, this, [this] { ui::guarded([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate();
}

void TSysForm::FormCreate()
{
    setFixedCell(StringGrid1, 0, 0, QStringLiteral(" 通道号"));
    setFixedCell(StringGrid1, 0, NameColumn, QStringLiteral(" 名  称"));
    setFixedCell(StringGrid1, 0, LowerColumn, QStringLiteral(" 下  限"));
    setFixedCell(StringGrid1, 0, UpperColumn, QStringLiteral(" 上  限"));
    setFixedCell(StringGrid1, 0, UnitColumn, QStringLiteral(" 单  位"));

    FChannelCount = SysParams.ChannelCount;
    FEdit = Option;
    {
        // Showing the saved values is no change by the operator.
        const QSignalBlocker b1(ComboBox1);
        const QSignalBlocker b2(ComboBox2);
        ComboBox1->setCurrentIndex(0);
        ComboBox2->setCurrentIndex(0);
        if (const int i = channelCountChoiceIndex(SysParams.ChannelCount); i >= 0)
            ComboBox1->setCurrentIndex(i);
        if (const int i = choiceIndexOf(storageIntervalChoices(), SysParams.StorageIntervalMs); i >= 0)
            ComboBox2->setCurrentIndex(i);
    }
    FillGrid();
}

void TSysForm::FillGrid()
{
    const int count = std::clamp(FChannelCount, 0, MaxChannels);
    StringGrid1->setRowCount(count + 1);
    for (int n = 1; n <= count; ++n) {
        const int i = n - 1;
        setFixedCell(StringGrid1, n, 0, channelRowCaption(n));
        if (FEdit.Names[i].isEmpty())
            FEdit.Names[i] = defaultChannelName(n);
        setEditCell(StringGrid1, n, NameColumn, FEdit.Names[i]);
        setEditCell(StringGrid1, n, LowerColumn, formatGeneral(FEdit.LowerLimits[i]));
        if (FEdit.LowerLimits[i] >= FEdit.UpperLimits[i])
            FEdit.UpperLimits[i] = FEdit.LowerLimits[i] + 10.0f;
        setEditCell(StringGrid1, n, UpperColumn, formatGeneral(FEdit.UpperLimits[i]));
        if (FEdit.Units[i].isEmpty())
            FEdit.Units[i] = DefaultUnit;
        setEditCell(StringGrid1, n, UnitColumn, FEdit.Units[i]);
    }
}

void TSysForm::ComboBox1Change()
{
    const int index = ComboBox1->currentIndex();
    if (index >= 0 && index < channelCountChoices().size())
        FChannelCount = channelCountChoices().at(index).value;

    // What the operator has typed so far stays in the rows that remain; only rows new to the
    // grid come from the settings.
    QList<QStringList> typed;
    for (int r = 1; r < StringGrid1->rowCount(); ++r) {
        QStringList row;
        for (int c = NameColumn; c <= UnitColumn; ++c)
            row << cellText(StringGrid1, r, c);
        typed << row;
    }
    StringGrid1->setRowCount(1);
    FillGrid();
    for (int r = 1; r < StringGrid1->rowCount() && r <= typed.size(); ++r) {
        for (int c = NameColumn; c <= UnitColumn; ++c)
            setEditCell(StringGrid1, r, c, typed.at(r - 1).at(c - NameColumn));
    }

    ui::showMessage(QStringLiteral("测量路数改变，请重启程序！！！"), this);
}

void TSysForm::BitBtn1Click()
{
    // Nothing is written, not even the count and interval, from settings that were never read.
    const int rowCount = StringGrid1->rowCount() - 1;
    if (const QString why = settingsSaveRefusal(rowCount); !why.isEmpty()) {
        ui::showValidationError(why, this);
        return;
    }
    if (const int i = ComboBox1->currentIndex(); i >= 0 && i < channelCountChoices().size())
        SysParams.ChannelCount = channelCountChoices().at(i).value;
    if (const int i = ComboBox2->currentIndex(); i >= 0 && i < storageIntervalChoices().size())
        SysParams.StorageIntervalMs = storageIntervalChoices().at(i).value;
    // Count and interval are saved before the grid is checked, so they hold even when a row fails.
    SaveSysParams();

    QList<ChannelRowText> texts;
    for (int r = 1; r <= rowCount; ++r)
        texts.append({cellText(StringGrid1, r, NameColumn), cellText(StringGrid1, r, LowerColumn),
                      cellText(StringGrid1, r, UpperColumn), cellText(StringGrid1, r, UnitColumn)});
    QList<ChannelRow> rows;
    const RowCheck check = checkChannelRows(texts, &rows);
    if (!check.ok) {
        ui::showValidationError(check.message, this);
        StringGrid1->setCurrentCell(check.row, check.column);
        return;
    }

    // Memory and disk stay alike: a failed write leaves the previous channel table in memory.
    const TOption previous = Option;
    for (int i = 0; i < rows.size(); ++i) {
        Option.Names[i] = rows.at(i).name;
        Option.Units[i] = rows.at(i).unit;
        Option.LowerLimits[i] = rows.at(i).lower;
        Option.UpperLimits[i] = rows.at(i).upper;
    }
    try {
        SaveChannelSettings(int(rows.size()));
    } catch (...) {
        Option = previous;
        throw;
    }
    accept();
}
