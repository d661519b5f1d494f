#pragma once

#include <QObject>

// The VPN controller: status and connection signals of the tunnel.
class VidEru : public QObject
{
    Q_OBJECT

public:
    explicit VidEru(QObject *parent = nullptr);
};
