#include "recordingclient.h"

#include <QMutexLocker>

void RecordingClient::event(const ovpn::Event &event)
{
    QMutexLocker locker(&m_mutex);
    m_events.append(QString::fromStdString(event.name));
}

void RecordingClient::log(const ovpn::LogInfo &log)
{
    QMutexLocker locker(&m_mutex);
    m_logs.append(QString::fromStdString(log.text));
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
