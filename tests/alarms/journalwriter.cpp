// A station writing its event journal, in its own process, for the kill -9 test:
//   journalwriter DIR FIRST   open DIR/Data/events.db and append for ever: alternately one
//                             event alone and a batch of three (as a flood writes them), the
//                             sequence number (FIRST, FIRST+1, …) in `detail`; print each
//                             number once the transaction holding it has committed
// An engine error prints "error: ..." and exits with 2.

#include "EventJournal.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: journalwriter DIR FIRST\n");
        return 1;
    }
    EventJournal journal(eventJournalPath(args.at(0)));
    try {
        journal.open();
        qint64 seq = args.at(1).toLongLong();
        for (int round = 0;; ++round) {
            QList<JournalEvent> batch;
            const int size = round % 2 == 0 ? 1 : 3;
            for (int i = 0; i < size; ++i, ++seq) {
                JournalEvent e;
                e.time = QDateTime::currentDateTime();
                e.source = AlarmSource::Limit;
                e.channel = int(seq % 32) + 1;
                e.name = QStringLiteral("油储温度%1").arg(e.channel);
                e.kind = LimitUpperKind;
                e.value = 80.5;
                e.transition = seq % 2 == 0 ? Transition::Raised : Transition::Returned;
                e.state = seq % 2 == 0 ? AlarmState::ActiveUnacked : AlarmState::ReturnedUnacked;
                e.detail = QString::number(seq);
                batch.append(e);
            }
            journal.append(batch);
            for (const JournalEvent &e : std::as_const(batch))
                std::printf("%s\n", qPrintable(e.detail)); // only after the commit returned
            std::fflush(stdout);
        }
    } catch (const AppError &e) {
        std::printf("error: %s\n", qPrintable(e.text()));
        return 2;
    }
}
