#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

// A test certificate authority made with openssl at run time and a server certificate
// signed by it. The CA (ca.pem, ca-key.pem) lives in a directory the caller names and
// is reused when it is already there, so several simulator instances can share one CA
// and a client trusts all of them with one CORRIVO_CA_FILE. The server key exists on
// disk only while it is being made and is then held in memory.
class TestCa
{
public:
    // Makes or reuses the CA in caDir and issues a server certificate for the given
    // IP addresses and host names. On failure errorString() says why.
    bool prepare(const QString &caDir, const QStringList &ipAddresses, const QStringList &dnsNames);

    QString caFile() const;
    QSslCertificate caCertificate() const;
    QSslCertificate serverCertificate() const;
    QSslKey serverKey() const;
    QString errorString() const;

private:
    bool runOpenssl(const QStringList &arguments);

    QString m_caFile;
    QSslCertificate m_caCertificate;
    QSslCertificate m_serverCertificate;
    QSslKey m_serverKey;
    QString m_error;
};
