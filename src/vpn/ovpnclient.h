#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>

#include <memory>

#include "vpn/ovpntypes.h"

namespace ovpn {

class DaemonSession;
struct SessionSettings;

// Our OpenVPN client: one connection run by the openvpn 2.6 daemon, driven over its
// management interface (a unix socket in a private directory). Subclasses answer the
// callbacks, which run on the thread that called connect().
//
// Use: eval_config() and provide_creds() on any thread, then connect() on a thread of
// its own; it blocks until the connection has ended. stop() and transport_stats() may
// be called from any other thread meanwhile; they share a small locked state with the
// connection (m_mutex). One object serves one connect().
class OvpnClient
{
public:
    OvpnClient();
    virtual ~OvpnClient();

    OvpnClient(const OvpnClient &) = delete;
    OvpnClient &operator=(const OvpnClient &) = delete;

    EvalConfig eval_config(const Config &config);
    Status provide_creds(const ProvideCreds &creds);
    Status connect();
    void stop();
    TransportStats transport_stats() const;

    // The openvpn executable: $CORRIVO_OPENVPN when set, else "openvpn" on the search
    // path or in the usual sbin directories.
    static QString daemonProgram();

    virtual void event(const Event &event) = 0;
    virtual void log(const LogInfo &log) = 0;

private:
    friend class DaemonSession;

    // Why a credential cannot go over the management channel unchanged, or null.
    static const char *credentialProblem(const std::string &value);

    // Called by the session on the connect() thread.
    void setSession(DaemonSession *session);
    bool stopRequested() const;
    void recordBytes(qint64 bytesIn, qint64 bytesOut);
    void recordTunnel(const QString &interfaceName);
    void samplePackets() const;

    std::unique_ptr<SessionSettings> m_settings;

    mutable QMutex m_mutex;
    // Guarded by m_mutex:
    bool m_used = false;
    bool m_stopRequested = false;
    DaemonSession *m_session = nullptr;
    QString m_tunnel;
    mutable TransportStats m_stats;
    mutable qint64 m_packetsInBase = 0;
    mutable qint64 m_packetsOutBase = 0;
    mutable qint64 m_lastPacketsIn = 0;
    mutable qint64 m_lastPacketsOut = 0;
    mutable qint64 m_lastReceiveNs = -1;
    QElapsedTimer m_clock;
};

} // namespace ovpn
