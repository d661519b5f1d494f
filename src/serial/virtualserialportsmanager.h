#pragma once

#include <QObject>

// The owns the virtual serial ports and makes them follow the VPN.
class VirtualSerialPortsManager : public QObject
{
    Q_OBJECT

public:
    explicit VirtualSerialPortsManager(QObject *parent = nullptr);
};
