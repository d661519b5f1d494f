#include "simulator.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTextStream>
#include <QTimer>
#include <QUrlQuery>

#include "requestmask.h"

namespace {

const int MaxRecordedRequests = 10000;

SimResponse json(int status, const QJsonValue &value)
{
    SimResponse response;
    response.status = status;
    response.body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                    : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return response;
}

SimResponse message(int status, const QString &text)
{
    return json(status, QJsonObject{{QStringLiteral("message"), text}});
}

SimResponse xml(int status, const QByteArray &body)
{
    SimResponse response;
    response.status = status;
    response.contentType = "application/xml";
    response.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body;
    return response;
}

SimResponse noContent()
{
    SimResponse response;
    response.status = 204;
    return response;
}

bool pathMatches(const QString &pattern, const QString &path)
{
    if (pattern.endsWith(QLatin1Char('*')))
        return path.startsWith(pattern.chopped(1));
    return pattern == path;
}

QByteArray xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

} // namespace

Simulator::Simulator(Role role, int deviceId, const TestCa &ca, int filesDir, const QByteArray &controlToken,
                     QObject *parent)
    : QObject(parent)
    , m_role(role)
    , m_deviceId(deviceId)
    , m_ca(ca)
    , m_filesDir(filesDir)
    , m_maskKey(controlToken)
{
    if (!controlToken.isEmpty())
        m_controlTokenDigest = QCryptographicHash::hash(controlToken, QCryptographicHash::Sha256);
    if (m_maskKey.isEmpty()) {
        m_maskKey.resize(32);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_maskKey.data()), m_maskKey.size() / 4);
    }
}

bool Simulator::setFixture(const QJsonObject &root)
{
    Fixture fixture;
    if (!fixture.load(root, m_filesDir, m_ca.caCertificate().toPem())) {
        m_error = fixture.errorString();
        return false;
    }
    m_fixture = fixture;
    m_domainAnswers.clear();
    m_faults = QJsonArray();
    return addFaults(m_fixture.faults);
}

quint16 Simulator::listen(const QHostAddress &address, quint16 port, bool tls)
{
    QTcpServer *server = nullptr;
    if (tls) {
        auto *sslServer = new QSslServer(this);
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificateChain({m_ca.serverCertificate(), m_ca.caCertificate()});
        configuration.setPrivateKey(m_ca.serverKey());
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        sslServer->setSslConfiguration(configuration);
        // A client that refuses our certificate shows up here; the test expects that.
        connect(sslServer, &QSslServer::errorOccurred, this, [](QSslSocket *socket, QAbstractSocket::SocketError) {
            QTextStream(stderr) << "simulator: TLS connection from " << socket->peerAddress().toString()
                                << " failed: " << socket->errorString() << Qt::endl;
        });
        server = sslServer;
    } else {
        server = new QTcpServer(this);
    }
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &Simulator::onNewConnection);
    if (!server->listen(address, port)) {
        m_error = QStringLiteral("cannot listen on ") + address.toString() + QLatin1Char(':') + QString::number(port)
            + QStringLiteral(": ") + server->errorString();
        delete server;
        return 0;
    }
    m_servers.append(server);
    return server->serverPort();
}

QString Simulator::errorString() const
{
    return m_error;
}

const FixtureDevice *Simulator::device(int id) const
{
    for (const FixtureDomain &domain : m_fixture.domains) {
        for (const FixtureDevice &device : domain.devices) {
            if (device.id == id)
                return &device;
        }
    }
    return nullptr;
}

void Simulator::onNewConnection()
{
    auto *server = qobject_cast<QTcpServer *>(sender());
    while (server && server->hasPendingConnections()) {
        auto *connection = new HttpConnection(server->nextPendingConnection(), this); // deletes itself
        connect(connection, &HttpConnection::requestReceived, this, &Simulator::onRequest);
    }
}

void Simulator::onRequest(HttpConnection *connection, const SimRequest &request)
{
    auto *socket = connection->findChild<QTcpSocket *>();
    const QHostAddress peer = socket ? socket->peerAddress() : QHostAddress();

    SimResponse response;
    Fault fault;
    if (request.path.startsWith("/_sim/")) {
        // Nothing of a control request is looked at before its token is.
        response = controlAllowed(request) ? control(request) : message(403, QStringLiteral("control token required"));
    } else {
        record(request, peer);
        fault = takeFault(request);
        response = route(request, fault);
        if (fault.active) {
            if (fault.status)
                response.status = fault.status;
            if (fault.hasBody)
                response.body = fault.body;
            if (!fault.contentType.isEmpty())
                response.contentType = fault.contentType;
            if (fault.truncate)
                response.truncateTo = response.body.size() / 2;
            response.drop = fault.drop;
        }
    }
    QTextStream(stderr) << "simulator: " << request.method << ' ' << maskedTarget(request) << " -> "
                        << (response.drop ? QStringLiteral("dropped") : QString::number(response.status))
                        << (fault.delayMs ? QStringLiteral(" after %1 ms").arg(fault.delayMs) : QString()) << Qt::endl;

    if (fault.delayMs > 0)
        QTimer::singleShot(fault.delayMs, connection, [connection, response] { connection->respond(response); });
    else
        connection->respond(response);
}

