#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

// One HTTPS GET. Create it with new and no parent, connect success/error, set headers,
// call get() once and forget the pointer: exactly one of the two signals arrives and
// the object then deletes itself together with its manager and its reply.
class HttpRequest : public QObject
{
    Q_OBJECT

public:
    explicit HttpRequest(QObject *parent = nullptr);
    ~HttpRequest() override;

    void setRawHeader(QByteArray name, QByteArray value);
    void setBasicAuthorization(QString username, QString password);
    void get(QString url);

    // Set by device calls: a reply whose TLS handshake reports errors is aborted at once.
    bool abortOnSslErrors = false;

    // For tests that check the object's lifetime; both die with the request.
    QNetworkAccessManager *manager() const;
    QNetworkReply *reply() const;

    // Test hooks; the product keeps the defaults (30 s watch, 120 s bound, 16 MiB).
    static void setTimeouts(int watchMs, int abortMs);
    static void setMaxBodySize(qint64 bytes);

signals:
    void success(int statusCode, QString data);
    void error(int statusCode, QString data);

public slots:
    void parseNetworkResponse(QNetworkReply *finished);
    void onSslError(QNetworkReply *r, QList<QSslError> l);

private slots:
    void onWatchExpired();
    void onDeadline();
    void onMetaDataChanged();
    void onDownloadProgress(qint64 received, qint64 total);

private:
    void abandon(const QString &reason);

    QNetworkAccessManager *m_manager = nullptr;
    QNetworkRequest m_request;
    QByteArray m_data;
    QTimer m_timer;
    // The outer bound: a reply that never finishes must not keep its caller waiting.
    QTimer m_deadline;
    QNetworkReply *m_reply = nullptr;
    // Set when this side gave up on the reply (outer bound or size); the reply's own
    // status no longer counts then.
    bool m_abandoned = false;
};
