#pragma once

#include <QString>

class QCoreApplication;

// How the helper was started: its socket, the group whose members may use it and its
// runtime directory. Options first; for the first two, the environment when the option
// is missing (a service manager sets it), then the defaults.
struct HelperSettings
{
    QString socketPath = QStringLiteral("/run/corrivo2/helper.sock");
    QString group = QStringLiteral("corrivo2");
    QString runtimeDirectory = QStringLiteral("/run/corrivo2");

    // Reads the command line; answers --help and --version and exits, as it does
    // (with status 2) on an unusable option.
    static HelperSettings fromCommandLine(const QCoreApplication &application);
};
