// Memory of the statistics poll: resident memory growth over many getVpnStatsJson()
// calls with a live tunnel to the lab, against the same number of JSON objects built
// without a snapshot, in one run. Needs root. Usage: bench_vpnstats [polls]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>

#include <cstdio>

#include "bridge/hlv.h"
#include "benchsupport.h"
#include "labserver.h"
#include "vpn/videru.h"

namespace {

long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * 4 : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    const int polls = argc > 1 ? std::atoi(argv[1]) : 100000;

    LabServer lab;
    if (!lab.up()) {
        std::fprintf(stderr, "lab: %s\n", qPrintable(lab.error()));
        return 1;
    }
    Hlv hlv;
    hlv.vpn->setProfilePath(lab.profilePath());
    hlv.vpn->setCredentials(lab.username(), lab.password());
    if (!hlv.vpn->start() || !waitFor([&] { return hlv.vpn->getStatus() == 3; }, 30000)) {
        std::fprintf(stderr, "tunnel did not come up\n");
        return 1;
    }

    // Warm-up, so allocator pools exist before the first reading.
    qint64 sink = 0;
    for (int i = 0; i < 1000; ++i)
        sink += hlv.getVpnStatsJson().value(QStringLiteral("bytesIn")).toInteger();

    const long baselineBefore = residentKiB();
    for (int i = 0; i < polls; ++i) {
        QJsonObject stats;
        for (const char *key : {"bytesIn", "bytesOut", "packetsIn", "packetsOut", "lastPacketReceived"})
            stats.insert(QLatin1String(key), qint64(i));
        sink += stats.value(QStringLiteral("bytesIn")).toInteger();
    }
    const long baselineGrowth = residentKiB() - baselineBefore;

    const long pollBefore = residentKiB();
    for (int i = 0; i < polls; ++i)
        sink += hlv.getVpnStatsJson().value(QStringLiteral("bytesIn")).toInteger();
    const long pollGrowth = residentKiB() - pollBefore;

    std::printf("%d polls: resident memory growth %ld KiB (baseline loop %ld KiB), ratio %.2f; rss %ld KiB\n",
                polls, pollGrowth, baselineGrowth,
                baselineGrowth > 0 ? double(pollGrowth) / double(baselineGrowth) : double(pollGrowth),
                residentKiB());
    hlv.vpn->stop();
    waitFor([&] { return hlv.vpn->getStatus() == 1; }, 20000);
    return sink == -1 ? 2 : 0;
}
