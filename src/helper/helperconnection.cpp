#include "helperconnection.h"

#include <QLocalSocket>

#include "accesspolicy.h"
#include "helperlog.h"
#include "helpersession.h"
#include "vpn/ovpndaemonoptions.h"
#include "vpn/ovpndaemonprofile.h"

namespace {

// A client that connects and says nothing is dropped after this long; one that does
// not read its answer, once that has been waiting this long.
constexpr int RequestTimeoutMs = 10000;
constexpr int CloseTimeoutMs = 10000;
// Daemon output for a client that does not read is dropped beyond this backlog.
constexpr qint64 MaxBacklogBytes = 1024 * 1024;

} // namespace

HelperConnection::HelperConnection(QLocalSocket *socket, const PeerCredentials &peer, const AccessPolicy &policy,
                                   const QString &sessionsRoot, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_peer(peer)
    , m_policy(policy)
    , m_sessionsRoot(sessionsRoot)
{
    m_socket->setParent(this);
    // Qt reads no more than this ahead of the line scan, so a request costs at most
    // its line limit plus one chunk.
    m_socket->setReadBufferSize(256 * 1024);
    connect(m_socket, &QLocalSocket::readyRead, this, &HelperConnection::readRequest);
    connect(m_socket, &QLocalSocket::disconnected, this, &HelperConnection::clientClosed);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        switch (m_phase) {
        case Phase::Reading:
            refuse(QStringLiteral("no request within %1 s").arg(RequestTimeoutMs / 1000));
            break;
        case Phase::Closing:
            m_socket->abort();
            moveTo(Phase::Done);
            break;
        case Phase::Running:
        case Phase::Draining:
        case Phase::Done:
            break;
        }
    });
    m_timer.start(RequestTimeoutMs);
    QMetaObject::invokeMethod(this, &HelperConnection::readRequest, Qt::QueuedConnection);
}

HelperConnection::~HelperConnection()
{
    // The helper is ending: the daemon ends here, and the client hears of it as far as
    // its socket takes the news without waiting.
    int exitCode = 0;
    bool crashed = false;
    if (m_session && m_session->endNow(&exitCode, &crashed)) {
        log(QStringLiteral("the helper is ending; openvpn ended with code %1").arg(exitCode));
        send(HelperProtocol::exited(exitCode, crashed));
        m_socket->flush();
    }
    delete m_session;
    m_session = nullptr;
}

const PeerCredentials &HelperConnection::peer() const
{
    return m_peer;
}

void HelperConnection::moveTo(Phase phase)
{
    if (m_phase == Phase::Done || m_phase == phase)
        return;
    m_phase = phase;
    switch (phase) {
    case Phase::Reading:
    case Phase::Running:
        m_timer.stop();
        break;
    case Phase::Draining:
        break;
    case Phase::Closing:
        if (m_socket->state() == QLocalSocket::UnconnectedState) {
            moveTo(Phase::Done);
            break;
        }
        m_timer.start(CloseTimeoutMs);
        m_socket->disconnectFromServer();
        break;
    case Phase::Done:
        m_timer.stop();
        deleteLater();
        break;
    }
}

void HelperConnection::readRequest()
{
    if (m_phase != Phase::Reading) {
        // One request per connection: anything after it is not read, only dropped.
        m_socket->readAll();
        return;
    }
    m_buffer += m_socket->readAll();
    const qsizetype end = m_buffer.indexOf('\n');
    if (end > HelperProtocol::MaxLineBytes || (end < 0 && m_buffer.size() > HelperProtocol::MaxLineBytes)) {
        m_buffer.clear();
        refuse(QStringLiteral("request too long"));
        return;
    }
    if (end < 0)
        return;
    const QByteArray line = m_buffer.left(end);
    m_buffer.clear();
    handleRequest(line);
}

