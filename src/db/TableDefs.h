#pragma once
// Field and index definitions of a table, as the creator lists them.

#include <QString>

namespace db {

enum class FieldType {
    DateTime, // stored as ISO-8601 local time with milliseconds, "yyyy-MM-ddTHH:mm:ss.zzz"
    Text,     // fixed-size text; the size is declared in the schema, texts are stored whole
};

struct FieldDef {
    QString name;
    FieldType type = FieldType::Text;
    int size = 0; // characters of a text field; 0 means no declared size
    bool required = false;
};

struct IndexDef {
    QString name;   // may be empty (a primary index needs none; others get a derived name)
    QString fields; // field names separated by ';'
    bool primary = false;
};

} // namespace db
