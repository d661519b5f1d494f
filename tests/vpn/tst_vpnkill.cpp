#include <QtTest>

#include <csignal>
#include <unistd.h>

#include "labserver.h"
#include "testhome.h"
#include "vpnprocesses.h"

// A process that holds a tunnel and is killed outright leaves neither its daemon nor
// its tun interface behind.
class TestVpnKill : public QObject
{
    Q_OBJECT

private slots:
    void daemonEndsWithItsApplication();
};

void TestVpnKill::daemonEndsWithItsApplication()
{
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
    holder.start(qEnvironmentVariable("CORRIVO_VPNHOLDER"), {lab.profilePath(), lab.username(), lab.password()});
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

QTEST_GUILESS_MAIN(TestVpnKill)
#include "tst_vpnkill.moc"
