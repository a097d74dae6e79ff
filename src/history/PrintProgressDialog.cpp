#include "PrintProgressDialog.h"

#include "Ui.h"

#include <QProgressDialog>

PrintProgressDialog::PrintProgressDialog(QWidget *parent)
    : m_dialog(std::make_unique<QProgressDialog>(QStringLiteral("正在打印…"), QStringLiteral("取消"), 0, 1, parent))
{
    m_dialog->setWindowTitle(ui::AppTitle);
    m_dialog->setWindowModality(Qt::WindowModal); // setValue() then lets the cancel button work
    m_dialog->setMinimumDuration(500);
    m_dialog->setAutoClose(false);
    m_dialog->setAutoReset(false);
    m_dialog->reset(); // no timer runs before the job starts
}

PrintProgressDialog::~PrintProgressDialog() = default;

void PrintProgressDialog::start(int totalRows)
{
    m_dialog->setRange(0, qMax(1, totalRows));
    m_dialog->setValue(0);
}

bool PrintProgressDialog::advance(int rowsDone)
{
    m_dialog->setValue(rowsDone);
    return !m_dialog->wasCanceled();
}

void PrintProgressDialog::finish() { m_dialog->reset(); }
