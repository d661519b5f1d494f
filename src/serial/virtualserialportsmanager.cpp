#include "serial/virtualserialportsmanager.h"

VirtualSerialPortsManager::VirtualSerialPortsManager(QObject *parent)
    : QObject(parent)
{
}
