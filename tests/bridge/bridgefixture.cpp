#include "bridgefixture.h"

#include <QSignalSpy>
#include <QTest>

#include "model/hlvdevice.h"
#include "model/hlvdomain.h"

// The product never destroys a bridge; a test does, so it first takes down the tunnel
// and unhooks the collaborators that outlive the bridge and point into its list.
BridgeFixture::~BridgeFixture()
{
    if (!m_hlv)
        return;
    if (m_hlv->vpn()->getStatus() != 1) {
        m_hlv->vpn()->stop();
        if (!QTest::qWaitFor([this] { return m_hlv->vpn()->getStatus() == 1; }, 20000))
            qWarning("tunnel still up after stop");
    }
    QObject::disconnect(m_hlv->vpn(), nullptr, m_hlv->virtualSerialPortsManager(), nullptr);
    QObject::disconnect(m_hlv->auth(), nullptr, m_hlv->virtualSerialPortsManager(), nullptr);
}

bool BridgeFixture::startCloud(const QJsonObject &fixture)
{
    m_fixture = fixture;
    if (!m_cloud.start(fixture)) {
        qWarning("simulator: %s", qPrintable(m_cloud.errorString()));
        return false;
    }
    m_cloud.exportEnvironment();
    return true;
}

bool BridgeFixture::createBridge(const QString &username, const QString &password)
{
    m_hlv = std::make_unique<Hlv>();
    return username.isEmpty() || signIn(username, password);
}

bool BridgeFixture::signIn(const QString &username, const QString &password)
{
    QSignalSpy loaded(m_hlv.get(), &Hlv::onLoadDomainsSuccess);
    m_hlv->auth()->login(username, password);
    if (loaded.wait(15000) || loaded.size() > 0)
        return true;
    qWarning("no domain list after sign-in; simulator log:\n%s", m_cloud.log().constData());
    return false;
}

int BridgeFixture::requestCount(const QString &path)
{
    int count = 0;
    for (const QJsonValue &request : m_cloud.requests()) {
        if (request.toObject().value(QStringLiteral("path")).toString() == path)
            ++count;
    }
    return count;
}

bool BridgeFixture::setCloudDomains(const QJsonArray &domains)
{
    m_fixture.insert(QStringLiteral("domains"), domains);
    return m_cloud.setFixture(m_fixture);
}

QJsonObject BridgeFixture::domain(int id, const QString &name, bool vpn, const QJsonArray &devices)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("vpn_enable"), vpn ? 1 : 0},
                       {QStringLiteral("devices"), devices}};
}

QJsonObject BridgeFixture::device(int id, int domainId, const QString &name, int vpnStatus)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("type"), 1},
                       {QStringLiteral("domain_id"), domainId},
                       {QStringLiteral("data_delivery_enable"), 1},
                       {QStringLiteral("remote_access_enable"), 1},
                       {QStringLiteral("vpn_status"), vpnStatus},
                       {QStringLiteral("vpn_ip"), QStringLiteral("10.8.0.%1").arg(id)},
                       {QStringLiteral("api_key"), QStringLiteral("devkey%1").arg(id)}};
}

QList<int> BridgeFixture::ids(const QList<HlvDomain *> &domains)
{
    QList<int> result;
    for (const HlvDomain *domain : domains)
        result.append(domain->id);
    return result;
}
