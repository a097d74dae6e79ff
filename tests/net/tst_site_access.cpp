// Who may write, with the broker configuration the package ships (packaging/mosquitto, its
// paths and ports moved into a temporary directory), a real mosquitto with TLS, PostgreSQL 15
// and the real qzcollect on its own account:
//  - a station's account publishing another station's topic is never stored, and cannot hide
//    the real station's record;
//  - anonymous clients, unknown passwords and the collector's name without its password are
//    refused;
//  - a client naming itself "qzcollect" with another account cannot take the collector's
//    session;
//  - the station's TLS=yes means TLS; the collector's password comes from a file or the
//    environment, never from the command line.

#include "CollectorFixture.h"
#include "MqttSubscriber.h"
#include "SiteLink.h"
#include "SiteServers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace collectorfixture;

namespace {
QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
} // namespace

class TestSiteAccess : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    PostgresServer m_pg;
    MosquittoServer m_broker;
    quint16 m_tlsPort = 0;
    quint16 m_plainPort = 0;
    QString m_ca;
    QString m_passwordFile; // the collector's
    std::unique_ptr<CollectorProcess> m_collector;

    QStringList collectorArgs() const
    {
        return {QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(m_tlsPort), QStringLiteral("--tls"),
                QStringLiteral("--cafile"), m_ca, QStringLiteral("--user"), QStringLiteral("qzcollect"),
                QStringLiteral("--db"), m_pg.conninfo()};
    }
    QString sql(const QString &statement) { return m_pg.scalar(statement); }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pg.start(&error), qPrintable(error));
        const QString dir = m_broker.dir();
        QVERIFY(QDir(dir).mkpath(QStringLiteral("tls")) && QDir(dir).mkpath(QStringLiteral("certs"))
                && QDir(dir).mkpath(QStringLiteral("ca_certificates")));
        QVERIFY2(makeTestCertificates(dir + QStringLiteral("/tls"), &error), qPrintable(error));
        m_ca = dir + QStringLiteral("/ca_certificates/qz-ca.crt");
        QVERIFY(QFile::copy(dir + QStringLiteral("/tls/ca.crt"), m_ca));
        QVERIFY(QFile::copy(dir + QStringLiteral("/tls/broker.crt"), dir + QStringLiteral("/certs/qz-broker.crt")));
        QVERIFY(QFile::copy(dir + QStringLiteral("/tls/broker.key"), dir + QStringLiteral("/certs/qz-broker.key")));
        const QString passwd = dir + QStringLiteral("/qzmonitor.passwd");
        for (const auto &[user, password] : {std::pair{"qzcollect", "c-pw"}, std::pair{"tank-a", "a-pw"}, std::pair{"tank-b", "b-pw"}})
            QVERIFY2(addBrokerAccount(passwd, QString::fromLatin1(user), QString::fromLatin1(password), &error), qPrintable(error));
        QVERIFY(writeFile(dir + QStringLiteral("/qzmonitor.acl"),
                          readFile(QStringLiteral(QZ_SOURCE_DIR "/packaging/mosquitto/qzmonitor.acl"))));

        // The shipped file, with its listeners on free loopback ports and its files here.
        QByteArray conf = readFile(QStringLiteral(QZ_SOURCE_DIR "/packaging/mosquitto/qzmonitor.conf"));
        QVERIFY(conf.contains("\nlistener 8883\n") && conf.contains("\nlistener 1883 127.0.0.1\n"));
        // Client ids are account names on every listener (a per-listener setting in mosquitto).
        QCOMPARE(conf.count("\nlistener "), conf.count("\nlistener 8883\nuse_username_as_clientid true\n")
                                                 + conf.count("\nlistener 1883 127.0.0.1\nuse_username_as_clientid true\n"));
        m_tlsPort = freeLoopbackPort();
        do
            m_plainPort = freeLoopbackPort();
        while (m_plainPort == m_tlsPort);
        conf.replace("\nlistener 8883\n", "\nlistener " + QByteArray::number(m_tlsPort) + " 127.0.0.1\n");
        conf.replace("\nlistener 1883 127.0.0.1\n", "\nlistener " + QByteArray::number(m_plainPort) + " 127.0.0.1\n");
        conf.replace("/etc/mosquitto/", QFile::encodeName(dir) + '/');
        m_broker.setConfiguration(conf, m_tlsPort);
        QVERIFY2(m_broker.start(&error), qPrintable(error));
        QVERIFY(waitForListener(m_plainPort, 5000));

        m_passwordFile = m_tmp.filePath(QStringLiteral("collector.pw"));
        QVERIFY(writeFile(m_passwordFile, "c-pw\n"));
        QFile::setPermissions(m_passwordFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        m_collector = std::make_unique<CollectorProcess>(m_tmp.filePath(QStringLiteral("collector.log")));
        m_collector->start(collectorArgs() << QStringLiteral("--password-file") << m_passwordFile);
        QTRY_VERIFY_WITH_TIMEOUT(m_collector->log().contains(QStringLiteral("subscribed at")), 15000);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "collector:\n" << m_collector->log() << "\nbroker:\n" << m_broker.log();
    }

    void cleanupTestCase()
    {
        if (m_collector)
            m_collector->terminate();
    }

    void stationsWriteOnlyTheirOwnTopics()
    {
        // tank-a writes as tank-b (a record for the same second tank-b will send, and its
        // "offline"), then as itself. The broker refuses the forged messages (and may drop the
        // connection for them), each before it takes the next connection's message.
        auto asTankA = [&](const QString &topic, const QByteArray &payload) {
            Publisher a;
            QVERIFY(a.start(QStringLiteral("127.0.0.1"), m_tlsPort, QStringLiteral("tank-a"), QStringLiteral("tank-a"),
                            QStringLiteral("a-pw"), true, m_ca));
            a.publish(topic, payload); // acknowledged or not: the broker's choice for a denied message
            a.link().stop();
        };
        asTankA(QStringLiteral("qz/tank-b/record"), recordPayload(100, 666.0));
        asTankA(QStringLiteral("qz/tank-b/status"), R"({"station":"tank-b","online":false})");
        Publisher a;
        QVERIFY(a.start(QStringLiteral("127.0.0.1"), m_tlsPort, QStringLiteral("tank-a"), QStringLiteral("tank-a"),
                        QStringLiteral("a-pw"), true, m_ca));
        QVERIFY(a.publish(QStringLiteral("qz/tank-a/record"), recordPayload(100, 1.0)));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT aa1 FROM qz_record WHERE station = 'tank-a'")), QStringLiteral("1"), 15000);
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station = 'tank-b'")), QStringLiteral("0"));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_station WHERE name = 'tank-b'")), QStringLiteral("0"));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_rejected")), QStringLiteral("0")); // never reached the collector
        a.link().stop();

        // tank-b itself, as a station configures it: TLS=yes is TLS (the port takes nothing else).
        QTemporaryDir home;
        QVERIFY(writeFile(home.filePath(QStringLiteral("KTcom.ini")),
                          QStringLiteral("[mqtt]\r\nHost=127.0.0.1\r\nPort=%1\r\nStation=tank-b\r\nUser=tank-b\r\nPassword=b-pw\r\n"
                                         "TLS=yes\r\nCAFile=%2\r\n")
                              .arg(m_tlsPort)
                              .arg(m_ca)
                              .toUtf8()));
        SiteLink link;
        link.start(home.path());
        QVERIFY(link.settings().tls);
        QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT online FROM qz_station WHERE name = 'tank-b'")), QStringLiteral("t"), 10000);
        link.shutdown();
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT online FROM qz_station WHERE name = 'tank-b'")), QStringLiteral("f"), 10000);
        Publisher b;
        QVERIFY(b.start(QStringLiteral("127.0.0.1"), m_tlsPort, QStringLiteral("tank-b"), QStringLiteral("tank-b"),
                        QStringLiteral("b-pw"), true, m_ca));
        QVERIFY(b.publish(QStringLiteral("qz/tank-b/record"), recordPayload(100, 2.0)));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT aa1 FROM qz_record WHERE station = 'tank-b'")), QStringLiteral("2"), 15000);
        b.link().stop();
    }

    void strangersAreRefused()
    {
        auto refused = [&](quint16 port, bool tls, const QString &user, const QString &password) {
            SiteSettings s;
            s.host = QStringLiteral("127.0.0.1");
            s.port = port;
            s.station = QStringLiteral("stranger");
            s.user = user;
            s.password = password;
            s.tls = tls;
            s.caFile = m_ca;
            MqttLink link;
            QSignalSpy gone(&link, &MqttLink::disconnected);
            QString error;
            if (!link.start(s, QStringLiteral("qz/stranger/status"), "{}", &error))
                return false;
            QTest::qWait(100);
            QElapsedTimer t;
            t.start();
            while (gone.isEmpty() && t.elapsed() < 10000)
                QTest::qWait(20);
            const bool wasRefused = !gone.isEmpty() && gone.first().at(0).toString().contains(QStringLiteral("refused"))
                && !link.isConnected();
            link.stop();
            return wasRefused;
        };
        QVERIFY(refused(m_tlsPort, true, QString(), QString()));                   // anonymous
        QVERIFY(refused(m_plainPort, false, QString(), QString()));                // anonymous, plain listener
        QVERIFY(refused(m_tlsPort, true, QStringLiteral("tank-a"), QStringLiteral("wrong")));
        QVERIFY(refused(m_tlsPort, true, QStringLiteral("qzcollect"), QString())); // the collector's name alone
        QVERIFY(refused(m_plainPort, false, QStringLiteral("nobody"), QStringLiteral("x")));
        // The collector's own client (MQTT 5) is refused the same way, with the reason said.
        MqttSubscriber::Options o;
        o.host = QStringLiteral("127.0.0.1");
        o.port = m_plainPort;
        o.connect.clientId = QStringLiteral("qzcollect");
        o.connect.user = QStringLiteral("qzcollect");
        o.connect.password = QStringLiteral("guess");
        o.filters = {QStringLiteral("qz/#")};
        MqttSubscriber thief(o);
        QSignalSpy problems(&thief, &MqttSubscriber::problem);
        thief.start();
        QTRY_VERIFY_WITH_TIMEOUT(!problems.isEmpty(), 10000);
        QVERIFY2(problems.first().at(0).toString().contains(QStringLiteral("refused the connection")),
                 qPrintable(problems.first().at(0).toString()));
        QVERIFY(!thief.isConnected());
        thief.stop();
        QCOMPARE(m_collector->count(QStringLiteral("broker connection lost")), 0);

        // A password on the command line is refused before anything else, and says why.
        QProcess p;
        p.start(QStringLiteral(QZ_BINARY_DIR "/tools/qzcollect/qzcollect"),
                {QStringLiteral("--broker"), QStringLiteral("127.0.0.1"), QStringLiteral("--db"), m_pg.conninfo(),
                 QStringLiteral("--user"), QStringLiteral("qzcollect"), QStringLiteral("--password"), QStringLiteral("c-pw")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("process list")));
    }

    void collectorSessionCannotBeTaken()
    {
        // Another account naming itself qzcollect gets a client id of its own account name.
        MqttSubscriber::Options o;
        o.host = QStringLiteral("127.0.0.1");
        o.port = m_plainPort;
        o.connect.clientId = QStringLiteral("qzcollect");
        o.connect.user = QStringLiteral("tank-a");
        o.connect.password = QStringLiteral("a-pw");
        o.filters = {QStringLiteral("qz/#")};
        MqttSubscriber impostor(o);
        QSignalSpy ready(&impostor, &MqttSubscriber::ready);
        impostor.start();
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty(), 10000);
        QTest::qWait(500);
        QCOMPARE(m_collector->count(QStringLiteral("broker connection lost")), 0);
        QVERIFY(!m_collector->log().contains(QStringLiteral("session taken over")));
        Publisher a;
        QVERIFY(a.start(QStringLiteral("127.0.0.1"), m_tlsPort, QStringLiteral("tank-a"), QStringLiteral("tank-a"),
                        QStringLiteral("a-pw"), true, m_ca));
        QVERIFY(a.publish(QStringLiteral("qz/tank-a/record"), recordPayload(200, 3.0)));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station = 'tank-a' AND aa1 = 3")),
                                  QStringLiteral("1"), 15000);
        impostor.stop();

        // The collector's session is its account's: while it is away the broker keeps what comes,
        // and it takes it when back, its password now from the environment.
        QCOMPARE(m_collector->terminate(), 0);
        QVERIFY(a.publish(QStringLiteral("qz/tank-a/record"), recordPayload(201, 4.0)));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QZ_MQTT_PASSWORD"), QStringLiteral("c-pw"));
        m_collector->start(collectorArgs(), env);
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station = 'tank-a' AND aa1 = 4")),
                                  QStringLiteral("1"), 15000);
        a.link().stop();
    }
};

QTEST_GUILESS_MAIN(TestSiteAccess)
#include "tst_site_access.moc"
