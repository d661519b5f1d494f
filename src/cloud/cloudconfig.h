#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

// Where the cloud lives and whom to trust besides the system: the compiled base URL,
// which development and the lab move with CORRIVO_CLOUD_URL, and an extra PEM file of
// CA certificates named by CORRIVO_CA_FILE. Both are read at every use, so a process
// (or a test) that changes its environment sees the change at its next request.
namespace CloudConfig {

// The cloud service's base URL, without a trailing slash.
QString baseUrl();

// The certificates of CORRIVO_CA_FILE, empty when it is unset or unreadable.
QList<QSslCertificate> extraCaCertificates();

// The given configuration trusting the extra certificates as well as the system's
// CAs; unchanged when there are none. Peer verification is left as it is.
QSslConfiguration withExtraCaCertificates(QSslConfiguration configuration);

// Has the system's CA bundle read as soon as the event loop runs when extra
// certificates are configured, for withExtraCaCertificates() to find it ready.
void preloadCaCertificates();

} // namespace CloudConfig
