// Replays every committed corpus file through its fuzz harness: valid seeds and the inputs
// that once broke something. A failed check aborts with the harness's message.

#include "Harnesses.h"

#include <QDir>
#include <QtTest>

using Harness = int (*)(const uint8_t *, size_t);

class TestFuzzCorpus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replay_data()
    {
        QTest::addColumn<QString>("harness");
        QTest::addColumn<QString>("path");
        const QStringList harnesses = QStringLiteral(QZ_FUZZ_HARNESSES).split(u',');
        for (const QString &h : harnesses) {
            const QDir dir(QStringLiteral(QZ_SOURCE_DIR "/tests/fuzz/corpus/") + h);
            const QStringList files = dir.entryList(QDir::Files, QDir::Name);
            QVERIFY2(!files.isEmpty(), qPrintable(QStringLiteral("no corpus for ") + h));
            for (const QString &f : files)
                QTest::newRow(qPrintable(h + u'/' + f)) << h << dir.filePath(f);
        }
    }
    void replay()
    {
        QFETCH(QString, harness);
        QFETCH(QString, path);
        static const QHash<QString, Harness> harnesses = {
            {QStringLiteral("modbus_receive"), fuzzModbusReceive},
            {QStringLiteral("settings_files"), fuzzSettingsFiles},
            {QStringLiteral("history_rows"), fuzzHistoryRows},
            {QStringLiteral("mqtt_reader"), fuzzMqttReader},
            {QStringLiteral("site_payloads"), fuzzSitePayloads},
            {QStringLiteral("copy_text"), fuzzCopyText},
        };
        QVERIFY2(harnesses.contains(harness), qPrintable(harness));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QCOMPARE(harnesses.value(harness)(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())), 0);
    }
};

QTEST_MAIN(TestFuzzCorpus)
#include "tst_fuzz_corpus.moc"
