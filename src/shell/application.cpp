#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <iterator>
#include <vector>

#include "corrivoconfig.h"
#include "cloud/cloudconfig.h"
#include "shell/application.h"
#include "shell/mainwindow.h"
#include "shell/sandbox.h"
#include "base/terminationsignals.h"
#include "shell/webenginesupervisor.h"

namespace {

// Qt's own options that the GUI application takes out of the command line before an
// application sees it: they are no unknown options of ours.
const char *const GuiOptionsWithValue[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "style", "stylesheet",
    // the X11 spellings and settings of the xcb platform
    "geometry", "title", "icon", "display", "name", "visual",
};
const char *const GuiOptionsAlone[] = {"reverse", "testability", "widgetcount", "nograb", "dograb"};

template<size_t Size>
bool isOneOf(const QString &name, const char *const (&options)[Size])
{
    return std::any_of(std::begin(options), std::end(options),
                       [&name](const char *option) { return name == QLatin1String(option); });
}

QStringList withoutGuiOptions(const QStringList &arguments)
{
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i == 0 || !argument.startsWith(QLatin1Char('-'))) {
            kept.append(argument);
            continue;
        }
        // Qt takes them with one dash or two.
        const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        if (isOneOf(name, GuiOptionsWithValue)) {
            ++i; // and its value
            continue;
        }
        if (isOneOf(name, GuiOptionsAlone) || name.startsWith(QLatin1String("style="))
            || name.startsWith(QLatin1String("stylesheet=")))
            continue;
        kept.append(argument);
    }
    return kept;
}

// Answers --help and --version, and refuses options nobody knows, before anything needs
// a display: the parser only needs a core application, which is gone again before the
// GUI application is made. Help, version and errors end the process here.
void answerCommandLine(int argc, char *argv[])
{
    // The core application may take its own options out of the vector it is given; the
    // GUI application still gets the whole command line.
    std::vector<char *> arguments(argv, argv + argc + 1);
    int count = argc;
    QCoreApplication core(count, arguments.data());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("helper"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(withoutGuiOptions(QCoreApplication::arguments()));
}

} // namespace

int runApplication(int argc, char *argv[], const std::function<void(MainWindow *)> &prepareWindow)
{
    QCoreApplication::setOrganizationName(QStringLiteral(CORRIVO_ORGANIZATION_NAME));
    QCoreApplication::setOrganizationDomain(QStringLiteral(CORRIVO_ORGANIZATION_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    QCoreApplication::setSetuidAllowed(true);
    configureWebEngineSandbox();

    answerCommandLine(argc, argv);

    QApplication app(argc, argv);

    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QGuiApplication::setApplicationDisplayName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    CloudConfig::preloadCaCertificates();

    // Stack order destroys the window, then the application.
    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    auto *supervisor = new WebengineSupervisor(); // lives until the process ends
    if (prepareWindow) {
        // Every main window, the replacements after a renderer crash too.
        QObject::connect(supervisor, &WebengineSupervisor::mainWindowChanged, supervisor, prepareWindow);
    }
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
