// The cloud and device simulator: see README.md beside this file for the command line
// and the fixture format.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <QTextStream>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "serialservice.h"
#include "simulator.h"
#include "stdinwatcher.h"
#include "testca.h"

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "simulator: " << message << Qt::endl;
    return 2;
}

QString urlHost(const QHostAddress &address)
{
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4)
        return QStringLiteral("127.0.0.1");
    if (address == QHostAddress::AnyIPv6)
        return QStringLiteral("[::1]");
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QLatin1Char('[') + address.toString() + QLatin1Char(']');
    return address.toString();
}

// The control token: one line read from the descriptor, a byte at a time so that
// nothing after it is taken from a standard input that is watched for its end.
bool readControlToken(int fd, QByteArray *token, QString *error)
{
    const qsizetype MaxLength = 256;
    QByteArray line;
    char c = 0;
    while (line.size() <= MaxLength) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        line.append(c);
    }
    if (fd != STDIN_FILENO)
        ::close(fd);
    if (line.endsWith('\r'))
        line.chop(1);
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{16,256}$"));
    if (!form.match(QString::fromLatin1(line)).hasMatch()) {
        *error = QStringLiteral("the control token must be one line of 16 to 256 letters, digits, '-' or '_'");
        return false;
    }
    *token = line;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corrivo-simulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated cloud service and devices over HTTPS for tests and the lab."));
    parser.addHelpOption();
    const QCommandLineOption fixtureOption(QStringLiteral("fixture"), QStringLiteral("Fixture JSON file."), QStringLiteral("file"));
    const QCommandLineOption listenOption(QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                          QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("HTTPS port; 0 picks a free one (default 0)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption caDirOption(QStringLiteral("ca-dir"),
                                         QStringLiteral("Directory for ca.pem and ca-key.pem; an existing CA there is reused."),
                                         QStringLiteral("dir"));
    const QCommandLineOption roleOption(QStringLiteral("role"), QStringLiteral("cloud, device or both (default both)."),
                                        QStringLiteral("role"), QStringLiteral("both"));
    const QCommandLineOption deviceOption(QStringLiteral("device-id"),
                                          QStringLiteral("Serve only this fixture device (device role)."), QStringLiteral("id"));
    const QCommandLineOption httpPortOption(QStringLiteral("http-port"),
                                            QStringLiteral("Also serve plain HTTP on this port (the device web page); 0 picks one."),
                                            QStringLiteral("port"));
    const QCommandLineOption nameOption(QStringLiteral("san"),
                                        QStringLiteral("Extra host name or IP address for the server certificate (repeatable)."),
                                        QStringLiteral("name"));
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("Device role with --device-id: also serve the device's serial "
                                                         "interfaces on the ports its remote-access answer names."));
    const QCommandLineOption stdinOption(QStringLiteral("exit-on-stdin-eof"),
                                         QStringLiteral("End when standard input is closed (for test harnesses)."));
    const QCommandLineOption tokenOption(QStringLiteral("control-token-fd"),
                                         QStringLiteral("Read the token that /_sim/ requests must carry (header X-Sim-Token) "
                                                        "as one line from this descriptor; without it /_sim/ refuses all."),
                                         QStringLiteral("fd"));
    const QCommandLineOption filesDirOption(QStringLiteral("files-dir"),
                                            QStringLiteral("Directory whose files fixtures name as VPN files (default: the "
                                                           "fixture file's directory)."),
                                            QStringLiteral("dir"));
    parser.addOptions({fixtureOption, listenOption, portOption, caDirOption, roleOption, deviceOption, httpPortOption,
                       nameOption, serialOption, stdinOption, tokenOption, filesDirOption});
    parser.process(app);

    if (!parser.isSet(fixtureOption) || !parser.isSet(caDirOption))
        return fail(QStringLiteral("--fixture and --ca-dir are required (see --help)"));

    Simulator::Role role = Simulator::Role::Both;
    const QString roleName = parser.value(roleOption);
    if (roleName == QLatin1String("cloud"))
        role = Simulator::Role::Cloud;
    else if (roleName == QLatin1String("device"))
        role = Simulator::Role::Device;
    else if (roleName != QLatin1String("both"))
        return fail(QStringLiteral("unknown role ") + roleName);

    bool ok = true;
    const int deviceId = parser.isSet(deviceOption) ? parser.value(deviceOption).toInt(&ok) : -1;
    if (!ok)
        return fail(QStringLiteral("--device-id needs a number"));
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("bad --port ") + parser.value(portOption));
    const QHostAddress address(parser.value(listenOption));
    if (address.isNull())
        return fail(QStringLiteral("bad --listen address ") + parser.value(listenOption));

    QByteArray controlToken;
    if (parser.isSet(tokenOption)) {
        const int tokenFd = parser.value(tokenOption).toInt(&ok);
        if (!ok || tokenFd < 0)
            return fail(QStringLiteral("--control-token-fd needs a descriptor number"));
        QString error;
        if (!readControlToken(tokenFd, &controlToken, &error))
            return fail(error);
    }

    const QString fixturePath = parser.value(fixtureOption);
    const QString filesDirPath = parser.isSet(filesDirOption) ? parser.value(filesDirOption) : QFileInfo(fixturePath).absolutePath();
    // Held open for the process's life: fixtures, also those posted later, name files
    // relative to it and nowhere else.
    const int filesDir = ::open(QFile::encodeName(filesDirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (filesDir < 0)
        return fail(QStringLiteral("cannot open the files directory ") + filesDirPath);
    QFile fixtureFile(fixturePath);
    if (!fixtureFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read fixture ") + fixturePath + QStringLiteral(": ") + fixtureFile.errorString());
    QJsonParseError parseError;
    const QJsonDocument fixture = QJsonDocument::fromJson(fixtureFile.readAll(), &parseError);
    if (!fixture.isObject())
        return fail(QStringLiteral("fixture is not a JSON object: ") + parseError.errorString());

    QStringList ipAddresses{QStringLiteral("127.0.0.1"), QStringLiteral("::1")};
    QStringList dnsNames{QStringLiteral("localhost")};
    if (address != QHostAddress::Any && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6
        && !ipAddresses.contains(address.toString()))
        ipAddresses.prepend(address.toString());
    for (const QString &name : parser.values(nameOption)) {
        if (QHostAddress(name).isNull())
            dnsNames.append(name);
        else
            ipAddresses.append(QHostAddress(name).toString());
    }

    TestCa ca;
    if (!ca.prepare(parser.value(caDirOption), ipAddresses, dnsNames))
        return fail(ca.errorString());

    Simulator simulator(role, deviceId, ca, filesDir, controlToken);
    if (!simulator.setFixture(fixture.object()))
        return fail(QStringLiteral("bad fixture: ") + simulator.errorString());

    const quint16 httpsPort = simulator.listen(address, quint16(port), true);
    if (!httpsPort)
        return fail(simulator.errorString());
    QString ready = QStringLiteral("READY https://") + urlHost(address) + QLatin1Char(':') + QString::number(httpsPort)
        + QLatin1Char(' ') + ca.caFile();
    if (parser.isSet(httpPortOption)) {
        const uint httpPortWanted = parser.value(httpPortOption).toUInt(&ok);
        if (!ok || httpPortWanted > 65535)
            return fail(QStringLiteral("bad --http-port ") + parser.value(httpPortOption));
        const quint16 httpPort = simulator.listen(address, quint16(httpPortWanted), false);
        if (!httpPort)
            return fail(simulator.errorString());
        ready += QStringLiteral(" http://") + urlHost(address) + QLatin1Char(':') + QString::number(httpPort);
    }

    SerialService serial(deviceId, QString());
    if (parser.isSet(serialOption)) {
        const FixtureDevice *device = role == Simulator::Role::Device ? simulator.device(deviceId) : nullptr;
        if (!device)
            return fail(QStringLiteral("--serial needs the device role and a --device-id of the fixture"));
        // One listener per port; a port that several interfaces share serves them all.
        QMap<int, int> sourceTypes;
        for (auto it = device->dstIpPorts.begin(); it != device->dstIpPorts.end(); ++it)
            sourceTypes.insert(it.value(), sourceTypes.contains(it.value()) ? -1 : it.key());
        if (device->dstIpPort >= 0)
            sourceTypes.insert(device->dstIpPort, -1);
        serial.setDeviceName(device->name);
        for (auto it = sourceTypes.begin(); it != sourceTypes.end(); ++it) {
            if (it.key() <= 0 || it.key() > 65535)
                return fail(QStringLiteral("bad serial port ") + QString::number(it.key()));
            if (!serial.listen(address, quint16(it.key()), it.value()))
                return fail(serial.errorString());
        }
    }

    StdinWatcher watcher;
    if (parser.isSet(stdinOption)) {
        QObject::connect(&watcher, &StdinWatcher::endOfInput, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        watcher.start();
    }

    QTextStream(stdout) << ready << Qt::endl;
    const int result = app.exec();
    if (watcher.isRunning()) {
        // The reader blocks in fread; it cannot be woken portably, and the process ends anyway.
        watcher.terminate();
        watcher.wait();
    }
    return result;
}
