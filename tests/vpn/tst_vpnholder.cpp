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

// A holder and the daemons it started: whatever a test did, none of them keeps running
// once this goes.
struct HolderRun
{
    ~HolderRun()
    {
        holder.kill();
        holder.waitForFinished(5000);
        for (pid_t pid : daemons)
            ::kill(pid, SIGKILL);
    }

    QProcess holder;
    QList<pid_t> daemons;
};

// Starts the holder on the lab's profile and waits for its tunnel: "" once it is up,
// otherwise what went wrong.
QString connectHolder(QProcess &holder, const LabServer &lab)
{
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(holderProgram(), {lab.profilePath(), lab.username(), lab.password()});
    if (!holder.waitForStarted(10000))
        return holder.errorString();
    QByteArray output;
    const bool ended = QTest::qWaitFor([&] {
        return (output += holder.readAllStandardOutput()).contains("CONNECTED") || holder.state() == QProcess::NotRunning;
    }, 30000);
    if (!ended || holder.state() != QProcess::Running || !output.contains("CONNECTED"))
        return QStringLiteral("the holder did not connect: ") + QString::fromUtf8(output);
    return QString();
}

} // namespace

class TestVpnHolder : public QObject
{
    Q_OBJECT

private slots:
    void daemonEndsWithItsApplication();
    void exitWaitsForTheWorker();
    void tunnelNeedsNetAdmin();
};

void TestVpnHolder::daemonEndsWithItsApplication()
{
    // Killed outright, the holder leaves neither its daemon nor its tun interface behind.
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP("the VPN lab needs root (network namespaces, tun devices)");
    LabServer lab;
    QVERIFY2(lab.up(), qPrintable(lab.error()));

    HolderRun run;
    QProcess &holder = run.holder;
    const QString notConnected = connectHolder(holder, lab);
    QVERIFY2(notConnected.isEmpty(), qPrintable(notConnected));

    QList<pid_t> &daemons = run.daemons;
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

void TestVpnHolder::exitWaitsForTheWorker()
{
    // The application ends right after it asked the tunnel to stop: its end waits for
    // the worker, which removes its private directory and management socket.
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP("the VPN lab needs root (network namespaces, tun devices)");
    LabServer lab;
    QVERIFY2(lab.up(), qPrintable(lab.error()));

    QString privatePattern;
    // Runs after the holder and its daemon have ended.
    const auto removeLeftovers = qScopeGuard([&] {
        if (privatePattern.isEmpty())
            return;
        for (const QString &name : QDir::temp().entryList({privatePattern}, QDir::Dirs | QDir::NoSymLinks))
            QDir(QDir::temp().filePath(name)).removeRecursively();
    });
    HolderRun run;
    QProcess &holder = run.holder;
    const QString notConnected = connectHolder(holder, lab);
    QVERIFY2(notConnected.isEmpty(), qPrintable(notConnected));

    const pid_t pid = pid_t(holder.processId());
    QList<pid_t> &daemons = run.daemons;
    daemons = VpnProcesses::openvpnChildren(pid);
    QCOMPARE(daemons.size(), 1);
    privatePattern = QStringLiteral("corrivo-ovpn-%1-*").arg(pid);
    QCOMPARE(QDir::temp().entryList({privatePattern}, QDir::Dirs).size(), 1);

    QCOMPARE(holder.write("EXIT\n"), qint64(5));
    QVERIFY(holder.waitForFinished(20000));
    QCOMPARE(holder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(holder.exitCode(), 0);

    QCOMPARE(QDir::temp().entryList({privatePattern}, QDir::Dirs | QDir::System | QDir::Hidden), QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 5000);
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
