#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "shell/webpage.h"
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
    QTest::newRow("assigned location") << "location.href = 'https://127.0.0.1:9/'" << "start";
    QTest::newRow("clicked link") << "document.getElementById('away').click()" << "start";
    QTest::newRow("data url") << "location.href = 'data:text/html,<title>data</title>'" << "start";
    QTest::newRow("link inside") << "document.getElementById('inside').click()" << "second";
}

// A refused navigation leaves the page where it was; the allowed one proves that the
// check is not simply refusing everything.
void TestWebPage::navigation()
{
    QFETCH(QString, script);
    QFETCH(QString, expectedTitle);

    QWebEngineView view;
    auto *page = new WebPage(&view);
    view.setPage(page);
    view.resize(400, 300);
    view.show();
    loadStart(view);

    page->runJavaScript(script);
    QTRY_COMPARE_WITH_TIMEOUT(page->title(), expectedTitle, 15000);
    if (expectedTitle == QLatin1String("start")) {
        // Give a navigation that slipped through the time to commit.
        QTest::qWait(1000);
        QCOMPARE(page->url(), QUrl(QStringLiteral("qrc:/webpage/start.html")));
        QCOMPARE(page->title(), QStringLiteral("start"));
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
