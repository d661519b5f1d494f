#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// The root helper corrivo2-helper (found in CORRIVO_BIN_DIR) for a test: on a socket
// and a runtime directory of its own in a private temporary directory, serving root and
// the members of the given group. While it runs, CORRIVO_HELPER_SOCKET of this process
// names its socket. The destructor ends it (and with it any daemon it still runs) and
// restores the variable; the helper's daemons also die with it when it is killed.
class HelperProcess
{
public:
    explicit HelperProcess(const QString &group = QStringLiteral("root"));
    ~HelperProcess();
    HelperProcess(const HelperProcess &) = delete;
    HelperProcess &operator=(const HelperProcess &) = delete;

    // Starts the helper and waits until it listens. Needs root; on failure
    // errorString() holds the reason and the helper's log.
    bool start();
    void stop();
    // SIGKILL, as a crash would end it.
    void kill();

    pid_t pid() const;
    QString socketPath() const;
    // The temporary directory holding the socket (mode 0700 unless changed).
    QString directory() const;
    QByteArray log();
    QString errorString() const;

    // Why the helper cannot run here ("" when it can): it needs root.
    static QString unavailableReason();

private:
    QTemporaryDir m_directory;
    QString m_group;
    QProcess m_process;
    QByteArray m_log;
    QString m_error;
    QByteArray m_previousSocket;
    bool m_hadSocket = false;
    bool m_exported = false;
};
