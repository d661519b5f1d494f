#include "serial/virtualserialport.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTimer>

#include <utility>

#include "cloud/apidevice.h"
#include "model/hlvdevice.h"
#include "serial/execcommand.h"
#include "serial/remoteaccessanswer.h"
#include "base/logging.h"

namespace {

const char Category[] = "hlv_serials";
int g_onlineDelayMs = VirtualSerialPort::OnlineDelayMs;

const QString SerialPrefix = QStringLiteral("COM");
const QString TcpPrefix = QStringLiteral("ROZIZER");

} // namespace

VirtualSerialPort::VirtualSerialPort(QObject *parent)
    : QObject(parent)
    , m_apiDevice(std::make_unique<ApiDevice>())
    , m_setupc(std::make_unique<ExecCommand>())
{
    connect(m_apiDevice.get(), &ApiDevice::onGetRemoteAccessSuccess, this, &VirtualSerialPort::getRemoteAccessSuccess);
    connect(m_apiDevice.get(), &ApiDevice::onGetRemoteAccessError, this, &VirtualSerialPort::getRemoteAccessError);
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, &VirtualSerialPort::connectUnlessBridged);
}

// The relay goes with the port, and says nothing on its way out.
VirtualSerialPort::~VirtualSerialPort()
{
    endRelay();
}

void VirtualSerialPort::setOnlineDelay(int ms)
{
    g_onlineDelayMs = ms;
}

HlvDevice *VirtualSerialPort::getDevice() const
{
    return m_device.data();
}

void VirtualSerialPort::setDevice(HlvDevice *value)
{
    m_device = value;
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
    if (m_setupc->isRunning())
        m_setupc->kill();
    m_setupc->setCommand(toolPath(QStringLiteral("setupc")));
    m_setupc->setArguments(arguments);
    m_setupc->start();
    return m_setupc->waitForStarted() && m_setupc->waitForFinished() && m_setupc->exitCode() == 0;
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
        if (port->m_serialName == serial || port->m_tcpName == tcp)
            return true;
    }
    return false;
}

void VirtualSerialPort::assignPortsName(QList<VirtualSerialPort *> ports)
{
    logMessage(4, Category, "VirtualSerialPort::assignPortsName", QString());
    m_serialName = SerialPrefix;
    m_tcpName = TcpPrefix;
    const QStringList present = presentSerialPortNames();

    for (int number = 2; number <= HighestPortNumber; ++number) {
        const bool taken = nameTaken(number, present, ports);
        const QString candidate = SerialPrefix + QString::number(number);

        // setupc is asked even for a name known to be taken, as com0com is.
        if (m_setupc->isRunning())
            m_setupc->kill();
        m_setupc->setCommand(toolPath(QStringLiteral("setupc")));
        m_setupc->setArguments({QStringLiteral("busynames"), candidate});
        m_setupc->start();
        if (!m_setupc->waitForStarted()) {
            logMessage(1, Category, "VirtualSerialPort::assignPortsName", QStringLiteral("com0com busynames not started"));
            return;
        }
        if (!m_setupc->waitForFinished()) {
            logMessage(1, Category, "VirtualSerialPort::assignPortsName", QStringLiteral("com0com busynames not finished"));
            return;
        }
        // A substring test: a busy COM30 also keeps COM3 from being chosen.
        if (m_setupc->exitCode() == 0 && !taken && !m_setupc->output().contains(candidate)) {
            m_serialName = candidate;
            m_tcpName = TcpPrefix + QString::number(number);
            logMessage(4, Category, "VirtualSerialPort::assignPortsName", QLatin1String("serialName = '") + m_serialName + QLatin1Char('\''));
            logMessage(4, Category, "VirtualSerialPort::assignPortsName", QLatin1String("tcpName = '") + m_tcpName + QLatin1Char('\''));
            return;
        }
    }
    logMessage(1, Category, "VirtualSerialPort::assignPortsName",
               QStringLiteral("No free port name up to COM%1").arg(HighestPortNumber));
}

