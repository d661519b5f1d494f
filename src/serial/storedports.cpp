#include "serial/storedports.h"

#include <QJsonArray>
#include <QJsonObject>

#include "model/hlvsettings.h"
#include "serial/virtualserialport.h"

namespace StoredPorts {

QList<VirtualSerialPort *> read(HlvSettings &settings)
{
    QList<VirtualSerialPort *> ports;
    for (const QJsonValue &record : settings.virtualSerialPortRecords())
        ports.append(VirtualSerialPort::fromJson(record.toObject()));
    return ports;
}

void write(HlvSettings &settings, const QList<VirtualSerialPort *> &ports)
{
    QJsonArray records;
    for (VirtualSerialPort *port : ports)
        records.append(port->toJson());
    settings.setVirtualSerialPortRecords(records);
}

} // namespace StoredPorts
