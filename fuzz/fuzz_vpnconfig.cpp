// The cloud's answer to the VPN configuration request: files in Base64 with their MD5
// digests, and the tunnel's credentials. The input is the answer's body (status 200).
// Besides the sanitizers' findings:
//  - every file to be written has a name that stays inside the profile directory;
//  - a complete answer has the profile and a user name and password;
//  - a refused answer says why, and an accepted one does not refuse.

#include <QDir>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "bridge/vpnconfigreply.h"
#include "fuzzsupport.h"

namespace {

// Independent of the reply's own rule: the name, joined to a directory and cleaned,
// is a file directly in that directory.
bool staysInDirectory(const QString &name)
{
    const QString directory = QStringLiteral("/profiles");
    const QString path = QDir::cleanPath(directory + QLatin1Char('/') + name);
    return !name.contains(QChar(0)) && !name.contains(QLatin1Char('\\')) && path.startsWith(directory + QLatin1Char('/'))
        && path.lastIndexOf(QLatin1Char('/')) == directory.size() && path.size() > directory.size() + 1
        && path.mid(directory.size() + 1) == name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString body = QString::fromUtf8(FuzzSupport::bytes(data, size));
    const VpnConfigReply reply = VpnConfigReply::parse(200, body);

    bool hasProfile = false;
    for (const VpnConfigReply::Entry &entry : reply.entries) {
        if (entry.isCredentials) {
            FuzzSupport::require(!entry.username.contains(QLatin1Char('\n')) && !entry.password.contains(QLatin1Char('\n')),
                                 "credentials are one line each");
            continue;
        }
        FuzzSupport::require(staysInDirectory(entry.name), "a file stays in the profile directory",
                             entry.name.toStdString());
        FuzzSupport::require(entry.content.endsWith('\n'), "a file ends with a line feed");
        hasProfile = hasProfile || entry.name == QLatin1String(VpnConfigReply::ProfileFileName);
    }
    if (reply.error.isEmpty()) {
        FuzzSupport::require(hasProfile, "a complete answer has the profile");
        FuzzSupport::require(!reply.username.isEmpty() && !reply.password.isEmpty(),
                             "a complete answer has the credentials");
    }
    return 0;
}
