#include <QtTest>

#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serialtestsupport.h"

using namespace Qt::StringLiterals;

using namespace SerialTestSupport;

namespace {

QString listOutput()
{
    QString output;
    if (runTool(QStringLiteral("setupc"), {QStringLiteral("list")}, &output) != 0)
        return QStringLiteral("<list failed>");
    return output;
}


// The holder's process id, from the pair's record.
qint64 holderOf(const SerialDirGuard &dir, int pair)
{
    QFile record(dir.path() + QStringLiteral("/.pairs/") + QString::number(pair));
    if (!record.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^pid (\\d+)$"), QRegularExpression::MultilineOption)
            .match(QString::fromLatin1(record.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

bool processExists(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) != "Z";
}

// Plain entries of the serial port directory count as names in use as well; they
// make names no pair could take (too long for a port name) without a holder each.
bool addNames(const SerialDirGuard &dir, const QStringList &names)
{
    for (const QString &name : names) {
        QFile file(dir.portPath(name));
        if (!file.open(QIODevice::WriteOnly))
            return false;
    }
    return true;
}

bool passesBothWays(PortEnd &a, PortEnd &b, const QByteArray &data)
{
    return a.writeAll(data) && b.read(data.size()) == data && b.writeAll(data) && a.read(data.size()) == data;
}

} // namespace

class TestSetupc : public QObject
{
    Q_OBJECT

private slots:
    void installMakesALinkedPair();
    void everyByteValuePassesBothWays();
    void pairSurvivesReopeningAnEnd_data();
    void pairSurvivesReopeningAnEnd();
    void listShowsEveryPairAndReusesNumbers();
    void busynamesReportsNamesInUse_data();
    void busynamesReportsNamesInUse();
    void busynamesWildcards_data();
    void busynamesWildcards();
    void busynamesManyStarsAnswerAtOnce_data();
    void busynamesManyStarsAnswerAtOnce();
    void removeEndsThePairAndItsLinks();
    void removeOfAnUnknownPairFails();
    void installRefusesBadInput_data();
    void installRefusesBadInput();
    void holderIsDetached();
};

void TestSetupc::installMakesALinkedPair()
{
    SerialDirGuard dir;
    QVERIFY(dir.isValid());
    QString output;
    QCOMPARE(runTool(QStringLiteral("setupc"),
                     {QStringLiteral("install"), QStringLiteral("PortName=COM3"), QStringLiteral("PortName=ROZIZER3")},
                     &output),
             0);
    QVERIFY(output.contains(QLatin1String("CNCA0 PortName=COM3")));

    // End A is the terminal a program opens; end B is no file of its own: a relay takes
    // the same terminal from the holder.
    const QFileInfo link(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(link.isSymLink());
    QVERIFY(link.symLinkTarget().startsWith(QLatin1String("/dev/pts/")));
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.isOpen());
    QVERIFY(::isatty(a.fd()));
    QVERIFY(!QFileInfo(dir.portPath(QStringLiteral("ROZIZER3"))).exists());
    std::unique_ptr<PortEnd> b(PortEnd::takeFromHolder(QStringLiteral("ROZIZER3")));
    QVERIFY(b->isOpen());
    QVERIFY(::isatty(b->fd()));
    // The pairs' folder, with the holder's socket, is the user's alone.
    struct stat pairs{};
    QCOMPARE(::lstat(QFile::encodeName(dir.path() + QStringLiteral("/.pairs")).constData(), &pairs), 0);
    QVERIFY(S_ISDIR(pairs.st_mode));
    QCOMPARE(pairs.st_mode & 077, 0u);
    QCOMPARE(listOutput(), QStringLiteral("       CNCA0 PortName=COM3\n       CNCB0 PortName=ROZIZER3\n"));
}

void TestSetupc::everyByteValuePassesBothWays()
{
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    std::unique_ptr<PortEnd> taken(PortEnd::takeFromHolder(QStringLiteral("ROZIZER3")));
    PortEnd &b = *taken;
    QVERIFY(a.isOpen() && b.isOpen());

    const QByteArray data = allByteValues();
    QVERIFY(a.writeAll(data));
    QCOMPARE(b.read(data.size()), data);
    QVERIFY(b.writeAll(data));
    QCOMPARE(a.read(data.size()), data);

    // A larger block than the terminal holds, so the writer has to wait for room.
    QByteArray block;
    for (int i = 0; i < 1024; ++i)
        block += data;
    bool written = false;
    std::thread writer([&] { written = a.writeAll(block.left(32768)); });
    const QByteArray received = b.read(32768);
    writer.join();
    QVERIFY(written);
    QCOMPARE(received, block.left(32768));
}

void TestSetupc::pairSurvivesReopeningAnEnd_data()
{
    QTest::addColumn<QString>("reopened");
    QTest::addColumn<QString>("kept");
    QTest::newRow("A end") << QStringLiteral("COM5") << QStringLiteral("ROZIZER5");
    QTest::newRow("B end") << QStringLiteral("ROZIZER5") << QStringLiteral("COM5");
}

void TestSetupc::pairSurvivesReopeningAnEnd()
{
    QFETCH(QString, reopened);
    QFETCH(QString, kept);
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM5"), QStringLiteral("ROZIZER5")), 0);
    const qint64 holder = holderOf(dir, 0);
    QVERIFY(holder > 0);

    // End A is opened by path, end B taken from the holder as each new relay takes it.
    const auto open = [&dir](const QString &name) {
        return name.startsWith(QLatin1String("COM")) ? std::make_unique<PortEnd>(dir.portPath(name))
                                                     : std::unique_ptr<PortEnd>(PortEnd::takeFromHolder(name));
    };
    std::unique_ptr<PortEnd> other = open(kept);
    QVERIFY(other->isOpen());
    for (int round = 0; round < 10; ++round) {
        std::unique_ptr<PortEnd> end = open(reopened);
        QVERIFY2(end->isOpen(), qPrintable(QString::number(round)));
        QVERIFY2(passesBothWays(*end, *other, "round " + QByteArray::number(round) + '\0' + '\xff'),
                 qPrintable(QString::number(round)));
    }
    // And with the kept end closed and opened as well.
    other.reset();
    std::unique_ptr<PortEnd> again = open(kept);
    std::unique_ptr<PortEnd> end = open(reopened);
    QVERIFY(passesBothWays(*end, *again, allByteValues()));
    QVERIFY(processExists(holder));
    QVERIFY(listOutput().contains(QLatin1String("CNCA0 PortName=COM5")));
}

void TestSetupc::listShowsEveryPairAndReusesNumbers()
{
    SerialDirGuard dir;
    QCOMPARE(listOutput(), QString());
    QCOMPARE(installPair(QStringLiteral("COM2"), QStringLiteral("ROZIZER2")), 0);
    QCOMPARE(installPair(QStringLiteral("COM20"), QStringLiteral("ROZIZER20")), 0);
    QCOMPARE(listOutput(), QStringLiteral("       CNCA0 PortName=COM2\n       CNCB0 PortName=ROZIZER2\n"
                                          "       CNCA1 PortName=COM20\n       CNCB1 PortName=ROZIZER20\n"));

    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("0")}), 0);
    QCOMPARE(listOutput(), QStringLiteral("       CNCA1 PortName=COM20\n       CNCB1 PortName=ROZIZER20\n"));
    QCOMPARE(installPair(QStringLiteral("COM7"), QStringLiteral("ROZIZER7")), 0);
    QCOMPARE(listOutput(), QStringLiteral("       CNCA0 PortName=COM7\n       CNCB0 PortName=ROZIZER7\n"
                                          "       CNCA1 PortName=COM20\n       CNCB1 PortName=ROZIZER20\n"));
}

