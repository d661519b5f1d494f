#include "fixture.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keys that describe the simulation, never sent to a client.
const char *const SimulatorOnlyKeys[] = {"vpn_files", "dst_ip_port", "dst_ip_ports"};

QJsonObject withoutSimulatorKeys(QJsonObject object)
{
    for (const char *key : SimulatorOnlyKeys)
        object.remove(QLatin1String(key));
    return object;
}

QList<FixtureVpnFile> defaultVpnFiles(int domainId, const QByteArray &caPem)
{
    const QByteArray profile = "client\n"
                               "dev tun\n"
                               "proto udp\n"
                               "remote 127.0.0.1 1194\n"
                               "nobind\n"
                               "ca ca.crt\n"
                               "auth-user-pass\n"
                               "tls-exit\n"
                               "topology subnet\n"
                               "verb 3\n";
    return {
        {QStringLiteral("client.ovpn"), profile, {}},
        {QStringLiteral("ca.crt"), caPem, {}},
        {QStringLiteral("credentials.txt"), "vpnuser" + QByteArray::number(domainId) + "\nvpnpassword", {}},
    };
}

} // namespace

bool Fixture::readNamedFile(int filesDir, const QString &name, QByteArray *content, QString *error)
{
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]{0,127}$"));
    if (!plainName.match(name).hasMatch() || name.contains(QLatin1String(".."))) {
        *error = QStringLiteral("VPN file \"") + name + QStringLiteral("\" is not a plain file name");
        return false;
    }
    const QByteArray encoded = name.toUtf8();
    int fd = -1;
    do {
        fd = ::openat(filesDir, encoded.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = QStringLiteral("cannot read VPN file ") + name + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status = {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= MaxFileSize;
    QByteArray bytes;
    if (ok) {
        bytes.resize(qsizetype(status.st_size));
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        ok = done == bytes.size();
    }
    ::close(fd);
    if (!ok) {
        *error = QStringLiteral("VPN file ") + name + QStringLiteral(" is no regular file of at most ")
            + QString::number(MaxFileSize) + QStringLiteral(" bytes");
        return false;
    }
    *content = bytes;
    return true;
}

bool Fixture::load(const QJsonObject &root, int filesDir, const QByteArray &caPem)
{
    users.clear();
    domains.clear();
    keyLifetime = root.value(QLatin1String("key_lifetime")).toInt(3600);
    faults = root.value(QLatin1String("faults")).toArray();

    for (const QJsonValue &value : root.value(QLatin1String("users")).toArray()) {
        const QJsonObject json = value.toObject();
        FixtureUser user;
        user.username = json.value(QLatin1String("username")).toString();
        user.password = json.value(QLatin1String("password")).toString();
        user.keyType = json.value(QLatin1String("key_type")).toInt(1);
        if (json.contains(QLatin1String("domains"))) {
            user.allDomains = false;
            for (const QJsonValue &id : json.value(QLatin1String("domains")).toArray())
                user.domains.append(id.toInt());
        }
        if (user.username.isEmpty()) {
            m_error = QStringLiteral("a user without \"username\"");
            return false;
        }
        users.append(user);
    }

    for (const QJsonValue &value : root.value(QLatin1String("domains")).toArray()) {
        if (!loadDomain(value.toObject(), filesDir, caPem))
            return false;
    }
    return true;
}

bool Fixture::loadDomain(const QJsonObject &json, int filesDir, const QByteArray &caPem)
{
    FixtureDomain domain;
    domain.id = json.value(QLatin1String("id")).toInt();
    QJsonObject record = withoutSimulatorKeys(json);

    if (record.value(QLatin1String("devices")).isArray()) {
        QJsonArray devices;
        for (const QJsonValue &deviceValue : record.value(QLatin1String("devices")).toArray()) {
            const QJsonObject deviceJson = deviceValue.toObject();
            FixtureDevice device;
            device.id = deviceJson.value(QLatin1String("id")).toInt();
            device.name = deviceJson.value(QLatin1String("name")).toString();
            device.apiKey = deviceJson.value(QLatin1String("api_key")).toString();
            device.remoteAccessEnable = deviceJson.value(QLatin1String("remote_access_enable")).toInt() == 1;
            device.dstIpPort = deviceJson.value(QLatin1String("dst_ip_port")).toInt(-1);
            const QJsonObject ports = deviceJson.value(QLatin1String("dst_ip_ports")).toObject();
            for (auto it = ports.begin(); it != ports.end(); ++it)
                device.dstIpPorts.insert(it.key().toInt(), it.value().toInt());
            domain.devices.append(device);
            devices.append(deviceValue.isObject() ? QJsonValue(withoutSimulatorKeys(deviceJson)) : deviceValue);
        }
        record.insert(QLatin1String("devices"), devices);
    }
    domain.record = record;

    if (!json.contains(QLatin1String("vpn_files"))) {
        domain.vpnFiles = defaultVpnFiles(domain.id, caPem);
    } else {
        for (const QJsonValue &fileValue : json.value(QLatin1String("vpn_files")).toArray()) {
            const QJsonObject fileJson = fileValue.toObject();
            FixtureVpnFile file;
            file.name = fileJson.value(QLatin1String("name")).toString();
            file.md5 = fileJson.value(QLatin1String("md5")).toString();
            if (fileJson.contains(QLatin1String("content"))) {
                file.content = fileJson.value(QLatin1String("content")).toString().toUtf8();
            } else if (fileJson.contains(QLatin1String("path"))) {
                if (!readNamedFile(filesDir, fileJson.value(QLatin1String("path")).toString(), &file.content, &m_error))
                    return false;
            } else if (fileJson.value(QLatin1String("ca")).toBool()) {
                file.content = caPem;
            } else {
                m_error = QStringLiteral("VPN file \"") + file.name + QStringLiteral("\" has neither \"content\" nor \"path\"");
                return false;
            }
            domain.vpnFiles.append(file);
        }
    }
    domains.append(domain);
    return true;
}

QString Fixture::errorString() const
{
    return m_error;
}
