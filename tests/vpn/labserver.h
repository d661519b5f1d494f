#pragma once

#include <QHash>
#include <QString>

#include <memory>

// One instance of the VPN lab (tools/lab/lab.sh) for the life of this object: a real
// openvpn server in a network namespace of its own. The name is unique to this
// process, so parallel test runs do not collide; the destructor removes everything.
class LabServer
{
public:
    LabServer();
    ~LabServer();

    LabServer(const LabServer &) = delete;
    LabServer &operator=(const LabServer &) = delete;

    // Builds the lab; false (with the reason in error()) when it could not.
    bool up();
    // The test user's password for the next up(); random when not set.
    void setPassword(const QString &password);
    void down();
    bool stopServer();
    bool startServer();

    bool isUp() const;
    QString error() const;
    QString name() const;
    QString clientDirectory() const;
    QString profilePath() const;   // client.ovpn, the CA as a referenced file beside it
    QString username() const;
    QString password() const;
    QString value(const QString &key) const;  // a LAB_* setting of lab.env

    // Why the lab cannot run here ("" when it can): it needs root.
    static QString unavailableReason();
    // One lab for a whole test case: up, or null with *error saying why (it cannot run
    // here, or it did not come up). REQUIRE_LAB() below reads the two back.
    static std::unique_ptr<LabServer> forTestCase(QString *error);
    static QString script();

private:
    bool runScript(const QString &command, QString *output = nullptr);
    void removeStaleLabs();

    QString m_name;
    QString m_clientDirectory;
    QString m_error;
    QString m_username;
    QString m_password;
    QHash<QString, QString> m_values;
    bool m_up = false;
};

// In a test function of a case that keeps m_lab and m_labError from forTestCase():
// skips where the lab cannot run (not root), fails where it should but did not come up.
#define REQUIRE_LAB()                                                                              \
    do {                                                                                           \
        if (!LabServer::unavailableReason().isEmpty())                                             \
            QSKIP("the VPN lab needs root (network namespaces, tun devices)");                     \
        QVERIFY2(m_labError.isEmpty(), qPrintable(m_labError));                                    \
    } while (false)
