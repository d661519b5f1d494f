#include <QtTest>

#include <QTemporaryDir>

#include <chrono>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "vpn/ovpnprofilemerge.h"

// The merger reads files on behalf of a process that may be root, named by a profile
// that came from the cloud: only regular files beside the profile may be read.
namespace {

constexpr std::size_t MaxLineLength = 512;
constexpr std::size_t MaxSize = 262144;

const QByteArray Certificate = "-----BEGIN CERTIFICATE-----\nQ0E=\n-----END CERTIFICATE-----\n";
const QByteArray Secret = "root:secret-hash-from-elsewhere\n";
const QByteArray Base = "client\nremote 192.0.2.1 1194\n";

struct Result
{
    bool finished = false;
    ovpn::ProfileMerge::Status status = ovpn::ProfileMerge::MERGE_UNDEFINED;
    QString error;
    QByteArray content;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Merges on a thread of its own and gives up after timeoutMs. A merge that blocks on
// one of the FIFOs is released by opening and closing their writing ends, so that a
// failing test still ends.
Result mergeWithin(const QString &profile, const QStringList &fifos, int timeoutMs = 5000)
{
    std::packaged_task<Result()> task([profile] {
        const ovpn::ProfileMerge merge(profile.toStdString(), "ovpn", std::string(), ovpn::ProfileMerge::FOLLOW_FULL,
                                       MaxLineLength, MaxSize);
        Result result;
        result.finished = true;
        result.status = merge.status();
        result.error = QString::fromStdString(merge.error());
        result.content = QByteArray::fromStdString(merge.profile_content());
        return result;
    });
    std::future<Result> future = task.get_future();
    std::thread thread(std::move(task));
    const bool inTime = future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    if (!inTime) {
        for (const QString &fifo : fifos) {
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
    }
    thread.join();
    Result result = future.get();
    result.finished = inTime;
    return result;
}

} // namespace

class TestOvpnProfileMerge : public QObject
{
    Q_OBJECT

private slots:
    void references_data();
    void references();
    void profileMustBeARegularFile_data();
    void profileMustBeARegularFile();
    void credentialsFilesAreNotRead();
    void followNoneRefusesReferences();
};

void TestOvpnProfileMerge::references_data()
{
    // The line is the directive with the reference put in for %1; "@OUT@" stands for a
    // directory beside the profile's that holds secret.txt, "@OUTNAME@" for its name.
    QTest::addColumn<QString>("directive");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("plant");  // what the test makes under the referenced name
    QTest::addColumn<bool>("merged");

    QTest::newRow("plain sibling file") << "ca %1" << "ca.crt" << "file" << true;
    QTest::newRow("quoted sibling name") << "ca \"%1\"" << "my ca.crt" << "file" << true;
    QTest::newRow("absolute path") << "ca %1" << "@OUT@/secret.txt" << "" << false;
    QTest::newRow("parent traversal") << "ca %1" << "../@OUTNAME@/secret.txt" << "" << false;
    QTest::newRow("subdirectory") << "ca %1" << "keys/ca.crt" << "file" << false;
    QTest::newRow("dot dot") << "ca %1" << ".." << "" << false;
    QTest::newRow("link to a file outside") << "ca %1" << "linked.crt" << "link outside" << false;
    QTest::newRow("link to a sibling") << "ca %1" << "linked.crt" << "link sibling" << false;
    QTest::newRow("fifo") << "ca %1" << "pipe.crt" << "fifo" << false;
    QTest::newRow("device") << "ca %1" << "null.crt" << "device" << false;
    QTest::newRow("directory") << "ca %1" << "certs" << "directory" << false;
    QTest::newRow("over the size bound") << "ca %1" << "big.crt" << "oversize" << false;
    QTest::newRow("proxy credentials outside") << "http-proxy 192.0.2.9 3128 %1 basic" << "@OUT@/secret.txt" << ""
                                               << false;
    QTest::newRow("key through a link") << "key %1" << "linked.txt" << "link outside" << false;
    QTest::newRow("crl directory") << "crl-verify %1 dir" << "@OUT@" << "" << false;
}

void TestOvpnProfileMerge::references()
{
    QFETCH(QString, directive);
    QFETCH(QString, reference);
    QFETCH(QString, plant);
    QFETCH(bool, merged);

    QTemporaryDir dir;
    QTemporaryDir outside;
    QVERIFY(dir.isValid() && outside.isValid());
    const QString secretPath = outside.filePath(QStringLiteral("secret.txt"));
    QVERIFY(writeFile(secretPath, Secret));
    reference.replace(QLatin1String("@OUTNAME@"), QFileInfo(outside.path()).fileName());
    reference.replace(QLatin1String("@OUT@"), outside.path());

    const QString profile = dir.filePath(QStringLiteral("client.ovpn"));
    QVERIFY(writeFile(profile, Base + directive.arg(reference).toUtf8() + "\nverb 3\n"));

    const QString planted = dir.filePath(reference);
    const QByteArray plantedName = QFile::encodeName(planted);
    QStringList fifos;
    if (plant == QLatin1String("file")) {
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(planted).path()));
        QVERIFY(writeFile(planted, Certificate));
    } else if (plant == QLatin1String("link outside")) {
        QVERIFY(QFile::link(secretPath, planted));
    } else if (plant == QLatin1String("link sibling")) {
        QVERIFY(writeFile(dir.filePath(QStringLiteral("real.crt")), Certificate));
        QVERIFY(QFile::link(QStringLiteral("real.crt"), planted));
    } else if (plant == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(plantedName.constData(), 0600), 0);
        fifos << planted;
    } else if (plant == QLatin1String("device")) {
        // A node like /dev/null: it opens, reads as empty and would merge as an empty block.
        if (::mknod(plantedName.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            QSKIP("making a device node needs CAP_MKNOD");
    } else if (plant == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(reference));
    } else if (plant == QLatin1String("oversize")) {
        QVERIFY(writeFile(planted, QByteArray(qsizetype(MaxSize) + 1, 'A')));
    }

    const Result result = mergeWithin(profile, fifos);
    QVERIFY2(result.finished, "the merge blocked");
    if (merged) {
        QCOMPARE(result.status, ovpn::ProfileMerge::MERGE_SUCCESS);
        QCOMPARE(result.content, Base + "<ca>\n" + Certificate + "</ca>\nverb 3\n");
        return;
    }
    QCOMPARE(result.status, ovpn::ProfileMerge::MERGE_REF_FAIL);
    QVERIFY(result.content.isEmpty());
    // The error names the reference, so that the log says what was refused.
    QVERIFY2(result.error.contains(reference), qPrintable(result.error));
}

