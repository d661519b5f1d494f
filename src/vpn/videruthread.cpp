#include "vpn/videruthread.h"

#include <exception>

#include "base/logging.h"
#include "vpn/viderutransportstats.h"

namespace {

const char Category[] = "hlv_vpn";

} // namespace

VidEruThread::VidEruThread()
    : QThread(nullptr)
{
}

VidEruThread::~VidEruThread() = default;

void VidEruThread::run()
{
    logMessage(4, Category, "VidEruThread::run", QStringLiteral("Connecting..."));
    try {
        const ovpn::Status status = client.connect();
        if (status.error) {
            logMessage(2, Category, "VidEruThread::run", QStringLiteral("Connect error"));
            if (!status.status.empty()) {
                logMessage(2, Category, "VidEruThread::run",
                           QStringLiteral("Error status: ") + QString::fromStdString(status.status));
            }
            logMessage(2, Category, "VidEruThread::run",
                       QStringLiteral("Error message: ") + QString::fromStdString(status.message));
        }
    } catch (const std::exception &e) {
        logMessage(1, Category, "VidEruThread::run",
                   QStringLiteral("Connect exception: ") + QString::fromUtf8(e.what()));
    }
    logMessage(4, Category, "VidEruThread::run", QStringLiteral("Worker finished"));
}

bool VidEruThread::stop()
{
    m_stopRequested = true;
    logMessage(4, Category, "VidEruThread::stop", QStringLiteral("Stopping..."));
    try {
        client.stop();
    } catch (const std::exception &e) {
        logMessage(1, Category, "VidEruThread::stop", QStringLiteral("Stop exception: ") + QString::fromUtf8(e.what()));
        return false;
    }
    logMessage(4, Category, "VidEruThread::stop", QStringLiteral("Stopped"));
    return true;
}

bool VidEruThread::stopRequested() const
{
    return m_stopRequested;
}

VidEruTransportStats *VidEruThread::getTransportStats()
{
    const ovpn::TransportStats stats = client.transport_stats();
    auto *snapshot = new VidEruTransportStats();  // owned by the caller
    snapshot->bytesIn = stats.bytesIn;
    snapshot->bytesOut = stats.bytesOut;
    snapshot->packetsIn = stats.packetsIn;
    snapshot->packetsOut = stats.packetsOut;
    snapshot->lastPacketReceived = stats.lastPacketReceived;
    return snapshot;
}
