// Connects through VidEru with the profile and credentials given on the command line,
// prints "CONNECTED" once the tunnel is up and then holds it until killed. It prints
// "NOT_PERMITTED" on onOperationNotPermitted() and "DISCONNECTED" (and exits) on
// onDisconnected(). With --drop-net-admin the daemon it starts lacks CAP_NET_ADMIN.
// The line "EXIT" on standard input ends it as closing the window ends the application:
// the tunnel is stopped, then the event loop ends.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <csignal>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "base/loggingcontrol.h"
#include "vpn/videru.h"

int main(int argc, char *argv[])
{
    // A test that dies without cleaning up must not leave a tunnel holder behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    if (arguments.size() == 5 && arguments[1] == QLatin1String("--drop-net-admin")) {
        // Out of the bounding set, the capability is not granted to what we execute.
        if (::prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN, 0, 0, 0) != 0) {
            std::perror("vpnholder: PR_CAPBSET_DROP");
            return 2;
        }
        arguments.removeAt(1);
    }
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: vpnholder [--drop-net-admin] PROFILE USERNAME PASSWORD\n");
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
    QObject::connect(&vpn, &VidEru::onOperationNotPermitted, &app, [] {
        std::printf("NOT_PERMITTED\n");
        std::fflush(stdout);
    });
    QObject::connect(&vpn, &VidEru::onDisconnected, &app, [] {
        std::printf("DISCONNECTED\n");
        std::fflush(stdout);
        QCoreApplication::exit(1);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&vpn, &input] {
        char buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        if (QByteArray(buffer, int(n)).contains("EXIT")) {
            vpn.stop();
            QCoreApplication::quit();
        }
    });
    if (!vpn.start())
        return 1;
    return app.exec();
}