void TestSetupc::busynamesReportsNamesInUse_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("used name") << QStringLiteral("COM3") << QStringList{QStringLiteral("COM3"), QStringLiteral("COM30")};
    QTest::newRow("longer used name") << QStringLiteral("COM30") << QStringList{QStringLiteral("COM30")};
    QTest::newRow("B end") << QStringLiteral("ROZIZER3") << QStringList{QStringLiteral("ROZIZER3"), QStringLiteral("ROZIZER30")};
    QTest::newRow("free name") << QStringLiteral("COM4") << QStringList();
    QTest::newRow("wildcards") << QStringLiteral("C?M*0") << QStringList{QStringLiteral("COM30")};
}

void TestSetupc::busynamesReportsNamesInUse()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    QCOMPARE(installPair(QStringLiteral("COM30"), QStringLiteral("ROZIZER30")), 0);

    QString output;
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("busynames"), pattern}, &output), 0);
    QStringList names = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The machine's own serial ports (ttyS0 ...) never match these patterns.
    QCOMPARE(names, expected);
}

void TestSetupc::busynamesWildcards_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");
    // None of these patterns can match the machine's own serial ports (tty...).
    QTest::newRow("plain name is a prefix") << "COM3" << QStringList{u"COM3"_s, u"COM30"_s};
    QTest::newRow("case counts") << "com3" << QStringList{u"com3"_s};
    QTest::newRow("question mark") << "C?M3" << QStringList{u"COM3"_s, u"COM30"_s};
    QTest::newRow("question mark needs a character") << "COM3?" << QStringList{u"COM30"_s};
    QTest::newRow("question mark at the end of a name") << "COM30?" << QStringList();
    QTest::newRow("star in the middle") << "C*0" << QStringList{u"COM30"_s};
    QTest::newRow("star matches nothing") << "COM*3" << QStringList{u"COM3"_s, u"COM30"_s};
    QTest::newRow("trailing star") << "ROZ*" << QStringList{u"ROZIZER3"_s};
    QTest::newRow("leading star") << "*ZIZER" << QStringList{u"ROZIZER3"_s};
    QTest::newRow("double star") << "**OM3" << QStringList{u"COM3"_s, u"COM30"_s};
    QTest::newRow("star then question mark") << "*?ZER3" << QStringList{u"ROZIZER3"_s};
    QTest::newRow("star must retry after a partial match") << "*abd" << QStringList{u"abcabd"_s};
    QTest::newRow("two stars retrying") << "a*c*d" << QStringList{u"abcabd"_s};
    QTest::newRow("no match after star") << "*abx" << QStringList();
    QTest::newRow("no backslash escapes") << "Q\\*" << QStringList{u"Q\\x"_s};
    QTest::newRow("other characters are literal") << "Z.[x]-_" << QStringList{u"Z.[x]-_1"_s};
    QTest::newRow("brackets are no class") << "Z.[y]" << QStringList();
}

