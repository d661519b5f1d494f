#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

#include "vpn/ovpnclient.h"

// A client of our OpenVPN layer that records the names of its events and its log
// lines; the callbacks run on the connecting thread, the readers on any other.
class RecordingClient : public ovpn::OvpnClient
{
public:
    void event(const ovpn::Event &event) override;
    void log(const ovpn::LogInfo &log) override;

    QStringList recorded() const;
    int count(const QString &name) const;
    QStringList logs() const;

private:
    mutable QMutex m_mutex;
    QStringList m_events;
    QStringList m_logs;
};
