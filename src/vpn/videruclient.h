#pragma once

#include <QString>
#include <QtGlobal>

#include "vpn/ovpnclient.h"

// The client callbacks of one VPN connection: events go to the log and, for the four
// the controller follows, to the relay VidEruSignals; log lines go to the log.
// Callbacks run on the worker thread.
class VidEruClient : public ovpn::OvpnClient
{
public:
    VidEruClient();
    ~VidEruClient() override;

    // Names this client's connection in the events it relays: unique in the process
    // (never reused, unlike an address) and never 0.
    quint64 id() const;

    void event(const ovpn::Event &event) override;
    void log(const ovpn::LogInfo &log) override;

    // The profile at path with every referenced file inlined, or "" when it cannot be
    // merged (the reason is logged).
    static QString readProfile(QString path);

private:
    const quint64 m_id;
};
