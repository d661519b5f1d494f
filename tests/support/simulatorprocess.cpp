#include "simulatorprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include "testbinaries.h"

namespace {

const int StartTimeoutMs = 60000;
const int StopTimeoutMs = 5000;
const int ControlTimeoutMs = 10000;

} // namespace

// The ready line separates its fields by blanks, so the directory's name has none
// (the default template carries the application name, "Corrivo 2").
SimulatorProcess::SimulatorProcess()
    : m_directory(QDir::tempPath() + QStringLiteral("/corrivo-simulator-XXXXXX"))
{
}

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

QString SimulatorProcess::directory() const
{
    return m_directory.path();
}

bool SimulatorProcess::writeFile(const QString &relativePath, const QByteArray &content)
{
    const QString path = QDir(m_directory.path()).absoluteFilePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool SimulatorProcess::start(const QJsonObject &fixture, const QStringList &extraArguments)
{
    stop();
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory: ") + m_directory.errorString();
        return false;
    }
    if (!writeFile(QStringLiteral("fixture.json"), QJsonDocument(fixture).toJson())) {
        m_error = QStringLiteral("cannot write the fixture");
        return false;
    }

    m_process.setProgram(TestBinaries::path(QStringLiteral("corrivo-simulator")));
    m_process.setArguments(QStringList{QStringLiteral("--fixture"), m_directory.filePath(QStringLiteral("fixture.json")),
                                       QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                       QStringLiteral("--port"), QStringLiteral("0"),
                                       QStringLiteral("--ca-dir"), m_directory.filePath(QStringLiteral("ca")),
                                       QStringLiteral("--exit-on-stdin-eof"),
                                       QStringLiteral("--control-token-fd"), QStringLiteral("0")}
                           + extraArguments);
    // A file, not a pipe: a pipe nobody reads would fill up and stall the simulator.
    m_process.setStandardErrorFile(m_directory.filePath(QStringLiteral("simulator.log")));
    m_process.start();
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = TestBinaries::path(QStringLiteral("corrivo-simulator")) + QStringLiteral(" did not start: ") + m_process.errorString();
        return false;
    }
    QByteArray random(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    m_controlToken = random.toHex();
    m_process.write(m_controlToken + '\n');

    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running
            || !m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (m_process.canReadLine())
                break;
            m_error = QStringLiteral("the simulator did not get ready: ") + QString::fromLocal8Bit(log());
            stop();
            return false;
        }
    }
    const QStringList ready = QString::fromUtf8(m_process.readLine()).trimmed().split(QLatin1Char(' '));
    if (ready.size() < 3 || ready.at(0) != QLatin1String("READY")) {
        m_error = QStringLiteral("unexpected ready line: ") + ready.join(QLatin1Char(' '));
        stop();
        return false;
    }
    m_baseUrl = ready.at(1);
    m_caFile = ready.at(2);
    m_httpUrl = ready.value(3);
    m_port = quint16(QUrl(m_baseUrl).port());
    return true;
}

void SimulatorProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(StopTimeoutMs)) {
            m_process.terminate();
            if (!m_process.waitForFinished(StopTimeoutMs)) {
                m_process.kill();
                m_process.waitForFinished(StopTimeoutMs);
            }
        }
    }
    m_port = 0;
}

bool SimulatorProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString SimulatorProcess::errorString() const
{
    return m_error;
}

QString SimulatorProcess::baseUrl() const
{
    return m_baseUrl;
}

QString SimulatorProcess::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(m_port);
}

quint16 SimulatorProcess::port() const
{
    return m_port;
}

QString SimulatorProcess::caFile() const
{
    return m_caFile;
}

QString SimulatorProcess::httpUrl() const
{
    return m_httpUrl;
}