void TestSetupc::busynamesWildcards()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    SerialDirGuard dir;
    QVERIFY(dir.isValid());
    QVERIFY(addNames(dir, {u"COM3"_s, u"COM30"_s, u"com3"_s, u"ROZIZER3"_s, u"abcabd"_s, u"Z.[x]-_1"_s, u"Q\\x"_s}));

    QString output;
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("busynames"), pattern}, &output), 0);
    QCOMPARE(output.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
}

void TestSetupc::busynamesManyStarsAnswerAtOnce_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");
    const QString as(200, u'a');
    QTest::newRow("stars and letters") << QString(QStringLiteral("*a")).repeated(20) + QStringLiteral("*b")
                                       << QStringList{as.left(60) + QLatin1Char('b')};
    QTest::newRow("stars and question marks") << QString(QStringLiteral("*?")).repeated(20) + QStringLiteral("*b")
                                              << QStringList{as.left(60) + QLatin1Char('b')};
}

void TestSetupc::busynamesManyStarsAnswerAtOnce()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    SerialDirGuard dir;
    QVERIFY(dir.isValid());
    // A name of one letter only fails each way of spreading the stars over it.
    QVERIFY(addNames(dir, {QString(200, u'a'), QString(60, u'a') + QLatin1Char('b')}));

    // Not a measurement: a generous bound that only a search trying every way of
    // placing the stars misses (the guard kills a setupc left behind).
    QProcess setupc;
    setupc.start(toolPath(QStringLiteral("setupc")), {QStringLiteral("busynames"), pattern});
    QVERIFY(setupc.waitForStarted(10000));
    const bool finished = setupc.waitForFinished(10000);
    if (!finished) {
        setupc.kill();
        setupc.waitForFinished();
    }
    QVERIFY2(finished, "setupc busynames did not answer");
    QCOMPARE(setupc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(setupc.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(setupc.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
}

void TestSetupc::removeEndsThePairAndItsLinks()
{
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    const qint64 holder = holderOf(dir, 0);
    QVERIFY(processExists(holder));
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.isOpen());

    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("0")}), 0);
    QVERIFY(!QFileInfo::exists(dir.portPath(QStringLiteral("COM3"))));
    QVERIFY(!QFileInfo(dir.portPath(QStringLiteral("COM3"))).isSymLink());
    QVERIFY(!QFileInfo(dir.portPath(QStringLiteral("ROZIZER3"))).isSymLink());
    QCOMPARE(listOutput(), QString());
    QTRY_VERIFY(!processExists(holder));
    // The end that was still open sees the line hang up.
    QCOMPARE(a.read(1, 2000), QByteArray());

    // The names are free again.
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
}

