#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The cloud's answer to the VPN configuration request, checked without touching the
// disk: a JSON object whose "files" each carry a name, the content in Base64 and its
// MD5. "credentials.txt" holds the tunnel's user name and password (two lines); any
// other element is a file of the profile directory, "client.ovpn" the profile itself.
// Writing the files is ProfileFiles' business; everything read from the answer is
// decided here.
class VpnConfigReply
{
public:
    // The profile's name among the files.
    static const char ProfileFileName[];

    // One element of "files", in the answer's order.
    struct Entry
    {
        bool isCredentials = false;
        QString name;        // a plain file name, for a file
        QByteArray content;  // the file's bytes as they are to be written
        QString username;    // for the credentials
        QString password;
    };

    static VpnConfigReply parse(int status, const QString &data);

    // The elements before the first fault, every one of them when there is none;
    // earlier files are written even when a later element is refused.
    QList<Entry> entries;
    // The first fault as the log has it, or empty when the answer is complete: a
    // profile and credentials with a user name and a password.
    QString error;
    // The last credentials of the answer.
    QString username;
    QString password;

    // A name from the cloud becomes a path in the profile directory: anything that
    // could leave that directory is refused.
    static bool isPlainFileName(const QString &name);
};
