#include "DataModuleFrm.h"

#include "Functions.h"
#include "SharedState.h"
#include "Ui.h"

#include <QDir>

QString MonthTableName(int year, int month)
{
    return QStringLiteral("Pv%1%2.Dat").arg(year).arg(month);
}

QString DataDirectory() { return QDir(programDirectory()).filePath(QStringLiteral("Data")); }

void defineMonthTable(db::TTable &table)
{
    table.FieldDefs.clear();
    table.FieldDefs.append({QStringLiteral("DateTime"), db::FieldType::DateTime, 0, false});
    for (int k = 1; k <= MaxChannels; ++k)
        table.FieldDefs.append({QStringLiteral("PV%1").arg(k), db::FieldType::Text, 10, false});
    table.IndexDefs.clear();
    table.IndexDefs.append({QString(), QStringLiteral("DateTime"), true});
}

TDataModule1::TDataModule1(QObject *parent) : QObject(parent)
{
    ui::guarded([this] { DataModuleCreate(); });
}

TDataModule1::TDataModule1(const QDate &today, QObject *parent) : QObject(parent)
{
    ui::guarded([this, today] { DataModuleCreate(today); });
}

void TDataModule1::DataModuleCreate() { DataModuleCreate(QDate::currentDate()); }

void TDataModule1::DataModuleCreate(const QDate &today)
{
    // No message when it exists or cannot be made: the table creation below then reports.
    QDir(programDirectory()).mkdir(QStringLiteral("Data"));
    RefreshDateTime(today);

    Ds_T.setDatabaseName(DataDirectory());
    Ds_T.setTableName(MonthTableName(CurrentYear, CurrentMonth));
    createWhenMissing(Ds_T);

    PrintData_T.setDatabaseName(DataDirectory());
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
