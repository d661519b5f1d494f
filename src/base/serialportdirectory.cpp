#include "base/serialportdirectory.h"

#include <QStandardPaths>

namespace SerialPortDirectory {

QString path()
{
    const QString configured = qEnvironmentVariable("CORRIVO_SERIAL_DIR");
    if (!configured.isEmpty())
        return configured;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1String("/corrivo2/serial");
}

QString portPath(const QString &name)
{
    return path() + QLatin1Char('/') + name;
}

} // namespace SerialPortDirectory
