#include "serial/remoteaccessanswer.h"

#include <QXmlStreamReader>

namespace RemoteAccessAnswer {

std::optional<quint16> dstPort(const QByteArray &xml, Problem *problem)
{
    Problem found = Problem::NoPort;
    int port = 0;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        // Devices have sent the element more than once; the last one counts.
        if (reader.isStartElement() && reader.name() == QLatin1String("dst_ip_port")) {
            port = reader.readElementText().toInt();
            found = Problem::None;
        }
    }
    if (reader.hasError())
        found = Problem::MalformedXml;
    else if (found == Problem::None && (port < 1 || port > 65535))
        found = Problem::NoPort;
    if (problem)
        *problem = found;
    if (found != Problem::None)
        return std::nullopt;
    return quint16(port);
}

QString describe(Problem problem)
{
    switch (problem) {
    case Problem::None:
        return QString();
    case Problem::MalformedXml:
        return QStringLiteral("XML has error");
    case Problem::NoPort:
        return QStringLiteral("No dst_ip_port");
    }
    return QString();
}

} // namespace RemoteAccessAnswer
