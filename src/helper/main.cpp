#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

#include "helperlog.h"
#include "helperserver.h"
#include "helpersettings.h"
#include "base/terminationsignals.h"

int main(int argc, char **argv)
{
    ::umask(022);
    // A client that closes early must not end the helper with a write to its socket.
    ::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corrivo2-helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_HELPER_VERSION));
    const HelperSettings settings = HelperSettings::fromCommandLine(application);

    TerminationSignals termination;
    // Ends the daemons and removes the helper's files on the way out.
    QObject::connect(&termination, &TerminationSignals::requested, &application, [] {
        helperLog(QStringLiteral("asked to end"));
        QCoreApplication::quit();
    });
    HelperServer server(settings);
    QString error;
    if (!server.start(&error)) {
        helperLog(error);
        return 1;
    }
    return application.exec();
}
