#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop browser: register it with QDesktopServices::setUrlHandler
// and it keeps the URLs the application asked to open.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};
