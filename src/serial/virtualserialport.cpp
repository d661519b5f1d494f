#include "serial/virtualserialport.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTimer>

#include "cloud/apidevice.h"
#include "model/hlvdevice.h"
#include "serial/execcommand.h"
#include "serial/remoteaccessanswer.h"
#include "base/logging.h"

namespace {

const char Category[] = "hlv_serials";
constexpr int DeviceOnlineDelayMs = 4000;

const QString SerialPrefix = QStringLiteral("COM");
const QString TcpPrefix = QStringLiteral("ROZIZER");

} // namespace

VirtualSerialPort::VirtualSerialPort(QObject *parent)
    : QObject(parent)
{
    // Both are released by the destructor (the device API object earlier, by destroy()).
    runner = new ExecCommand();
    apiDevice = new ApiDevice();
    connect(apiDevice, &ApiDevice::onGetRemoteAccessSuccess, this, &VirtualSerialPort::getRemoteAccessSuccess);
    connect(apiDevice, &ApiDevice::onGetRemoteAccessError, this, &VirtualSerialPort::getRemoteAccessError);
}

VirtualSerialPort::~VirtualSerialPort()
{
    runner->disconnect(this);
    delete runner;
    delete apiDevice;
}

HlvDevice *VirtualSerialPort::getDevice() const
{
    return device.data();
}

void VirtualSerialPort::setDevice(HlvDevice *value)
{
    device = value;
}

QString VirtualSerialPort::toolPath(const QString &name)
{
#ifdef Q_OS_WIN
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name + QLatin1String(".exe");
#else
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
#endif
}

QStringList VirtualSerialPort::presentSerialPortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names.append(port.portName());
    return names;
}

// A run succeeds when the tool started, ended within the waits and exited with 0.
bool VirtualSerialPort::runSetupc(const QStringList &arguments)
{
    if (runner->isRunning())
        runner->kill();
    runner->setCommand(toolPath(QStringLiteral("setupc")));
    runner->setArguments(arguments);
    runner->start();
    return runner->waitForStarted() && runner->waitForFinished() && runner->exitCode() == 0;
}

bool VirtualSerialPort::nameTaken(int number, const QStringList &present, const QList<VirtualSerialPort *> &ports)
{
    const QString serial = SerialPrefix + QString::number(number);
    const QString tcp = TcpPrefix + QString::number(number);
    for (const QString &name : present) {
        if (name == serial || name == tcp)
            return true;
    }
    for (const VirtualSerialPort *port : ports) {
        if (port->serialName == serial || port->tcpName == tcp)
            return true;
    }
    return false;
}

void VirtualSerialPort::assignPortsName(QList<VirtualSerialPort *> ports)
{
    logMessage(4, Category, "VirtualSerialPort::assignPortsName", QString());
    serialName = SerialPrefix;
    tcpName = TcpPrefix;
    const QStringList present = presentSerialPortNames();

    for (int number = 2; number <= HighestPortNumber; ++number) {
        const bool taken = nameTaken(number, present, ports);
        const QString candidate = SerialPrefix + QString::number(number);

        // setupc is asked even for a name known to be taken, as com0com is.
        if (runner->isRunning())
            runner->kill();
        runner->setCommand(toolPath(QStringLiteral("setupc")));
        runner->setArguments({QStringLiteral("busynames"), candidate});
        runner->start();
        if (!runner->waitForStarted()) {
            logMessage(1, Category, "VirtualSerialPort::assignPortsName", QStringLiteral("com0com busynames not started"));
            return;
        }
        if (!runner->waitForFinished()) {
            logMessage(1, Category, "VirtualSerialPort::assignPortsName", QStringLiteral("com0com busynames not finished"));
            return;
        }
        // A substring test: a busy COM30 also keeps COM3 from being chosen.
        if (runner->exitCode() == 0 && !taken && !runner->output().contains(candidate)) {
            serialName = candidate;
            tcpName = TcpPrefix + QString::number(number);
            logMessage(4, Category, "VirtualSerialPort::assignPortsName", QLatin1String("serialName = '") + serialName + QLatin1Char('\''));
            logMessage(4, Category, "VirtualSerialPort::assignPortsName", QLatin1String("tcpName = '") + tcpName + QLatin1Char('\''));
            return;
        }
    }
    logMessage(1, Category, "VirtualSerialPort::assignPortsName",
               QStringLiteral("No free port name up to COM%1").arg(HighestPortNumber));
}

