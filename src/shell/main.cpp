#include <QApplication>
#include <QCommandLineParser>
#include <QUrl>

#include "corrivoconfig.h"
#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "shell/terminationsignals.h"
#include "shell/webenginesupervisor.h"

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral(CORRIVO_ORGANIZATION_NAME));
    QCoreApplication::setOrganizationDomain(QStringLiteral(CORRIVO_ORGANIZATION_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    QCoreApplication::setSetuidAllowed(true);
    disableWebEngineSandboxForRoot();

    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("helper"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QGuiApplication::setApplicationDisplayName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));

    // Stack order destroys the window, then the parser, then the application.
    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    auto *supervisor = new WebengineSupervisor(); // lives until the process ends
    supervisor->setMainWindow(&window);

    // Ctrl-C or a SIGTERM closes the window that is shown now: its close event stores
    // the geometry and stops the tunnel and the serial ports, and the last window
    // closing ends the event loop.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::requested, supervisor, [supervisor] {
        supervisor->mainWindow()->close();
    });

    window.show();
    return app.exec();
}
