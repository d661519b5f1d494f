#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class ApiDevice;
class ExecCommand;
class HlvDevice;

// One serial interface of a remote device as a local port pair: "COM"+n is the end
// user programs open, "ROZIZER"+n the end com2tcp relays to the device's TCP service
// over the VPN. The pair lives from create() to destroy(); the relay (the bridge)
// runs only while the VPN serves the device.
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
    bool isConnected();

    QJsonObject toJson();
    static VirtualSerialPort *fromJson(QJsonObject json);

    int getType() const { return type; }
    void setType(int value) { type = value; }
    int getDeviceId() const { return deviceId; }
    void setDeviceId(int value) { deviceId = value; }
    HlvDevice *getDevice() const;
    void setDevice(HlvDevice *value);
    QString getSerialName() const { return serialName; }
    QString getTcpName() const { return tcpName; }

    // Path of a companion tool beside the executable (setupc, com2tcp).
    static QString toolPath(const QString &name);

    // Port names above this are not searched: create() fails instead.
    static constexpr int HighestPortNumber = 256;

public slots:
    bool connectPort();
    bool disconnectPort();

signals:
    void onDisconnected();

protected:
    // The names of the serial ports present on the machine.
    virtual QStringList presentSerialPortNames();

private slots:
    void getRemoteAccessSuccess(int status, QString data);
    void getRemoteAccessError(int status, QString data);
    void onFinished();
    void connectUnlessBridged();

private:
    bool runSetupc(const QStringList &arguments);
    bool nameTaken(int number, const QStringList &present, const QList<VirtualSerialPort *> &ports);
    bool readDstPort(const QString &data);

    int baudRate = 2;
    int dataBit = 3;
    int stopBit = 0;
    int parity = 0;
    int type = 0;
    int deviceId = -1;
    int dstPort = 0;
    int terminator = 0;
    int raw = 1;
    int echo = 0;
    // Borrowed from the bridge's domain list; a domain reload may delete it, and the
    // guard then reads null.
    QPointer<HlvDevice> device;
    // Owned; deleted by destroy(), null afterwards.
    ApiDevice *apiDevice = nullptr;
    bool connected = false;
    bool removed = false;
    QString serialName;
    QString tcpName;
    ExecCommand *runner = nullptr;
};
