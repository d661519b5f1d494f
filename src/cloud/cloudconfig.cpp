#include "cloud/cloudconfig.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTimer>

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

namespace {

// Reading the system's bundle takes tens of milliseconds (more on a busy machine); it
// does not change while the process runs.
const QList<QSslCertificate> &systemCaCertificates()
{
    static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    return system;
}

} // namespace

QSslConfiguration withExtraCaCertificates(QSslConfiguration configuration)
{
    const QList<QSslCertificate> extra = extraCaCertificates();
    if (extra.isEmpty())
        return configuration;
    // Setting any CA list switches off the on-demand loading of the system's roots,
    // so the system's certificates are put in the list explicitly.
    QList<QSslCertificate> trusted = configuration.caCertificates();
    QSet<QSslCertificate> seen(trusted.cbegin(), trusted.cend());
    for (const QList<QSslCertificate> *list : {&systemCaCertificates(), &extra}) {
        for (const QSslCertificate &certificate : *list) {
            if (!seen.contains(certificate)) {
                seen.insert(certificate);
                trusted.append(certificate);
            }
        }
    }
    configuration.setCaCertificates(trusted);
    return configuration;
}

void preloadCaCertificates()
{
    if (qEnvironmentVariableIsEmpty("CORRIVO_CA_FILE"))
        return;
    // Once the event loop runs, while the page is still loading, so that the sign-in's
    // first request does not wait for the bundle. On this thread: Qt loads its TLS
    // backend on first use, and two threads doing that at once can leave the process
    // without any ("No TLS backend is available").
    QTimer::singleShot(0, QCoreApplication::instance(), [] { systemCaCertificates(); });
}

} // namespace CloudConfig
