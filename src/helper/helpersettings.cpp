#include "helpersettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "corrivo2-helper: %s\n", qPrintable(message));
    std::exit(2);
}

bool isAbsoluteClean(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList components = path.mid(1).split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String(".."))
            return false;
    }
    return true;
}

} // namespace

HelperSettings HelperSettings::fromCommandLine(const QCoreApplication &application)
{
    HelperSettings settings;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Starts openvpn for members of a group, with a checked profile and fixed options.\n"
        "Speaks newline-delimited JSON on a unix socket; see docs/helper.md."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption socket(QStringLiteral("socket"),
                                    QStringLiteral("The socket to listen on (default %1; or $CORRIVO_HELPER_SOCKET). "
                                                   "Ignored under socket activation.")
                                        .arg(settings.socketPath),
                                    QStringLiteral("path"));
    const QCommandLineOption group(QStringLiteral("group"),
                                   QStringLiteral("The group whose members may use the helper (default %1; "
                                                  "or $CORRIVO_HELPER_GROUP).")
                                       .arg(settings.group),
                                   QStringLiteral("name"));
    const QCommandLineOption runtime(QStringLiteral("runtime-dir"),
                                     QStringLiteral("The directory for the sessions' private directories "
                                                    "(default %1).")
                                         .arg(settings.runtimeDirectory),
                                     QStringLiteral("path"));
    parser.addOptions({socket, group, runtime});
    parser.process(application);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument: ") + parser.positionalArguments().constFirst());

    if (parser.isSet(socket))
        settings.socketPath = parser.value(socket);
    else if (!qEnvironmentVariableIsEmpty("CORRIVO_HELPER_SOCKET"))
        settings.socketPath = qEnvironmentVariable("CORRIVO_HELPER_SOCKET");
    if (parser.isSet(group))
        settings.group = parser.value(group);
    else if (!qEnvironmentVariableIsEmpty("CORRIVO_HELPER_GROUP"))
        settings.group = qEnvironmentVariable("CORRIVO_HELPER_GROUP");
    if (parser.isSet(runtime))
        settings.runtimeDirectory = parser.value(runtime);

    if (!isAbsoluteClean(settings.socketPath) || QFile::encodeName(settings.socketPath).size() > 107)
        usageError(QStringLiteral("the socket path must be absolute, plain and shorter than 108 bytes"));
    if (!isAbsoluteClean(settings.runtimeDirectory))
        usageError(QStringLiteral("the runtime directory must be an absolute, plain path"));
    if (settings.group.isEmpty())
        usageError(QStringLiteral("the group name is empty"));
    return settings;
}
