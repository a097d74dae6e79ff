#include "AlmFrm.h"

#include "DialogParts.h"
#include "NumberText.h"
#include "SettingsFiles.h"
#include "SettingsRows.h"
#include "WindowState.h"
#include "Ui.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>

TAlmForm *AlmForm = nullptr;
int32_t AlmChannelCount = 0;

namespace {
constexpr int AlmNameColumn = 1, StatusColumn = 2, ValueColumn = 3;
}

TAlmForm::TAlmForm(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("报警状态设置"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(414, 516);

    Panel1 = makePanel(this, 0, 0, 414, 41, SkyBlue);
    QLabel *title = makeLabel(Panel1, QStringLiteral("报警状态设置"), 0, 0, true);
    title->move((414 - title->width()) / 2, (41 - title->height()) / 2);

    StringGrid1 = new QTableWidget(this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setGeometry(0, 41, 414, 427);
    setupStringGrid(StringGrid1, 4, Grey);
    QFont bold = StringGrid1->font();
    bold.setBold(true);
    StringGrid1->setFont(bold);

    Menu = new QMenu(this);
    N1 = Menu->addAction(QStringLiteral("上限报警"), this, &TAlmForm::N1Click);
    N2 = Menu->addAction(QStringLiteral("下限报警"), this, &TAlmForm::N2Click);
    N3 = Menu->addAction(QStringLiteral("无报警"), this, &TAlmForm::N3Click);
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StringGrid1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { Menu->popup(StringGrid1->viewport()->mapToGlobal(pos)); });

    Panel2 = makePanel(this, 0, 468, 414, 48, SkyBlue);
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("&设置"), Panel2);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(96, 10, 89, 28);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("取消"), Panel2);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(232, 10, 89, 28);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { ui::guarded([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate();
}

TAlmForm::~TAlmForm()
{
    if (AlmForm == this)
        AlmForm = nullptr;
}

void TAlmForm::FormCreate()
{
    setFixedCell(StringGrid1, 0, 0, QStringLiteral(" 通道号"));
    setFixedCell(StringGrid1, 0, AlmNameColumn, QStringLiteral(" 名  称"));
    setFixedCell(StringGrid1, 0, StatusColumn, QStringLiteral(" 报警状态"));
    setFixedCell(StringGrid1, 0, ValueColumn, QStringLiteral(" 报警数值"));
    AlmChannelCount = SysParams.ChannelCount;
    FillGrid();
}

void TAlmForm::FillGrid()
{
    const int count = std::clamp<int>(AlmChannelCount, 0, MaxChannels);
    StringGrid1->setRowCount(count + 1);
    for (int n = 1; n <= count; ++n) {
        const int i = n - 1;
        setFixedCell(StringGrid1, n, 0, channelRowCaption(n));
        // An unnamed channel shows its default name; Option takes it only when the grid is saved.
        setFixedCell(StringGrid1, n, AlmNameColumn, Option.Names[i].isEmpty() ? defaultChannelName(n) : Option.Names[i]);
        // A mode the dialog has no text for leaves the cell as it is.
        const QString status = alarmModeText(Option.AlarmModes[i]);
        if (!status.isEmpty() || !StringGrid1->item(n, StatusColumn))
            setFixedCell(StringGrid1, n, StatusColumn, status);
        setEditCell(StringGrid1, n, ValueColumn, formatGeneral(Option.AlarmValues[i]));
    }
    // As in any grid, a cell is selected from the start: the first editable one.
    if (count > 0)
        StringGrid1->setCurrentCell(1, ValueColumn);
}

void TAlmForm::setCurrentStatus(int32_t mode)
{
    const int row = StringGrid1->currentRow();
    if (row < 1 || row >= StringGrid1->rowCount())
        return;
    setFixedCell(StringGrid1, row, StatusColumn, alarmModeText(mode));
}

void TAlmForm::N1Click() { setCurrentStatus(amUpper); }
void TAlmForm::N2Click() { setCurrentStatus(amLower); }
void TAlmForm::N3Click() { setCurrentStatus(amNone); }

void TAlmForm::BitBtn1Click()
{
    const int rowCount = StringGrid1->rowCount() - 1;
    if (const QString why = settingsSaveRefusal(rowCount); !why.isEmpty()) {
        ui::showValidationError(why, this);
        return;
    }
    QList<AlarmRowText> texts;
    for (int r = 1; r <= rowCount; ++r)
        texts.append({cellText(StringGrid1, r, AlmNameColumn), cellText(StringGrid1, r, StatusColumn),
                      cellText(StringGrid1, r, ValueColumn)});
    QList<AlarmRow> rows;
    const RowCheck check = checkAlarmRows(texts, &rows);
    if (!check.ok) {
        ui::showValidationError(check.message, this);
        StringGrid1->setCurrentCell(check.row, check.column);
        return;
    }

    // Memory and disk stay alike: a failed write leaves the previous alarm settings in memory.
    const TOption previous = Option;
    for (int i = 0; i < rows.size(); ++i) {
        Option.AlarmModes[i] = rows.at(i).mode;
        Option.AlarmValues[i] = rows.at(i).value;
        if (Option.Names[i].isEmpty())
            Option.Names[i] = defaultChannelName(i + 1);
    }
    try {
        SaveAlarmSettings(int(rows.size()));
    } catch (...) {
        Option = previous;
        throw;
    }
    accept();
}
