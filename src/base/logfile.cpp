#include "base/logfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/loggingcontrol.h"

namespace {

const char FileName[] = "corrivo2.log";
const QString Hidden = QStringLiteral("***");

// Everything below is shared by the GUI thread and the VPN worker thread.
QMutex g_mutex;
int g_fd = -1;
qint64 g_size = 0;
QString g_directory;
QSet<QString> g_secrets;
QtMessageHandler g_previousHandler = nullptr;

QString filePath(const QString &directory, int generation = 0)
{
    const QString base = directory + QLatin1Char('/') + QLatin1String(FileName);
    return generation == 0 ? base : base + QLatin1Char('.') + QString::number(generation);
}

// A directory of our own, 0700; never a link.
bool ownDirectory(const QString &directory, QString *error)
{
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot create ") + directory;
        return false;
    }
    struct stat info = {};
    const QByteArray name = QFile::encodeName(directory);
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        *error = directory + QStringLiteral(" is not a directory of this user");
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(name.constData(), 0700) != 0) {
        *error = QStringLiteral("cannot make ") + directory + QStringLiteral(" private");
        return false;
    }
    return true;
}

// Opens the current file for appending: a regular file of ours, never through a link.
int openLog(const QString &directory, qint64 *size)
{
    const int fd = ::open(QFile::encodeName(filePath(directory)).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return -1;
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()
        || ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return -1;
    }
    *size = info.st_size;
    return fd;
}

// With the mutex held: the file moves to .1, .1 to .2 and so on; the oldest goes.
void rotate()
{
    ::close(g_fd);
    g_fd = -1;
    for (int generation = LogFile::KeptFiles; generation >= 1; --generation) {
        const QByteArray to = QFile::encodeName(filePath(g_directory, generation));
        const QByteArray from = QFile::encodeName(filePath(g_directory, generation - 1));
        ::rename(from.constData(), to.constData());
    }
    g_fd = openLog(g_directory, &g_size);
}

void writeLine(const QByteArray &line)
{
    QMutexLocker lock(&g_mutex);
    if (g_fd < 0)
        return;
    if (g_size > 0 && g_size + line.size() > LogFile::MaxBytes)
        rotate();
    if (g_fd < 0)
        return;
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(g_fd, line.constData() + written, size_t(line.size() - written));
        if (n <= 0)
            break;  // a full disk loses log lines, never the application
        written += n;
    }
    g_size += written;
}

const char *typeName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "info";
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ')
        + QLatin1String(typeName(type)) + QLatin1Char(' ') + LogFile::maskSecrets(message);
    writeLine(line.toUtf8().replace('\n', "\\n") + '\n');
    // Warnings and worse still reach the error output as before.
    if (type != QtInfoMsg && type != QtDebugMsg && g_previousHandler)
        g_previousHandler(type, context, LogFile::maskSecrets(message));
}

// How QDebug writes a text inside quotes: the form a secret takes in a quoted line.
QString quotedSpelling(QString value)
{
    return value.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("\""), QLatin1String("\\\""));
}

} // namespace

namespace LogFile {

QString defaultDirectory()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/corrivo2");
}

bool start(const QString &directory, int level, QString *error)
{
    if (!ownDirectory(directory, error))
        return false;
    qint64 size = 0;
    const int fd = openLog(directory, &size);
    if (fd < 0) {
        *error = QStringLiteral("cannot open ") + filePath(directory) + QStringLiteral(" as a file of this user");
        return false;
    }
    {
        QMutexLocker lock(&g_mutex);
        if (g_fd >= 0)
            ::close(g_fd);
        g_fd = fd;
        g_size = size;
        g_directory = directory;
    }
    g_previousHandler = qInstallMessageHandler(handleMessage);
    LoggingControl::set(level, QStringLiteral("all"));
    return true;
}

void stop()
{
    LoggingControl::set(0, QStringLiteral("None"));
    qInstallMessageHandler(g_previousHandler);
    g_previousHandler = nullptr;
    QMutexLocker lock(&g_mutex);
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = -1;
    g_secrets.clear();
}

QString path()
{
    QMutexLocker lock(&g_mutex);
    return g_fd >= 0 ? filePath(g_directory) : QString();
}

void addSecret(const QString &value)
{
    // A value this short would mask ordinary words; such a secret is no secret anyway.
    if (value.size() < 4)
        return;
    QMutexLocker lock(&g_mutex);
    g_secrets.insert(value);
}

QString maskSecrets(const QString &line)
{
    static const QRegularExpression patterns[] = {
        // key material in PEM or openvpn's static key form, whole or cut by the log
        QRegularExpression(QStringLiteral("-----BEGIN ([A-Z0-9 ]*PRIVATE KEY|OpenVPN Static key V1)-----.*?"
                                          "(-----END [^-]*-----|$)")),
        // inline blocks of keys and credentials
        QRegularExpression(QStringLiteral("<(key|tls-auth|tls-crypt|tls-crypt-v2|secret|pkcs12|auth-user-pass|"
                                          "http-proxy-user-pass)>.*?(</\\1>|$)")),
        // API keys and tokens in URLs, headers and JSON
        QRegularExpression(QStringLiteral("(?i)(api_key|apikey|access_token|x-access-token)(\\\\?\"?\\s*[=:]\\s*\\\\?\"?)"
                                          "[^&\\s\"\\\\,}]+")),
        QRegularExpression(QStringLiteral("(?i)(authorization\\s*[:=]\\s*(basic|bearer)\\s+)\\S+")),
        // the management channel's credential commands: password "Auth" "..."
        QRegularExpression(QStringLiteral("(password\\s+\\\\?\"[^\"\\\\]*\\\\?\"\\s+)(\\\\?\").*?(\\2|$)")),
    };
    QString masked = line;
    masked.replace(patterns[0], QStringLiteral("[private key hidden]"));
    masked.replace(patterns[1], QStringLiteral("<\\1>[hidden]</\\1>"));
    masked.replace(patterns[2], QStringLiteral("\\1\\2") + Hidden);
    masked.replace(patterns[3], QStringLiteral("\\1") + Hidden);
    masked.replace(patterns[4], QStringLiteral("\\1\\2") + Hidden + QStringLiteral("\\3"));

    QSet<QString> secrets;
    {
        QMutexLocker lock(&g_mutex);
        secrets = g_secrets;
    }
    for (const QString &secret : std::as_const(secrets)) {
        masked.replace(secret, Hidden);
        masked.replace(quotedSpelling(secret), Hidden);
        masked.replace(QString::fromLatin1(QUrl::toPercentEncoding(secret)), Hidden);
    }
    return masked;
}

int levelFromText(const QString &text, bool given)
{
    if (!given)
        return 0;
    if (text.isEmpty())
        return 4;
    bool ok = false;
    const int level = text.toInt(&ok);
    return ok && level >= 1 && level <= 4 ? level : -1;
}

} // namespace LogFile
