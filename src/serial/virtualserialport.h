#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

#include "serial/portmonitor.h"

class ApiDevice;
class ExecCommand;
class QTimer;
class HlvDevice;

// One serial interface of a remote device as a local port pair: "COM"+n is the end
// user programs open, "ROZIZER"+n the end com2tcp relays to the device's TCP service
// over the VPN. The pair lives from create() to destroy(); the relay (the bridge)
// runs only while the VPN serves the device. Where the port stands is one State,
// changed only by moveTo(); docs/architecture.md has the diagram.
class VirtualSerialPort : public QObject
{
    Q_OBJECT

public:
    explicit VirtualSerialPort(QObject *parent = nullptr);
    ~VirtualSerialPort() override;

    void assignPortsName(QList<VirtualSerialPort *> ports);
    bool create(QList<VirtualSerialPort *> ports);
    bool destroy();
    void deviceOnline();
    void deviceOffline();
    // Bridged, or the relay ended by itself and nobody has told the port otherwise.
    bool isConnected();

    QJsonObject toJson();
    static VirtualSerialPort *fromJson(QJsonObject json);

    int getType() const { return m_type; }
    void setType(int value) { m_type = value; }
    int getDeviceId() const { return m_deviceId; }
    void setDeviceId(int value) { m_deviceId = value; }
    HlvDevice *getDevice() const;
    void setDevice(HlvDevice *value);
    QString getSerialName() const { return m_serialName; }
    QString getTcpName() const { return m_tcpName; }

    // The counters, the relay's state and the monitor's switches, as the page shows
    // them: PortMonitor::status() with "type", "serialName" and "state".
    QJsonObject statusJson() const;
    // The monitor keeps the last tapped records while on; the running relay and every
    // later one of this port are told to tap.
    void setMonitor(bool on);
    QJsonObject monitorRecords(quint64 since) const;
    // The trace writes the tapped bytes to a file of the user's own (PortTrace).
    bool setTrace(bool on, QString *error);
    const PortMonitor &monitor() const { return m_monitor; }

    // Path of a companion tool beside the executable (setupc, com2tcp).
    static QString toolPath(const QString &name);

    // Port names above this are not searched: create() fails instead.
    static constexpr int HighestPortNumber = 256;

    // How long deviceOnline() waits before it connects.
    static constexpr int OnlineDelayMs = 4000;
    // Test hook; the product keeps OnlineDelayMs.
    static void setOnlineDelay(int ms);

public slots:
    bool connectPort();
    bool disconnectPort();
    // The delayed connections (a device seen online, the manager's reconnect) end here:
    // a relay that came up in the meantime is left running instead of being replaced.
    void connectUnlessBridged();
    // Calls connectUnlessBridged() after ms, unless a disconnection comes first; a
    // later call moves the one still pending.
    void connectLater(int ms);
    // Withdraws a connection not made yet: the pending delayed one and a request still
    // unanswered. A port that is connected is left as it is.
    void withdrawPendingConnection();

signals:
    // A running relay of this port has ended, unless the port ended it to replace it.
    void onDisconnected();

protected:
    // The names of the serial ports present on the machine.
    virtual QStringList presentSerialPortNames();

private slots:
    void getRemoteAccessSuccess(int status, QString data);
    void getRemoteAccessError(int status, QString data);

private:
    enum class State {
        Idle,        // no relay and no request; the pair exists once create() succeeded
        Requesting,  // the device was asked for its TCP port, no relay yet
        Bridged,     // a relay run is under way
        RelayEnded,  // the relay ended (or never started) without being told to; still
                     // counts as connected until a connect or disconnect says otherwise
        Removed,     // pair and device API gone; never created or connected again
    };

    void moveTo(State next);
    void stopConnection();
    void startRelay();
    void endRelay();
    void relayFinished();
    void relayNotStarted();
    void relayOutput(const QByteArray &line);
    void sendTapSwitch();
    QString stateName() const;
    bool runSetupc(const QStringList &arguments);
    bool nameTaken(int number, const QStringList &present, const QList<VirtualSerialPort *> &ports);
    bool readDstPort(const QString &data);

    int m_baudRate = 2;
    int m_dataBit = 3;
    int m_stopBit = 0;
    int m_parity = 0;
    int m_type = 0;
    int m_deviceId = -1;
    int m_dstPort = 0;
    int m_terminator = 0;
    int m_raw = 1;
    int m_echo = 0;
    // Borrowed from the bridge's domain list; a domain reload may delete it, and the
    // pointer then reads null. Whether there is a device is an input the port checks
    // where it needs one, not part of its state.
    QPointer<HlvDevice> m_device;
    // Released by destroy(): an answer still under way then goes nowhere.
    std::unique_ptr<ApiDevice> m_apiDevice;
    QString m_serialName;
    QString m_tcpName;
    // Runs setupc, one run at a time, always waited for.
    std::unique_ptr<ExecCommand> m_setupc;
    // The current relay run (a child, made per run); set exactly while Bridged. Each
    // run has a runner of its own, so the end of an earlier run can never be taken
    // for the end of the current one.
    ExecCommand *m_relay = nullptr;
    // The pending delayed connection, stopped by every disconnection.
    QTimer *m_connectTimer = nullptr;
    State m_state = State::Idle;
    PortMonitor m_monitor;
};
