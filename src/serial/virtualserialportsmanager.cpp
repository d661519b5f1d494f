#include "serial/virtualserialportsmanager.h"

#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include "model/domainlist.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "serial/execcommand.h"
#include "serial/storedports.h"
#include "serial/virtualserialport.h"
#include "base/logging.h"
#include "vpn/videru.h"

namespace {

const char Category[] = "hlv_serials";
int g_reconnectDelayMs = VirtualSerialPortsManager::ReconnectDelayMs;

} // namespace

VirtualSerialPortsManager::VirtualSerialPortsManager(VidEru *vpn, const DomainList *domains, QObject *parent)
    : QObject(parent)
{
    cleanPreviousVirtualSerialPorts();
    this->vpn = vpn;
    this->domains = domains;
    connect(vpn, &VidEru::onConnected, this, &VirtualSerialPortsManager::onVpnConnected);
    connect(vpn, &VidEru::onDisconnected, this, &VirtualSerialPortsManager::onVpnDisconnected);
}

void VirtualSerialPortsManager::setReconnectDelay(int ms)
{
    g_reconnectDelayMs = ms;
}

VirtualSerialPortsManager::~VirtualSerialPortsManager()
{
    for (VirtualSerialPort *port : std::as_const(ports))
        releasePort(port);
}

// Ports are deleted outright: the delayed connections of a port are bound to it and
// go with it, and its relay is ended rather than left behind.
void VirtualSerialPortsManager::releasePort(VirtualSerialPort *port)
{
    disconnect(port, &VirtualSerialPort::onDisconnected, this, &VirtualSerialPortsManager::onPortDisconnected);
    delete port;
}

void VirtualSerialPortsManager::savePorts()
{
    HlvSettings settings;
    StoredPorts::write(settings, ports);
}

void VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts()
{
    ExecCommand runner;
    runner.setCommand(VirtualSerialPort::toolPath(QStringLiteral("setupc")));
    runner.setArguments({QStringLiteral("list")});
    runner.start();
    if (!runner.waitForStarted() || !runner.waitForFinished() || runner.exitCode() != 0)
        return;

    // Only pairs this application made: their B end is named "ROZIZER" and a number.
    // Another program's pairs are left alone.
    static const QRegularExpression serialLine(QStringLiteral("^.*CNCA([0-9]+).*COM.*$"));
    static const QRegularExpression tcpLine(QStringLiteral("^.*CNCB([0-9]+)\\s+PortName=ROZIZER[0-9]+\\s*$"));
    const QStringList lines = runner.output().split(QLatin1Char('\n'));
    QSet<QString> ours;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = tcpLine.match(line);
        if (match.hasMatch())
            ours.insert(match.captured(1));
    }
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = serialLine.match(line);
        if (!match.hasMatch() || !ours.contains(match.captured(1)))
            continue;
        logMessage(4, Category, "VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts",
                   QLatin1String("Remove com ") + match.captured(1));
        if (runner.isRunning())
            runner.kill();
        runner.setArguments({QStringLiteral("remove"), match.captured(1)});
        runner.start();
        runner.waitForStarted();
        runner.waitForFinished();
    }
}

bool VirtualSerialPortsManager::create(int type, HlvDevice *device)
{
    logMessage(4, Category, "VirtualSerialPortsManager::create", QString());
    if (type < 0 || type > 3)
        return false;
    if (!device) {
        logMessage(2, Category, "VirtualSerialPortsManager::create", QStringLiteral("Device is NULL"));
        return false;
    }

    auto *port = new VirtualSerialPort();
    port->setType(type);
    port->setDeviceId(device->id);
    port->setDevice(device);

    onVpnDisconnected();

    if (!port->create(ports)) {
        logMessage(2, Category, "VirtualSerialPortsManager::create", QStringLiteral("Serial not created"));
        delete port;
        return false;
    }
    logMessage(4, Category, "VirtualSerialPortsManager::create", QStringLiteral("Serial created"));
    ports.append(port);
    connect(port, &VirtualSerialPort::onDisconnected, this, &VirtualSerialPortsManager::onPortDisconnected);
    savePorts();

    if (vpn->isConnected())
        onVpnConnected(vpn->getDeviceId());
    return true;
}

bool VirtualSerialPortsManager::destroy(int deviceId, int type)
{
    logMessage(4, Category, "VirtualSerialPortsManager::destroy", QString());
    VirtualSerialPort *port = findPort(deviceId, type);
    if (!port)
        return false;

    disconnect(port, &VirtualSerialPort::onDisconnected, this, &VirtualSerialPortsManager::onPortDisconnected);
    if (port->isConnected())
        port->disconnectPort();
    if (!port->destroy()) {
        logMessage(2, Category, "VirtualSerialPortsManager::destroy", QStringLiteral("Serial not destroyed"));
        return false;
    }
    ports.removeOne(port);
    delete port;
    savePorts();
    return true;
}

void VirtualSerialPortsManager::destroyAll()
{
    for (VirtualSerialPort *port : std::as_const(ports))
        port->destroy();
}

VirtualSerialPort *VirtualSerialPortsManager::findPort(int deviceId, int type)
{
    for (VirtualSerialPort *candidate : std::as_const(ports)) {
        if (candidate->getDeviceId() == deviceId && candidate->getType() == type)
            return candidate;
    }
    return nullptr;
}

