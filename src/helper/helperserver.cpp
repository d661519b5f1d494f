#include "helperserver.h"

#include <QFile>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "helperconnection.h"
#include "helperlog.h"
#include "helperprotocol.h"
#include "peercredentials.h"
#include "sessiondirectory.h"

namespace {

// The first descriptor the service manager passes (sd_listen_fds).
constexpr int ActivatedDescriptor = 3;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The helper's own directories: made when missing, and otherwise accepted only as real
// directories of the helper's user that nobody else can write to; with exactMode, with
// exactly that mode.
bool ensureDirectory(const QString &path, mode_t mode, bool exactMode, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (::lstat(name.constData(), &status) != 0) {
        if (errno != ENOENT || (::mkdir(name.constData(), mode) != 0 && errno != EEXIST)
            || ::lstat(name.constData(), &status) != 0) {
            *error = QStringLiteral("cannot create %1: %2").arg(path, errorText(errno));
            return false;
        }
    }
    if (!S_ISDIR(status.st_mode)) {
        *error = QStringLiteral("%1 is not a directory").arg(path);
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 is owned by uid %2, not by the helper's uid %3")
                     .arg(path, QString::number(status.st_uid), QString::number(::geteuid()));
        return false;
    }
    const mode_t actual = status.st_mode & 07777;
    if (exactMode ? actual != mode : (actual & 022) != 0) {
        *error = QStringLiteral("%1 has mode %2; it must be %3")
                     .arg(path, QString::number(actual, 8).rightJustified(4, QLatin1Char('0')),
                          exactMode ? QString::number(mode, 8).rightJustified(4, QLatin1Char('0'))
                                    : QStringLiteral("writable by its owner only"));
        return false;
    }
    return true;
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

void refuseRaw(int fd, const QByteArray &line)
{
    // The connection is closed at once; the answer goes out only if it fits now.
    (void)!::send(fd, line.constData(), std::size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

} // namespace

HelperServer::HelperServer(const HelperSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_policy(settings.group)
{
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, [this] {
        if (m_notifier)
            m_notifier->setEnabled(true);
    });
}

HelperServer::~HelperServer()
{
    // Connections end their daemons as they go; they report back while this object is
    // still whole.
    const QList<HelperConnection *> connections = findChildren<HelperConnection *>(QString(), Qt::FindDirectChildrenOnly);
    qDeleteAll(connections);
    delete m_notifier;
    m_notifier = nullptr;
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_ownsSocketFile) {
        // Only the socket this helper made: another helper may have replaced it since.
        const QByteArray path = QFile::encodeName(m_settings.socketPath);
        struct stat status;
        if (::lstat(path.constData(), &status) == 0 && S_ISSOCK(status.st_mode) && status.st_dev == m_socketDevice
            && status.st_ino == m_socketInode)
            ::unlink(path.constData());
    }
}

bool HelperServer::start(QString *error)
{
    m_sessionsRoot = m_settings.runtimeDirectory + QStringLiteral("/sessions");
    if (!ensureDirectory(m_settings.runtimeDirectory, 0755, false, error)
        || !ensureDirectory(m_sessionsRoot, 0700, true, error))
        return false;
    SessionDirectory::removeStale(m_sessionsRoot);

    bool activated = false;
    if (!takeActivatedSocket(&activated, error))
        return false;
    if (!activated && !listenOnPath(error))
        return false;

    m_notifier = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HelperServer::acceptConnections);
    helperLog(activated ? QStringLiteral("listening on the socket the service manager passed; group %1")
                              .arg(m_settings.group)
                        : QStringLiteral("listening on %1; group %2").arg(m_settings.socketPath, m_settings.group));
    return true;
}

bool HelperServer::takeActivatedSocket(bool *activated, QString *error)
{
    *activated = false;
    bool ok = false;
    const qint64 pid = qEnvironmentVariableIntValue("LISTEN_PID", &ok);
    if (!ok || pid != ::getpid())
        return true;
    const int count = qEnvironmentVariableIntValue("LISTEN_FDS");
    // Not for the daemon, which inherits the environment otherwise.
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (count != 1) {
        *error = QStringLiteral("socket activation passed %1 sockets; the helper takes exactly one").arg(count);
        return false;
    }
    int type = 0;
    int domain = 0;
    int listening = 0;
    socklen_t length = sizeof(int);
    const bool usable = ::getsockopt(ActivatedDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) == 0
        && (length = sizeof(int), ::getsockopt(ActivatedDescriptor, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0)
        && (length = sizeof(int), ::getsockopt(ActivatedDescriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0)
        && type == SOCK_STREAM && domain == AF_UNIX && listening;
    if (!usable) {
        *error = QStringLiteral("the activated descriptor is not a listening unix stream socket");
        return false;
    }
    ::fcntl(ActivatedDescriptor, F_SETFD, FD_CLOEXEC);
    ::fcntl(ActivatedDescriptor, F_SETFL, ::fcntl(ActivatedDescriptor, F_GETFL) | O_NONBLOCK);
    m_listenFd = ActivatedDescriptor;
    *activated = true;
    return true;
}

bool HelperServer::listenOnPath(QString *error)
{
    if (!ensureDirectory(parentOf(m_settings.socketPath), 0755, false, error))
        return false;
    const QByteArray path = QFile::encodeName(m_settings.socketPath);
    struct stat status;
    if (::lstat(path.constData(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            *error = QStringLiteral("%1 exists and is not a socket; not replacing it").arg(m_settings.socketPath);
            return false;
        }
        ::unlink(path.constData());
    }

    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::size_t(path.size()) >= sizeof(address.sun_path)) {
        *error = QStringLiteral("the socket path is too long");
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(m_settings.socketPath, errorText(errno));
        return false;
    }
    m_ownsSocketFile = true;
    // Anyone may connect: the peer's credentials decide, not the file's mode. The
    // directory was checked to be the helper's own, so the name is still this socket.
    if (::chmod(path.constData(), 0666) != 0 || ::lstat(path.constData(), &status) != 0
        || ::listen(m_listenFd, 64) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(m_settings.socketPath, errorText(errno));
        return false;
    }
    m_socketDevice = status.st_dev;
    m_socketInode = status.st_ino;
    return true;
}

void HelperServer::acceptConnections()
{
    while (true) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: stop accepting for a moment rather than
                // spin on a socket that stays readable.
                helperLog(QStringLiteral("cannot accept a connection: ") + errorText(errno));
                m_notifier->setEnabled(false);
                m_resumeTimer.start(1000);
            }
            return;
        }
        const PeerCredentials peer = PeerCredentials::of(fd);
        if (!peer.valid) {
            ::close(fd);
            continue;
        }
        if (m_connectionCount >= MaxConnections) {
            helperLog(QStringLiteral("uid %1 pid %2: refused: the helper serves %3 connections already")
                          .arg(QString::number(peer.uid), QString::number(peer.pid), QString::number(MaxConnections)));
            ::close(fd);
            continue;
        }
        if (m_connections.value(peer.uid) >= MaxConnectionsPerUser) {
            const QString reason = QStringLiteral("uid %1 has %2 connections to the helper already")
                                       .arg(QString::number(peer.uid), QString::number(MaxConnectionsPerUser));
            helperLog(QStringLiteral("uid %1 pid %2: refused: ").arg(QString::number(peer.uid), QString::number(peer.pid))
                      + reason);
            refuseRaw(fd, HelperProtocol::refused(reason));
            continue;
        }

        auto *socket = new QLocalSocket;  // taken over by the connection below
        if (!socket->setSocketDescriptor(fd, QLocalSocket::ConnectedState, QIODevice::ReadWrite)) {
            delete socket;
            ::close(fd);
            continue;
        }
        ++m_connectionCount;
        ++m_connections[peer.uid];
        auto *connection = new HelperConnection(socket, peer, m_policy, m_sessionsRoot, this);
        const uid_t uid = peer.uid;
        connect(connection, &QObject::destroyed, this, [this, uid] { connectionEnded(uid); });
    }
}

void HelperServer::connectionEnded(uid_t uid)
{
    --m_connectionCount;
    if (--m_connections[uid] <= 0)
        m_connections.remove(uid);
}
