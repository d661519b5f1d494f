#include "bridge/profilefiles.h"

#include <QDir>

#include "base/logging.h"
#include "bridge/profiledirectory.h"
#include "bridge/vpnconfigreply.h"

ProfileFiles::ProfileFiles(QString directory, const char *logFunction)
    : m_directory(std::move(directory))
    , m_logFunction(logFunction)
{
}

ProfileFiles::Result ProfileFiles::write(int status, const QString &data) const
{
    const VpnConfigReply reply = VpnConfigReply::parse(status, data);
    ProfileDirectory profileDirectory(m_directory);
    Result result;

    for (const VpnConfigReply::Entry &entry : reply.entries) {
        if (entry.isCredentials) {
            // The password stays out of the log.
            logMessage(4, "hlv_vpn", m_logFunction, QStringLiteral("Credentials: ") + entry.username);
            continue;
        }

        if (!QDir(m_directory).exists() && !QDir().mkpath(m_directory)) {
            result.error = QStringLiteral("Fail to create dir ") + m_directory;
            return result;
        }
        if (!profileDirectory.open()) {
            result.error = QStringLiteral("Refused dir ") + m_directory + QStringLiteral(": ") + profileDirectory.errorString();
            return result;
        }

        const QString path = m_directory + QLatin1Char('/') + entry.name;
        if (!profileDirectory.write(entry.name, entry.content)) {
            result.error = QStringLiteral("File open error (") + path + QLatin1Char(')');
            return result;
        }

        if (entry.name == QLatin1String(VpnConfigReply::ProfileFileName))
            result.profilePath = path;
    }

    if (!reply.error.isEmpty()) {
        result.error = reply.error;
        return result;
    }
    result.username = reply.username;
    result.password = reply.password;
    return result;
}
