#pragma once
// The data module: created once at start-up. It makes the Data directory and, when missing,
// the month table ("Pv" + year + month + ".Dat") and PrintData.Dat there. Neither table is
// opened afterwards.

#include "TTable.h"

#include <QDate>
#include <QObject>

// "Pv" + year + month + ".Dat", both in decimal without leading zeros: Pv20251.Dat.
QString MonthTableName(int year, int month);
// The Data directory in the program directory.
QString DataDirectory();
// Field and index definitions shared by the month table and PrintData.
void defineMonthTable(db::TTable &table);

class TDataModule1 : public QObject {
    Q_OBJECT

public:
    // Runs DataModuleCreate on the local clock; an error in it reaches the standard error
    // handler and the module still exists.
    explicit TDataModule1(QObject *parent = nullptr);
    // The same on a given day (tests).
    explicit TDataModule1(const QDate &today, QObject *parent = nullptr);

    db::TTable Ds_T;        // the month table
    db::TTable PrintData_T; // PrintData.Dat

    // Throws the first table-creation error; the remaining steps are then skipped.
    void DataModuleCreate();
    void DataModuleCreate(const QDate &today);

private:
    static void createWhenMissing(db::TTable &table);
};