bool Simulator::controlAllowed(const SimRequest &request) const
{
    if (m_controlTokenDigest.isEmpty() || !request.hasHeader("X-Sim-Token"))
        return false;
    // Digests of equal length, compared without an early end: the time taken says
    // nothing about how much of a guess was right.
    const QByteArray sent = QCryptographicHash::hash(request.header("X-Sim-Token"), QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < m_controlTokenDigest.size(); ++i)
        difference |= static_cast<unsigned char>(sent.at(i) ^ m_controlTokenDigest.at(i));
    return difference == 0;
}

QByteArray Simulator::mask(const QByteArray &value) const
{
    return "masked:" + QMessageAuthenticationCode::hash(value, m_maskKey, QCryptographicHash::Sha256).toHex();
}

QByteArray Simulator::maskedQuery(const SimRequest &request) const
{
    return RequestMask::maskQuery(request.query, [this](const QByteArray &value) { return mask(value); });
}

QByteArray Simulator::maskedTarget(const SimRequest &request) const
{
    return request.target.contains('?') ? request.path + '?' + maskedQuery(request) : request.target;
}

SimResponse Simulator::control(const SimRequest &request)
{
    const QByteArray &path = request.path;
    const QByteArray &method = request.method;
    if (path == "/_sim/requests") {
        if (method == "GET")
            return json(200, m_requests);
        if (method == "DELETE") {
            m_requests = QJsonArray();
            return noContent();
        }
    } else if (path == "/_sim/fault" || path == "/_sim/faults") {
        if (method == "GET")
            return json(200, m_faults);
        if (method == "DELETE") {
            m_faults = QJsonArray();
            return noContent();
        }
        if (method == "POST" || method == "PUT") {
            if (method == "PUT")
                m_faults = QJsonArray();
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
            if (error.error != QJsonParseError::NoError)
                return message(400, QStringLiteral("fault is not JSON: ") + error.errorString());
            if (!addFaults(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object())))
                return message(400, m_error);
            return json(200, m_faults);
        }
    } else if (path == "/_sim/fixture") {
        if (method == "POST" || method == "PUT") {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
            if (!document.isObject())
                return message(400, QStringLiteral("fixture is not a JSON object: ") + error.errorString());
            if (!setFixture(document.object()))
                return message(400, m_error);
            return noContent();
        }
    } else {
        return message(404, QStringLiteral("no such control endpoint"));
    }
    return message(405, QStringLiteral("method not allowed"));
}

SimResponse Simulator::route(const SimRequest &request, const Fault &fault)
{
    const QString path = QString::fromUtf8(request.path);
    const bool cloud = m_role != Role::Device;
    const bool device = m_role != Role::Cloud;

    static const QRegularExpression vpnDomainPath(QStringLiteral("^/api/v2/vpn/domain/(-?[0-9]+)$"));
    static const QRegularExpression remoteAccessPath(QStringLiteral("^/api/v1/remote/access/(-?[0-9]+)$"));

    const bool known = (cloud && path.startsWith(QLatin1String("/api/v2/")))
        || (device && (path.startsWith(QLatin1String("/api/v1/")) || path == QLatin1String("/")));
    if (!known)
        return message(404, QStringLiteral("not found"));
    if (request.method != "GET")
        return message(405, QStringLiteral("method not allowed"));

    if (cloud && path == QLatin1String("/api/v2/api_key"))
        return apiKey(request, fault);
    if (cloud && path == QLatin1String("/api/v2/domain"))
        return domains(request);
    if (cloud) {
        const QRegularExpressionMatch match = vpnDomainPath.match(path);
        if (match.hasMatch())
            return vpnDomain(request, match.captured(1).toInt(), fault);
    }
    if (device) {
        const QRegularExpressionMatch match = remoteAccessPath.match(path);
        if (match.hasMatch())
            return remoteAccess(request, match.captured(1).toInt());
        if (path == QLatin1String("/"))
            return devicePage();
    }
    return message(404, QStringLiteral("not found"));
}