// The one place the state changes. Leaving Bridged retires the relay run and entering
// it starts a new one, so a relay runs exactly while the port is Bridged. Nothing is
// announced here: a stop the port makes is announced by stopConnection(), a replacement
// is not.
void VirtualSerialPort::moveTo(State next)
{
    if (next == m_state)
        return;
    const State previous = m_state;
    m_state = next;
    switch (previous) {
    case State::Bridged:
        endRelay();
        break;
    case State::Idle:
    case State::Requesting:
    case State::RelayEnded:
    case State::Removed:
        break;
    }
    // Last: a relay that fails to start at once moves the state on from inside.
    switch (next) {
    case State::Bridged:
        startRelay();
        break;
    case State::Idle:
    case State::Requesting:
    case State::RelayEnded:
    case State::Removed:
        break;
    }
}

// Back to Idle from a connection or an attempt at one. A stop of a running relay is
// announced like an end of its own: the manager decides whether it comes back.
void VirtualSerialPort::stopConnection()
{
    switch (m_state) {
    case State::Bridged:
        moveTo(State::Idle);
        emit onDisconnected();
        break;
    case State::Requesting:
    case State::RelayEnded:
        moveTo(State::Idle);
        break;
    case State::Idle:
    case State::Removed:
        break;
    }
}

void VirtualSerialPort::startRelay()
{
    m_relay = new ExecCommand(this);
    connect(m_relay, &ExecCommand::finished, this, &VirtualSerialPort::relayFinished);
    connect(m_relay, &ExecCommand::startFailed, this, &VirtualSerialPort::relayNotStarted);
    const QStringList arguments = {QLatin1String("//./") + m_tcpName, m_device->vpnIp, QString::number(m_dstPort)};
    m_relay->setCommand(toolPath(QStringLiteral("com2tcp")));
    m_relay->setArguments(arguments);
    m_relay->setLineMode(RelayLine::MaxLineLength);
    connect(m_relay, &ExecCommand::outputLine, this, &VirtualSerialPort::relayOutput);
    m_monitor.relayStarted();
    logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Connect to: "));
    for (const QString &argument : arguments)
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", argument);
    m_relay->start();
    // Written ahead of the start; the relay reads it once it runs.
    if (m_relay && m_monitor.wantsTap())
        m_relay->writeInput("tap on\n");
}

void VirtualSerialPort::relayOutput(const QByteArray &line)
{
    m_monitor.take(RelayLine::parse(line));
}

void VirtualSerialPort::sendTapSwitch()
{
    if (m_relay)
        m_relay->writeInput(m_monitor.wantsTap() ? "tap on\n" : "tap off\n");
}

void VirtualSerialPort::setMonitor(bool on)
{
    m_monitor.setMonitor(on);
    sendTapSwitch();
}

QJsonObject VirtualSerialPort::monitorRecords(quint64 since) const
{
    return m_monitor.recordsSince(since);
}

bool VirtualSerialPort::setTrace(bool on, QString *error)
{
    const bool done = m_monitor.setTrace(on, PortTrace::defaultDirectory(), m_serialName, error);
    sendTapSwitch();
    return done;
}

QString VirtualSerialPort::stateName() const
{
    switch (m_state) {
    case State::Idle:
        return QStringLiteral("idle");
    case State::Requesting:
        return QStringLiteral("requesting");
    case State::Bridged:
        return m_monitor.relayUp() ? QStringLiteral("relaying") : QStringLiteral("starting");
    case State::RelayEnded:
        return QStringLiteral("ended");
    case State::Removed:
        return QStringLiteral("removed");
    }
    return {};
}

QJsonObject VirtualSerialPort::statusJson() const
{
    QJsonObject status = m_monitor.status();
    status.insert(QStringLiteral("type"), m_type);
    status.insert(QStringLiteral("serialName"), m_serialName);
    status.insert(QStringLiteral("state"), stateName());
    return status;
}

