#pragma once

#include <QList>

class HlvSettings;
class VirtualSerialPort;

// The virtual serial ports kept in the settings, as port objects.
namespace StoredPorts {

// New port objects in stored order; the caller owns them.
QList<VirtualSerialPort *> read(HlvSettings &settings);
// Stores the list; the objects stay with the caller.
void write(HlvSettings &settings, const QList<VirtualSerialPort *> &ports);

} // namespace StoredPorts