QByteArray SimulatorProcess::log() const
{
    QFile file(m_directory.filePath(QStringLiteral("simulator.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void SimulatorProcess::exportEnvironment() const
{
    qputenv("CORRIVO_CLOUD_URL", m_baseUrl.toUtf8());
    qputenv("CORRIVO_CA_FILE", QFile::encodeName(m_caFile));
}

QJsonArray SimulatorProcess::requests()
{
    int status = 0;
    return control("GET", QStringLiteral("/_sim/requests"), {}, &status).toArray();
}

bool SimulatorProcess::clearRequests()
{
    int status = 0;
    control("DELETE", QStringLiteral("/_sim/requests"), {}, &status);
    return status == 204;
}

bool SimulatorProcess::addFault(const QJsonObject &fault)
{
    int status = 0;
    control("POST", QStringLiteral("/_sim/fault"), QJsonDocument(fault).toJson(QJsonDocument::Compact), &status);
    return status == 200;
}

bool SimulatorProcess::clearFaults()
{
    int status = 0;
    control("DELETE", QStringLiteral("/_sim/fault"), {}, &status);
    return status == 204;
}

bool SimulatorProcess::setFixture(const QJsonObject &fixture)
{
    int status = 0;
    control("POST", QStringLiteral("/_sim/fixture"), QJsonDocument(fixture).toJson(QJsonDocument::Compact), &status);
    return status == 204;
}

QJsonObject SimulatorProcess::sampleFixture()
{
    const auto device = [](int id, const QString &name, int type, int vpnStatus, const QString &vpnIp, const QString &key) {
        return QJsonObject{{QStringLiteral("id"), id},
                           {QStringLiteral("name"), name},
                           {QStringLiteral("type"), type},
                           {QStringLiteral("domain_id"), 42},
                           {QStringLiteral("data_delivery_enable"), 1},
                           {QStringLiteral("remote_access_enable"), 1},
                           {QStringLiteral("vpn_status"), vpnStatus},
                           {QStringLiteral("vpn_ip"), vpnIp},
                           {QStringLiteral("api_key"), key},
                           {QStringLiteral("dst_ip_port"), 4001}};
    };
    const QJsonArray devices{
        device(7, QStringLiteral("Pompe n\u00b0 1"), 1, 1, QStringLiteral("10.8.0.6"), QStringLiteral("devkey7")),
        device(8, QStringLiteral("Compresseur"), 5, 0, QStringLiteral("10.8.0.10"), QStringLiteral("devkey8")),
        device(9, QStringLiteral("Gateway"), 2, 1, QStringLiteral("10.8.0.14"), QStringLiteral("devkey9")),
    };
    return QJsonObject{
        {QStringLiteral("users"),
         QJsonArray{QJsonObject{{QStringLiteral("username"), QStringLiteral("alice")},
                                {QStringLiteral("password"), QStringLiteral("secret")}},
                    QJsonObject{{QStringLiteral("username"), QStringLiteral("bob")},
                                {QStringLiteral("password"), QStringLiteral("hunter2")},
                                {QStringLiteral("domains"), QJsonArray{42}}}}},
        {QStringLiteral("domains"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), 42},
                                {QStringLiteral("name"), QStringLiteral("Usine \u00c6r\u00f8")},
                                {QStringLiteral("vpn_enable"), 1},
                                {QStringLiteral("devices"), devices}},
                    QJsonObject{{QStringLiteral("id"), 43},
                                {QStringLiteral("name"), QStringLiteral("Archive")},
                                {QStringLiteral("vpn_enable"), 0},
                                {QStringLiteral("devices"), QJsonArray{}}}}},
    };
}

QString SimulatorProcess::header(const QJsonObject &request, const QString &name)
{
    for (const QJsonValue &header : request.value(QLatin1String("headers")).toArray()) {
        if (header.toObject().value(QLatin1String("name")).toString().compare(name, Qt::CaseInsensitive) == 0)
            return header.toObject().value(QLatin1String("value")).toString();
    }
    return {};
}

bool SimulatorProcess::hasHeader(const QJsonObject &request, const QString &name)
{
    for (const QJsonValue &header : request.value(QLatin1String("headers")).toArray()) {
        if (header.toObject().value(QLatin1String("name")).toString().compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString SimulatorProcess::masked(const QByteArray &value) const
{
    return QStringLiteral("masked:")
        + QString::fromLatin1(QMessageAuthenticationCode::hash(value, m_controlToken, QCryptographicHash::Sha256).toHex());
}

QByteArray SimulatorProcess::controlToken() const
{
    return m_controlToken;
}

QJsonValue SimulatorProcess::control(const QByteArray &method, const QString &path, const QByteArray &body, int *status)
{
    return controlWithToken(method, path, body, m_controlToken, status);
}

QJsonValue SimulatorProcess::controlWithToken(const QByteArray &method, const QString &path, const QByteArray &body,
                                              const QByteArray &token, int *status, QByteArray *rawAnswer)
{
    *status = 0;
    if (!isRunning())
        return {};

    QNetworkRequest request(QUrl(m_baseUrl + path));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(m_caFile, QSsl::Pem);
    request.setSslConfiguration(tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!token.isEmpty())
        request.setRawHeader("X-Sim-Token", token);

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(ControlTimeoutMs);
    loop.exec();
    if (!reply->isFinished())
        reply->abort();

    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = reply->readAll();
    if (rawAnswer)
        *rawAnswer = answer;
    const QJsonDocument document = QJsonDocument::fromJson(answer);
    delete reply;
    if (document.isArray())
        return document.array();
    return document.object();
}
