#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <memory>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "labserver.h"
#include "vpn/ovpndaemonoptions.h"
#include "vpn/ovpndaemonprofile.h"
#include "vpn/ovpnprofilemerge.h"
#include "vpnprocesses.h"

// corrivo2-helper as it runs: the real executable as root on a socket of the test's own,
// real users and a real group made for the run, clients run as those users (setpriv),
// the lab's openvpn server at the other end.
namespace {

QString helperProgram()
{
    return qEnvironmentVariable("CORRIVO_HELPER");
}

QString clientProgram()
{
    return qEnvironmentVariable("CORRIVO_HELPER_TEST_CLIENT");
}

bool runTool(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000);
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The group and users of one test run, made with the system's tools: a member, a user
// whose primary group is the group, and an outsider. Named after the test's process id,
// so that a later run removes what a killed run left behind.
class TestAccounts
{
public:
    TestAccounts()
    {
        const QString pid = QString::number(QCoreApplication::applicationPid());
        group = QStringLiteral("c2t") + pid;
        member = QStringLiteral("c2tin") + pid;
        primaryMember = QStringLiteral("c2tpr") + pid;
        outsider = QStringLiteral("c2tout") + pid;
        removeStale();
    }

    ~TestAccounts()
    {
        for (const QString &user : {member, primaryMember, outsider})
            runTool(QStringLiteral("userdel"), {user});
        runTool(QStringLiteral("groupdel"), {group});
    }

    bool create(QString *error)
    {
        const QStringList common{QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                                 QStringLiteral("--no-user-group"), QStringLiteral("--shell"),
                                 QStringLiteral("/usr/sbin/nologin")};
        QString output;
        const bool created =
            runTool(QStringLiteral("groupadd"), {QStringLiteral("--system"), group}, &output)
            && runTool(QStringLiteral("useradd"),
                       common + QStringList{QStringLiteral("--gid"), QStringLiteral("nogroup"),
                                            QStringLiteral("--groups"), group, member},
                       &output)
            && runTool(QStringLiteral("useradd"), common + QStringList{QStringLiteral("--gid"), group, primaryMember},
                       &output)
            && runTool(QStringLiteral("useradd"),
                       common + QStringList{QStringLiteral("--gid"), QStringLiteral("nogroup"), outsider}, &output);
        if (!created) {
            *error = output;
            return false;
        }
        memberUid = uidOf(member);
        primaryMemberUid = uidOf(primaryMember);
        outsiderUid = uidOf(outsider);
        const struct group *entry = ::getgrnam(group.toUtf8().constData());
        groupGid = entry ? entry->gr_gid : 0;
        const struct group *nobody = ::getgrnam("nogroup");
        nogroupGid = nobody ? nobody->gr_gid : 0;
        return memberUid && primaryMemberUid && outsiderUid && groupGid && nogroupGid;
    }

    QString group, member, primaryMember, outsider;
    uid_t memberUid = 0, primaryMemberUid = 0, outsiderUid = 0;
    gid_t groupGid = 0, nogroupGid = 0;

private:
    static uid_t uidOf(const QString &user)
    {
        const struct passwd *entry = ::getpwnam(user.toUtf8().constData());
        return entry ? entry->pw_uid : 0;
    }

    static void removeStale()
    {
        static const QRegularExpression user(QStringLiteral("^c2t(?:in|pr|out)(\\d+):"),
                                             QRegularExpression::MultilineOption);
        static const QRegularExpression groupName(QStringLiteral("^c2t(\\d+):"), QRegularExpression::MultilineOption);
        QString users, groups;
        runTool(QStringLiteral("getent"), {QStringLiteral("passwd")}, &users);
        runTool(QStringLiteral("getent"), {QStringLiteral("group")}, &groups);
        for (auto it = user.globalMatch(users); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            if (!QFile::exists(QStringLiteral("/proc/") + match.captured(1)))
                runTool(QStringLiteral("userdel"), {match.captured(0).chopped(1)});
        }
        for (auto it = groupName.globalMatch(groups); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            if (!QFile::exists(QStringLiteral("/proc/") + match.captured(1)))
                runTool(QStringLiteral("groupdel"), {match.captured(0).chopped(1)});
        }
    }
};

// Who a client runs as.
enum class As {
    Root,
    Member,
    PrimaryMember,
    Outsider,
    OutsiderHoldingTheGroup,  // the group in its process, not in the database
    MemberWithoutGroups,      // in the database, not in its process
};

// A unix socket file at path, owned by uid; listening when asked (the descriptor is
// returned then, for the caller to close).
int makeSocket(const QString &path, uid_t uid, bool listening)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::lchown(name.constData(), uid, gid_t(-1)) != 0 || (listening && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return -1;
    }
    if (!listening) {
        ::close(fd);
        return 0;
    }
    return fd;
}

