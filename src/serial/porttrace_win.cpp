#include "serial/porttrace.h"

#include "base/logfile.h"

// The owner-only file without following links is made with POSIX calls; on Windows the
// trace stays off and says so.
PortTrace::~PortTrace() = default;

QString PortTrace::defaultDirectory()
{
    return LogFile::defaultDirectory() + QLatin1String("/traces");
}

bool PortTrace::open(const QString &, const QString &, QString *error)
{
    *error = QStringLiteral("port traces are not written on this platform");
    return false;
}

void PortTrace::close()
{
}

void PortTrace::write(const QByteArray &)
{
}
