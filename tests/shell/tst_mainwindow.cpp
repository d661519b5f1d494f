#include <QtTest>

#include <QApplication>
#include <QScreen>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include <csignal>

#include "bridge/hlv.h"
#include "model/hlvsettings.h"
#include "base/loggingcontrol.h"
#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "shell/webenginesupervisor.h"
#include "testhome.h"

namespace {

const QUrl EntryPage(QStringLiteral("qrc:/index.html"));

QStringList g_infoLines;

void captureInfo(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtInfoMsg)
        g_infoLines.append(text);
}

void storeGeometry(const QVariant &size, const QVariant &pos)
{
    HlvSettings settings;
    settings.beginGroup(QStringLiteral("window"));
    if (size.isValid())
        settings.setValue(QStringLiteral("size"), size);
    if (pos.isValid())
        settings.setValue(QStringLiteral("pos"), pos);
    settings.endGroup();
}

QVariant runJavaScript(QWebEnginePage *page, const QString &script)
{
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 20000))
        qWarning("page did not answer the script");
    return result;
}

// Asks the page to reach the bridge over the web channel and answers what it read.
QString versionSeenByPage(QWebEnginePage *page)
{
    const bool ready = QTest::qWaitFor([&] {
        return runJavaScript(page, QStringLiteral("document.readyState === 'complete' && typeof QWebChannel === 'function'"))
            .toBool();
    }, 30000);
    if (!ready)
        return QString();
    runJavaScript(page, QStringLiteral("window.__probe = null;"
                                       "new QWebChannel(qt.webChannelTransport, function (c) {"
                                       "  c.objects.HLV.getApplicationVersion(function (v) { window.__probe = v; });"
                                       "});"));
    QString version;
    const bool answered = QTest::qWaitFor([&] {
        version = runJavaScript(page, QStringLiteral("window.__probe")).toString();
        return !version.isEmpty();
    }, 20000);
    return answered ? version : QString();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void defaultGeometryIsCentred();
    void storedSizeBelowMinimumIsRaised();
    void closeStoresGeometryForNextStart();
    void webSettingsAndContextMenu();
    void pagePublishesBridge();
    void killLogsExitWithoutStoringGeometry();
    void rendererEndReplacesWindow();
};

void TestMainWindow::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestMainWindow::init()
{
    TestHome::wipe();
    g_infoLines.clear();
}

void TestMainWindow::cleanup()
{
    LoggingControl::set(0, QStringLiteral("None"));
}

void TestMainWindow::defaultGeometryIsCentred()
{
    MainWindow window(nullptr, EntryPage);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(window.size(), QSize(900, 700));
    QCOMPARE(window.pos(), QPoint(screen.width() / 2 - 450, screen.height() / 2 - 350));
    QCOMPARE(window.minimumSize(), QSize(900, 700));
    QCOMPARE(window.url(), EntryPage);
}

void TestMainWindow::storedSizeBelowMinimumIsRaised()
{
    storeGeometry(QSize(600, 401), QVariant());
    MainWindow window(nullptr, EntryPage);
    QCOMPARE(window.size(), QSize(900, 700));
    // The default position centres the stored size, not the raised one.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(window.pos(), QPoint(screen.width() / 2 - 300, screen.height() / 2 - 401 / 2));
}

void TestMainWindow::closeStoresGeometryForNextStart()
{
    {
        MainWindow window(nullptr, EntryPage);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(1000, 760);
        window.move(30, 40);
        QTRY_COMPARE(window.size(), QSize(1000, 760));
        QTRY_COMPARE(window.pos(), QPoint(30, 40));
        QVERIFY(window.close());
    }
    {
        HlvSettings settings;
        QCOMPARE(settings.value(QStringLiteral("window/size")).toSize(), QSize(1000, 760));
        QCOMPARE(settings.value(QStringLiteral("window/pos")).toPoint(), QPoint(30, 40));
    }
    MainWindow next(nullptr, EntryPage);
    QCOMPARE(next.size(), QSize(1000, 760));
    QCOMPARE(next.pos(), QPoint(30, 40));
}

void TestMainWindow::webSettingsAndContextMenu()
{
    MainWindow window(nullptr, EntryPage);
    QWebEngineSettings *settings = window.page()->settings();
    for (auto attribute : {QWebEngineSettings::FullScreenSupportEnabled, QWebEngineSettings::JavascriptCanOpenWindows,
                           QWebEngineSettings::LinksIncludedInFocusChain,
                           QWebEngineSettings::LocalContentCanAccessRemoteUrls,
                           QWebEngineSettings::ScreenCaptureEnabled})
        QVERIFY2(settings->testAttribute(attribute), qPrintable(QString::number(int(attribute))));
    QCOMPARE(window.contextMenuPolicy(), Qt::NoContextMenu);
}

void TestMainWindow::pagePublishesBridge()
{
    MainWindow window(nullptr, EntryPage);
    QSignalSpy loaded(&window, &QWebEngineView::loadFinished);
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 30000);
    QCOMPARE(loaded.first().first().toBool(), true);
    QCOMPARE(versionSeenByPage(window.page()), QStringLiteral("2.0.1"));
}

void TestMainWindow::killLogsExitWithoutStoringGeometry()
{
    LoggingControl::set(1, QStringLiteral("all"));
    const QtMessageHandler previous = qInstallMessageHandler(captureInfo);
    {
        MainWindow window(nullptr, EntryPage);
        window.resize(1111, 777);
        window.bridge()->kill();
    }
    qInstallMessageHandler(previous);
    QCOMPARE(g_infoLines, QStringList{QStringLiteral("all(): \"Exit!\"")});
    HlvSettings settings;
    QVERIFY(!settings.contains(QStringLiteral("window/size")));
}

void TestMainWindow::rendererEndReplacesWindow()
{
    auto *first = new MainWindow(nullptr, EntryPage);
    WebengineSupervisor supervisor;
    supervisor.setMainWindow(first);
    QSignalSpy loaded(first, &QWebEngineView::loadFinished);
    first->show();
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 30000);
    QSignalSpy lastWindowClosed(qApp, &QGuiApplication::lastWindowClosed);

    const qint64 pid = first->page()->renderProcessPid();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);

    QTRY_VERIFY_WITH_TIMEOUT(supervisor.mainWindow() != first, 20000);
    MainWindow *second = supervisor.mainWindow();
    QVERIFY(second);
    QVERIFY(!first->isVisible());
    QVERIFY(second->isVisible());
    QCOMPARE(second->url(), EntryPage);
    QVERIFY(second->bridge() != first->bridge());
    QCOMPARE(lastWindowClosed.size(), 0);

    // The new page comes up and reaches its own bridge.
    QCOMPARE(versionSeenByPage(second->page()), QStringLiteral("2.0.1"));

    // A second renderer end is handled the same way.
    const qint64 secondPid = second->page()->renderProcessPid();
    QVERIFY(secondPid > 0);
    QCOMPARE(::kill(pid_t(secondPid), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(supervisor.mainWindow() != second, 20000);
    QVERIFY(supervisor.mainWindow()->isVisible());

    // Windows stay in memory by design; the test releases its own.
    supervisor.mainWindow()->hide();
    delete supervisor.mainWindow();
    delete second;
    delete first;
}

int main(int argc, char *argv[])
{
    configureWebEngineSandbox();
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