bool makeDirectory(const QString &path, uid_t uid, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    return ::mkdir(name.constData(), mode) == 0 && ::chmod(name.constData(), mode) == 0
        && ::chown(name.constData(), uid, gid_t(-1)) == 0;
}

// waitForFinished() is false for a process whose end was seen already (while a QTRY
// macro ran the event loop).
bool hasFinished(QProcess &process, int timeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

QStringList commandLineOf(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList words;
    for (const QByteArray &word : file.readAll().split('\0'))
        words << QString::fromUtf8(word);
    if (!words.isEmpty() && words.last().isEmpty())
        words.removeLast();
    return words;
}

// The filter's verdict on a profile, as the helper runs it.
QString filterMessage(const std::string &profile)
{
    ovpn::Config config;
    config.content = profile;
    config.protoVersionOverride = 0;
    config.ipv6 = "yes";
    const ovpn::DaemonProfile filtered(config);
    return filtered.eval().error ? QString::fromStdString(filtered.eval().message) : QString();
}

// The refusal exactly as the protocol writes it: "event" first, then "reason".
QString refusal(const QString &reason)
{
    const QString quoted = QString::fromUtf8(QJsonDocument(QJsonArray{reason}).toJson(QJsonDocument::Compact));
    return QStringLiteral("{\"event\":\"refused\",\"reason\":") + quoted.mid(1, quoted.size() - 2)
        + QLatin1Char('}');
}

const char Accepted[] = "{\"event\":\"accepted\"}";

// A profile the filter passes; no server answers at its address.
const char PlainProfile[] = "client\ndev tun\nremote 192.0.2.1 1194 udp\nauth-user-pass\n<ca>\nnot a certificate\n</ca>\n";

} // namespace

class TestHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void checkFollowsTheGroupDatabase_data();
    void checkFollowsTheGroupDatabase();
    void badRequestsAreRefused_data();
    void badRequestsAreRefused();
    void logLinesStayLines();
    void foreignManagementSocketsAreRefused_data();
    void foreignManagementSocketsAreRefused();
    void silentAndSurplusConnectionsAreDropped();
    void relaysTheDaemonsManagementChannel();
    void killedClientEndsItsDaemon();
    void terminatedHelperEndsItsDaemonsAndRemovesItsFiles();
    void killedHelperEndsItsDaemonsAndARestartServes();
    void socketActivationLeavesTheSocketToTheManager();

private:
    // One client of the helper, run as a user; start() mode keeps it running.
    struct Client
    {
        ~Client()
        {
            process.kill();
            process.waitForFinished(5000);
        }
        bool has(const QString &text) const { return output.contains(text); }
        QString lineStartingWith(const QString &prefix) const
        {
            for (const QString &line : output.split(QLatin1Char('\n'))) {
                if (line.startsWith(prefix))
                    return line;
            }
            return QString();
        }
        pid_t pid() const { return pid_t(process.processId()); }

        QProcess process;
        QString output;
    };

    bool startHelper();
    void stopHelper();
    pid_t helperPid() const;
    QStringList sessionDirectories() const;
    void launch(Client *client, As who, const QStringList &arguments);
    // Sends one request line as the user; the lines the helper answered with.
    QStringList request(As who, const QByteArray &line, pid_t *clientPid = nullptr,
                        const QString &socketPath = QString());
    std::unique_ptr<Client> startSession();
    QString memberManagementBase() const;

    std::unique_ptr<TestAccounts> m_accounts;
    std::unique_ptr<QTemporaryDir> m_directory;
    std::unique_ptr<LabServer> m_lab;
    std::string m_labProfile;
    QProcess m_helper;
    QString m_helperLog;
    QString m_socketPath;
    QString m_runtimeDirectory;
    QList<int> m_listeners;
};

