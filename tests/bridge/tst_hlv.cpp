#include <QtTest>

#include <QDesktopServices>

#include <grp.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge/hlv.h"
#include "helperprocess.h"
#include "model/hlvsettings.h"
#include "testhome.h"
#include "urlrecorder.h"

namespace {

// What the page would learn of the rights.
struct RightsSeen
{
    bool present = false;
    bool canObtain = false;
    QString problem;
};

RightsSeen askRights(Hlv &hlv)
{
    RightsSeen seen;
    seen.present = hlv.checkRootPermissions();
    seen.canObtain = hlv.canObtainRootPermissions();
    seen.problem = hlv.rightsProblem();
    return seen;
}

// The same questions from a process of its own that runs as nobody, as a desktop
// user's application would ask them; false when no such process could be had.
bool askRightsUnprivileged(Hlv &hlv, RightsSeen *seen)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::close(channel[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        const RightsSeen answer = askRights(hlv);
        const QByteArray problem = answer.problem.toUtf8();
        if (::write(channel[1], problem.constData(), std::size_t(problem.size())) != problem.size())
            ::_exit(101);
        ::_exit((answer.present ? 1 : 0) | (answer.canObtain ? 2 : 0));
    }
    ::close(channel[1]);
    QByteArray problem;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
        problem.append(buffer, n);
    ::close(channel[0]);
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 3)
        return false;
    seen->present = WEXITSTATUS(status) & 1;
    seen->canObtain = WEXITSTATUS(status) & 2;
    seen->problem = QString::fromUtf8(problem);
    return true;
}

// Sets an environment variable for the life of this object.
struct ScopedVariable
{
    ScopedVariable(const char *name, const QByteArray &value)
        : name(name)
        , previous(qgetenv(name))
        , wasSet(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, value);
    }
    ~ScopedVariable() { wasSet ? qputenv(name, previous) : qunsetenv(name); }
    const char *name;
    QByteArray previous;
    bool wasSet;
};

} // namespace

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
    void rightsFollowTheHelper_data();
    void rightsFollowTheHelper();
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

void TestHlv::rightsFollowTheHelper_data()
{
    QTest::addColumn<QString>("helper");      // "running", "absent"
    QTest::addColumn<bool>("unprivileged");   // asked from a process running as nobody
    QTest::addColumn<QString>("launch");      // CORRIVO_VPN_LAUNCH
    QTest::addColumn<bool>("sudo");           // a sudo on the search path
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("canObtain");
    QTest::addColumn<QString>("problem");     // %1: the helper's socket

    QTest::newRow("helper accepts root") << "running" << false << "helper" << false << true << true << "";
    QTest::newRow("helper absent, sudo there")
        << "absent" << false << "helper" << true << false << true
        << "the helper corrivo2-helper is not running (nothing listens on %1)";
    QTest::newRow("helper absent, no sudo")
        << "absent" << false << "helper" << false << false << false
        << "the helper corrivo2-helper is not running (nothing listens on %1)";
    QTest::newRow("helper refuses a user outside its group")
        << "running" << true << "" << true << false << true
        << "user nobody (uid 65534) is not in the group root; ask an administrator to add you: "
           "sudo usermod -aG root nobody";
    QTest::newRow("direct start without root")
        << "absent" << true << "direct" << true << false << true
        << "Corrivo 2 runs without root rights (uid 65534) and CORRIVO_VPN_LAUNCH=direct keeps it from asking "
           "the helper corrivo2-helper";
}

void TestHlv::rightsFollowTheHelper()
{
    QFETCH(QString, helper);
    QFETCH(bool, unprivileged);
    QFETCH(QString, launch);
    QFETCH(bool, sudo);
    QFETCH(bool, present);
    QFETCH(bool, canObtain);
    QFETCH(QString, problem);
    if (!HelperProcess::unavailableReason().isEmpty())
        QSKIP("the helper, and a process as another user, need root");

    // The search path holds a stand-in sudo or nothing at all.
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    QVERIFY(QFile::setPermissions(bin.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther));
    if (sudo) {
        QFile stub(bin.filePath(QStringLiteral("sudo")));
        QVERIFY(stub.open(QIODevice::WriteOnly));
        stub.write("#!/bin/sh\nexit 1\n");
        stub.close();
        QVERIFY(stub.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    }
    const ScopedVariable path("PATH", QFile::encodeName(bin.path()));
    const ScopedVariable mode("CORRIVO_VPN_LAUNCH", launch.toUtf8());

    HelperProcess running;
    QTemporaryDir empty;
    QString socket = empty.filePath(QStringLiteral("helper.sock"));
    std::unique_ptr<ScopedVariable> absentSocket;
    if (helper == QLatin1String("running")) {
        QVERIFY2(running.start(), qPrintable(running.errorString()));
        socket = running.socketPath();
        // Anyone may reach the socket; the helper itself decides whom it serves.
        QVERIFY(QFile::setPermissions(running.directory(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                               | QFile::ReadOther | QFile::ExeOther));
    } else {
        absentSocket = std::make_unique<ScopedVariable>("CORRIVO_HELPER_SOCKET", QFile::encodeName(socket));
    }

    Hlv hlv;
    RightsSeen seen;
    if (unprivileged)
        QVERIFY2(askRightsUnprivileged(hlv, &seen), "no process running as nobody could be had");
    else
        seen = askRights(hlv);
    QCOMPARE(seen.problem, QString(problem).replace(QLatin1String("%1"), socket));
    QCOMPARE(seen.present, present);
    QCOMPARE(seen.canObtain, canObtain);
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
