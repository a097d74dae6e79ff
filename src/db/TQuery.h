#pragma once
// A read-only query over the tables of one directory. The SQL text may name any table of the
// directory after FROM or JOIN ("select *  from wwdd"); each one is attached from its file by
// the same name-to-file rule as TTable. Named parameters (":Pdt1") are bound from the values
// set here; date-time parameters bind as the stored text, so range conditions on a date-time
// field compare as times.
//
// open() runs the query and fetches every row into compact memory (see RowStore), then lets
// go of the files: an open query holds no lock, and rows are read in any order by index.
// Sequential reading follows the usual data-set rules: first(), next(), eof(); next() on the
// last row sets eof() and stays on that row.

#include "DbError.h"
#include "RowStore.h"
#include "TableDefs.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QVariant>


namespace db {

class Connection;

class TQuery {
public:
    TQuery();
    ~TQuery();
    TQuery(const TQuery &) = delete;
    TQuery &operator=(const TQuery &) = delete;

    void setDatabaseName(const QString &dir);
    QString databaseName() const { return m_dir; }

    QStringList SQL; // the statement, one line per entry; changes take effect at the next open()

    // Parameter names are matched case-insensitively, with or without the leading colon.
    // An invalid date-time binds NULL.
    void setParamDateTime(const QString &name, const QDateTime &value);
    void clearParams();

    void open();  // opening an open query does nothing
    void close();
    bool active() const { return m_active; }

    // Sequential reading.
    void first();
    void next();
    bool eof() const;
    int recordCount() const;
    int currentRow() const; // -1 when there are no rows
    void seek(int row);     // clamped to the rows; past the end sets eof()

    // Fields of the result, in result order. Lookup by name is case-insensitive.
    int fieldCount() const;
    QStringList fieldNames() const;
    int fieldIndex(const QString &name) const; // -1 when unknown
    FieldType fieldType(int field) const;

    // Fields of the current row by name; an unknown name throws. Without a current row the
    // fields read as NULL.
    QDateTime fieldDateTime(const QString &name) const; // invalid for NULL or a non-date text
    QString fieldText(const QString &name) const;       // empty for NULL
    bool fieldIsNull(const QString &name) const;

    // Random access for a grid model; out-of-range rows and fields read as NULL.
    bool isNullAt(int row, int field) const;
    QDateTime dateTimeAt(int row, int field) const;
    qint64 msecsAt(int row, int field) const; // RowStore::NullMsecs for NULL
    QString textAt(int row, int field) const; // a date-time field gives its stored text form
    // The stored UTF-8 bytes of a text field, without a copy; valid until the query closes.
    // Empty for NULL, for a date-time field and out of range.
    QByteArrayView textBytesAt(int row, int field) const;

    // One column for a chart, in row order.
    // Numbers: the text of each row as a number (blanks around it allowed); NULL or a text that
    // is not a finite number gives notANumber, and so does every row of a date-time field.
    QList<double> columnNumbers(int field, double notANumber = 0.0) const;
    // Date-times as seconds since the epoch (the unit of a date-time chart axis); NaN for NULL.
    QList<double> columnSeconds(int field) const;

    qint64 memoryUsed() const { return m_rows.bytesUsed(); }

private:
    DbError error(const QString &operation, const QString &reason) const;
    int requireField(const QString &name) const;
    void fetch(const Connection &conn, const QString &sql, const QVariantList &values);

    QString m_dir;
    QHash<QString, QVariant> m_params; // lower-case name without colon -> bound value

    bool m_active = false;
    QStringList m_fieldNames;
    QList<FieldType> m_fieldTypes;
    QHash<QString, int> m_fieldIndex;
    RowStore m_rows;
    int m_row = -1;
    bool m_eof = true;
};

} // namespace db
