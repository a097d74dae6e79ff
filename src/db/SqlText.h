#pragma once
// A light reading of a query's SQL text: which named parameters (":Pdt1") it uses, which
// tables it reads (the names after FROM and JOIN), and whether it only reads. String literals,
// quoted identifiers and comments are skipped, so "':x'" is no parameter.

#include <QString>
#include <QStringList>
#include <functional>

namespace db {

struct ScannedSql {
    QString text;           // parameters replaced by '?', table names as the resolver asked
    QStringList parameters; // one entry per '?', in order, without the colon, as spelled
    QStringList tables;     // table names read, as written (quotes removed), each once
    bool readOnly = false;  // starts with SELECT, WITH or VALUES
};

// resolveTable gets each table name as written and returns the text to put in its place, or
// an empty string to leave it as written.
ScannedSql scanSql(const QString &sql, const std::function<QString(const QString &)> &resolveTable = {});

// A double-quoted SQL identifier.
QString quoteIdentifier(const QString &name);

} // namespace db
