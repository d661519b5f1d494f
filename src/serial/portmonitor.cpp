#include "serial/portmonitor.h"

#include <QDateTime>
#include <QJsonArray>

namespace {

// Printable ASCII as it is, anything else as a dot: the page shows it as text.
QString printable(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes)
        text += (c >= 0x20 && c < 0x7f) ? QLatin1Char(c) : QLatin1Char('.');
    return text;
}

} // namespace

void PortMonitor::relayStarted()
{
    m_done[0] += m_run[0];
    m_done[1] += m_run[1];
    m_run[0] = m_run[1] = 0;
    m_relayUp = false;
}

void PortMonitor::relayEnded()
{
    m_relayUp = false;
}

void PortMonitor::take(const RelayLine &line)
{
    switch (line.kind) {
    case RelayLine::Kind::Relaying:
        m_relayUp = true;
        break;
    case RelayLine::Kind::Counters:
        // A relay's counters only grow: a smaller figure is no news.
        if (line.first >= m_run[0] && line.second >= m_run[1]) {
            m_run[0] = line.first;
            m_run[1] = line.second;
        }
        break;
    case RelayLine::Kind::Tap:
        addRecord(line);
        break;
    case RelayLine::Kind::TapDropped:
        m_dropped += line.first;
        break;
    case RelayLine::Kind::ConnectionClosed:
    case RelayLine::Kind::SerialClosed:
        m_relayUp = false;
        break;
    case RelayLine::Kind::TapState:
    case RelayLine::Kind::Unknown:
        break;
    }
}

void PortMonitor::addRecord(const RelayLine &line)
{
    if (m_trace.isOpen()) {
        m_trace.write(QDateTime::fromMSecsSinceEpoch(line.time, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1()
                      + (line.toNetwork ? " > " : " < ") + line.bytes.toHex() + '\n');
    }
    if (!m_monitor)
        return;
    m_records.push_back(Record{m_nextSequence++, line.time, line.toNetwork, line.bytes});
    while (m_records.size() > size_t(Capacity))
        m_records.pop_front();
}

void PortMonitor::setMonitor(bool on)
{
    m_monitor = on;
    if (!on)
        m_records.clear();
}

bool PortMonitor::setTrace(bool on, const QString &directory, const QString &name, QString *error)
{
    if (!on) {
        m_trace.close();
        return true;
    }
    return m_trace.isOpen() || m_trace.open(directory, name, error);
}

QJsonObject PortMonitor::recordsSince(quint64 since) const
{
    QJsonArray list;
    quint64 next = since;
    for (const Record &record : m_records) {
        if (record.sequence <= since)
            continue;
        if (list.size() >= MaxRecordsPerAnswer)
            break;
        list.append(QJsonObject{{QStringLiteral("seq"), qint64(record.sequence)},
                                {QStringLiteral("time"), record.time},
                                {QStringLiteral("dir"), record.toNetwork ? QStringLiteral(">") : QStringLiteral("<")},
                                {QStringLiteral("hex"), QString::fromLatin1(record.bytes.toHex(' '))},
                                {QStringLiteral("text"), printable(record.bytes)}});
        next = record.sequence;
    }
    return {{QStringLiteral("next"), qint64(next)},
            {QStringLiteral("dropped"), qint64(m_dropped)},
            {QStringLiteral("records"), list}};
}

QJsonObject PortMonitor::status() const
{
    return {{QStringLiteral("toNetwork"), qint64(toNetwork())},
            {QStringLiteral("fromNetwork"), qint64(fromNetwork())},
            {QStringLiteral("relayUp"), m_relayUp},
            {QStringLiteral("monitor"), m_monitor},
            {QStringLiteral("trace"), traceOn()},
            {QStringLiteral("tracePath"), m_trace.path()}};
}
