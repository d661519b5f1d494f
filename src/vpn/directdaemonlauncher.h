#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include "vpn/daemonlauncher.h"

namespace ovpn {

// The daemon as our own child process: for a process that runs as root. The profile
// goes into the session's private directory (0600) for the daemon to read.
class DirectDaemonLauncher : public DaemonLauncher
{
    Q_OBJECT

public:
    explicit DirectDaemonLauncher(QObject *parent = nullptr);
    ~DirectDaemonLauncher() override;

    void start(const DaemonLaunch &launch) override;
    void terminate() override;
    void kill() override;

private:
    bool writeProfile(const DaemonLaunch &launch);
    void readOutput();
    void emitLines(bool all);
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processError(QProcess::ProcessError error);

    QProcess m_process;
    QByteArray m_output;
    bool m_failed = false;
};

} // namespace ovpn
