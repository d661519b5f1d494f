#include "testca.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const int OpensslTimeoutMs = 60000;
const char ValidDays[] = "30";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

bool TestCa::prepare(const QString &caDir, const QStringList &ipAddresses, const QStringList &dnsNames)
{
    if (!QDir().mkpath(caDir)) {
        m_error = QStringLiteral("cannot create directory ") + caDir;
        return false;
    }
    const QDir dir(caDir);
    m_caFile = dir.absoluteFilePath(QStringLiteral("ca.pem"));
    const QString caKeyFile = dir.absoluteFilePath(QStringLiteral("ca-key.pem"));

    {
        // Instances started together on one directory make the CA once.
        QLockFile lock(dir.absoluteFilePath(QStringLiteral("ca.lock")));
        if (!lock.tryLock(OpensslTimeoutMs)) {
            m_error = QStringLiteral("cannot lock ") + caDir;
            return false;
        }
        if (!QFile::exists(m_caFile) || !QFile::exists(caKeyFile)) {
            const QString subject = QStringLiteral("/CN=Corrivo simulator test CA ")
                + QString::number(QDateTime::currentSecsSinceEpoch());
            if (!runOpenssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                             QStringLiteral("-keyout"), caKeyFile, QStringLiteral("-out"), m_caFile,
                             QStringLiteral("-days"), QLatin1String(ValidDays), QStringLiteral("-subj"), subject,
                             QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                             QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")}))
                return false;
            QFile::setPermissions(caKeyFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
    }

    const QList<QSslCertificate> caCertificates = QSslCertificate::fromData(readFile(m_caFile), QSsl::Pem);
    if (caCertificates.isEmpty()) {
        m_error = QStringLiteral("no certificate in ") + m_caFile;
        return false;
    }
    m_caCertificate = caCertificates.first();

    QTemporaryDir work;
    if (!work.isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory: ") + work.errorString();
        return false;
    }
    const QString keyFile = work.filePath(QStringLiteral("server-key.pem"));
    const QString csrFile = work.filePath(QStringLiteral("server.csr"));
    const QString certFile = work.filePath(QStringLiteral("server.pem"));
    const QString extFile = work.filePath(QStringLiteral("server.ext"));

    QStringList altNames;
    for (const QString &ip : ipAddresses)
        altNames << QStringLiteral("IP:") + ip;
    for (const QString &name : dnsNames)
        altNames << QStringLiteral("DNS:") + name;
    const QByteArray extensions = "basicConstraints=CA:FALSE\n"
                                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                  "extendedKeyUsage=serverAuth\n"
                                  "subjectAltName="
        + altNames.join(QLatin1Char(',')).toLatin1() + '\n';
    if (!writeFile(extFile, extensions)) {
        m_error = QStringLiteral("cannot write ") + extFile;
        return false;
    }

    const QString commonName = dnsNames.value(0, ipAddresses.value(0, QStringLiteral("localhost")));
    if (!runOpenssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                     QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                     QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), csrFile,
                     QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName}))
        return false;
    if (!runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csrFile,
                     QStringLiteral("-CA"), m_caFile, QStringLiteral("-CAkey"), caKeyFile,
                     QStringLiteral("-set_serial"), QString::number(QDateTime::currentMSecsSinceEpoch()),
                     QStringLiteral("-days"), QLatin1String(ValidDays), QStringLiteral("-extfile"), extFile,
                     QStringLiteral("-out"), certFile}))
        return false;

    m_serverKey = QSslKey(readFile(keyFile), QSsl::Ec, QSsl::Pem);
    const QList<QSslCertificate> serverCertificates = QSslCertificate::fromData(readFile(certFile), QSsl::Pem);
    if (m_serverKey.isNull() || serverCertificates.isEmpty()) {
        m_error = QStringLiteral("openssl made an unreadable server key or certificate");
        return false;
    }
    m_serverCertificate = serverCertificates.first();
    return true;
}

bool TestCa::runOpenssl(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForStarted(OpensslTimeoutMs)) {
        m_error = QStringLiteral("openssl did not start: ") + openssl.errorString();
        return false;
    }
    if (!openssl.waitForFinished(OpensslTimeoutMs)) {
        openssl.kill();
        openssl.waitForFinished();
        m_error = QStringLiteral("openssl did not finish: ") + openssl.errorString();
        return false;
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl ") + arguments.value(0) + QStringLiteral(" failed: ")
            + QString::fromLocal8Bit(openssl.readAll()).trimmed();
        return false;
    }
    return true;
}

QString TestCa::caFile() const
{
    return m_caFile;
}

QSslCertificate TestCa::caCertificate() const
{
    return m_caCertificate;
}

QSslCertificate TestCa::serverCertificate() const
{
    return m_serverCertificate;
}

QSslKey TestCa::serverKey() const
{
    return m_serverKey;
}

QString TestCa::errorString() const
{
    return m_error;
}
