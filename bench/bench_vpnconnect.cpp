// Time from VidEru::start() to "CONNECTED" through our client layer, against the
// bare openvpn command with the same profile and server (the lab's), in one run.
// Needs root. Usage: bench_vpnconnect [runs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "benchsupport.h"
#include "labserver.h"
#include "vpn/ovpnclient.h"
#include "vpn/videru.h"
#include "vpnprocesses.h"

namespace {

constexpr int TimeoutMs = 30000;

// Milliseconds to "CONNECTED" through VidEru, or -1.
double throughOurLayer(const LabServer &lab)
{
    VidEru vpn;
    vpn.setProfilePath(lab.profilePath());
    vpn.setCredentials(lab.username(), lab.password());
    bool connected = false;
    bool disconnected = false;
    QObject::connect(&vpn, &VidEru::onConnected, &vpn, [&connected] { connected = true; });
    QObject::connect(&vpn, &VidEru::onDisconnected, &vpn, [&disconnected] { disconnected = true; });

    QElapsedTimer timer;
    timer.start();
    if (!vpn.start())
        return -1;
    const bool ok = waitFor([&] { return connected || disconnected; }, TimeoutMs) && connected;
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;

    vpn.stop();
    waitFor([&] { return disconnected && VpnProcesses::openvpnChildren(::getpid()).isEmpty(); }, TimeoutMs);
    return ok ? elapsed : -1;
}

// Milliseconds until the bare daemon logs that its tunnel is complete, or -1.
double bareOpenvpn(const LabServer &lab)
{
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.setWorkingDirectory(lab.clientDirectory());
    QElapsedTimer timer;
    timer.start();
    daemon.start(ovpn::OvpnClient::daemonProgram(),
                 {QStringLiteral("--config"), lab.profilePath(), QStringLiteral("--auth-user-pass"),
                  lab.clientDirectory() + QStringLiteral("/credentials")});
    QByteArray output;
    const bool ok = waitFor([&] {
        output += daemon.readAll();
        return output.contains("Initialization Sequence Completed") || daemon.state() == QProcess::NotRunning;
    }, TimeoutMs) && output.contains("Initialization Sequence Completed");
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;

    daemon.terminate();
    if (!daemon.waitForFinished(10000)) {
        daemon.kill();
        daemon.waitForFinished(5000);
    }
    return ok ? elapsed : -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double mean(const std::vector<double> &values)
{
    double sum = 0;
    for (double value : values)
        sum += value;
    return sum / double(values.size());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 7;
    if (!LabServer::unavailableReason().isEmpty()) {
        std::fprintf(stderr, "bench_vpnconnect: %s\n", qPrintable(LabServer::unavailableReason()));
        return 2;
    }
    LabServer lab;
    if (!lab.up()) {
        std::fprintf(stderr, "bench_vpnconnect: %s\n", qPrintable(lab.error()));
        return 1;
    }

    // One warm-up of each, then alternating runs so that drift hits both alike.
    throughOurLayer(lab);
    bareOpenvpn(lab);
    std::vector<double> ours;
    std::vector<double> bare;
    for (int i = 0; i < runs; ++i) {
        const double a = throughOurLayer(lab);
        const double b = bareOpenvpn(lab);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "bench_vpnconnect: run %d did not connect (ours %.1f, bare %.1f)\n", i + 1, a, b);
            return 1;
        }
        ours.push_back(a);
        bare.push_back(b);
        std::printf("run %d: VidEru %.1f ms, openvpn %.1f ms\n", i + 1, a, b);
    }
    std::printf("start() to CONNECTED through VidEru: median %.1f ms, mean %.1f ms\n", median(ours), mean(ours));
    std::printf("bare openvpn to Initialization Sequence Completed: median %.1f ms, mean %.1f ms\n", median(bare), mean(bare));
    std::printf("ratio VidEru / openvpn (medians): %.3f\n", median(ours) / median(bare));
    return 0;
}
