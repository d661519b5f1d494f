#include <QtTest>

#include "serial/remoteaccessanswer.h"

using RemoteAccessAnswer::Problem;

Q_DECLARE_METATYPE(RemoteAccessAnswer::Problem)

class TestRemoteAccessAnswer : public QObject
{
    Q_OBJECT

private slots:
    void dstPort_data();
    void dstPort();
    void describesProblems();
};

void TestRemoteAccessAnswer::dstPort_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<int>("port");  // -1: none
    QTest::addColumn<Problem>("problem");

    const QByteArray head = "<?xml version=\"1.0\"?><remote_access><src_type>2</src_type>";
    const QByteArray tail = "</remote_access>";
    QTest::newRow("device answer") << head + "<dst_ip_port>4001</dst_ip_port>" + tail << 4001 << Problem::None;
    QTest::newRow("without declaration") << QByteArray("<r><dst_ip_port>1</dst_ip_port></r>") << 1 << Problem::None;
    QTest::newRow("highest port") << head + "<dst_ip_port>65535</dst_ip_port>" + tail << 65535 << Problem::None;
    QTest::newRow("blanks around") << head + "<dst_ip_port> 4002\n</dst_ip_port>" + tail << 4002 << Problem::None;
    QTest::newRow("nested deeper") << QByteArray("<a><b><dst_ip_port>4003</dst_ip_port></b></a>") << 4003 << Problem::None;
    QTest::newRow("last one counts") << head + "<dst_ip_port>4001</dst_ip_port><dst_ip_port>4004</dst_ip_port>" + tail
                                     << 4004 << Problem::None;
    QTest::newRow("last one unusable") << head + "<dst_ip_port>4001</dst_ip_port><dst_ip_port>x</dst_ip_port>" + tail
                                       << -1 << Problem::NoPort;
    QTest::newRow("missing") << head + tail << -1 << Problem::NoPort;
    QTest::newRow("zero") << head + "<dst_ip_port>0</dst_ip_port>" + tail << -1 << Problem::NoPort;
    QTest::newRow("above 65535") << head + "<dst_ip_port>65536</dst_ip_port>" + tail << -1 << Problem::NoPort;
    QTest::newRow("negative") << head + "<dst_ip_port>-4001</dst_ip_port>" + tail << -1 << Problem::NoPort;
    QTest::newRow("not a number") << head + "<dst_ip_port>serial</dst_ip_port>" + tail << -1 << Problem::NoPort;
    QTest::newRow("empty element") << head + "<dst_ip_port/>" + tail << -1 << Problem::NoPort;
    QTest::newRow("other case") << head + "<DST_IP_PORT>4001</DST_IP_PORT>" + tail << -1 << Problem::NoPort;
    QTest::newRow("unclosed") << QByteArray("<remote_access><dst_ip_port>4001</dst_ip_port>") << -1
                              << Problem::MalformedXml;
    QTest::newRow("element inside") << head + "<dst_ip_port><x>4001</x></dst_ip_port>" + tail << -1
                                    << Problem::MalformedXml;
    QTest::newRow("good port, then broken") << head + "<dst_ip_port>4001</dst_ip_port></oops>" + tail << -1
                                            << Problem::MalformedXml;
    QTest::newRow("empty") << QByteArray() << -1 << Problem::MalformedXml;
    QTest::newRow("not XML") << QByteArray("4001") << -1 << Problem::MalformedXml;
}

void TestRemoteAccessAnswer::dstPort()
{
    QFETCH(QByteArray, xml);
    QFETCH(int, port);
    QFETCH(Problem, problem);

    Problem found = Problem::None;
    const std::optional<quint16> result = RemoteAccessAnswer::dstPort(xml, &found);
    QCOMPARE(found, problem);
    QCOMPARE(result.has_value(), port >= 0);
    if (result)
        QCOMPARE(int(*result), port);
    // The problem is optional to ask for.
    QCOMPARE(RemoteAccessAnswer::dstPort(xml), result);
}

void TestRemoteAccessAnswer::describesProblems()
{
    QCOMPARE(RemoteAccessAnswer::describe(Problem::None), QString());
    QCOMPARE(RemoteAccessAnswer::describe(Problem::MalformedXml), QStringLiteral("XML has error"));
    QCOMPARE(RemoteAccessAnswer::describe(Problem::NoPort), QStringLiteral("No dst_ip_port"));
}

QTEST_GUILESS_MAIN(TestRemoteAccessAnswer)
#include "tst_remoteaccessanswer.moc"