void TestOvpnProfileMerge::profileMustBeARegularFile_data()
{
    QTest::addColumn<QString>("plant");
    QTest::newRow("link to a profile elsewhere") << "link";
    QTest::newRow("fifo") << "fifo";
}

void TestOvpnProfileMerge::profileMustBeARegularFile()
{
    QFETCH(QString, plant);
    QTemporaryDir dir;
    QTemporaryDir outside;
    QVERIFY(dir.isValid() && outside.isValid());
    const QString elsewhere = outside.filePath(QStringLiteral("other.ovpn"));
    QVERIFY(writeFile(elsewhere, Base));
    const QString profile = dir.filePath(QStringLiteral("client.ovpn"));
    QStringList fifos;
    if (plant == QLatin1String("link")) {
        QVERIFY(QFile::link(elsewhere, profile));
    } else {
        QCOMPARE(::mkfifo(QFile::encodeName(profile).constData(), 0600), 0);
        fifos << profile;
    }

    const Result result = mergeWithin(profile, fifos);
    QVERIFY2(result.finished, "the merge blocked");
    QCOMPARE(result.status, ovpn::ProfileMerge::MERGE_OVPN_FILE_FAIL);
    QVERIFY2(result.error.contains(QStringLiteral("client.ovpn")), qPrintable(result.error));
}

void TestOvpnProfileMerge::credentialsFilesAreNotRead()
{
    // The credentials come with the domain's configuration: whatever file the profile
    // names for them, present, absent or a link elsewhere, is never opened, and the line
    // is left for the filter.
    QTemporaryDir dir;
    QTemporaryDir outside;
    QVERIFY(dir.isValid() && outside.isValid());
    const QString secretPath = outside.filePath(QStringLiteral("secret.txt"));
    QVERIFY(writeFile(secretPath, Secret));
    QVERIFY(QFile::link(secretPath, dir.filePath(QStringLiteral("linked.txt"))));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("login.txt")), Secret));
    for (const QString &name : {QStringLiteral("linked.txt"), QStringLiteral("login.txt"),
                                QStringLiteral("missing.txt"), secretPath}) {
        const QString profile = dir.filePath(QStringLiteral("client.ovpn"));
        const QByteArray line = "auth-user-pass " + QFile::encodeName(name) + '\n';
        QVERIFY(writeFile(profile, Base + line));
        const Result result = mergeWithin(profile, {});
        QVERIFY2(result.finished, "the merge blocked");
        QCOMPARE(result.status, ovpn::ProfileMerge::MERGE_SUCCESS);
        QCOMPARE(result.content, Base + line);
    }
}

void TestOvpnProfileMerge::followNoneRefusesReferences()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("ca.crt")), Certificate));
    const QString profile = dir.filePath(QStringLiteral("client.ovpn"));
    QVERIFY(writeFile(profile, Base + "ca ca.crt\n"));
    const ovpn::ProfileMerge merge(profile.toStdString(), "ovpn", std::string(), ovpn::ProfileMerge::FOLLOW_NONE,
                                   MaxLineLength, MaxSize);
    QCOMPARE(merge.status(), ovpn::ProfileMerge::MERGE_REF_FAIL);
    QVERIFY(merge.profile_content().empty());

    QVERIFY(writeFile(profile, Base + "<ca>\n" + Certificate + "</ca>\n"));
    const ovpn::ProfileMerge inlined(profile.toStdString(), "ovpn", std::string(), ovpn::ProfileMerge::FOLLOW_NONE,
                                     MaxLineLength, MaxSize);
    QCOMPARE(inlined.status(), ovpn::ProfileMerge::MERGE_SUCCESS);
    QCOMPARE(QByteArray::fromStdString(inlined.profile_content()), Base + "<ca>\n" + Certificate + "</ca>\n");
}

QTEST_GUILESS_MAIN(TestOvpnProfileMerge)
#include "tst_ovpnprofilemerge.moc"
