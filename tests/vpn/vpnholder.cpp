// Connects through VidEru with the profile and credentials given on the command line,
// prints "CONNECTED" once the tunnel is up and then holds it until killed.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <csignal>
#include <sys/prctl.h>

#include "shell/loggingcontrol.h"
#include "vpn/videru.h"

int main(int argc, char *argv[])
{
    // A test that dies without cleaning up must not leave a tunnel holder behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: vpnholder PROFILE USERNAME PASSWORD\n");
        return 2;
    }

    // The VPN log goes to standard error, where the test shows it should it fail.
    LoggingControl::set(4, QStringLiteral("hlv_vpn"));

    VidEru vpn;
    vpn.setProfilePath(arguments[1]);
    vpn.setCredentials(arguments[2], arguments[3]);
    QObject::connect(&vpn, &VidEru::onConnected, &app, [] {
        std::printf("CONNECTED\n");
        std::fflush(stdout);
    });
    QObject::connect(&vpn, &VidEru::onDisconnected, &app, [] {
        std::printf("DISCONNECTED\n");
        std::fflush(stdout);
        QCoreApplication::exit(1);
    });
    if (!vpn.start())
        return 1;
    return app.exec();
}
