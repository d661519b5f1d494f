#include <QtTest>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vpn/ovpnclient.h"
#include "vpn/ovpndaemonsession.h"

namespace {

class QuietClient : public ovpn::OvpnClient
{
public:
    void event(const ovpn::Event &) override {}
    void log(const ovpn::LogInfo &) override {}
};

// A process id that no process has any more.
pid_t deadProcessId()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

// The session's private directory lives in the shared temporary directory, where
// other local users can plant anything.
class TestOvpnDaemonSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void staleDirectories_data();
    void staleDirectories();

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    QByteArray m_previousTemp;
    QByteArray m_previousOpenvpn;
};

void TestOvpnDaemonSession::init()
{
    // A temporary directory of this test's own stands in for /tmp, and a daemon that
    // ends at once for openvpn: the session starts, cleans up and ends.
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_previousTemp = qgetenv("TMPDIR");
    m_previousOpenvpn = qgetenv("CORRIVO_OPENVPN");
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
    qputenv("CORRIVO_OPENVPN", "/bin/false");
}

void TestOvpnDaemonSession::cleanup()
{
    for (const auto &[name, value] : {std::pair{"TMPDIR", m_previousTemp}, std::pair{"CORRIVO_OPENVPN", m_previousOpenvpn}}) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    m_temp.reset();
}

void TestOvpnDaemonSession::staleDirectories_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("removed");
    QTest::newRow("ours, owner gone") << "ours" << true;
    QTest::newRow("link to a directory") << "link" << false;
    QTest::newRow("another user's") << "other user" << false;
    QTest::newRow("not private") << "mode 0755" << false;
    QTest::newRow("owner alive") << "alive" << false;
}

void TestOvpnDaemonSession::staleDirectories()
{
    QFETCH(QString, kind);
    QFETCH(bool, removed);

    const QDir temp(m_temp->path());
    const pid_t owner = kind == QLatin1String("alive") ? ::getpid() : deadProcessId();
    const QString stale = temp.filePath(QStringLiteral("corrivo-ovpn-%1-abcdef").arg(owner));
    // What the planted name leads to; a root-owned directory elsewhere for the link.
    const QString victim = temp.filePath(QStringLiteral("victim"));
    QVERIFY(temp.mkdir(QStringLiteral("victim")));
    QVERIFY(writeFile(victim + QStringLiteral("/precious"), "keep me"));

    QString kept;
    if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(victim, stale));
        kept = victim + QStringLiteral("/precious");
    } else {
        QVERIFY(temp.mkdir(QFileInfo(stale).fileName()));
        QCOMPARE(::chmod(QFile::encodeName(stale).constData(), kind == QLatin1String("mode 0755") ? 0755 : 0700), 0);
        QVERIFY(writeFile(stale + QStringLiteral("/management"), "socket"));
        kept = stale + QStringLiteral("/management");
        if (kind == QLatin1String("other user")) {
            if (::geteuid() != 0)
                QSKIP("giving a directory to another user needs root");
            QCOMPARE(::chown(QFile::encodeName(stale).constData(), 65534, 65534), 0);
        }
    }

    QuietClient client;
    ovpn::SessionSettings settings;
    settings.evaluated = true;
    settings.profile = "client\n";
    {
        ovpn::DaemonSession session(client, settings);
        const ovpn::Status status = session.run();
        // The daemon ran and ended by itself, so the session got as far as starting it.
        QCOMPARE(QString::fromStdString(status.status), QStringLiteral("DAEMON_EXIT"));
    }

    QCOMPARE(QFileInfo::exists(stale), !removed);
    QCOMPARE(QFileInfo::exists(kept), !removed);
    if (kind == QLatin1String("link")) {
        QVERIFY(QFileInfo(stale).isSymLink());
        QCOMPARE(QFileInfo(victim + QStringLiteral("/precious")).size(), qint64(7));
    }
    // The session's own directory has gone with it.
    QCOMPARE(temp.entryList({QStringLiteral("corrivo-ovpn-%1-*").arg(::getpid())}, QDir::AllEntries | QDir::System),
             kind == QLatin1String("alive") ? QStringList{QFileInfo(stale).fileName()} : QStringList());
}

QTEST_GUILESS_MAIN(TestOvpnDaemonSession)
#include "tst_ovpndaemonsession.moc"
