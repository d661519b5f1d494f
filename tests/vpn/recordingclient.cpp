#include "recordingclient.h"

#include <QMutexLocker>

bool RecordingClient::pause_on_connection_timeout()
{
    return false;
}

void RecordingClient::event(const ovpn::Event &event)
{
    QMutexLocker locker(&m_mutex);
    m_events.append(QString::fromStdString(event.name));
}

void RecordingClient::acc_event(const ovpn::AppCustomControlMessageEvent &)
{
}

void RecordingClient::log(const ovpn::LogInfo &log)
{
    QMutexLocker locker(&m_mutex);
    m_logs.append(QString::fromStdString(log.text));
}

void RecordingClient::external_pki_cert_request(ovpn::ExternalPKICertRequest &request)
{
    request.error = true;
}

void RecordingClient::external_pki_sign_request(ovpn::ExternalPKISignRequest &request)
{
    request.error = true;
}

QStringList RecordingClient::recorded() const
{
    QMutexLocker locker(&m_mutex);
    return m_events;
}

int RecordingClient::count(const QString &name) const
{
    return recorded().count(name);
}

QStringList RecordingClient::logs() const
{
    QMutexLocker locker(&m_mutex);
    return m_logs;
}