void TestHelper::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("the helper's tests make users and run the helper and the VPN lab: they need root");
    QVERIFY2(QFile::exists(helperProgram()), "CORRIVO_HELPER names no helper executable");
    QVERIFY2(QFile::exists(clientProgram()), "CORRIVO_HELPER_TEST_CLIENT names no test client");

    m_accounts = std::make_unique<TestAccounts>();
    QString error;
    QVERIFY2(m_accounts->create(&error), qPrintable(error));

    // Everyone may pass through the test's directory to reach the helper's socket.
    m_directory = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tst_helper-XXXXXX"));
    QVERIFY(m_directory->isValid());
    QVERIFY(QFile::setPermissions(m_directory->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                            | QFile::ExeOther));
    m_socketPath = m_directory->filePath(QStringLiteral("helper.sock"));
    m_runtimeDirectory = m_directory->filePath(QStringLiteral("run"));
    QVERIFY(makeDirectory(memberManagementBase(), m_accounts->memberUid, 0700));
    QVERIFY(startHelper());

    m_lab = std::make_unique<LabServer>();
    QVERIFY2(m_lab->up(), qPrintable(m_lab->error()));
    // What the application would send: the merged profile through its own filter.
    const ovpn::ProfileMerge merge(m_lab->profilePath().toStdString(), "ovpn", std::string(),
                                   ovpn::ProfileMerge::FOLLOW_FULL, 512, 262144);
    QCOMPARE(int(merge.status()), int(ovpn::ProfileMerge::MERGE_SUCCESS));
    ovpn::Config config = ovpn::applicationConfig();
    config.content = merge.profile_content();
    const ovpn::DaemonProfile profile(config);
    QVERIFY2(!profile.eval().error, profile.eval().message.c_str());
    m_labProfile = profile.text();
}

void TestHelper::cleanupTestCase()
{
    for (int fd : std::as_const(m_listeners))
        ::close(fd);
    m_listeners.clear();
    stopHelper();
    m_lab.reset();
    m_directory.reset();
    m_accounts.reset();
}

void TestHelper::cleanup()
{
    // Nothing a test started may outlive it, whatever it failed on.
    if (m_helper.state() == QProcess::Running) {
        for (pid_t daemon : VpnProcesses::openvpnChildren(helperPid()))
            ::kill(daemon, SIGKILL);
    }
}

bool TestHelper::startHelper()
{
    m_helper.disconnect(this);
    connect(&m_helper, &QProcess::readyReadStandardError, this,
            [this] { m_helperLog += QString::fromUtf8(m_helper.readAllStandardError()); });
    m_helper.start(helperProgram(), {QStringLiteral("--socket"), m_socketPath, QStringLiteral("--group"),
                                     m_accounts->group, QStringLiteral("--runtime-dir"), m_runtimeDirectory});
    const qsizetype started = m_helperLog.count(QStringLiteral("listening on"));
    return m_helper.waitForStarted(10000) && QTest::qWaitFor([this, started] {
               return m_helperLog.count(QStringLiteral("listening on")) > started;
           }, 10000);
}

void TestHelper::stopHelper()
{
    if (m_helper.state() == QProcess::NotRunning)
        return;
    m_helper.terminate();
    if (!m_helper.waitForFinished(10000)) {
        m_helper.kill();
        m_helper.waitForFinished(5000);
    }
}

pid_t TestHelper::helperPid() const
{
    return pid_t(m_helper.processId());
}

