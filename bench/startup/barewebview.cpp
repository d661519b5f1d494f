// The start-up benchmark's baseline: the least a Qt web view application does to show
// a page from its resources. A window with one QWebEngineView, on the engine's
// defaults as the application runs it, showing qrc:/bench/bare.html, a form like the sign-in page's. The page writes one console
// line once it is on screen; with QT_LOGGING_RULES="js.info=true" that line reaches
// standard error, where the benchmark waits for it.

#include <QApplication>
#include <QUrl>
#include <QWebEngineView>

#include <unistd.h>

int main(int argc, char *argv[])
{
    // As the application: the engine's sandbox cannot run as root.
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArrayLiteral("1"));
    QApplication app(argc, argv);
    QWebEngineView view;
    view.resize(1024, 700);
    view.load(QUrl(QStringLiteral("qrc:/bench/bare.html")));
    view.show();
    return app.exec();
}
