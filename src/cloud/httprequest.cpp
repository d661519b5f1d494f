#include "cloud/httprequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include "cloud/cloudconfig.h"
#include "base/logging.h"

namespace {

const char Category[] = "http_request";
const char ParseFunction[] = "HttpRequest::parseNetworkResponse";

int g_watchMs = 30000;
int g_abortMs = 120000;
qint64 g_maxBodySize = 16 * 1024 * 1024;

const QString Hidden = QStringLiteral("***");

// A URL as the log may show it. Query values carry keys (a device call sends its
// api_key there), so only the item names stay; an item without a value might itself
// be the key and is hidden whole. User information and fragments go as well.
QString loggableUrl(const QUrl &url)
{
    QUrl shown = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment | QUrl::RemoveQuery);
    QString text = shown.toString();
    if (!url.hasQuery())
        return text;
    QStringList items = url.query(QUrl::FullyEncoded).split(QLatin1Char('&'));
    for (QString &item : items) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        item = equals < 0 ? Hidden : item.left(equals + 1) + Hidden;
    }
    return text + QLatin1Char('?') + items.join(QLatin1Char('&'));
}

// The network layer's error texts quote the URL ("Error transferring <url> - ..."):
// every spelling of it is replaced by the loggable one, then any query value still
// left (a redirect's URL, another spelling). Very short values are left alone: they
// are no keys, and replacing them would garble the text.
QString withoutUrlSecrets(QString text, const QList<QUrl> &urls)
{
    const qsizetype minimumSecretLength = 4;
    for (const QUrl &url : urls) {
        if (url.isEmpty())
            continue;
        const QString shown = loggableUrl(url);
        for (const QString &spelling : {url.toString(), url.toString(QUrl::FullyEncoded), url.toDisplayString()})
            text.replace(spelling, shown);
        const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
        for (const auto &[name, value] : items) {
            // An item without a value may be the key itself.
            const QString secret = value.isEmpty() ? name : value;
            if (secret.size() < minimumSecretLength)
                continue;
            text.replace(secret, Hidden);
            text.replace(QString::fromLatin1(QUrl::toPercentEncoding(secret)), Hidden);
        }
    }
    return text;
}

} // namespace

HttpRequest::HttpRequest(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager()) // deleted by its own finished() below
{
    m_timer.setSingleShot(true);
    m_deadline.setSingleShot(true);

    // parseNetworkResponse must be connected first: the caller sees the signal while
    // the request, the manager and the reply still exist.
    connect(m_manager, &QNetworkAccessManager::finished, this, &HttpRequest::parseNetworkResponse);
    connect(m_manager, &QNetworkAccessManager::finished, m_manager, &QObject::deleteLater);
    connect(m_manager, &QNetworkAccessManager::finished, this, &QObject::deleteLater);
    connect(m_manager, &QNetworkAccessManager::sslErrors, this, &HttpRequest::onSslError);
}

HttpRequest::~HttpRequest() = default;

void HttpRequest::setRawHeader(QByteArray name, QByteArray value)
{
    m_request.setRawHeader(name, value);
}

void HttpRequest::setBasicAuthorization(QString username, QString password)
{
    const QByteArray credentials = (username + QLatin1Char(':') + password).toLocal8Bit();
    m_request.setRawHeader(QByteArrayLiteral("Authorization"), QByteArrayLiteral("Basic ") + credentials.toBase64());
}

void HttpRequest::get(QString url)
{
    m_request.setUrl(QUrl(url));
    logMessage(4, Category, "HttpRequest::get", QStringLiteral("url: ") + loggableUrl(m_request.url()));

    // An extra CA (development, the lab) only widens whom we trust; peer
    // verification itself stays on.
    QSslConfiguration tls = CloudConfig::withExtraCaCertificates(m_request.sslConfiguration());
    tls.setProtocol(QSsl::AnyProtocol);
    m_request.setSslConfiguration(tls);

    m_timer.start(g_watchMs);
    m_deadline.start(g_abortMs);

    m_reply = m_manager->get(m_request);

    connect(&m_timer, &QTimer::timeout, this, &HttpRequest::onWatchExpired);
    connect(&m_deadline, &QTimer::timeout, this, &HttpRequest::onDeadline);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &HttpRequest::onMetaDataChanged);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &HttpRequest::onDownloadProgress);
    connect(m_manager, &QNetworkAccessManager::finished, m_reply, &QObject::deleteLater);
}

