// Bridges one virtual serial port to 127.0.0.1:<port> the way the application does
// (VirtualSerialPort creates its pair, then takes a device's remote-access answer and
// starts com2tcp), prints "BRIDGED" and holds the bridge until it is killed.
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

#include "model/hlvdevice.h"
#include "serial/virtualserialport.h"

int main(int argc, char *argv[])
{
    // A test that dies without cleaning up must not leave this holder behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool isNumber = false;
    const int port = arguments.value(1).toInt(&isNumber);
    if (arguments.size() != 2 || !isNumber) {
        std::fprintf(stderr, "usage: serialholder TCP-PORT\n");
        return 2;
    }

    HlvDevice device;
    device.id = 7;
    device.vpnStatus = 1;
    device.vpnIp = QStringLiteral("127.0.0.1");
    VirtualSerialPort serialPort;
    serialPort.setDevice(&device);
    if (!serialPort.create({&serialPort})) {
        std::fprintf(stderr, "serialholder: no port pair\n");
        return 1;
    }
    const QString answer = QStringLiteral("<remote_access><dst_ip_port>%1</dst_ip_port></remote_access>").arg(port);
    // Asked, and answered at once: the request itself goes nowhere.
    serialPort.connectPort();
    QMetaObject::invokeMethod(&serialPort, "getRemoteAccessSuccess", Q_ARG(int, 200), Q_ARG(QString, answer));
    if (!serialPort.isConnected()) {
        std::fprintf(stderr, "serialholder: no bridge\n");
        return 1;
    }
    std::printf("BRIDGED %s\n", qPrintable(serialPort.getSerialName()));
    std::fflush(stdout);
    return app.exec();
}
