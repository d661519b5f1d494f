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
#include "shell/desktopsession.h"
#include "shell/singleinstance.h"
#include "base/logfile.h"
#include "base/logging.h"
#include "vpn/profilecheck.h"

#include <cstdio>

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

void writeLines(std::FILE *stream, const QStringList &lines)
{
    for (const QString &line : lines) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    }
    std::fflush(stream);
}

// --check-profile: the verdict and every dropped or rewritten line; with --print the
// daemon's configuration goes to the standard output and the rest to the error output,
// so that the one can be piped into a file.
int checkProfile(const QString &path, bool print)
{
    const ProfileCheck check(path);
    writeLines(print ? stderr : stdout, QStringList{check.summary()} + check.notices());
    if (print && check.verdict() == ProfileCheck::Accepted) {
        const std::string config = check.daemonConfig();
        std::fwrite(config.data(), 1, config.size(), stdout);
        std::fflush(stdout);
    }
    return int(check.verdict());
}

// "--log" alone asks for the most detail; the parser only knows options with a value.
QStringList withLogLevel(QStringList arguments)
{
    for (QString &argument : arguments) {
        if (argument == QLatin1String("--log") || argument == QLatin1String("-log"))
            argument = QStringLiteral("--log=4");
    }
    return arguments;
}

// Answers --help, --version and --check-profile, and refuses options nobody knows,
// before anything needs a display: the parser only needs a core application, which is
// gone again before the GUI application is made. A later start hands its command line
// to the running application here. Returns the exit code of a command line that ends
// the process here, or -1 to go on; *logLevel gets the level of --log or CORRIVO_LOG.
int answerCommandLine(int argc, char *argv[], SingleInstance &instance, int *logLevel)
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
    const QCommandLineOption checkProfileOption(
        QStringLiteral("check-profile"),
        QStringLiteral("Checks the VPN profile <file> as a start would (companion files from its folder), prints "
                       "the verdict and each dropped or rewritten line, and exits: 0 accepted, 1 refused, "
                       "2 unreadable or not a profile."),
        QStringLiteral("file"));
    const QCommandLineOption printOption(
        QStringLiteral("print"),
        QStringLiteral("With --check-profile: writes the configuration openvpn would get to the standard output, "
                       "everything else to the standard error."));
    const QCommandLineOption logOption(
        QStringList{QStringLiteral("log")},
        QStringLiteral("Writes the log to $XDG_STATE_HOME/corrivo2/corrivo2.log (owner only, rotated, secrets "
                       "masked): --log for every line, --log=<level> from 1 (errors) to 4. CORRIVO_LOG=<level> "
                       "does the same."),
        QStringLiteral("level"));
    parser.addOption(checkProfileOption);
    parser.addOption(printOption);
    parser.addOption(logOption);
    const QStringList commandLine = withLogLevel(withoutGuiOptions(QCoreApplication::arguments()));
    // Qt would hand what follows this to the web engine, even after "--", where the
    // parser takes anything: the engine's switches come from the environment alone,
    // through the list configureWebEngineSandbox() keeps.
    if (carriesWebEngineArguments(commandLine.mid(1))) {
        std::fputs("corrivo2: --webEngineArgs is not taken; web engine switches come from "
                   "QTWEBENGINE_CHROMIUM_FLAGS only\n", stderr);
        return 2;
    }
    parser.process(commandLine);
    if (parser.isSet(checkProfileOption))
        return checkProfile(parser.value(checkProfileOption), parser.isSet(printOption));
    if (parser.isSet(printOption)) {
        std::fputs("corrivo2: --print goes with --check-profile\n", stderr);
        return 2;
    }
    const bool fromEnvironment = !parser.isSet(logOption) && qEnvironmentVariableIsSet("CORRIVO_LOG");
    *logLevel = LogFile::levelFromText(fromEnvironment ? qEnvironmentVariable("CORRIVO_LOG") : parser.value(logOption),
                                       parser.isSet(logOption) || fromEnvironment);
    if (*logLevel < 0) {
        std::fputs("corrivo2: the log level is a number from 1 to 4\n", stderr);
        return 2;
    }
    // A running application takes this start's command line and comes to the front.
    if (instance.handOver(commandLine.mid(1)))
        return 0;
    return -1;
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

    SingleInstance instance;
    int logLevel = 0;
    const int answered = answerCommandLine(argc, argv, instance, &logLevel);
    if (answered >= 0)
        return answered;
    if (logLevel > 0) {
        QString error;
        if (!LogFile::start(LogFile::defaultDirectory(), logLevel, &error))
            std::fprintf(stderr, "corrivo2: no log: %s\n", qPrintable(error));
    }

    QApplication app(argc, argv);

    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QGuiApplication::setApplicationDisplayName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    CloudConfig::preloadCaCertificates();

    // Stack order destroys the window, then the application.
    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    auto *supervisor = new WebengineSupervisor(); // lives until the process ends
    // Tray, notifications, sleep and resume follow whichever window is in place.
    DesktopSession desktop;
    QObject::connect(supervisor, &WebengineSupervisor::mainWindowChanged, &desktop, &DesktopSession::setMainWindow);
    QObject::connect(&instance, &SingleInstance::started, &desktop, [&desktop](const QStringList &arguments) {
        logMessage(4, "runApplication", QStringLiteral("A later start: ") + arguments.join(QLatin1Char(' ')));
        desktop.raiseWindow();
    });
    instance.listen();
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
