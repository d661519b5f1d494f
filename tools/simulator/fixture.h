#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The simulator's world, read from the fixture JSON (the format is in README.md).
struct FixtureUser
{
    QString username;
    QString password;
    // Empty with allDomains: the user sees every domain.
    QList<int> domains;
    bool allDomains = true;
    int keyType = 1;
};

struct FixtureVpnFile
{
    QString name;
    QByteArray content;
    // A fixed "md5" value from the fixture, sent instead of the computed one.
    QString md5;
};

struct FixtureDevice
{
    int id = 0;
    QString name;
    QString apiKey;
    bool remoteAccessEnable = false;
    // TCP port of the serial service, per source type, with a fallback for all types.
    QHash<int, int> dstIpPorts;
    int dstIpPort = -1;
};

struct FixtureDomain
{
    int id = 0;
    // The domain as the cloud reports it: the fixture's object without the keys only
    // the simulator reads.
    QJsonObject record;
    QList<FixtureVpnFile> vpnFiles;
    QList<FixtureDevice> devices;
};

class Fixture
{
public:
    // filesDir: a descriptor of the directory whose files the "path" entries of VPN
    // files name (plain names, nothing outside it); caPem is served as the CA file of
    // domains without VPN files of their own.
    bool load(const QJsonObject &root, int filesDir, const QByteArray &caPem);
    QString errorString() const;

    // Reads the regular file `name` of the directory filesDir into *content: a name of
    // letters, digits, '.', '_' and '-' (no '/', no "..", no leading dot), never
    // through a symbolic link, at most MaxFileSize bytes.
    static bool readNamedFile(int filesDir, const QString &name, QByteArray *content, QString *error);
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    QList<FixtureUser> users;
    QList<FixtureDomain> domains;
    int keyLifetime = 3600;
    QJsonArray faults;

private:
    bool loadDomain(const QJsonObject &json, int filesDir, const QByteArray &caPem);

    QString m_error;
};
