// A second station for the table tests, in its own process.
//   dbwriter append DIR TABLE FIRST   open TABLE for exclusive use and append records for ever:
//                                     datim = now, aa1 = the sequence number (FIRST, FIRST+1, ...),
//                                     aa2 = "  25.300"; print each number once its post returned
//   dbwriter hold DIR TABLE           open TABLE for exclusive use, print "held", keep it until
//                                     standard input closes, then close it and print "closed"
//   dbwriter open DIR TABLE MODE      MODE exclusive|shared: open once; print "ok" (exit 0) or
//                                     "error: " + the engine's text (exit 2)
// Any engine error prints "error: ..." and exits with 2.

#include "DbError.h"
#include "TTable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: dbwriter append DIR TABLE FIRST | hold DIR TABLE | open DIR TABLE exclusive|shared\n");
    return 1;
}

void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3)
        return usage();
    const QString command = args.at(0);
    db::TTable table;
    table.setDatabaseName(args.at(1));
    table.setTableName(args.at(2));
    try {
        if (command == QLatin1String("append") && args.size() == 4) {
            table.setExclusive(true);
            table.open();
            for (qint64 seq = args.at(3).toLongLong();; ++seq) {
                table.append();
                table.setFieldDateTime(QStringLiteral("datim"), QDateTime::currentDateTime());
                table.setFieldText(QStringLiteral("aa1"), QString::number(seq));
                table.setFieldText(QStringLiteral("aa2"), QStringLiteral("  25.300"));
                table.post();
                say(QString::number(seq)); // only after the commit returned
            }
        }
        if (command == QLatin1String("hold")) {
            table.setExclusive(true);
            table.open();
            say(QStringLiteral("held"));
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            table.close();
            say(QStringLiteral("closed"));
            return 0;
        }
        if (command == QLatin1String("open") && args.size() == 4) {
            table.setExclusive(args.at(3) == QLatin1String("exclusive"));
            table.open();
            say(QStringLiteral("ok"));
            return 0;
        }
    } catch (const db::DbError &e) {
        say(QStringLiteral("error: ") + e.text());
        return 2;
    }
    return usage();
}
