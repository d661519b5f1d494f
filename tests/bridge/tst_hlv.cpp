#include <QtTest>

#include <QDesktopServices>

#include "bridge/hlv.h"
#include "model/hlvsettings.h"
#include "testhome.h"
#include "urlrecorder.h"

class TestHlv : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void pageFiles_data();
    void pageFiles();
    void identity();
    void languageDefaultsToSystemLocale();
    void languagePersists();
    void tourFlagsAreIndependentAndPersist();
    void rightsQueriesAnswerTrue_data();
    void rightsQueriesAnswerTrue();
    void forgotPasswordOpensRecoveryPage();
    void killEmitsOnKill();
    void debugWritesQuotedText();
};

void TestHlv::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestHlv::init()
{
    TestHome::wipe();
}

void TestHlv::pageFiles_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no such page") << "nothere" << "";
    QTest::newRow("empty name") << "" << "";
    // Names sort without regard to case; only a lower-case "js" suffix is wrapped.
    QTest::newRow("test page") << "testpage"
                               << "<script type='application/javascript'>var a = 1;</script>"
                                  "<p>b</p>"
                                  "var c = 3;"
                                  "p { color: red; }";
}

void TestHlv::pageFiles()
{
    QFETCH(QString, page);
    QFETCH(QString, expected);

    Hlv hlv;
    QCOMPARE(hlv.getAllPageFiles(page), expected);
}

void TestHlv::identity()
{
    Hlv hlv;
    QCOMPARE(hlv.getApplicationName(), QStringLiteral("Corrivo 2"));
    QCOMPARE(hlv.getApplicationVersion(), QStringLiteral("2.0.1"));
    QVERIFY(hlv.property("api").value<Api *>());
    QVERIFY(hlv.property("auth").value<Auth *>());
    QVERIFY(hlv.property("vpn").value<VidEru *>());
    QVERIFY(hlv.property("virtualSerialPortsManager").value<VirtualSerialPortsManager *>());
}

void TestHlv::languageDefaultsToSystemLocale()
{
    QCOMPARE(QLocale::system().name(), QStringLiteral("de_DE"));
    Hlv hlv;
    QCOMPARE(hlv.property("language").toString(), QStringLiteral("de"));
}

void TestHlv::languagePersists()
{
    {
        Hlv hlv;
        hlv.setLanguage(QStringLiteral("it"));
        QCOMPARE(hlv.property("language").toString(), QStringLiteral("it"));
    }
    Hlv restarted;
    QCOMPARE(restarted.property("language").toString(), QStringLiteral("it"));
    HlvSettings settings;
    QCOMPARE(settings.value(QStringLiteral("hlv/language")).toString(), QStringLiteral("it"));
}

void TestHlv::tourFlagsAreIndependentAndPersist()
{
    {
        Hlv hlv;
        QVERIFY(hlv.tour1IsNeeded());
        QVERIFY(hlv.tour2IsNeeded());
        QVERIFY(hlv.tour3IsNeeded());
        QVERIFY(hlv.tour4IsNeeded());
        hlv.tour2IsNotNeeded();
        QVERIFY(!hlv.tour2IsNeeded());
        hlv.tour2IsNotNeeded();
        QVERIFY(!hlv.tour2IsNeeded());
    }
    Hlv restarted;
    QVERIFY(restarted.tour1IsNeeded());
    QVERIFY(!restarted.tour2IsNeeded());
    QVERIFY(restarted.tour3IsNeeded());
    QVERIFY(restarted.tour4IsNeeded());
    restarted.tour4IsNotNeeded();
    QVERIFY(restarted.tour1IsNeeded());
    QVERIFY(restarted.tour3IsNeeded());
    QVERIFY(!restarted.tour4IsNeeded());
}

void TestHlv::rightsQueriesAnswerTrue_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("empty") << "";
    QTest::newRow("text") << "secret";
    QTest::newRow("quote") << "it's";
}

void TestHlv::rightsQueriesAnswerTrue()
{
    QFETCH(QString, password);
    Hlv hlv;
    QVERIFY(hlv.canObtainRootPermissions());
    QVERIFY(hlv.checkRootPermissions());
    QVERIFY(hlv.checkRootPermissionsWithPassword(password));
}

void TestHlv::forgotPasswordOpensRecoveryPage()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    Hlv hlv;
    hlv.forgotPassword();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QCOMPARE(recorder.urls.size(), 1);
    const QUrl url = recorder.urls.first();
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QVERIFY(!url.host().isEmpty());
    QCOMPARE(url.path(), QStringLiteral("/auth//forgot"));
}

void TestHlv::killEmitsOnKill()
{
    Hlv hlv;
    QSignalSpy spy(&hlv, &Hlv::onKill);
    hlv.kill();
    QCOMPARE(spy.size(), 1);
}

void TestHlv::debugWritesQuotedText()
{
    Hlv hlv;
    QTest::ignoreMessage(QtDebugMsg, "\"page says \\\"hi\\\"\"");
    hlv.debug(QStringLiteral("page says \"hi\""));
}

QTEST_MAIN(TestHlv)
#include "tst_hlv.moc"
