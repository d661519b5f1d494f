#pragma once

#include <QByteArray>
#include <QString>

// The directory the VPN profile files are written to, held open by its descriptor:
// files are created in it without following a link, whoever planted one, and the
// directory's own mode is set on the directory itself, never through a link at its
// path. The descriptor is closed with the object.
class ProfileDirectory
{
public:
    explicit ProfileDirectory(QString path);
    ~ProfileDirectory();

    ProfileDirectory(const ProfileDirectory &) = delete;
    ProfileDirectory &operator=(const ProfileDirectory &) = delete;

    // Opens the existing directory and makes it the owner's alone (0700). False, with
    // the reason in errorString(), when the path is a link, not a directory, or the
    // directory belongs to another user.
    bool open();
    bool isOpen() const;

    // Replaces the file `name` (a plain name) with content, mode 0600. Whatever was
    // there, a link included, is replaced, never written through.
    bool write(const QString &name, const QByteArray &content);

    QString errorString() const;

private:
    QString m_path;
    int m_fd = -1;
    QString m_error;
};
