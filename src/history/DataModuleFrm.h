#pragma once
// The data module: created once at start-up by the station. It makes the Data directory and,
// when missing, the month table ("Pv" + year + month + ".Dat") and PrintData.Dat there.
// Neither table is opened afterwards.

#include "TTable.h"

#include <QDate>
#include <QObject>

// "Pv" + year + month + ".Dat", both in decimal without leading zeros: Pv20251.Dat.
QString MonthTableName(int year, int month);
// The Data directory in the program directory.
QString DataDirectory(const QString &programDir);
// Field and index definitions shared by the month table and PrintData.
void defineMonthTable(db::TTable &table);

class TDataModule1 : public QObject {
    Q_OBJECT

public:
    // Runs DataModuleCreate in programDir on the given day (the local clock's by default). A
    // failure is kept in error() (nobody waits on a box at start-up); the module still exists.
    explicit TDataModule1(const QString &programDir, const QDate &today = QDate::currentDate(),
                          QObject *parent = nullptr);

    db::TTable Ds_T;        // the month table
    db::TTable PrintData_T; // PrintData.Dat

    // Throws the first table-creation error; the remaining steps are then skipped.
    void DataModuleCreate(const QDate &today);

    // Why the creation at construction failed; empty when it did not.
    QString error() const { return m_error; }

private:
    static void createWhenMissing(db::TTable &table);

    QString m_dir;
    QString m_error;
};