SimResponse Simulator::apiKey(const SimRequest &request, const Fault &fault)
{
    if (request.hasHeader("x-access-token")) {
        const FixtureUser *user = userOfToken(request);
        if (!user)
            return message(401, QStringLiteral("invalid or expired token"));
        return issueKey(*user, fault);
    }

    const QByteArray authorization = request.header("Authorization");
    if (!authorization.startsWith("Basic "))
        return message(401, QStringLiteral("authorization required"));
    const QByteArray credentials = QByteArray::fromBase64(authorization.mid(6));
    const qsizetype colon = credentials.indexOf(':');
    if (colon < 0)
        return message(401, QStringLiteral("malformed credentials"));
    const FixtureUser *user = findUser(QString::fromUtf8(credentials.left(colon)));
    if (!user || user->password != QString::fromUtf8(credentials.mid(colon + 1)))
        return message(401, QStringLiteral("wrong user name or password"));
    return issueKey(*user, fault);
}

SimResponse Simulator::issueKey(const FixtureUser &user, const Fault &fault)
{
    QByteArray random(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    const QString key = QString::fromLatin1(random.toHex());
    const int lifetime = fault.hasKeyExpiresIn ? fault.keyExpiresIn : m_fixture.keyLifetime;
    const qint64 expire = QDateTime::currentSecsSinceEpoch() + lifetime;
    m_keys.insert(key, Key{user.username, expire});
    return json(200, QJsonObject{{QStringLiteral("authentication"),
                                  QJsonObject{{QStringLiteral("api_key"), key},
                                              {QStringLiteral("expire"), expire},
                                              {QStringLiteral("type"), user.keyType}}}});
}

SimResponse Simulator::domains(const SimRequest &request)
{
    const FixtureUser *user = userOfToken(request);
    if (!user)
        return message(401, QStringLiteral("invalid or expired token"));
    const auto cached = m_domainAnswers.constFind(user->username);
    if (cached != m_domainAnswers.constEnd()) {
        SimResponse response;
        response.status = 200;
        response.body = *cached;
        return response;
    }
    QJsonArray list;
    for (const FixtureDomain &domain : std::as_const(m_fixture.domains)) {
        if (userSeesDomain(*user, domain))
            list.append(domain.record);
    }
    const SimResponse response = json(200, QJsonObject{{QStringLiteral("domains"), list}});
    m_domainAnswers.insert(user->username, response.body);
    return response;
}

SimResponse Simulator::vpnDomain(const SimRequest &request, int domainId, const Fault &fault)
{
    const FixtureUser *user = userOfToken(request);
    if (!user)
        return message(401, QStringLiteral("invalid or expired token"));
    for (const FixtureDomain &domain : std::as_const(m_fixture.domains)) {
        if (domain.id != domainId || !userSeesDomain(*user, domain))
            continue;
        QJsonArray files;
        for (const FixtureVpnFile &file : domain.vpnFiles) {
            QString md5 = file.md5;
            if (md5.isEmpty()) {
                const QByteArray digested = fault.wrongMd5 ? file.content + "corrupted" : file.content;
                md5 = QString::fromLatin1(QCryptographicHash::hash(digested, QCryptographicHash::Md5).toHex());
            }
            files.append(QJsonObject{{QStringLiteral("name"), file.name},
                                     {QStringLiteral("file"), QString::fromLatin1(file.content.toBase64())},
                                     {QStringLiteral("md5"), md5}});
        }
        return json(200, QJsonObject{{QStringLiteral("files"), files}});
    }
    return message(404, QStringLiteral("no such domain"));
}

SimResponse Simulator::remoteAccess(const SimRequest &request, int sourceType)
{
    const QString key = QUrlQuery(QString::fromUtf8(request.query)).queryItemValue(QStringLiteral("api_key"), QUrl::FullyDecoded);
    const FixtureDevice *found = nullptr;
    for (const FixtureDomain &domain : std::as_const(m_fixture.domains)) {
        for (const FixtureDevice &device : domain.devices) {
            if (!key.isEmpty() && device.apiKey == key && (m_deviceId < 0 || device.id == m_deviceId))
                found = &device;
        }
    }
    if (!found)
        return xml(401, "<error>invalid api_key</error>\n");
    if (!found->remoteAccessEnable)
        return xml(403, "<error>remote access disabled</error>\n");
    const int port = found->dstIpPorts.value(sourceType, found->dstIpPort);
    if (sourceType < 0 || sourceType > 3 || port < 0)
        return xml(404, "<error>no serial service for this source type</error>\n");
    return xml(200, "<remote_access>\n"
                    "  <device_id>" + QByteArray::number(found->id) + "</device_id>\n"
                    "  <src_type>" + QByteArray::number(sourceType) + "</src_type>\n"
                    "  <dst_ip_port>" + QByteArray::number(port) + "</dst_ip_port>\n"
                    "</remote_access>\n");
}

SimResponse Simulator::devicePage()
{
    QString name = QStringLiteral("simulated device");
    for (const FixtureDomain &domain : std::as_const(m_fixture.domains)) {
        for (const FixtureDevice &device : domain.devices) {
            if (device.id == m_deviceId)
                name = device.name;
        }
    }
    SimResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.body = "<!DOCTYPE html>\n<html><head><title>" + xmlEscaped(name) + "</title></head>"
                    "<body><h1 id=\"device-name\">" + xmlEscaped(name) + "</h1></body></html>\n";
    return response;
}

const FixtureUser *Simulator::userOfToken(const SimRequest &request) const
{
    const QString token = QString::fromLatin1(request.header("x-access-token"));
    const auto key = m_keys.constFind(token);
    if (token.isEmpty() || key == m_keys.constEnd() || key->expire <= QDateTime::currentSecsSinceEpoch())
        return nullptr;
    return findUser(key->username);
}

const FixtureUser *Simulator::findUser(const QString &username) const
{
    for (const FixtureUser &user : m_fixture.users) {
        if (user.username == username)
            return &user;
    }
    return nullptr;
}

bool Simulator::userSeesDomain(const FixtureUser &user, const FixtureDomain &domain) const
{
    return user.allDomains || user.domains.contains(domain.id);
}

Simulator::Fault Simulator::takeFault(const SimRequest &request)
{
    Fault fault;
    for (qsizetype i = 0; i < m_faults.size(); ++i) {
        QJsonObject rule = m_faults.at(i).toObject();
        const QString method = rule.value(QLatin1String("method")).toString();
        if (!pathMatches(rule.value(QLatin1String("path")).toString(QStringLiteral("*")), QString::fromUtf8(request.path))
            || (!method.isEmpty() && method.toUtf8() != request.method))
            continue;

        fault.active = true;
        fault.status = rule.value(QLatin1String("status")).toInt(0);
        fault.hasBody = rule.contains(QLatin1String("body"));
        fault.body = rule.value(QLatin1String("body")).toString().toUtf8();
        fault.contentType = rule.value(QLatin1String("content_type")).toString().toUtf8();
        fault.delayMs = rule.value(QLatin1String("delay_ms")).toInt(0);
        fault.truncate = rule.value(QLatin1String("truncate")).toBool();
        fault.drop = rule.value(QLatin1String("drop")).toBool();
        fault.hasKeyExpiresIn = rule.contains(QLatin1String("key_expires_in"));
        fault.keyExpiresIn = rule.value(QLatin1String("key_expires_in")).toInt();
        fault.wrongMd5 = rule.value(QLatin1String("wrong_md5")).toBool();

        if (rule.contains(QLatin1String("times"))) {
            const int times = rule.value(QLatin1String("times")).toInt() - 1;
            if (times <= 0) {
                m_faults.removeAt(i);
            } else {
                rule.insert(QLatin1String("times"), times);
                m_faults.replace(i, rule);
            }
        }
        break;
    }
    return fault;
}

bool Simulator::addFaults(const QJsonValue &value)
{
    const QJsonArray rules = value.isArray() ? value.toArray() : QJsonArray{value};
    for (const QJsonValue &rule : rules) {
        if (!rule.isObject()) {
            m_error = QStringLiteral("a fault rule must be a JSON object");
            return false;
        }
        m_faults.append(rule);
    }
    return true;
}

void Simulator::record(const SimRequest &request, const QHostAddress &peer)
{
    // Credentials are kept as masks only; the body is not kept at all.
    QJsonArray headers;
    for (const auto &[name, value] : request.headers)
        headers.append(QJsonObject{{QStringLiteral("name"), QString::fromLatin1(name)},
                                   {QStringLiteral("value"),
                                    QString::fromLatin1(RequestMask::isSecretHeader(name) ? mask(value) : value)}});
    if (m_requests.size() >= MaxRecordedRequests)
        m_requests.removeFirst();
    m_requests.append(QJsonObject{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("target"), QString::fromLatin1(maskedTarget(request))},
        {QStringLiteral("path"), QString::fromLatin1(request.path)},
        {QStringLiteral("query"), QString::fromLatin1(maskedQuery(request))},
        {QStringLiteral("version"), QString::fromLatin1(request.version)},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("peer"), peer.toString()},
        {QStringLiteral("time_ms"), QDateTime::currentMSecsSinceEpoch()},
    });
}