QStringList TestHelper::sessionDirectories() const
{
    return QDir(m_runtimeDirectory + QStringLiteral("/sessions")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

QString TestHelper::memberManagementBase() const
{
    return m_directory->filePath(QStringLiteral("member"));
}

void TestHelper::launch(Client *client, As who, const QStringList &arguments)
{
    const QString setpriv = QStringLiteral("setpriv");
    const auto user = [](uid_t uid, gid_t gid) {
        return QStringList{QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(gid)};
    };
    QStringList command;
    switch (who) {
    case As::Root:
        break;
    case As::Member:
        command = user(m_accounts->memberUid, m_accounts->nogroupGid) << QStringLiteral("--init-groups");
        break;
    case As::PrimaryMember:
        command = user(m_accounts->primaryMemberUid, m_accounts->groupGid) << QStringLiteral("--init-groups");
        break;
    case As::Outsider:
        command = user(m_accounts->outsiderUid, m_accounts->nogroupGid) << QStringLiteral("--init-groups");
        break;
    case As::OutsiderHoldingTheGroup:
        command = user(m_accounts->outsiderUid, m_accounts->nogroupGid)
            << QStringLiteral("--groups=%1").arg(m_accounts->groupGid);
        break;
    case As::MemberWithoutGroups:
        command = user(m_accounts->memberUid, m_accounts->nogroupGid) << QStringLiteral("--clear-groups");
        break;
    }
    QObject::connect(&client->process, &QProcess::readyReadStandardOutput, this,
                     [client] { client->output += QString::fromUtf8(client->process.readAllStandardOutput()); });
    client->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (command.isEmpty())
        client->process.start(clientProgram(), arguments);
    else
        client->process.start(setpriv, command << QStringLiteral("--") << clientProgram() << arguments);
}

QStringList TestHelper::request(As who, const QByteArray &line, pid_t *clientPid, const QString &socketPath)
{
    Client client;
    launch(&client, who, {socketPath.isEmpty() ? m_socketPath : socketPath});
    if (!client.process.waitForStarted(10000))
        return {};
    if (clientPid)
        *clientPid = client.pid();
    client.process.write(line + '\n');
    client.process.closeWriteChannel();
    if (!hasFinished(client.process, 20000))
        return {};
    client.output += QString::fromUtf8(client.process.readAllStandardOutput());
    return client.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::unique_ptr<TestHelper::Client> TestHelper::startSession()
{
    auto client = std::make_unique<Client>();
    launch(client.get(), As::Member, {m_socketPath, QStringLiteral("--start"), memberManagementBase()});
    const QJsonObject input{{QStringLiteral("profile"), QString::fromStdString(m_labProfile)},
                            {QStringLiteral("username"), m_lab->username()},
                            {QStringLiteral("password"), m_lab->password()}};
    client->process.write(QJsonDocument(input).toJson(QJsonDocument::Compact) + '\n');
    return client;
}

void TestHelper::checkFollowsTheGroupDatabase_data()
{
    QTest::addColumn<As>("who");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("root") << As::Root << true;
    QTest::newRow("member") << As::Member << true;
    QTest::newRow("member by primary group") << As::PrimaryMember << true;
    QTest::newRow("member whose process dropped the group") << As::MemberWithoutGroups << true;
    QTest::newRow("outsider") << As::Outsider << false;
    QTest::newRow("outsider whose process holds the group") << As::OutsiderHoldingTheGroup << false;
}

void TestHelper::checkFollowsTheGroupDatabase()
{
    QFETCH(As, who);
    QFETCH(bool, accepted);
    pid_t pid = 0;
    const QStringList events = request(who, R"({"version":1,"action":"check"})", &pid);
    QCOMPARE(events.size(), 1);
    if (accepted) {
        QCOMPARE(events[0], QString::fromLatin1(Accepted));
    } else {
        const QString name = m_accounts->outsider;
        const QString reason = QStringLiteral("user %1 (uid %2) is not in the group %3; ask an administrator to "
                                              "add you: sudo usermod -aG %3 %1")
                                   .arg(name, QString::number(m_accounts->outsiderUid), m_accounts->group);
        QCOMPARE(events[0], refusal(reason));
    }
    // One line per request in the helper's log, naming the peer's user and process.
    QTRY_VERIFY(m_helperLog.contains(QStringLiteral(" pid %1 check: %2").arg(pid).arg(accepted ? QStringLiteral("accepted") : QStringLiteral("refused"))));
}

void TestHelper::badRequestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("reason");

    const auto start = [](const std::string &profile) {
        return QJsonDocument(QJsonObject{{QStringLiteral("version"), 1},
                                         {QStringLiteral("action"), QStringLiteral("start")},
                                         {QStringLiteral("profile"), QString::fromStdString(profile)},
                                         {QStringLiteral("management"), QStringLiteral("/nonexistent/management")}})
            .toJson(QJsonDocument::Compact);
    };
    // Hostile profiles, sent straight to the socket: the helper's own filter stops them.
    for (const char *hostile : {"up /bin/sh\n", "\"up\"'/x'\n", "plugin /tmp/x.so\n", "tls-verify /bin/sh\n",
                                "management 0.0.0.0 7505\n", "config /etc/shadow\n"}) {
        const std::string profile = std::string(PlainProfile) + hostile;
        const QString reason = filterMessage(profile);
        QVERIFY2(!reason.isEmpty(), hostile);
        QTest::newRow(QByteArray(hostile).trimmed().constData()) << start(profile) << reason;
    }
    QTest::newRow("empty profile") << start("") << filterMessage("");
    const std::string large = std::string(PlainProfile) + std::string(262144, '#');
    QTest::newRow("profile too large")
        << start(large)
        << QStringLiteral("the profile is too large (%1 bytes; at most 262144)").arg(large.size());
    QTest::newRow("not JSON") << QByteArray("start please")
                              << QStringLiteral("the request is not valid JSON: illegal value");
    QTest::newRow("not an object") << QByteArray("[1]") << QStringLiteral("the request is not a JSON object");
    QTest::newRow("other version") << QByteArray(R"({"version":2,"action":"check"})")
                                   << QStringLiteral("unsupported protocol version (this helper speaks version 1)");
    QTest::newRow("no version") << QByteArray(R"({"action":"check"})")
                                << QStringLiteral("unsupported protocol version (this helper speaks version 1)");
    QTest::newRow("unknown action") << QByteArray(R"({"version":1,"action":"exec"})")
                                    << QStringLiteral("unknown action (expected \"check\" or \"start\")");
    QTest::newRow("unknown member")
        << QByteArray(R"({"version":1,"action":"start","profile":"","management":"/x","openvpn":"/bin/sh"})")
        << QStringLiteral("unknown member \"openvpn\" in the request");
    QTest::newRow("long member name")
        << QByteArray(R"({"version":1,"action":"check",")") + QByteArray(5000, 'm') + R"(":1})"
        << QStringLiteral("unknown member \"%1...\" in the request").arg(QString(64, QLatin1Char('m')));
    QTest::newRow("member of another action") << QByteArray(R"({"version":1,"action":"check","profile":"x"})")
                                              << QStringLiteral("unknown member \"profile\" in the request");
    QTest::newRow("management not a string")
        << QByteArray(R"({"version":1,"action":"start","profile":"","management":1})")
        << QStringLiteral("a start request needs \"profile\" and \"management\" as strings");
    QTest::newRow("line too long") << QByteArray(1024 * 1024 + 1, 'x') << QStringLiteral("request too long");
}

void TestHelper::badRequestsAreRefused()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, reason);
    QCOMPARE(request(As::Member, line), QStringList{refusal(reason)});
    QVERIFY(VpnProcesses::openvpnChildren(helperPid()).isEmpty());
    QCOMPARE(sessionDirectories(), QStringList());
    // The log names the refusal, never the profile.
    QTRY_VERIFY(m_helperLog.contains(QStringLiteral("refused: ") + reason));
    QVERIFY(!m_helperLog.contains(QStringLiteral("not a certificate")));
}

void TestHelper::logLinesStayLines()
{
    // A client's text in a refusal cannot start a line of its own in the log.
    const QString name = QStringLiteral("x\ncorrivo2-helper: uid 0 pid 1 start: started openvpn pid 1");
    const QByteArray line = QJsonDocument(QJsonObject{{QStringLiteral("version"), 1},
                                                      {QStringLiteral("action"), QStringLiteral("check")},
                                                      {name, 1}})
                                .toJson(QJsonDocument::Compact);
    pid_t pid = 0;
    QCOMPARE(request(As::Member, line, &pid),
             QStringList{refusal(QStringLiteral("unknown member \"%1\" in the request").arg(name))});
    QTRY_VERIFY(m_helperLog.contains(QStringLiteral("pid %1 check: refused: unknown member \"x\\x0acorrivo2-helper: uid 0 pid 1 start").arg(pid)));
    QVERIFY(!m_helperLog.contains(QStringLiteral("\ncorrivo2-helper: uid 0 pid 1 ")));
}

void TestHelper::foreignManagementSocketsAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");

    const TestAccounts &accounts = *m_accounts;
    const QString member = QString::number(accounts.memberUid);
    const QString base = m_directory->filePath(QStringLiteral("paths"));
    QVERIFY(QDir().mkpath(base));
    const QString own = base + QStringLiteral("/own");
    QVERIFY(makeDirectory(own, accounts.memberUid, 0700));
    QCOMPARE(makeSocket(own + QStringLiteral("/management"), accounts.memberUid, false), 0);

    QTest::newRow("relative") << QStringLiteral("paths/own/management")
                              << QStringLiteral("the management path is not absolute");
    QTest::newRow("dot-dot") << own + QStringLiteral("/../own/management")
                             << QStringLiteral("the management path has an empty, \".\" or \"..\" component");
    QTest::newRow("too long") << QStringLiteral("/") + QString(120, QLatin1Char('x'))
                              << QStringLiteral("the management path is too long (121 bytes; at most 107)");

    const QString rootDirectory = base + QStringLiteral("/root");
    QVERIFY(makeDirectory(rootDirectory, 0, 0700));
    QCOMPARE(makeSocket(rootDirectory + QStringLiteral("/management"), accounts.memberUid, false), 0);
    QTest::newRow("root's directory")
        << rootDirectory + QStringLiteral("/management")
        << QStringLiteral("the management directory %1 is owned by uid 0, not by uid %2").arg(rootDirectory, member);

    const QString otherDirectory = base + QStringLiteral("/other");
    QVERIFY(makeDirectory(otherDirectory, accounts.outsiderUid, 0700));
    QCOMPARE(makeSocket(otherDirectory + QStringLiteral("/management"), accounts.outsiderUid, false), 0);
    QTest::newRow("another user's directory")
        << otherDirectory + QStringLiteral("/management")
        << QStringLiteral("the management directory %1 is owned by uid %2, not by uid %3")
               .arg(otherDirectory, QString::number(accounts.outsiderUid), member);

    const QString openDirectory = base + QStringLiteral("/open");
    QVERIFY(makeDirectory(openDirectory, accounts.memberUid, 0755));
    QCOMPARE(makeSocket(openDirectory + QStringLiteral("/management"), accounts.memberUid, false), 0);
    QTest::newRow("directory others can enter")
        << openDirectory + QStringLiteral("/management")
        << QStringLiteral("the management directory %1 has mode 0755; it must be 0700").arg(openDirectory);

    const QString linkedDirectory = base + QStringLiteral("/linked");
    QVERIFY(QFile::link(own, linkedDirectory));
    QTest::newRow("directory behind a link")
        << linkedDirectory + QStringLiteral("/management")
        << QStringLiteral("the management directory %1 is a symbolic link").arg(linkedDirectory);

    const QString linkedSocket = own + QStringLiteral("/linked");
    QVERIFY(QFile::link(otherDirectory + QStringLiteral("/management"), linkedSocket));
    QTest::newRow("socket behind a link")
        << linkedSocket << QStringLiteral("the management socket %1 is a symbolic link").arg(linkedSocket);

    const QString file = own + QStringLiteral("/file");
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    QCOMPARE(::chown(QFile::encodeName(file).constData(), accounts.memberUid, gid_t(-1)), 0);
    QTest::newRow("not a socket") << file << QStringLiteral("the management socket %1 is not a socket").arg(file);

    const QString missing = own + QStringLiteral("/missing");
    QTest::newRow("missing") << missing
                             << QStringLiteral("the management socket %1 cannot be examined: No such file or directory")
                                    .arg(missing);

    const QString rootSocket = own + QStringLiteral("/rootsocket");
    QCOMPARE(makeSocket(rootSocket, 0, false), 0);
    QTest::newRow("root's socket") << rootSocket
                                   << QStringLiteral("the management socket %1 is owned by uid 0, not by uid %2")
                                          .arg(rootSocket, member);

    // Owned by the user as far as the file goes, but served by a root process: only
    // the peer credentials of the connection tell (the user could swap in such a socket
    // between the helper's checks and its connect()).
    const QString served = own + QStringLiteral("/served");
    const int listener = makeSocket(served, accounts.memberUid, true);
    QVERIFY(listener > 0);
    m_listeners << listener;
    QTest::newRow("socket served by another user")
        << served << QStringLiteral("the management socket %1 is served by uid 0, not by uid %2").arg(served, member);
}