bool VirtualSerialPort::create(QList<VirtualSerialPort *> ports)
{
    logMessage(4, Category, "VirtualSerialPort::create", QString());
    connected = false;
    assignPortsName(ports);
    // Without a numbered name the search failed; installing the bare prefixes would
    // make a pair nothing can find again.
    if (serialName == SerialPrefix || tcpName == TcpPrefix)
        return false;
    return runSetupc({QStringLiteral("install"), QLatin1String("PortName=") + serialName,
                      QLatin1String("PortName=") + tcpName});
}

bool VirtualSerialPort::destroy()
{
    logMessage(4, Category, "VirtualSerialPort::destroy", QString());
    if (runner->isRunning()) {
        logMessage(4, Category, "VirtualSerialPort::destroy", QStringLiteral("is running then kill"));
        runner->kill();
    }
    connected = false;
    if (runner->isRunning())
        runner->kill();

    logMessage(4, Category, "VirtualSerialPort::destroy",
               QLatin1String("Execute: ") + toolPath(QStringLiteral("setupc")) + QLatin1String(" list"));
    if (!runSetupc({QStringLiteral("list")}))
        return false;

    const QStringList lines = runner->output().split(QLatin1Char('\n'));
    logMessage(4, Category, "VirtualSerialPort::destroy", QLatin1String("test ") + QString::number(lines.size()));
    // Only this port's own name: COM2 must not match the line of COM20.
    const QRegularExpression pattern(QLatin1String("^.*CNCA([0-9]+).*(?<![A-Za-z0-9])")
                                     + QRegularExpression::escape(serialName)
                                     + QLatin1String("(?![A-Za-z0-9]).*$"));
    for (const QString &line : lines) {
        logMessage(4, Category, "VirtualSerialPort::destroy", line);
        const QRegularExpressionMatch match = pattern.match(line);
        if (!match.hasMatch())
            continue;
        const QString number = match.captured(1);
        logMessage(4, Category, "VirtualSerialPort::destroy", QLatin1String("Remove com ") + number);
        if (!runSetupc({QStringLiteral("remove"), number}))
            return false;
    }

    delete apiDevice;
    apiDevice = nullptr;
    removed = true;
    return true;
}

bool VirtualSerialPort::connectPort()
{
    logMessage(4, Category, "VirtualSerialPort::connectPort", QString());
    if (runner->isRunning()) {
        logMessage(4, Category, "VirtualSerialPort::connectPort", QStringLiteral("is running then kill"));
        // This port replaces its own bridge: the stop is no disconnection to recover
        // from, so it must not schedule a reconnect that would stop the new bridge.
        disconnect(runner, &ExecCommand::finished, this, &VirtualSerialPort::onFinished);
        runner->kill();
        connected = false;
    }
    // A removed port, or one whose device is unknown or went with a domain reload,
    // has nothing to connect to.
    if (removed || !apiDevice || device.isNull() || device->vpnStatus != 1)
        return false;

    logMessage(4, Category, "VirtualSerialPort::connectPort", QStringLiteral("Get port number..."));
    apiDevice->getRemoteAccess(device->vpnIp, device->apiKey, type);
    return true;
}

// The answer is parsed where it is: the working directory is no place to write
// anything to (it can be shared, and a planted link there would be written through).
bool VirtualSerialPort::readDstPort(const QString &data)
{
    RemoteAccessAnswer::Problem problem = RemoteAccessAnswer::Problem::None;
    const std::optional<quint16> port = RemoteAccessAnswer::dstPort(data.toUtf8(), &problem);
    // Without a usable port number there is nothing to bridge to; an earlier answer's
    // number is no substitute.
    if (!port) {
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", RemoteAccessAnswer::describe(problem));
        return false;
    }
    dstPort = *port;
    return true;
}

