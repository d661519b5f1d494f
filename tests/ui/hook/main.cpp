#include <QApplication>
#include <QUrl>
#include <QWebChannel>
#include <QWebEnginePage>

#include "bridge/hlv.h"
#include "corrivoconfig.h"
#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "shell/webenginesupervisor.h"
#include "signalhook.h"

// The application as main builds it, plus the test hook on the same web channel.
int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral(CORRIVO_ORGANIZATION_NAME));
    QCoreApplication::setOrganizationDomain(QStringLiteral(CORRIVO_ORGANIZATION_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    configureWebEngineSandbox();

    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(QStringLiteral(CORRIVO_APPLICATION_NAME));

    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    SignalHook hook(window.bridge());
    window.page()->webChannel()->registerObject(QStringLiteral("TestHook"), &hook);
    auto *supervisor = new WebengineSupervisor(); // lives until the process ends
    supervisor->setMainWindow(&window);

    window.show();
    return app.exec();
}
