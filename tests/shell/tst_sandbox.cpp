#include <QtTest>

#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shell/sandbox.h"

namespace {

// The user that the non-root runs take when the test itself runs as root.
constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

// Runs check in a process of its own as a user without root rights (this process
// already is one when the test does not run as root) and returns its exit code, or
// -1 when no such process could be had.
int runUnprivileged(const std::function<int()> &check)
{
    if (::geteuid() != 0)
        return check();
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(NoGroup) != 0 || ::setuid(Nobody) != 0)
            ::_exit(100);
        ::_exit(check());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Restores the two variables the function under test touches.
struct EnvironmentGuard
{
    EnvironmentGuard()
        : disable(qgetenv("QTWEBENGINE_DISABLE_SANDBOX"))
        , hadDisable(qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        , flags(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"))
        , hadFlags(qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
    {
    }
    ~EnvironmentGuard()
    {
        hadDisable ? qputenv("QTWEBENGINE_DISABLE_SANDBOX", disable) : qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
        hadFlags ? qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags) : qunsetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    }
    QByteArray disable;
    bool hadDisable;
    QByteArray flags;
    bool hadFlags;
};

} // namespace

class TestSandbox : public QObject
{
    Q_OBJECT

private slots:
    void unprivilegedRunKeepsTheSandbox_data();
    void unprivilegedRunKeepsTheSandbox();
    void rootRunDisablesTheSandbox();
    void commandLineEngineArguments_data();
    void commandLineEngineArguments();
};

void TestSandbox::unprivilegedRunKeepsTheSandbox_data()
{
    QTest::addColumn<QByteArray>("inheritedDisable");  // "-" for not set
    QTest::addColumn<QByteArray>("inheritedFlags");    // "-" for not set
    QTest::addColumn<QByteArray>("expectedFlags");     // "-" for not set
    QTest::newRow("clean environment") << QByteArray("-") << QByteArray("-") << QByteArray("-");
    QTest::newRow("inherited disable variable") << QByteArray("1") << QByteArray("-") << QByteArray("-");
    QTest::newRow("inherited --no-sandbox flag")
        << QByteArray("-") << QByteArray("--enable-logging --no-sandbox  --v=1") << QByteArray("--enable-logging --v=1");
    QTest::newRow("other flags untouched") << QByteArray("-") << QByteArray("--enable-logging") << QByteArray("--enable-logging");
    QTest::newRow("empty disable variable") << QByteArray("") << QByteArray("-") << QByteArray("-");
    QTest::newRow("disable variable 0") << QByteArray("0") << QByteArray("--v=1") << QByteArray("--v=1");

    // Every spelling Chromium reads as a switch: "--" or "-", with or without a value.
    const QByteArray none("-");
    const auto row = [none](const char *name, const char *flags, const char *expected = nullptr) {
        QTest::newRow(name) << none << QByteArray(flags) << (expected ? QByteArray(expected) : none);
    };
    row("--no-sandbox=1", "--no-sandbox=1");
    row("--no-sandbox=0", "--no-sandbox=0");
    row("-no-sandbox", "-no-sandbox");
    row("-no-sandbox=", "-no-sandbox=");
    row("--single-process", "--single-process");
    row("-single-process among others", "--enable-logging -single-process=1 --v=1", "--enable-logging --v=1");
    row("--disable-setuid-sandbox", "--disable-setuid-sandbox");
    row("--disable-namespace-sandbox", "--disable-namespace-sandbox");
    row("--disable-seccomp-filter-sandbox", "--disable-seccomp-filter-sandbox");
    row("--no-zygote with --no-sandbox", "--no-zygote --no-sandbox");
    row("--no-zygote alone", "--no-zygote");
    row("--in-process-gpu", "--in-process-gpu");
    row("--renderer-cmd-prefix", "--renderer-cmd-prefix=gdb");
    row("--utility-cmd-prefix", "-utility-cmd-prefix=strace");
    row("--gpu-launcher", "--gpu-launcher=x");
    row("--browser-subprocess-path", "--browser-subprocess-path=/tmp/x");
    row("--js-flags", "--js-flags=--jitless");
    row("--disable-features", "--disable-features=NetworkServiceSandbox");
    row("--remote-debugging-port", "--remote-debugging-port=9222");
    row("--disable-web-security", "--disable-web-security");
    row("capitals", "--No-Sandbox");
    row("quoted", "\"--no-sandbox\"");
    row("quoted in pieces", "--no-\"sand\"box");
    row("tab separated", "--enable-logging\t--no-sandbox", "--enable-logging");
    row("newline separated", "--v=1\n-no-sandbox", "--v=1");
    row("value hiding a switch", "--use-gl=\"egl --no-sandbox\"");
    row("after the end of switches", "--disable-gpu -- --no-sandbox", "--disable-gpu");
    row("plain argument", "--disable-gpu about:blank", "--disable-gpu");
    row("one dash kept, written anew", "-v=1 -disable-gpu", "--v=1 --disable-gpu");
    row("three dashes", "---no-sandbox");
}

void TestSandbox::unprivilegedRunKeepsTheSandbox()
{
    QFETCH(QByteArray, inheritedDisable);
    QFETCH(QByteArray, inheritedFlags);
    QFETCH(QByteArray, expectedFlags);
    const EnvironmentGuard guard;
    inheritedDisable == "-" ? qunsetenv("QTWEBENGINE_DISABLE_SANDBOX") : qputenv("QTWEBENGINE_DISABLE_SANDBOX", inheritedDisable);
    inheritedFlags == "-" ? qunsetenv("QTWEBENGINE_CHROMIUM_FLAGS") : qputenv("QTWEBENGINE_CHROMIUM_FLAGS", inheritedFlags);

    // Exit codes of the check: 0 as expected, 1 the sandbox is disabled, 2 the flags differ.
    const int result = runUnprivileged([expectedFlags] {
        configureWebEngineSandbox();
        if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            return 1;
        const bool flagsSet = qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS");
        if (expectedFlags == "-" ? flagsSet : qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") != expectedFlags)
            return 2;
        return 0;
    });
    QVERIFY2(result >= 0 && result != 100, "no process without root rights could be had");
    QCOMPARE(result, 0);
}

void TestSandbox::rootRunDisablesTheSandbox()
{
    if (::geteuid() != 0)
        QSKIP("the run as root needs root");
    const EnvironmentGuard guard;
    qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    configureWebEngineSandbox();
    QCOMPARE(qgetenv("QTWEBENGINE_DISABLE_SANDBOX"), QByteArray("1"));
}

void TestSandbox::commandLineEngineArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("carries");
    QTest::newRow("none") << QStringList{} << false;
    QTest::newRow("ours") << QStringList{QStringLiteral("--log=4")} << false;
    QTest::newRow("separator") << QStringList{QStringLiteral("--webEngineArgs"), QStringLiteral("--no-sandbox")} << true;
    QTest::newRow("after --") << QStringList{QStringLiteral("--"), QStringLiteral("--webEngineArgs")} << true;
    QTest::newRow("capitals") << QStringList{QStringLiteral("--WEBENGINEARGS")} << true;
    // Qt compares without case, with Unicode's folding: the long s is an s.
    QTest::newRow("long s") << QStringList{QStringLiteral("--webEngineArg\u017f")} << true;
    QTest::newRow("part of an argument") << QStringList{QStringLiteral("--webEngineArgsX")} << false;
    QTest::newRow("switch without separator") << QStringList{QStringLiteral("--"), QStringLiteral("--no-sandbox")} << false;
}

void TestSandbox::commandLineEngineArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, carries);
    QCOMPARE(carriesWebEngineArguments(arguments), carries);
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
