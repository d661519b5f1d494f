#pragma once

#include <QByteArray>
#include <QString>

// A port's trace: the tapped bytes written to a file of the user's own, in the
// application's private state directory. The file is owner-only (0600), the directory
// 0700; a link or someone else's file where either should be is refused, never
// followed. The trace keeps at most MaxBytes: past half of it the file becomes
// "<name>.trace.1" (replacing the one before) and a new one begins.
class PortTrace
{
public:
    static constexpr qint64 MaxBytes = 1024 * 1024;

    PortTrace() = default;
    ~PortTrace();
    PortTrace(const PortTrace &) = delete;
    PortTrace &operator=(const PortTrace &) = delete;

    // <state directory>/traces (the log file's directory, LogFile::defaultDirectory()).
    static QString defaultDirectory();

    // Opens (appending) <directory>/<name>.trace; name is a port name (letters, digits,
    // '_', '-'). False with the reason otherwise.
    bool open(const QString &directory, const QString &name, QString *error);
    void close();
    bool isOpen() const { return m_file >= 0; }
    QString path() const { return m_path; }

    void write(const QByteArray &line);

private:
    bool openFile(QString *error);

    int m_directory = -1;
    int m_file = -1;
    qint64 m_size = 0;
    QByteArray m_name;
    QString m_path;
};
