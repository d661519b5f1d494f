#include "shell/webenginesupervisor.h"

#include <QDebug>
#include <QUrl>

#include "shell/mainwindow.h"

WebengineSupervisor::WebengineSupervisor(QObject *parent)
    : QObject(parent)
{
}

void WebengineSupervisor::setMainWindow(MainWindow *window)
{
    m_mainWindow = window;
    connect(window, &QWebEngineView::renderProcessTerminated, this, &WebengineSupervisor::onMainWindowCrash);
    emit mainWindowChanged(window);
}

MainWindow *WebengineSupervisor::mainWindow() const
{
    return m_mainWindow;
}

void WebengineSupervisor::onMainWindowCrash()
{
    QMessageLogger().debug("XXXXXXXXXXXXXXXXXXXXXXCRASH");

    m_mainWindow->close();

    // Not deleted: the closed window and its bridge stay until the process ends.
    auto *window = new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    setMainWindow(window);
    // Shown before control returns to the event loop, so closing the old window
    // does not end the application.
    window->show();
}
