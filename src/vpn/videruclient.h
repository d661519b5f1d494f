#pragma once

#include <QString>
#include <QtGlobal>

#include <string>
#include <vector>

#include "vpn/ovpnclient.h"
#include "vpn/ovpnprofilemerge.h"

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
    // merged (the reason is logged and, when error is given, stored there). sourceLines,
    // when given, gets the profile file's line of each line of the result.
    static QString readProfile(QString path, QString *error = nullptr, std::vector<int> *sourceLines = nullptr);
    // The merge a start makes of a profile file, with the start's bounds; extension is
    // what the file's name must end in (without the dot).
    static ovpn::ProfileMerge mergeProfile(const QString &path, const std::string &extension);

private:
    const quint64 m_id;
};
