#pragma once

#include <QJsonObject>
#include <QList>
#include <memory>

#include "bridge/hlv.h"
#include "simulatorprocess.h"

class HlvDevice;
class HlvDomain;

// A bridge signed in against the simulator, as the application has it after the
// user's login: settings wiped first, the cloud pointed at a fresh simulator.
class BridgeFixture
{
public:
    ~BridgeFixture();

    // Starts the simulator with `fixture`; false with a test failure on error.
    bool startCloud(const QJsonObject &fixture);
    // A new bridge (its constructor reads the stored state) and, with a user name,
    // a sign-in that waits for the first domain list.
    bool createBridge(const QString &username = QString(), const QString &password = QString());
    bool signIn(const QString &username, const QString &password);

    Hlv *hlv() const { return m_hlv.get(); }
    SimulatorProcess &cloud() { return m_cloud; }

    // Requests the simulator got for that exact path.
    int requestCount(const QString &path);
    // Replaces the domains of the simulator's fixture.
    bool setCloudDomains(const QJsonArray &domains);

    static QJsonObject domain(int id, const QString &name, bool vpn, const QJsonArray &devices);
    static QJsonObject device(int id, int domainId, const QString &name, int vpnStatus);
    static QList<int> ids(const QList<HlvDomain *> &domains);

private:
    SimulatorProcess m_cloud;
    QJsonObject m_fixture;
    std::unique_ptr<Hlv> m_hlv;
};