void VirtualSerialPort::getRemoteAccessSuccess(int status, QString data)
{
    logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QString());
    if (status != 200) {
        getRemoteAccessError(status, data);
        return;
    }
    if (!readDstPort(data)) {
        getRemoteAccessError(200, data);
        return;
    }
    // The answer may come back after the port was removed or its device dropped.
    if (removed || device.isNull())
        return;
    // Two overlapping requests: the bridge of the first answer stays.
    if (runner->isRunning()) {
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Bridge already running"));
        return;
    }

    connect(runner, &ExecCommand::finished, this, &VirtualSerialPort::onFinished, Qt::UniqueConnection);
    const QStringList arguments = {QLatin1String("//./") + tcpName, device->vpnIp, QString::number(dstPort)};
    runner->setCommand(toolPath(QStringLiteral("com2tcp")));
    runner->setArguments(arguments);
    logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Connect to: "));
    for (const QString &argument : arguments)
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", argument);
    runner->start();
    connected = true;
}

void VirtualSerialPort::getRemoteAccessError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    logMessage(4, Category, "VirtualSerialPort::getRemoteAccessError", QString());
}

void VirtualSerialPort::onFinished()
{
    disconnect(runner, &ExecCommand::finished, this, &VirtualSerialPort::onFinished);
    emit onDisconnected();
}

bool VirtualSerialPort::disconnectPort()
{
    logMessage(4, Category, "VirtualSerialPort::disconnectPort", QString());
    if (runner->isRunning())
        runner->kill();
    connected = false;
    return true;
}

void VirtualSerialPort::deviceOnline()
{
    if (connected)
        return;
    logMessage(4, Category, "VirtualSerialPort::deviceOnline", QString());
    // Bound to this port: the call is dropped if the port goes first.
    QTimer::singleShot(DeviceOnlineDelayMs, this, &VirtualSerialPort::connectUnlessBridged);
}

// The delayed connection of deviceOnline(): a bridge that came up in the meantime
// (through a reconnect) is left running instead of being restarted.
void VirtualSerialPort::connectUnlessBridged()
{
    if (connected && runner->isRunning())
        return;
    connectPort();
}

void VirtualSerialPort::deviceOffline()
{
    if (!connected)
        return;
    logMessage(4, Category, "VirtualSerialPort::deviceOffline", QString());
    disconnectPort();
}

bool VirtualSerialPort::isConnected()
{
    return connected;
}

QJsonObject VirtualSerialPort::toJson()
{
    QJsonObject json;
    json.insert(QLatin1String("baudRate"), baudRate);
    json.insert(QLatin1String("dataBit"), dataBit);
    json.insert(QLatin1String("stopBit"), stopBit);
    json.insert(QLatin1String("parity"), parity);
    json.insert(QLatin1String("type"), type);
    json.insert(QLatin1String("deviceId"), deviceId);
    json.insert(QLatin1String("serialName"), serialName);
    json.insert(QLatin1String("raw"), raw);
    json.insert(QLatin1String("echo"), echo);
    json.insert(QLatin1String("terminator"), terminator);
    return json;
}

VirtualSerialPort *VirtualSerialPort::fromJson(QJsonObject json)
{
    // The caller owns the new port.
    auto *port = new VirtualSerialPort();
    port->baudRate = json.value(QLatin1String("baudRate")).toInt(0);
    port->dataBit = json.value(QLatin1String("dataBit")).toInt(0);
    port->stopBit = json.value(QLatin1String("stopBit")).toInt(0);
    port->parity = json.value(QLatin1String("parity")).toInt(0);
    port->type = json.value(QLatin1String("type")).toInt(0);
    port->deviceId = json.value(QLatin1String("deviceId")).toInt(0);
    port->serialName = json.value(QLatin1String("serialName")).toString();
    port->raw = json.value(QLatin1String("raw")).toInt(0);
    port->echo = json.value(QLatin1String("echo")).toInt(0);
    port->terminator = json.value(QLatin1String("terminator")).toInt(0);
    return port;
}