QJsonArray VirtualSerialPortsManager::portsStatusJson(int deviceId)
{
    QJsonArray result;
    for (VirtualSerialPort *port : getVirtualSerialPortsByDeviceId(deviceId))
        result.append(port->statusJson());
    return result;
}

bool VirtualSerialPortsManager::setMonitor(int deviceId, int type, bool on)
{
    VirtualSerialPort *port = findPort(deviceId, type);
    if (port)
        port->setMonitor(on);
    return port != nullptr;
}

QJsonObject VirtualSerialPortsManager::monitorRecords(int deviceId, int type, quint64 since)
{
    VirtualSerialPort *port = findPort(deviceId, type);
    return port ? port->monitorRecords(since) : QJsonObject();
}

bool VirtualSerialPortsManager::setTrace(int deviceId, int type, bool on)
{
    VirtualSerialPort *port = findPort(deviceId, type);
    if (!port)
        return false;
    QString error;
    if (port->setTrace(on, &error))
        return true;
    logMessage(2, Category, "VirtualSerialPortsManager::setTrace", error);
    return false;
}

QList<VirtualSerialPort *> VirtualSerialPortsManager::getVirtualSerialPortsByDeviceId(int deviceId)
{
    QList<VirtualSerialPort *> found;
    for (VirtualSerialPort *port : std::as_const(ports)) {
        if (port->getDeviceId() == deviceId)
            found.append(port);
    }
    return found;
}

void VirtualSerialPortsManager::loadVirtualPorts()
{
    cleanPreviousVirtualSerialPorts();

    QList<VirtualSerialPort *> loaded;
    {
        HlvSettings settings;
        loaded = StoredPorts::read(settings);
    }
    for (VirtualSerialPort *port : std::as_const(ports))
        releasePort(port);
    ports = loaded;
    logMessage(4, Category, "VirtualSerialPortsManager::loadVirtualPorts", QStringLiteral("Load saved serials"));

    for (VirtualSerialPort *port : std::as_const(ports)) {
        HlvDevice *device = findDevice(port->getDeviceId());
        port->setDevice(device);
        if (device && !port->create(ports))
            logMessage(1, Category, "VirtualSerialPortsManager::loadVirtualPorts",
                       QStringLiteral("Virtual serial port not created!"));
        connect(port, &VirtualSerialPort::onDisconnected, this, &VirtualSerialPortsManager::onPortDisconnected);
    }

    if (vpn->isConnected()) {
        logMessage(4, Category, "VirtualSerialPortsManager::loadVirtualPorts",
                   QStringLiteral("VPN is connected try to connect serials"));
        if (HlvDevice *device = findDevice(vpn->getDeviceId()))
            connectDevicePorts(device);
    }
}

HlvDevice *VirtualSerialPortsManager::findDevice(int deviceId)
{
    return domains ? domains->device(deviceId) : nullptr;
}

void VirtualSerialPortsManager::connectDevicePorts(HlvDevice *device)
{
    for (VirtualSerialPort *port : std::as_const(ports)) {
        if (port->getDeviceId() != device->id)
            continue;
        if (vpn->isConnected() && device->vpnStatus == 1)
            port->deviceOnline();
        else
            port->deviceOffline();
    }
}

void VirtualSerialPortsManager::disconnectDevicePorts(HlvDevice *device)
{
    for (VirtualSerialPort *port : std::as_const(ports)) {
        if (port->getDeviceId() == device->id)
            port->deviceOffline();
    }
}

void VirtualSerialPortsManager::onVpnConnected(int device_id)
{
    logMessage(4, Category, "VirtualSerialPortsManager::onVpnConnected", QString());
    if (HlvDevice *device = findDevice(device_id))
        connectDevicePorts(device);
}

void VirtualSerialPortsManager::onVpnDisconnected()
{
    logMessage(4, Category, "VirtualSerialPortsManager::onVpnDisconnected", QString());
    // Every port, not only those bridged: one still asking its device, or waiting to,
    // would otherwise bridge after the tunnel is gone.
    for (VirtualSerialPort *port : std::as_const(ports)) {
        if (port->isConnected())
            port->disconnectPort();
        else
            port->withdrawPendingConnection();
    }
}

void VirtualSerialPortsManager::onDomainsUpdated(const DomainList *domains)
{
    logMessage(4, Category, "VirtualSerialPortsManager::onDomainsUpdated", QString());
    this->domains = domains;
    if (!vpn->isConnected() || !domains)
        return;
    for (HlvDomain *domain : domains->domains()) {
        for (HlvDevice *device : std::as_const(domain->devices)) {
            if (device->vpnStatus == 1 && device->id == vpn->getDeviceId())
                connectDevicePorts(device);
            else
                disconnectDevicePorts(device);
        }
    }
}

void VirtualSerialPortsManager::onPortDisconnected()
{
    logMessage(4, Category, "VirtualSerialPortsManager::onPortDisconnected", QString());
    auto *port = qobject_cast<VirtualSerialPort *>(sender());
    if (!port || !port->getDevice())
        return;
    if (vpn->isConnected() && port->getDeviceId() == vpn->getDeviceId()) {
        logMessage(4, Category, "VirtualSerialPortsManager::onPortDisconnected",
                   QStringLiteral("Reconnect port after %1ms").arg(g_reconnectDelayMs));
        // Meant for the relay that ended: one that came up in the meantime stays.
        port->connectLater(g_reconnectDelayMs);
    }
}
