#include <QtTest>

#include "base/logging.h"
#include "base/loggingcontrol.h"

namespace {

struct Captured
{
    QtMsgType type;
    QString text;
    bool hasContext;
};

QList<Captured> g_captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    g_captured.append({type, text, context.file != nullptr || context.line != 0 || context.function != nullptr});
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shippedValuesWriteNothing();
    void filter_data();
    void filter();
    void lineFormatAndQuoting_data();
    void lineFormatAndQuoting();

private:
    QtMessageHandler m_previous = nullptr;
};

void TestLogging::init()
{
    g_captured.clear();
    m_previous = qInstallMessageHandler(capture);
}

void TestLogging::cleanup()
{
    qInstallMessageHandler(m_previous);
    LoggingControl::set(0, QStringLiteral("None"));
}

void TestLogging::shippedValuesWriteNothing()
{
    QCOMPARE(LoggingControl::verbosity(), 0);
    QCOMPARE(LoggingControl::categoryFilter(), QStringLiteral("None"));
    for (int level = 0; level <= 4; ++level) {
        for (const char *category : {"exec_command", "hlv_serials", "http_request", "hlv_vpn", "all", "None"})
            logMessage(level, category, "Test::run", QStringLiteral("text"));
        logMessage(level, "Test::run", QStringLiteral("short"));
    }
    QVERIFY(g_captured.isEmpty());
}

void TestLogging::filter_data()
{
    QTest::addColumn<int>("verbosity");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("category");
    QTest::addColumn<bool>("written");

    QTest::newRow("all admits any category") << 4 << "all" << 1 << "hlv_serials" << true;
    QTest::newRow("all admits level 4") << 4 << "all" << 4 << "exec_command" << true;
    QTest::newRow("level 0 never") << 4 << "all" << 0 << "hlv_vpn" << false;
    QTest::newRow("own category") << 4 << "hlv_vpn" << 3 << "hlv_vpn" << true;
    QTest::newRow("other category") << 4 << "hlv_vpn" << 3 << "hlv_serials" << false;
    QTest::newRow("filter is not a prefix") << 4 << "hlv" << 3 << "hlv_vpn" << false;
    QTest::newRow("category all needs filter all") << 4 << "hlv_vpn" << 1 << "all" << false;
    QTest::newRow("case-sensitive") << 4 << "HLV_VPN" << 1 << "hlv_vpn" << false;
    QTest::newRow("verbosity 0") << 0 << "all" << 1 << "hlv_vpn" << false;
    QTest::newRow("verbosity 2, level 1") << 2 << "all" << 1 << "hlv_vpn" << true;
    QTest::newRow("verbosity 2, level 2") << 2 << "all" << 2 << "hlv_vpn" << true;
    QTest::newRow("verbosity 2, level 3") << 2 << "all" << 3 << "hlv_vpn" << false;
    QTest::newRow("verbosity 3, level 3") << 3 << "all" << 3 << "hlv_vpn" << true;
    QTest::newRow("negative level passes") << 2 << "all" << -1 << "hlv_vpn" << true;
}

void TestLogging::filter()
{
    QFETCH(int, verbosity);
    QFETCH(QString, filter);
    QFETCH(int, level);
    QFETCH(QString, category);
    QFETCH(bool, written);

    LoggingControl::set(verbosity, filter);
    logMessage(level, category.toUtf8().constData(), "Unit::step", QStringLiteral("message"));
    QCOMPARE(g_captured.size(), written ? 1 : 0);
    if (written) {
        QCOMPARE(g_captured.first().type, QtInfoMsg);
        QVERIFY(!g_captured.first().hasContext);
    }

    g_captured.clear();
    logMessage(level, "Unit::step", QStringLiteral("short"));
    QCOMPARE(g_captured.size(), (written && filter == QLatin1String("all")) ? 1 : 0);
}

void TestLogging::lineFormatAndQuoting_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("line");

    QTest::newRow("plain") << "Not authenticated" << "Hlv::startVpnDevice(): \"Not authenticated\"";
    QTest::newRow("quote") << "say \"hi\"" << "Hlv::startVpnDevice(): \"say \\\"hi\\\"\"";
    QTest::newRow("line feed") << "two\nlines" << "Hlv::startVpnDevice(): \"two\\nlines\"";
    QTest::newRow("backslash") << "C:\\dir" << "Hlv::startVpnDevice(): \"C:\\\\dir\"";
    QTest::newRow("empty") << "" << "Hlv::startVpnDevice(): \"\"";
}

void TestLogging::lineFormatAndQuoting()
{
    QFETCH(QString, message);
    QFETCH(QString, line);

    LoggingControl::set(4, QStringLiteral("all"));
    logMessage(4, "hlv_vpn", "Hlv::startVpnDevice", message);
    QCOMPARE(g_captured.size(), 1);
    QCOMPARE(g_captured.first().text, line);
    QVERIFY(!g_captured.first().text.contains(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
