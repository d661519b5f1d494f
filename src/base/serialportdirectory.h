#pragma once

#include <QString>

// Where the virtual serial port pairs show their two ends by name. The tools and the
// application agree on it; CORRIVO_SERIAL_DIR moves it (tests run in isolation that way).
namespace SerialPortDirectory {

QString path();

// The path a program opens for the end called name.
QString portPath(const QString &name);

} // namespace SerialPortDirectory
