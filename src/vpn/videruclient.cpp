#include "vpn/videruclient.h"

#include <atomic>

#include "base/logging.h"
#include "vpn/ovpnprofilemerge.h"
#include "vpn/viderusignals.h"

namespace {

const char Category[] = "hlv_vpn";
constexpr std::size_t MaxLineLength = 512;
constexpr std::size_t MaxProfileSize = 262144;

std::atomic<quint64> g_nextId{1};

} // namespace

VidEruClient::VidEruClient()
    : m_id(g_nextId.fetch_add(1))
{
}

VidEruClient::~VidEruClient() = default;

quint64 VidEruClient::id() const
{
    return m_id;
}

void VidEruClient::event(const ovpn::Event &event)
{
    QString message = QStringLiteral("Event ") + QString::fromStdString(event.name) + QStringLiteral(": ");
    if (!event.info.empty())
        message += QString::fromStdString(event.info);
    const qint32 level = event.fatal ? 1 : (event.error ? 2 : 4);
    logMessage(level, Category, "VidEruClient::event", message);

    VidEruSignals *relay = VidEruSignals::instance();
    const std::string &name = event.name;
    if (name == "DISCONNECTED")
        emit relay->disconnected(m_id);
    else if (name == "CONNECTED")
        emit relay->connected(m_id);
    else if (name == "RECONNECTING")
        emit relay->connecting(m_id);
    else if (name == "CONNECTING")
        emit relay->connecting(m_id);
    else if (name == "PAUSE" || name == "RESUME" || name == "AUTH_FAILED")
        return;
    else if (name == "TUN_SETUP_FAILED")
        emit relay->operationNotPermitted(m_id);
    else if (name == "DNS_APPLIED")
        emit relay->dnsReported(m_id, true, QString());
    else if (name == "DNS_NOT_APPLIED")
        emit relay->dnsReported(m_id, false, QString::fromStdString(event.info));
}

void VidEruClient::log(const ovpn::LogInfo &log)
{
    logMessage(3, Category, "VidEruClient::log", QString::fromStdString(log.text));
}

QString VidEruClient::readProfile(QString path, QString *error, std::vector<int> *sourceLines)
{
    const ovpn::ProfileMerge merge = mergeProfile(path, "ovpn");
    if (merge.status() == ovpn::ProfileMerge::MERGE_SUCCESS) {
        if (sourceLines)
            *sourceLines = merge.source_lines();
        return QString::fromStdString(merge.profile_content());
    }
    logMessage(2, Category, "VidEruClient::readProfile",
               QStringLiteral("Merge config error: ") + QString::fromStdString(merge.status_string())
                   + QStringLiteral(" : ") + QString::fromStdString(merge.error()));
    if (error)
        *error = QString::fromStdString(merge.error());
    return QString();
}

ovpn::ProfileMerge VidEruClient::mergeProfile(const QString &path, const std::string &extension)
{
    return ovpn::ProfileMerge(path.toStdString(), extension, std::string(), ovpn::ProfileMerge::FOLLOW_FULL,
                              MaxLineLength, MaxProfileSize);
}
