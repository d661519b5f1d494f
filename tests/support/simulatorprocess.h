#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Starts the cloud and device simulator (tools/simulator) for a test: writes the
// fixture into a private temporary directory, runs the program found in
// CORRIVO_BIN_DIR on a free loopback port, waits for its ready line and talks to its
// control endpoints. The destructor stops the process and removes the directory, so
// a failing test leaves nothing behind; the simulator also ends by itself when the
// test process dies (its standard input closes). The control token goes to the
// simulator as the first line of its standard input and with every control request.
class SimulatorProcess
{
public:
    SimulatorProcess();
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // The private directory; files written here can be named by "path" entries of the
    // fixture (plain names: the simulator reads nothing outside this directory).
    QString directory() const;
    bool writeFile(const QString &relativePath, const QByteArray &content);

    // Writes the fixture and starts the simulator with the extra arguments (for
    // example "--role", "device"). On failure errorString() holds the reason and
    // the simulator's log.
    bool start(const QJsonObject &fixture, const QStringList &extraArguments = {});
    void stop();
    bool isRunning() const;
    QString errorString() const;

    // "https://127.0.0.1:<port>", the form CORRIVO_CLOUD_URL takes.
    QString baseUrl() const;
    // "127.0.0.1:<port>", usable where a device's VPN address is expected.
    QString hostAndPort() const;
    quint16 port() const;
    // The test CA's certificate, the file CORRIVO_CA_FILE takes.
    QString caFile() const;
    // The plain HTTP URL when started with "--http-port".
    QString httpUrl() const;
    // What the simulator wrote to its standard error.
    QByteArray log() const;

    // Points CORRIVO_CLOUD_URL and CORRIVO_CA_FILE of this process at the simulator.
    void exportEnvironment() const;

    // A control request with this token (empty: none) instead of the right one; the
    // answer's status goes to *status. For tests of the control endpoints' door.
    QJsonValue controlWithToken(const QByteArray &method, const QString &path, const QByteArray &body,
                                const QByteArray &token, int *status, QByteArray *rawAnswer = nullptr);

    // What the recorded requests show instead of a secret value (a header's or a query
    // parameter's as sent): "masked:" and the HMAC-SHA256 of the value under the token.
    QString masked(const QByteArray &value) const;
    // The token of this run (for tests that alter it).
    QByteArray controlToken() const;

    // Control endpoints; each waits for the answer (at most 10 s).
    QJsonArray requests();
    bool clearRequests();
    bool addFault(const QJsonObject &fault);
    bool clearFaults();
    bool setFixture(const QJsonObject &fixture);

    // A small world for tests: users "alice"/"secret" and "bob"/"hunter2", domain 42
    // "Usine Ærø" (VPN enabled) with an online device 7 (type 1, key "devkey7",
    // serial service on TCP 4001 for every source type), an offline device 8 and a
    // device 9 of type 2, and domain 43 without VPN that only alice sees.
    static QJsonObject sampleFixture();

    // Value of the first header of that name in a recorded request, without case.
    static QString header(const QJsonObject &request, const QString &name);
    static bool hasHeader(const QJsonObject &request, const QString &name);

private:
    QJsonValue control(const QByteArray &method, const QString &path, const QByteArray &body, int *status);

    QTemporaryDir m_directory;
    QProcess m_process;
    QString m_baseUrl;
    QString m_caFile;
    QString m_httpUrl;
    quint16 m_port = 0;
    QString m_error;
    QByteArray m_controlToken;
};