QNetworkAccessManager *HttpRequest::manager() const
{
    return m_manager;
}

QNetworkReply *HttpRequest::reply() const
{
    return m_reply;
}

void HttpRequest::setTimeouts(int watchMs, int abortMs)
{
    g_watchMs = watchMs;
    g_abortMs = abortMs;
}

void HttpRequest::setMaxBodySize(qint64 bytes)
{
    g_maxBodySize = bytes;
}

void HttpRequest::parseNetworkResponse(QNetworkReply *finished)
{
    if (m_timer.isActive())
        m_timer.stop();
    m_deadline.stop();

    if (!finished) {
        emit error(-1, QString::fromUtf8(m_data));
        return;
    }

    const QVariant statusAttribute = finished->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (m_abandoned || !statusAttribute.isValid()) {
        logMessage(4, Category, ParseFunction, QStringLiteral("invalid status code: ") + QString::number(-1));
        emit error(-1, QString::fromUtf8(m_data));
        return;
    }

    const int code = statusAttribute.toInt();
    logMessage(4, Category, ParseFunction, QStringLiteral("status code: ") + QString::number(code));

    if (finished->error() != QNetworkReply::NoError) {
        logMessage(4, Category, ParseFunction,
                   QStringLiteral("QNetworkReply error: ")
                       + withoutUrlSecrets(finished->errorString(), {m_request.url(), finished->url()}));
        emit error(code, QString::fromUtf8(m_data));
        return;
    }

    // The reply may have been read in full before any progress was reported.
    if (finished->bytesAvailable() > g_maxBodySize) {
        logMessage(2, Category, ParseFunction, QStringLiteral("reply larger than ") + QString::number(g_maxBodySize)
                       + QStringLiteral(" bytes, refused"));
        emit error(-1, QString::fromUtf8(m_data));
        return;
    }
    m_data = finished->readAll();
    const QString body = QString::fromUtf8(m_data);
    // Bodies hold API keys and VPN credentials: their size is all the log gets.
    logMessage(4, Category, ParseFunction,
               QStringLiteral("data: ") + QString::number(m_data.size()) + QStringLiteral(" bytes"));
    if (code >= 200 && code < 300) {
        logMessage(3, Category, ParseFunction, QStringLiteral("success ") + QString::number(code));
        emit success(code, body);
    } else {
        logMessage(2, Category, ParseFunction, QStringLiteral("fail ") + QString::number(code));
        emit error(code, body);
    }
}

void HttpRequest::onSslError(QNetworkReply *r, QList<QSslError> l)
{
    Q_UNUSED(l)
    if (abortOnSslErrors)
        r->abort();
}

void HttpRequest::onWatchExpired()
{
    // Only a note: the reply may still finish and is reported as usual. TLS errors are
    // not ignored here, or a handshake slowed past this point would skip verification.
    logMessage(4, Category, "HttpRequest::get",
               QStringLiteral("no answer after ") + QString::number(g_watchMs) + QStringLiteral(" ms"));
}

void HttpRequest::onDeadline()
{
    abandon(QStringLiteral("no answer after ") + QString::number(g_abortMs) + QStringLiteral(" ms, aborted"));
}

void HttpRequest::onMetaDataChanged()
{
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > g_maxBodySize)
        abandon(QStringLiteral("announced reply larger than ") + QString::number(g_maxBodySize) + QStringLiteral(" bytes, aborted"));
}

void HttpRequest::onDownloadProgress(qint64 received, qint64 total)
{
    if (received > g_maxBodySize || total > g_maxBodySize)
        abandon(QStringLiteral("reply larger than ") + QString::number(g_maxBodySize) + QStringLiteral(" bytes, aborted"));
}

void HttpRequest::abandon(const QString &reason)
{
    if (m_abandoned || !m_reply || m_reply->isFinished())
        return;
    m_abandoned = true;
    logMessage(2, Category, "HttpRequest::get", reason);
    // abort() finishes the reply, so the usual path reports error(-1, "").
    m_reply->abort();
}
