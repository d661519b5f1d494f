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

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
