#include <QtTest>

#include <csignal>
#include <unistd.h>

#include "labserver.h"
#include "testhome.h"
#include "vpnprocesses.h"

// VidEru in a process of its own (the vpnholder helper), for what a test cannot do to
// itself: be killed outright, or run without CAP_NET_ADMIN.
namespace {

// The helper: named by the test's environment, else beside the test.
QString holderProgram()
{
    const QString configured = qEnvironmentVariable("CORRIVO_VPNHOLDER");
    return configured.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/vpnholder") : configured;
}

} // namespace

class TestVpnHolder : public QObject
{
    Q_OBJECT

private slots:
    void daemonEndsWithItsApplication();
    void tunnelNeedsNetAdmin();
};

void TestVpnHolder::daemonEndsWithItsApplication()
{
    // Killed outright, the holder leaves neither its daemon nor its tun interface behind.
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP("the VPN lab needs root (network namespaces, tun devices)");
    LabServer lab;
    QVERIFY2(lab.up(), qPrintable(lab.error()));

    QProcess holder;
    QList<pid_t> daemons;
    // Whatever happens below, nothing of this test keeps running.
    const auto cleanup = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished(5000);
        for (pid_t pid : daemons)
            ::kill(pid, SIGKILL);
    });

    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(holderProgram(), {lab.profilePath(), lab.username(), lab.password()});
    QVERIFY2(holder.waitForStarted(10000), qPrintable(holder.errorString()));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += holder.readAllStandardOutput()).contains("CONNECTED")
                                 || holder.state() == QProcess::NotRunning,
                             30000);
    QCOMPARE(holder.state(), QProcess::Running);

    daemons = VpnProcesses::openvpnChildren(pid_t(holder.processId()));
    QCOMPARE(daemons.size(), 1);
    const QStringList tunnels = VpnProcesses::tunInterfaces(daemons.first());
    QCOMPARE(tunnels.size(), 1);
    QVERIFY(VpnProcesses::interfaceExists(tunnels.first()));

    QCOMPARE(::kill(pid_t(holder.processId()), SIGKILL), 0);
    QVERIFY(holder.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::interfaceExists(tunnels.first()), 5000);
}

void TestVpnHolder::tunnelNeedsNetAdmin()
{
    // Without the right to configure the network the daemon cannot make its tun
    // device: the application hears onOperationNotPermitted(), then the end.
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP("the VPN lab needs root (network namespaces, tun devices)");
    LabServer lab;
    QVERIFY2(lab.up(), qPrintable(lab.error()));

    QProcess holder;
    const auto cleanup = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished(5000);
    });
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(holderProgram(),
                 {QStringLiteral("--drop-net-admin"), lab.profilePath(), lab.username(), lab.password()});
    QVERIFY2(holder.waitForFinished(30000), "the holder did not end");
    QCOMPARE(holder.exitCode(), 1);
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("NOT_PERMITTED\nDISCONNECTED\n"));
}

QTEST_GUILESS_MAIN(TestVpnHolder)
#include "tst_vpnholder.moc"