void TestSetupc::removeOfAnUnknownPairFails()
{
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("1")}), 1);
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("x")}), 2);
    QVERIFY(listOutput().contains(QLatin1String("CNCA0 PortName=COM3")));
}

void TestSetupc::installRefusesBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString install = QStringLiteral("install");
    QTest::newRow("name in use") << QStringList{install, QStringLiteral("PortName=COM3"), QStringLiteral("PortName=ROZIZER9")};
    QTest::newRow("same names") << QStringList{install, QStringLiteral("PortName=COM9"), QStringLiteral("PortName=COM9")};
    QTest::newRow("path") << QStringList{install, QStringLiteral("PortName=../COM9"), QStringLiteral("PortName=ROZIZER9")};
    QTest::newRow("hidden") << QStringList{install, QStringLiteral("PortName=.pairs"), QStringLiteral("PortName=ROZIZER9")};
    QTest::newRow("empty") << QStringList{install, QStringLiteral("PortName="), QStringLiteral("PortName=ROZIZER9")};
    QTest::newRow("no PortName") << QStringList{install, QStringLiteral("COM9"), QStringLiteral("PortName=ROZIZER9")};
    QTest::newRow("one name") << QStringList{install, QStringLiteral("PortName=COM9")};
    QTest::newRow("unknown command") << QStringList{QStringLiteral("create")};
}

void TestSetupc::installRefusesBadInput()
{
    QFETCH(QStringList, arguments);
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    const int exitCode = runTool(QStringLiteral("setupc"), arguments);
    QVERIFY(exitCode > 0);
    QCOMPARE(listOutput(), QStringLiteral("       CNCA0 PortName=COM3\n       CNCB0 PortName=ROZIZER3\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("COM3")}));
    QCOMPARE(dir.processes().size(), 1);
}

void TestSetupc::holderIsDetached()
{
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    const qint64 holder = holderOf(dir, 0);
    QCOMPARE(dir.processes(), QList<qint64>{holder});

    // A session of its own (it left the one it was started in, and cannot take a
    // controlling terminal back since it does not lead it), nothing of the caller's
    // left open.
    QVERIFY(::getsid(pid_t(holder)) > 0);
    QVERIFY(::getsid(pid_t(holder)) != ::getsid(0));
    QVERIFY(::getsid(pid_t(holder)) != pid_t(holder));
    for (int fd = 0; fd < 3; ++fd)
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/fd/%2").arg(holder).arg(fd)).symLinkTarget(),
                 QStringLiteral("/dev/null"));
    // The terminal's master and slave, the socket relays ask and the pairs' folder.
    const QStringList fds = QDir(QStringLiteral("/proc/%1/fd").arg(holder))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(fds.size(), 3 + 4);
}

QTEST_GUILESS_MAIN(TestSetupc)
#include "tst_setupc.moc"
