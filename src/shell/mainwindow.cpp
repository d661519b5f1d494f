#include "shell/mainwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include "bridge/hlv.h"
#include "model/hlvsettings.h"
#include "base/logging.h"
#include "shell/webpage.h"

namespace {

constexpr int MinimumWidth = 900;
constexpr int MinimumHeight = 700;

} // namespace

MainWindow::MainWindow(QWidget *parent, QUrl url)
    : QWebEngineView(parent)
{
    setPage(new WebPage(this));

    // Created before the page loads, so the stored state is ready for the page's
    // first calls.
    m_hlv = new Hlv();
    connect(m_hlv, &Hlv::onKill, this, &MainWindow::onKill);

    m_channel = new QWebChannel(page());
    page()->setWebChannel(m_channel, 0);
    m_channel->registerObject(QStringLiteral("HLV"), m_hlv);

    enableWebAttributes();
    // One navigation: setUrl() loads the page and answers url() at once (load() after it
    // would start the same load a second time).
    setUrl(url);

    setContextMenuPolicy(Qt::NoContextMenu);

    HlvSettings settings;
    const QSize size = settings.windowSize(QSize(MinimumWidth, MinimumHeight));
    resize(size);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint centred(screen.width() / 2 - size.width() / 2, screen.height() / 2 - size.height() / 2);
    move(settings.windowPosition(centred));

    setMinimumWidth(MinimumWidth);
    setMinimumHeight(MinimumHeight);
}

Hlv *MainWindow::bridge() const
{
    return m_hlv;
}

void MainWindow::enableWebAttributes()
{
    QWebEngineSettings *webSettings = page()->settings();
    webSettings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);
    webSettings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    webSettings->setAttribute(QWebEngineSettings::LinksIncludedInFocusChain, true);
    webSettings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    webSettings->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, true);
}

bool MainWindow::event(QEvent *event)
{
    // Some window systems leave the web view's surface stale after activation; a
    // one-pixel resize forces a fresh frame.
    if (event->type() == QEvent::WindowActivate) {
        const QSize current = size();
        resize(current.width(), current.height() + 1);
        resize(current);
    }
    return QWebEngineView::event(event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    HlvSettings().setWindowGeometry(size(), pos());
    m_hlv->m_exit();
    m_hlv->retire();
    event->accept();
}

void MainWindow::onKill()
{
    logMessage(1, "all", QStringLiteral("Exit!"));
    QCoreApplication::quit();
}