void HelperConnection::handleRequest(const QByteArray &line)
{
    m_timer.stop();
    HelperProtocol::Request request;
    QString error;
    const bool parsed = HelperProtocol::parseRequest(line, &request, &error);
    m_action = request.action;

    // The peer's standing comes first: someone who may not use the helper learns
    // nothing about what it would have made of the request.
    const QString refusal = m_policy.refusal(m_peer.uid);
    if (!refusal.isEmpty()) {
        refuse(refusal);
        return;
    }
    if (!parsed) {
        refuse(error);
        return;
    }
    switch (request.action) {
    case HelperProtocol::Action::Unknown:
        refuse(QStringLiteral("unknown action"));
        break;
    case HelperProtocol::Action::Check:
        log(QStringLiteral("accepted"));
        finish(HelperProtocol::accepted());
        break;
    case HelperProtocol::Action::Start:
        startSession(request);
        break;
    }
}

void HelperConnection::startSession(const HelperProtocol::Request &request)
{
    // The client's profile has passed the filter in the client already; here it passes
    // again, checked and written out in plain form only (the client made its own
    // rewrites), and the daemon gets only what the filter wrote.
    ovpn::Config config;
    config.content = request.profile;
    config.protoVersionOverride = 0;
    config.ipv6 = "yes";
    // The daemon gets the client configuration's allow-compression: a profile's own gives way.
    config.compressionMode = ovpn::applicationConfig().compressionMode;
    const ovpn::DaemonProfile profile(config);
    if (profile.eval().error) {
        refuse(QString::fromStdString(profile.eval().message));
        return;
    }

    m_session = new HelperSession(m_peer, m_sessionsRoot, this);
    connect(m_session, &HelperSession::refused, this, [this](const QString &reason) {
        log(QStringLiteral("refused: ") + reason);
        send(HelperProtocol::refused(reason));
    });
    connect(m_session, &HelperSession::started, this, [this](qint64 pid) {
        log(QStringLiteral("started openvpn pid %1").arg(pid));
        send(HelperProtocol::started(pid));
    });
    connect(m_session, &HelperSession::output, this, [this](const QString &text) {
        if (m_socket->bytesToWrite() > MaxBacklogBytes) {
            ++m_droppedOutput;
            return;
        }
        send(HelperProtocol::output(text));
    });
    connect(m_session, &HelperSession::exited, this, [this](int code, bool crashed) {
        QString text = crashed ? QStringLiteral("openvpn ended by signal %1").arg(code)
                               : QStringLiteral("openvpn exited with code %1").arg(code);
        if (m_droppedOutput > 0)
            text += QStringLiteral(" (%1 output lines dropped for a client that did not read)").arg(m_droppedOutput);
        log(text);
        send(HelperProtocol::exited(code, crashed));
    });
    connect(m_session, &HelperSession::logged, this, &HelperConnection::log);
    connect(m_session, &HelperSession::ended, this, &HelperConnection::sessionEnded);
    moveTo(Phase::Running);
    m_session->start(profile.text(), request.management);
}

void HelperConnection::finish(const QByteArray &line)
{
    send(line);
    moveTo(Phase::Closing);
}

void HelperConnection::refuse(const QString &reason)
{
    log(QStringLiteral("refused: ") + reason);
    finish(HelperProtocol::refused(reason));
}

void HelperConnection::send(const QByteArray &line)
{
    if (m_socket->state() == QLocalSocket::ConnectedState)
        m_socket->write(line);
}

void HelperConnection::clientClosed()
{
    switch (m_phase) {
    case Phase::Reading:
    case Phase::Closing:
        moveTo(Phase::Done);
        break;
    case Phase::Running:
        moveTo(Phase::Draining);
        m_session->stop();
        break;
    case Phase::Draining:
    case Phase::Done:
        break;
    }
}

void HelperConnection::sessionEnded()
{
    switch (m_phase) {
    case Phase::Running:
        moveTo(Phase::Closing);
        break;
    case Phase::Draining:
        moveTo(Phase::Done);
        break;
    case Phase::Reading:
    case Phase::Closing:
    case Phase::Done:
        break;
    }
}

void HelperConnection::log(const QString &text) const
{
    helperLog(QStringLiteral("uid %1 pid %2 %3: %4")
                  .arg(QString::number(m_peer.uid), QString::number(m_peer.pid),
                       HelperProtocol::actionName(m_action), text));
}
