#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "shell/webpage.h"
#include "logcapture.h"
#include "testhome.h"

class TestWebPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void isAllowedUrl_data();
    void isAllowedUrl();
    void navigation_data();
    void navigation();
    void mainWindowUsesIt();

private:
    // Loads the start page and waits until it is there.
    void loadStart(QWebEngineView &view);
};

void TestWebPage::initTestCase()
{
    TestHome::setUpIdentity();
    TestHome::wipe();
}

void TestWebPage::cleanupTestCase()
{
    TestHome::wipe();
}

void TestWebPage::isAllowedUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("entry page") << "qrc:/index.html" << true;
    QTest::newRow("route") << "qrc:/login" << true;
    QTest::newRow("https") << "https://example.com/" << false;
    QTest::newRow("http") << "http://10.8.0.2/" << false;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("data") << "data:text/html,<script>alert(1)</script>" << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("about") << "about:blank" << false;
}

void TestWebPage::isAllowedUrl()
{
    QFETCH(QString, url);
    QFETCH(bool, allowed);
    QCOMPARE(WebPage::isAllowedUrl(QUrl(url)), allowed);
}

namespace {

// The web engine's own console messages of the page ("js" category, logged as critical
// when the page's script is refused something), while it exists.
QStringList g_engineMessages;
QtMessageHandler g_previousHandler = nullptr;

void collectEngineMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "js") == 0)
        g_engineMessages.append(message);
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

struct EngineMessages
{
    EngineMessages()
    {
        g_engineMessages.clear();
        g_previousHandler = qInstallMessageHandler(collectEngineMessage);
    }
    ~EngineMessages() { qInstallMessageHandler(g_previousHandler); }
    bool contains(const QString &text) const
    {
        for (const QString &message : g_engineMessages) {
            if (message.contains(text))
                return true;
        }
        return false;
    }
};

} // namespace

void TestWebPage::loadStart(QWebEngineView &view)
{
    QSignalSpy loaded(&view, &QWebEngineView::loadFinished);
    view.load(QUrl(QStringLiteral("qrc:/webpage/start.html")));
    QVERIFY(loaded.wait(30000));
    QCOMPARE(loaded.first().first().toBool(), true);
}

void TestWebPage::navigation_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expectedTitle");
    // Who says no, in the log: the page's own check, or the engine, which refuses a
    // top-level data: navigation a page starts before asking the page.
    QTest::addColumn<QString>("refusal");
    const QString ours = QStringLiteral("refused navigation to ");
    QTest::newRow("assigned location") << "location.href = 'https://127.0.0.1:9/'" << "start" << ours;
    QTest::newRow("clicked link") << "document.getElementById('away').click()" << "start" << ours;
    QTest::newRow("data url") << "location.href = 'data:text/html,<title>data</title>'" << "start"
                              << "Not allowed to navigate top frame to data URL";
    QTest::newRow("link inside") << "document.getElementById('inside').click()" << "second" << QString();
}

// A refused navigation leaves the page where it was; the allowed one proves that the
// check is not simply refusing everything.
void TestWebPage::navigation()
{
    QFETCH(QString, script);
    QFETCH(QString, expectedTitle);
    QFETCH(QString, refusal);

    QWebEngineView view;
    auto *page = new WebPage(&view);
    view.setPage(page);
    view.resize(400, 300);
    view.show();
    loadStart(view);

    LogCapture log(2);
    EngineMessages engine;
    page->runJavaScript(script);
    QTRY_COMPARE_WITH_TIMEOUT(page->title(), expectedTitle, 15000);
    if (!refusal.isEmpty()) {
        // Once the refusal is logged the navigation is decided; one let through would
        // have been committed by the time the page is asked where it is.
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(refusal) || engine.contains(refusal), 15000);
        QString location;
        page->runJavaScript(QStringLiteral("location.href"), [&location](const QVariant &v) { location = v.toString(); });
        QTRY_VERIFY_WITH_TIMEOUT(!location.isEmpty(), 15000);
        QCOMPARE(location, QStringLiteral("qrc:/webpage/start.html"));
        QCOMPARE(page->url(), QUrl(QStringLiteral("qrc:/webpage/start.html")));
        QCOMPARE(page->title(), QStringLiteral("start"));
    } else {
        QVERIFY(!log.contains(QStringLiteral("refused navigation to ")));
    }
}

void TestWebPage::mainWindowUsesIt()
{
    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/webpage/start.html")));
    QVERIFY(qobject_cast<WebPage *>(window.page()) != nullptr);
}

int main(int argc, char *argv[])
{
    configureWebEngineSandbox();
    QApplication app(argc, argv);
    TestWebPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webpage.moc"
