#include "shell/webpage.h"

#include <QUrl>

#include "base/logging.h"

WebPage::WebPage(QObject *parent)
    : QWebEnginePage(parent)
{
}

bool WebPage::isAllowedUrl(const QUrl &url)
{
    return url.scheme() == QLatin1String("qrc");
}

bool WebPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (isAllowedUrl(url))
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    logMessage(2, "WebPage::acceptNavigationRequest",
               QStringLiteral("refused navigation to ") + url.toDisplayString());
    return false;
}
