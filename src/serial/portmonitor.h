#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <deque>

#include "serial/porttrace.h"
#include "serial/relayline.h"

// What one port's relays report: the bytes each way over all relay runs, whether a
// relay is up, and, while the monitor or the trace is on, the last tapped records
// (time, direction, bytes) in a ring with sequence numbers, so that a reader asks only
// for what is new. Fed with the relay's parsed output lines; knows nothing of
// processes.
class PortMonitor
{
public:
    struct Record
    {
        quint64 sequence = 0;
        qint64 time = 0; // unix milliseconds
        bool toNetwork = false;
        QByteArray bytes;
    };

    static constexpr int Capacity = 400;
    // At most this many records go out per answer.
    static constexpr int MaxRecordsPerAnswer = 200;

    // A new relay run begins: its counters start from zero, the port's go on.
    void relayStarted();
    void relayEnded();
    void take(const RelayLine &line);

    quint64 toNetwork() const { return m_done[0] + m_run[0]; }
    quint64 fromNetwork() const { return m_done[1] + m_run[1]; }
    bool relayUp() const { return m_relayUp; }
    quint64 dropped() const { return m_dropped; }

    bool monitorOn() const { return m_monitor; }
    void setMonitor(bool on);
    bool traceOn() const { return m_trace.isOpen(); }
    // On: opens the trace of port name in directory; false with the reason otherwise.
    bool setTrace(bool on, const QString &directory, const QString &name, QString *error);
    QString tracePath() const { return m_trace.path(); }
    // What the relay should tap: the monitor or the trace wants the bytes.
    bool wantsTap() const { return m_monitor || m_trace.isOpen(); }

    // {"next": n, "dropped": d, "records": [{"seq", "time", "dir" (">" or "<"),
    // "hex", "text"}]}: the records after sequence number since (0: from the oldest
    // kept), oldest first; "next" is the number to ask with next time.
    QJsonObject recordsSince(quint64 since) const;
    // The counters and states as the page shows them.
    QJsonObject status() const;

    const std::deque<Record> &records() const { return m_records; }

private:
    void addRecord(const RelayLine &line);

    quint64 m_done[2] = {0, 0};
    quint64 m_run[2] = {0, 0};
    bool m_relayUp = false;
    bool m_monitor = false;
    quint64 m_dropped = 0;
    quint64 m_nextSequence = 1;
    std::deque<Record> m_records;
    PortTrace m_trace;
};
