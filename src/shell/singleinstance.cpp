#include "shell/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/logging.h"

namespace {

constexpr int AnswerMs = 5000;
constexpr qint64 MaxRequestBytes = 64 * 1024;

// The directory exists, is a directory of this user and not a link, and is 0700.
bool privateDirectory(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    ::mkdir(name.constData(), 0700);
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    return (info.st_mode & 077) == 0 || ::chmod(name.constData(), 0700) == 0;
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    if (m_lock >= 0)
        ::close(m_lock);
}

QString SingleInstance::directory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        struct stat info = {};
        if (::stat(QFile::encodeName(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode)
            && info.st_uid == ::geteuid())
            return runtime + QStringLiteral("/corrivo2");
    }
    return QStringLiteral("/tmp/corrivo2-%1").arg(::geteuid());
}

bool SingleInstance::handOver(const QStringList &arguments)
{
    const QString dir = directory();
    if (!privateDirectory(dir))
        return false;  // no safe place: run alone rather than not at all
    // One instance per user and settings: a second home (a test's) is a second user.
    const QString settings = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString name = QStringLiteral("instance-")
        + QString::fromLatin1(QCryptographicHash::hash(settings.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
    m_socketPath = dir + QLatin1Char('/') + name;
    m_lock = ::open(QFile::encodeName(m_socketPath + QStringLiteral(".lock")).constData(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_lock >= 0)
        ::flock(m_lock, LOCK_EX);

    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(AnswerMs))
        return false;
    socket.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(AnswerMs))
        return false;
    // The running instance says it took the request; a hung one does not keep us.
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(AnswerMs))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

bool SingleInstance::listen()
{
    if (m_socketPath.isEmpty())
        return false;
    // Whatever is at the path is no running instance (we hold the lock and nobody
    // answered): a socket left by one that died. Only a socket of ours is removed.
    struct stat info = {};
    const QByteArray name = QFile::encodeName(m_socketPath);
    if (::lstat(name.constData(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid())
        ::unlink(name.constData());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    const bool listening = m_server->listen(m_socketPath);
    if (listening)
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::takeConnection);
    else
        logMessage(2, "SingleInstance::listen", m_server->errorString());
    if (m_lock >= 0) {
        ::close(m_lock);
        m_lock = -1;
    }
    return listening;
}

void SingleInstance::takeConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > MaxRequestBytes) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine())
                return;
            const QJsonDocument request = QJsonDocument::fromJson(socket->readLine());
            QStringList arguments;
            for (const QJsonValue &value : request.array())
                arguments << value.toString();
            socket->write("ok\n");
            socket->disconnectFromServer();
            emit started(arguments);
        });
    }
}