void TestHelper::foreignManagementSocketsAreRefused()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    const QByteArray line = QJsonDocument(QJsonObject{{QStringLiteral("version"), 1},
                                                      {QStringLiteral("action"), QStringLiteral("start")},
                                                      {QStringLiteral("profile"), QString::fromLatin1(PlainProfile)},
                                                      {QStringLiteral("management"), path}})
                                .toJson(QJsonDocument::Compact);
    QCOMPARE(request(As::Member, line), QStringList{refusal(reason)});
    QVERIFY(VpnProcesses::openvpnChildren(helperPid()).isEmpty());
    QCOMPARE(sessionDirectories(), QStringList());
}

void TestHelper::silentAndSurplusConnectionsAreDropped()
{
    // A user holds at most 8 connections; a connection without a request is dropped
    // after 10 s.
    QElapsedTimer elapsed;
    elapsed.start();
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<Client>());
        launch(silent.back().get(), As::Member, {m_socketPath});
        silent.back()->process.closeWriteChannel();
    }
    // Connected before the ninth: the helper accepts connections in the order they came.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(silent.begin(), silent.end(),
                                         [](const std::unique_ptr<Client> &client) {
                                             return client->has(QStringLiteral("connected\n"));
                                         }),
                             10000);
    const QString limit = QStringLiteral("uid %1 has 8 connections to the helper already").arg(m_accounts->memberUid);
    QCOMPARE(request(As::Member, R"({"version":1,"action":"check"})"), QStringList{refusal(limit)});

    for (const std::unique_ptr<Client> &client : silent) {
        QVERIFY(hasFinished(client->process, 15000));
        client->output += QString::fromUtf8(client->process.readAllStandardOutput());
        QCOMPARE(client->output, QStringLiteral("connected\n") + refusal(QStringLiteral("no request within 10 s"))
                                     + QLatin1Char('\n'));
    }
    QVERIFY(elapsed.elapsed() >= 9500);
    QCOMPARE(request(As::Member, R"({"version":1,"action":"check"})"), QStringList{QString::fromLatin1(Accepted)});
}