// Retired before it is stopped: its connections to this port go first, so neither the
// end the kill brings about nor anything later from this run reaches the port.
void VirtualSerialPort::endRelay()
{
    ExecCommand *relay = std::exchange(m_relay, nullptr);
    if (!relay)
        return;
    relay->disconnect(this);
    m_monitor.relayEnded();
    relay->kill();
    // Its own signal may be what brought us here.
    relay->deleteLater();
}

// Only the current run is connected, and a run is current only while Bridged: this is
// its end.
void VirtualSerialPort::relayFinished()
{
    m_monitor.relayEnded();
    moveTo(State::RelayEnded);
    emit onDisconnected();
}

// A relay that never ran has no end to announce; the port stays connected in name, and
// the next delayed connection tries again.
void VirtualSerialPort::relayNotStarted()
{
    moveTo(State::RelayEnded);
}

bool VirtualSerialPort::create(QList<VirtualSerialPort *> ports)
{
    logMessage(4, Category, "VirtualSerialPort::create", QString());
    if (m_state == State::Removed)
        return false;
    stopConnection();
    assignPortsName(ports);
    // Without a numbered name the search failed; installing the bare prefixes would
    // make a pair nothing can find again.
    if (m_serialName == SerialPrefix || m_tcpName == TcpPrefix)
        return false;
    return runSetupc({QStringLiteral("install"), QLatin1String("PortName=") + m_serialName,
                      QLatin1String("PortName=") + m_tcpName});
}

bool VirtualSerialPort::destroy()
{
    logMessage(4, Category, "VirtualSerialPort::destroy", QString());
    if (m_state == State::Bridged)
        logMessage(4, Category, "VirtualSerialPort::destroy", QStringLiteral("is running then kill"));
    stopConnection();

    logMessage(4, Category, "VirtualSerialPort::destroy",
               QLatin1String("Execute: ") + toolPath(QStringLiteral("setupc")) + QLatin1String(" list"));
    if (!runSetupc({QStringLiteral("list")}))
        return false;

    const QStringList lines = m_setupc->output().split(QLatin1Char('\n'));
    logMessage(4, Category, "VirtualSerialPort::destroy", QLatin1String("test ") + QString::number(lines.size()));
    // Only this port's own name: COM2 must not match the line of COM20.
    const QRegularExpression pattern(QLatin1String("^.*CNCA([0-9]+).*(?<![A-Za-z0-9])")
                                     + QRegularExpression::escape(m_serialName)
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

    m_apiDevice.reset();
    moveTo(State::Removed);
    return true;
}

bool VirtualSerialPort::connectPort()
{
    logMessage(4, Category, "VirtualSerialPort::connectPort", QString());
    switch (m_state) {
    case State::Bridged:
        logMessage(4, Category, "VirtualSerialPort::connectPort", QStringLiteral("is running then kill"));
        // This port replaces its own bridge: the stop is no disconnection to recover
        // from, so it must not schedule a reconnect that would stop the new bridge.
        moveTo(State::Idle);
        break;
    case State::Removed:
        return false;
    case State::Idle:
    case State::Requesting:
    case State::RelayEnded:
        break;
    }
    // A port whose device is unknown or went with a domain reload has nothing to
    // connect to.
    if (m_device.isNull() || m_device->vpnStatus != 1)
        return false;

    logMessage(4, Category, "VirtualSerialPort::connectPort", QStringLiteral("Get port number..."));
    m_apiDevice->getRemoteAccess(m_device->vpnIp, m_device->apiKey, m_type);
    moveTo(State::Requesting);
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
    m_dstPort = *port;
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
    // The answer may come back after its device was dropped.
    if (m_device.isNull())
        return;
    switch (m_state) {
    case State::Removed:
        return;
    case State::Bridged:
        // Two overlapping requests: the bridge of the first answer stays.
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Bridge already running"));
        return;
    case State::Idle:
    case State::RelayEnded:
        // Only a port that is asking takes an answer: a disconnection (the tunnel went
        // down) withdrew this request, and the answer must not bridge the port again.
        logMessage(4, Category, "VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Request withdrawn"));
        return;
    case State::Requesting:
        moveTo(State::Bridged);
        break;
    }
}

