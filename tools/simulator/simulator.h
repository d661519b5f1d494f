#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "fixture.h"
#include "httpconnection.h"
#include "testca.h"

class QTcpServer;

// The simulated cloud service and devices behind one or more listeners. The cloud
// role serves /api/v2/..., the device role /api/v1/remote/access/... and a small web
// page at "/"; both roles serve the control endpoints under /_sim/ that tests use to
// read the recorded requests, inject faults and replace the fixture. The control
// endpoints answer only requests that carry the control token (header X-Sim-Token);
// without a token they refuse everything.
class Simulator : public QObject
{
    Q_OBJECT

public:
    enum class Role { Cloud, Device, Both };

    // filesDir: a descriptor of the directory that fixtures name VPN files in, held
    // open for the simulator's life; controlToken: the secret of /_sim/ (none: closed).
    Simulator(Role role, int deviceId, const TestCa &ca, int filesDir, const QByteArray &controlToken,
              QObject *parent = nullptr);

    bool setFixture(const QJsonObject &root);
    // Returns the port listened on, 0 on failure (see errorString()).
    quint16 listen(const QHostAddress &address, quint16 port, bool tls);
    QString errorString() const;
    // The fixture's device with this id, or none.
    const FixtureDevice *device(int id) const;

private slots:
    void onNewConnection();
    void onRequest(HttpConnection *connection, const SimRequest &request);

private:
    struct Key
    {
        QString username;
        qint64 expire = 0;
    };

    // What a fault rule changes in the next matching answers.
    struct Fault
    {
        bool active = false;
        int status = 0;
        bool hasBody = false;
        QByteArray body;
        QByteArray contentType;
        int delayMs = 0;
        bool truncate = false;
        bool drop = false;
        bool hasKeyExpiresIn = false;
        int keyExpiresIn = 0;
        bool wrongMd5 = false;
    };

    bool controlAllowed(const SimRequest &request) const;
    // "masked:" and the HMAC-SHA256 of the value under the control token, in hex.
    QByteArray mask(const QByteArray &value) const;
    QByteArray maskedQuery(const SimRequest &request) const;
    QByteArray maskedTarget(const SimRequest &request) const;
    SimResponse control(const SimRequest &request);
    SimResponse route(const SimRequest &request, const Fault &fault);
    SimResponse apiKey(const SimRequest &request, const Fault &fault);
    SimResponse domains(const SimRequest &request);
    SimResponse vpnDomain(const SimRequest &request, int domainId, const Fault &fault);
    SimResponse remoteAccess(const SimRequest &request, int sourceType);
    SimResponse devicePage();
    SimResponse issueKey(const FixtureUser &user, const Fault &fault);
    const FixtureUser *userOfToken(const SimRequest &request) const;
    const FixtureUser *findUser(const QString &username) const;
    bool userSeesDomain(const FixtureUser &user, const FixtureDomain &domain) const;
    Fault takeFault(const SimRequest &request);
    bool addFaults(const QJsonValue &value);
    void record(const SimRequest &request, const QHostAddress &peer);

    Role m_role;
    int m_deviceId;
    TestCa m_ca;
    int m_filesDir;
    // SHA-256 of the control token (empty: no token, /_sim/ closed), compared in
    // constant time; the token itself keys the masks of recorded secrets.
    QByteArray m_controlTokenDigest;
    QByteArray m_maskKey;
    Fixture m_fixture;
    QHash<QString, Key> m_keys;
    // Domain list answers by user name, until the fixture is replaced: a fleet of
    // thousands of devices would otherwise be serialised again for every request, and
    // the benchmarks would time the simulator rather than the client.
    QHash<QString, QByteArray> m_domainAnswers;
    QJsonArray m_faults;
    QJsonArray m_requests;
    QList<QTcpServer *> m_servers;
    QString m_error;
};