void TestHelper::relaysTheDaemonsManagementChannel()
{
    // The member's client gets the daemon's management channel through the helper, and
    // drives the connection over it as the application would.
    const std::unique_ptr<Client> client = startSession();
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral("helper {\"event\":\"started\"")), 15000);
    const QJsonObject started = QJsonDocument::fromJson(
        client->lineStartingWith(QStringLiteral("helper {\"event\":\"started\"")).mid(7).toUtf8()).object();
    const pid_t daemon = pid_t(started.value(QStringLiteral("pid")).toInt());
    QCOMPARE(VpnProcesses::openvpnChildren(helperPid()), QList<pid_t>{daemon});

    QTRY_VERIFY_WITH_TIMEOUT(client->output.contains(QRegularExpression(QStringLiteral(
                                 "\nmanagement >STATE:\\d+,CONNECTED,SUCCESS,"))),
                             30000);
    QVERIFY(client->has(QStringLiteral("management >INFO:OpenVPN Management Interface")));
    QVERIFY(client->has(QStringLiteral("helper {\"event\":\"output\",\"text\":\"")));

    // Only the fixed command line, the profile in the session's directory and gone once
    // the daemon has read it.
    const QStringList command = commandLineOf(daemon);
    const QString profilePath = command.value(command.indexOf(QStringLiteral("--config")) + 1);
    const QString sessionDirectory = QFileInfo(profilePath).path();
    QCOMPARE(QFileInfo(sessionDirectory).path(), m_runtimeDirectory + QStringLiteral("/sessions"));
    QStringList expected{QStringLiteral("/usr/sbin/openvpn")};
    const QString socketPath = sessionDirectory + QStringLiteral("/management");
    for (const std::string &argument : ovpn::daemonArguments(profilePath.toStdString(), socketPath.toStdString(),
                                                             ovpn::configOptions(ovpn::applicationConfig())))
        expected << QString::fromStdString(argument);
    QCOMPARE(command, expected);
    QVERIFY(!QFile::exists(profilePath));
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(sessionDirectory).constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0700));
    QCOMPARE(status.st_uid, uid_t(0));
    QVERIFY(!m_helperLog.contains(QStringLiteral("BEGIN CERTIFICATE")));

    // Ended over the relayed channel: the daemon's end closes the client's connection.
    client->process.write("signal SIGTERM\n");
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral("helper {\"event\":\"exited\",\"code\":0,\"crashed\":false}")),
                             15000);
    QVERIFY(hasFinished(client->process, 10000));
    QCOMPARE(client->process.exitCode(), 0);
    QVERIFY(client->has(QStringLiteral("management >STATE:")) && client->has(QStringLiteral(",EXITING,")));
    QVERIFY(!VpnProcesses::isAlive(daemon));
    QCOMPARE(sessionDirectories(), QStringList());
}