void VirtualSerialPort::getRemoteAccessError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    logMessage(4, Category, "VirtualSerialPort::getRemoteAccessError", QString());
    // A failed request leaves nothing connected, so the next time the device is seen
    // online the port asks again.
    switch (m_state) {
    case State::Requesting:
        moveTo(State::Idle);
        break;
    case State::Idle:
    case State::Bridged:
    case State::RelayEnded:
    case State::Removed:
        break;
    }
}

bool VirtualSerialPort::disconnectPort()
{
    logMessage(4, Category, "VirtualSerialPort::disconnectPort", QString());
    // A connection scheduled before the disconnection is withdrawn with it.
    m_connectTimer->stop();
    stopConnection();
    return true;
}

void VirtualSerialPort::connectLater(int ms)
{
    m_connectTimer->start(ms);
}

void VirtualSerialPort::withdrawPendingConnection()
{
    m_connectTimer->stop();
    if (m_state == State::Requesting)
        stopConnection();
}

void VirtualSerialPort::deviceOnline()
{
    if (isConnected())
        return;
    logMessage(4, Category, "VirtualSerialPort::deviceOnline", QString());
    connectLater(g_onlineDelayMs);
}

void VirtualSerialPort::connectUnlessBridged()
{
    switch (m_state) {
    case State::Bridged:
        return;
    case State::Idle:
    case State::Requesting:
    case State::RelayEnded:
    case State::Removed:
        connectPort();
        return;
    }
}

void VirtualSerialPort::deviceOffline()
{
    if (!isConnected()) {
        withdrawPendingConnection();
        return;
    }
    logMessage(4, Category, "VirtualSerialPort::deviceOffline", QString());
    disconnectPort();
}

bool VirtualSerialPort::isConnected()
{
    switch (m_state) {
    case State::Bridged:
    case State::RelayEnded:
        return true;
    case State::Idle:
    case State::Requesting:
    case State::Removed:
        return false;
    }
    return false;
}

QJsonObject VirtualSerialPort::toJson()
{
    QJsonObject json;
    json.insert(QLatin1String("baudRate"), m_baudRate);
    json.insert(QLatin1String("dataBit"), m_dataBit);
    json.insert(QLatin1String("stopBit"), m_stopBit);
    json.insert(QLatin1String("parity"), m_parity);
    json.insert(QLatin1String("type"), m_type);
    json.insert(QLatin1String("deviceId"), m_deviceId);
    json.insert(QLatin1String("serialName"), m_serialName);
    json.insert(QLatin1String("raw"), m_raw);
    json.insert(QLatin1String("echo"), m_echo);
    json.insert(QLatin1String("terminator"), m_terminator);
    return json;
}

VirtualSerialPort *VirtualSerialPort::fromJson(QJsonObject json)
{
    // The caller owns the new port.
    auto *port = new VirtualSerialPort();
    port->m_baudRate = json.value(QLatin1String("baudRate")).toInt(0);
    port->m_dataBit = json.value(QLatin1String("dataBit")).toInt(0);
    port->m_stopBit = json.value(QLatin1String("stopBit")).toInt(0);
    port->m_parity = json.value(QLatin1String("parity")).toInt(0);
    port->m_type = json.value(QLatin1String("type")).toInt(0);
    port->m_deviceId = json.value(QLatin1String("deviceId")).toInt(0);
    port->m_serialName = json.value(QLatin1String("serialName")).toString();
    port->m_raw = json.value(QLatin1String("raw")).toInt(0);
    port->m_echo = json.value(QLatin1String("echo")).toInt(0);
    port->m_terminator = json.value(QLatin1String("terminator")).toInt(0);
    return port;
}
