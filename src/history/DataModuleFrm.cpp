#include "DataModuleFrm.h"

#include "AppError.h"
#include "Functions.h"
#include "SharedState.h"

#include <QDir>

QString MonthTableName(int year, int month)
{
    return QStringLiteral("Pv%1%2.Dat").arg(year).arg(month);
}

QString DataDirectory(const QString &programDir) { return QDir(programDir).filePath(QStringLiteral("Data")); }

void defineMonthTable(db::TTable &table)
{
    table.FieldDefs.clear();
    table.FieldDefs.append({QStringLiteral("DateTime"), db::FieldType::DateTime, 0, false});
    for (int k = 1; k <= MaxChannels; ++k)
        table.FieldDefs.append({QStringLiteral("PV%1").arg(k), db::FieldType::Text, 10, false});
    table.IndexDefs.clear();
    table.IndexDefs.append({QString(), QStringLiteral("DateTime"), true});
}

TDataModule1::TDataModule1(const QString &programDir, const QDate &today, QObject *parent)
    : QObject(parent), m_dir(programDir)
{
    try {
        DataModuleCreate(today);
    } catch (const AppError &e) {
        m_error = e.text();
    }
}

void TDataModule1::DataModuleCreate(const QDate &today)
{
    // No message when it exists or cannot be made: the table creation below then reports.
    QDir(m_dir).mkdir(QStringLiteral("Data"));
    RefreshDateTime(today);

    Ds_T.setDatabaseName(DataDirectory(m_dir));
    Ds_T.setTableName(MonthTableName(CurrentYear, CurrentMonth));
    createWhenMissing(Ds_T);

    PrintData_T.setDatabaseName(DataDirectory(m_dir));
    PrintData_T.setTableName(QStringLiteral("PrintData.Dat"));
    createWhenMissing(PrintData_T);
}

void TDataModule1::createWhenMissing(db::TTable &table)
{
    if (table.exists())
        return; // no check of an existing table's structure
    defineMonthTable(table);
    table.createTable();
}