void TestHelper::killedClientEndsItsDaemon()
{
    std::unique_ptr<Client> client = startSession();
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral(",CONNECTED,SUCCESS,")), 30000);
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helperPid());
    QCOMPARE(daemons.size(), 1);
    const QStringList tunnels = VpnProcesses::tunInterfaces(daemons.first());
    QCOMPARE(tunnels.size(), 1);

    const pid_t clientPid = client->pid();
    QCOMPARE(::kill(clientPid, SIGKILL), 0);
    QVERIFY(hasFinished(client->process, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 8000);
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::interfaceExists(tunnels.first()), 5000);
    QTRY_COMPARE(sessionDirectories(), QStringList());
    // Whichever of the client's two connections the helper saw close first.
    QVERIFY(m_helperLog.contains(QRegularExpression(
        QStringLiteral("pid %1 start: the client closed its (connection to the helper|management socket)"
                       "|pid %1 start: the management channel was closed")
            .arg(clientPid))));
}

void TestHelper::terminatedHelperEndsItsDaemonsAndRemovesItsFiles()
{
    std::unique_ptr<Client> client = startSession();
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral("management >HOLD:")), 15000);
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helperPid());
    QCOMPARE(daemons.size(), 1);

    m_helper.terminate();
    QVERIFY(hasFinished(m_helper, 10000));
    QCOMPARE(m_helper.exitCode(), 0);
    QVERIFY(!VpnProcesses::isAlive(daemons.first()));
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral("helper closed")), 5000);
    QVERIFY(client->has(QStringLiteral("helper {\"event\":\"exited\",\"code\":0,\"crashed\":false}")));
    QCOMPARE(sessionDirectories(), QStringList());
    QVERIFY(!QFileInfo::exists(m_socketPath));

    QVERIFY(startHelper());
}

