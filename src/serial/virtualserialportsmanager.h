#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>

class DomainList;
class HlvDevice;
class VidEru;
class VirtualSerialPort;

// Owns the signed-in user's virtual serial ports, keeps their list in the settings
// and makes them follow the VPN: a port is bridged only while the VPN serves its
// device and the device is online, and bridged again when its relay ends meanwhile.
class VirtualSerialPortsManager : public QObject
{
    Q_OBJECT

public:
    // `domains` is the bridge's list, read for the devices of the ports, never changed.
    VirtualSerialPortsManager(VidEru *vpn, const DomainList *domains, QObject *parent = nullptr);
    ~VirtualSerialPortsManager() override;

    bool create(int type, HlvDevice *device);
    bool destroy(int deviceId, int type);
    void destroyAll();
    QList<VirtualSerialPort *> getVirtualSerialPortsByDeviceId(int deviceId);
    const QList<VirtualSerialPort *> &virtualSerialPorts() const { return ports; }
    void onDomainsUpdated(const DomainList *domains);

    // The page's view of a device's ports (VirtualSerialPort::statusJson), in list
    // order, and the monitor and trace of one port (device id and type name it; false
    // or an empty object when there is no such port).
    QJsonArray portsStatusJson(int deviceId);
    bool setMonitor(int deviceId, int type, bool on);
    QJsonObject monitorRecords(int deviceId, int type, quint64 since);
    bool setTrace(int deviceId, int type, bool on);

    // One delay for every reconnect of a port whose relay ended.
    static constexpr int ReconnectDelayMs = 1000;
    // Test hook; the product keeps ReconnectDelayMs.
    static void setReconnectDelay(int ms);

public slots:
    void onVpnConnected(int device_id);
    void onVpnDisconnected();
    void loadVirtualPorts();

private slots:
    void onPortDisconnected();

private:
    HlvDevice *findDevice(int deviceId);
    VirtualSerialPort *findPort(int deviceId, int type);
    void connectDevicePorts(HlvDevice *device);
    void disconnectDevicePorts(HlvDevice *device);
    void cleanPreviousVirtualSerialPorts();
    void savePorts();
    void releasePort(VirtualSerialPort *port);

    QList<VirtualSerialPort *> ports;
    VidEru *vpn = nullptr;
    const DomainList *domains = nullptr;
};
