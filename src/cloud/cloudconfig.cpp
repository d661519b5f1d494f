#include "cloud/cloudconfig.h"

#include <QFile>

#include "corrivoconfig.h"
#include "base/logging.h"

namespace CloudConfig {

QString baseUrl()
{
    QString url = qEnvironmentVariable("CORRIVO_CLOUD_URL");
    if (url.isEmpty())
        url = QStringLiteral(CORRIVO_CLOUD_URL);
    // Every path is appended with its own leading slash.
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

QList<QSslCertificate> extraCaCertificates()
{
    const QString path = qEnvironmentVariable("CORRIVO_CA_FILE");
    if (path.isEmpty())
        return {};

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logMessage(1, "http_request", "CloudConfig::extraCaCertificates",
                   QStringLiteral("cannot read CA file ") + path + QStringLiteral(": ") + file.errorString());
        return {};
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (certificates.isEmpty())
        logMessage(1, "http_request", "CloudConfig::extraCaCertificates",
                   QStringLiteral("no PEM certificate in CA file ") + path);
    return certificates;
}

QSslConfiguration withExtraCaCertificates(QSslConfiguration configuration)
{
    const QList<QSslCertificate> extra = extraCaCertificates();
    if (extra.isEmpty())
        return configuration;
    // Setting any CA list switches off the on-demand loading of the system's roots,
    // so the system's certificates are put in the list explicitly.
    // Reading the system's bundle takes tens of milliseconds; it does not change while
    // the process runs.
    static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QList<QSslCertificate> trusted = configuration.caCertificates();
    for (const QSslCertificate &certificate : system + extra) {
        if (!trusted.contains(certificate))
            trusted.append(certificate);
    }
    configuration.setCaCertificates(trusted);
    return configuration;
}

} // namespace CloudConfig
