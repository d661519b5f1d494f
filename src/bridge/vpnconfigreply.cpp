#include "bridge/vpnconfigreply.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

const char VpnConfigReply::ProfileFileName[] = "client.ovpn";

namespace {

const char CredentialsFileName[] = "credentials.txt";

// Removes the first line that is exactly `line`, if there is one.
void removeFirstLine(QStringList &lines, const QString &line)
{
    const qsizetype index = lines.indexOf(line);
    if (index >= 0)
        lines.removeAt(index);
}

} // namespace

bool VpnConfigReply::isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

VpnConfigReply VpnConfigReply::parse(int status, const QString &data)
{
    VpnConfigReply reply;
    if (status != 200) {
        reply.error = QStringLiteral("Status not 200 (") + QString::number(status) + QLatin1Char(')');
        return reply;
    }
    const QJsonDocument document = QJsonDocument::fromJson(data.toUtf8());
    if (!document.isObject()) {
        reply.error = QStringLiteral("Doc is not object");
        return reply;
    }
    const QJsonObject answer = document.object();
    if (!answer.contains(QLatin1String("files"))) {
        reply.error = QStringLiteral("Doc not contains files");
        return reply;
    }

    bool hasProfile = false;
    for (const QJsonValue &value : answer.value(QLatin1String("files")).toArray()) {
        const QJsonObject element = value.toObject();
        const QString name = element.value(QLatin1String("name")).toString();
        const QString encoded = element.value(QLatin1String("file")).toString();
        const QString md5 = element.value(QLatin1String("md5")).toString();

        QString text = QString::fromUtf8(QByteArray::fromBase64(encoded.toLatin1()));
        const QString digest =
            QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex());
        if (digest != md5) {
            reply.error = QStringLiteral("Wrong md5 for ") + name + QLatin1Char(' ') + digest + QStringLiteral(" != ") + md5;
            return reply;
        }

        Entry entry;
        if (name == QLatin1String(CredentialsFileName)) {
            const QStringList parts = text.split(QLatin1Char('\n'));
            if (parts.size() != 2) {
                // The count, not the text: the text holds the password.
                reply.error = QStringLiteral("Credentials are not 2: ") + QString::number(parts.size());
                return reply;
            }
            entry.isCredentials = true;
            entry.username = parts.at(0).trimmed();
            entry.password = parts.at(1).trimmed();
            reply.username = entry.username;
            reply.password = entry.password;
            reply.entries.append(entry);
            continue;
        }

        if (!isPlainFileName(name)) {
            reply.error = QStringLiteral("Refused file name ") + name;
            return reply;
        }
        if (name == QLatin1String(ProfileFileName)) {
            QStringList lines = text.split(QLatin1Char('\n'));
            removeFirstLine(lines, QStringLiteral("tls-exit"));
            removeFirstLine(lines, QStringLiteral("topology subnet"));
            text = lines.join(QLatin1Char('\n'));
            hasProfile = true;
        }
        entry.name = name;
        entry.content = text.toUtf8() + '\n';
        reply.entries.append(entry);
    }

    if (!hasProfile)
        reply.error = QStringLiteral("Config file path empty: ");
    else if (reply.username.isEmpty() || reply.password.isEmpty())
        reply.error = QStringLiteral("Username or password is empty");
    return reply;
}
