#pragma once

#include <QWebEnginePage>

// The main window's page. It holds a bridge that can start tunnels and run programs,
// so it never leaves the program's own resources: navigation to any other scheme is
// refused. Links meant for the user open in the desktop browser through the bridge.
class WebPage : public QWebEnginePage
{
    Q_OBJECT

public:
    explicit WebPage(QObject *parent = nullptr);

    static bool isAllowedUrl(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
};
