#include "vpn/ovpnclient.h"

#include <QFile>
#include <QMetaObject>
#include <QMutexLocker>
#include <QStandardPaths>

#include <limits>

#include "vpn/ovpndaemonoptions.h"
#include "vpn/ovpndaemonprofile.h"
#include "vpn/ovpndaemonsession.h"

namespace ovpn {

namespace {

// The daemon reads a management command line of at most this many bytes.
constexpr std::size_t MaxCommandBytes = 1000;

qint64 readCounter(const QString &interfaceName, const char *counter)
{
    QFile file(QStringLiteral("/sys/class/net/") + interfaceName + QStringLiteral("/statistics/")
               + QLatin1String(counter));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const qint64 value = file.readAll().trimmed().toLongLong(&ok);
    return ok ? value : -1;
}

} // namespace

const char *OvpnClient::credentialProblem(const std::string &value)
{
    if (value.find_first_of("\r\n") != std::string::npos || value.size() * 2 + 20 >= MaxCommandBytes)
        return "credentials must be single lines of fewer than 490 bytes";
    // The management channel would pass them on altered (a tab as a blank, others
    // dropped or escaped): the server would check a different secret than the user's.
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return "credentials must not contain control characters";
    }
    return nullptr;
}

OvpnClient::OvpnClient()
    : m_settings(std::make_unique<SessionSettings>())
{
    m_clock.start();
}

OvpnClient::~OvpnClient() = default;

QString OvpnClient::daemonProgram()
{
    const QString configured = qEnvironmentVariable("CORRIVO_OPENVPN");
    if (!configured.isEmpty())
        return configured;
    QString found = QStandardPaths::findExecutable(QStringLiteral("openvpn"));
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(QStringLiteral("openvpn"),
                                               {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                QStringLiteral("/usr/local/sbin")});
    }
    return found.isEmpty() ? QStringLiteral("openvpn") : found;
}

EvalConfig OvpnClient::eval_config(const Config &config)
{
    const DaemonProfile profile(config);
    EvalConfig eval = profile.eval();
    for (const ProfileNotice &notice : profile.notices()) {
        LogInfo info;
        info.text = "profile " + notice.describe();
        log(info);
    }
    if (eval.error) {
        m_settings->evaluated = false;
        return eval;
    }

    SessionSettings &settings = *m_settings;
    settings.evaluated = true;
    settings.profile = profile.text();
    settings.reportInfo = config.info;
    settings.username = profile.inlineUsername();
    settings.password = profile.inlinePassword();

    // The client configuration, mapped onto the daemon's options.
    QStringList options;
    for (const std::string &option : configOptions(config))
        options << QString::fromStdString(option);
    settings.daemonOptions = options;
    return eval;
}

Status OvpnClient::provide_creds(const ProvideCreds &creds)
{
    Status status;
    for (const std::string *value : {&creds.username, &creds.password, &creds.http_proxy_user, &creds.http_proxy_pass}) {
        if (const char *problem = credentialProblem(*value)) {
            status.error = true;
            status.status = "CREDS_ERROR";
            status.message = problem;
            return status;
        }
    }
    m_settings->username = creds.username;
    m_settings->password = creds.password;
    m_settings->proxyUsername = creds.http_proxy_user;
    m_settings->proxyPassword = creds.http_proxy_pass;
    return status;
}

Status OvpnClient::connect()
{
    Status status;
    {
        QMutexLocker locker(&m_mutex);
        if (m_used) {
            status.error = true;
            status.status = "CONNECT_ERROR";
            status.message = "this client has connected once already";
            return status;
        }
        m_used = true;
        if (!m_settings->evaluated) {
            status.error = true;
            status.status = "CONNECT_ERROR";
            status.message = "no evaluated profile";
            return status;
        }
    }

    DaemonSession session(*this, *m_settings);
    setSession(&session);
    if (!stopRequested())
        status = session.run();
    setSession(nullptr);
    // Whoever asked for the stop waits for this event, even when the daemon never ran.
    if (stopRequested() && !session.disconnectReported()) {
        Event event;
        event.name = "DISCONNECTED";
        this->event(event);
    }
    return status;
}

bool OvpnClient::stopRequested() const
{
    QMutexLocker locker(&m_mutex);
    return m_stopRequested;
}

void OvpnClient::setSession(DaemonSession *session)
{
    QMutexLocker locker(&m_mutex);
    m_session = session;
    if (session && m_stopRequested)
        QMetaObject::invokeMethod(session, &DaemonSession::requestStop, Qt::QueuedConnection);
}

void OvpnClient::stop()
{
    QMutexLocker locker(&m_mutex);
    m_stopRequested = true;
    if (m_session)
        QMetaObject::invokeMethod(m_session, &DaemonSession::requestStop, Qt::QueuedConnection);
}

TransportStats OvpnClient::transport_stats() const
{
    QMutexLocker locker(&m_mutex);
    samplePackets();
    TransportStats stats = m_stats;
    if (m_tunnel.isEmpty() || m_lastReceiveNs < 0) {
        stats.lastPacketReceived = -1;
    } else {
        const qint64 units = (m_clock.nsecsElapsed() - m_lastReceiveNs) * 1024 / 1000000000;
        stats.lastPacketReceived = int(qMin<qint64>(units, std::numeric_limits<int>::max()));
    }
    return stats;
}

void OvpnClient::recordBytes(qint64 bytesIn, qint64 bytesOut)
{
    QMutexLocker locker(&m_mutex);
    if (bytesIn > m_stats.bytesIn)
        m_lastReceiveNs = m_clock.nsecsElapsed();
    m_stats.bytesIn = bytesIn;
    m_stats.bytesOut = bytesOut;
    samplePackets();
}

void OvpnClient::recordTunnel(const QString &interfaceName)
{
    QMutexLocker locker(&m_mutex);
    if (interfaceName == m_tunnel)
        return;
    samplePackets();
    // A new interface counts from zero; the totals carry on across reconnections.
    m_packetsInBase += m_lastPacketsIn;
    m_packetsOutBase += m_lastPacketsOut;
    m_lastPacketsIn = 0;
    m_lastPacketsOut = 0;
    m_tunnel = interfaceName;
    m_stats.packetsIn = m_packetsInBase;
    m_stats.packetsOut = m_packetsOutBase;
}

// Caller holds m_mutex.
void OvpnClient::samplePackets() const
{
    if (m_tunnel.isEmpty())
        return;
    const qint64 received = readCounter(m_tunnel, "rx_packets");
    const qint64 sent = readCounter(m_tunnel, "tx_packets");
    if (received < 0 || sent < 0)
        return;
    if (received > m_lastPacketsIn)
        m_lastReceiveNs = m_clock.nsecsElapsed();
    m_lastPacketsIn = received;
    m_lastPacketsOut = sent;
    m_stats.packetsIn = m_packetsInBase + received;
    m_stats.packetsOut = m_packetsOutBase + sent;
}

} // namespace ovpn