void TestHelper::killedHelperEndsItsDaemonsAndARestartServes()
{
    std::unique_ptr<Client> client = startSession();
    QTRY_VERIFY_WITH_TIMEOUT(client->has(QStringLiteral(",CONNECTED,SUCCESS,")), 30000);
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helperPid());
    QCOMPARE(daemons.size(), 1);

    QCOMPARE(::kill(helperPid(), SIGKILL), 0);
    QVERIFY(hasFinished(m_helper, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 8000);
    QTRY_VERIFY_WITH_TIMEOUT(client->process.state() == QProcess::NotRunning, 5000);
    // The killed helper could not remove its session's directory; the next one does.
    QCOMPARE(sessionDirectories().size(), 1);

    QVERIFY(startHelper());
    QCOMPARE(sessionDirectories(), QStringList());
    QCOMPARE(request(As::Member, R"({"version":1,"action":"check"})"), QStringList{QString::fromLatin1(Accepted)});
}

void TestHelper::socketActivationLeavesTheSocketToTheManager()
{
    // Started by the service manager on the first connection, the helper serves the
    // socket it was passed and, when it ends, leaves that socket to the manager, which
    // keeps listening on it.
    const QString path = m_directory->filePath(QStringLiteral("activated.sock"));
    QProcess manager;
    QString log;
    connect(&manager, &QProcess::readyReadStandardError, this,
            [&manager, &log] { log += QString::fromUtf8(manager.readAllStandardError()); });
    const auto cleanup = qScopeGuard([&manager] {
        manager.kill();
        manager.waitForFinished(5000);
    });
    manager.start(QStringLiteral("systemd-socket-activate"),
                  {QStringLiteral("--listen=") + path, QStringLiteral("--"), helperProgram(), QStringLiteral("--group"),
                   m_accounts->group, QStringLiteral("--runtime-dir"), m_directory->filePath(QStringLiteral("run2"))});
    QVERIFY2(manager.waitForStarted(10000), qPrintable(manager.errorString()));
    QTRY_VERIFY(QFileInfo(path).exists());
    // What a socket unit's SocketMode=0666 would do.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup
                                            | QFile::ReadOther | QFile::WriteOther));

    QCOMPARE(request(As::Member, R"({"version":1,"action":"check"})", nullptr, path),
             QStringList{QString::fromLatin1(Accepted)});
    QCOMPARE(request(As::Outsider, R"({"version":1,"action":"check"})", nullptr, path).value(0),
             refusal(QStringLiteral("user %1 (uid %2) is not in the group %3; ask an administrator to add you: "
                                    "sudo usermod -aG %3 %1")
                         .arg(m_accounts->outsider, QString::number(m_accounts->outsiderUid), m_accounts->group)));
    QTRY_VERIFY(log.contains(QStringLiteral("corrivo2-helper: listening on the socket the service manager passed")));

    manager.terminate();
    QVERIFY(hasFinished(manager, 10000));
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &status), 0);
    QVERIFY(S_ISSOCK(status.st_mode));
}

QTEST_GUILESS_MAIN(TestHelper)
#include "tst_helper.moc"
