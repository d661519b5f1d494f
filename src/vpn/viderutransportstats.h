#pragma once

#include <QObject>

// A snapshot of the tunnel's transport counters. Whoever asked for it owns it.
class VidEruTransportStats : public QObject
{
    Q_OBJECT

public:
    explicit VidEruTransportStats(QObject *parent = nullptr);

    qint64 bytesIn = 0;
    qint64 bytesOut = 0;
    qint64 packetsIn = 0;
    qint64 packetsOut = 0;
    // 1/1024 s since data last arrived, -1 when there is no tunnel.
    qint32 lastPacketReceived = 0;
};
