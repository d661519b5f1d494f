#include <QtTest>

#include "shell/tunnelnotices.h"
#include "vpn/videru.h"
#include "vpn/viderusignals.h"

// What the desktop is told of the tunnel: one notice per change a person should hear
// of, none for a state entered again or for the bridge's own announcements. The
// controller is driven through its relay, as the worker drives it (worker 0 matches a
// controller without a worker).
class TestTunnelNotices : public QObject
{
    Q_OBJECT

private slots:
    void notices_data();
    void notices();
};

void TestTunnelNotices::notices_data()
{
    // Steps: c/C/d the relay's connecting, connected, disconnected; a/D the bridge's
    // announcement of a start and of an offline device; f a failed start.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("finalState");
    const QString connected = QStringLiteral("Connected: Connected to Gateway 01.");
    const QString lost = QStringLiteral("Connection lost: Reconnecting to Gateway 01…");
    const QString back = QStringLiteral("Connected again: The tunnel to Gateway 01 is back.");
    QTest::newRow("connect") << "cC" << QStringList{connected} << "Up";
    QTest::newRow("three drops and returns, repeated reconnect attempts")
        << "cC" "cccC" "ccC" "cC" << QStringList{connected, lost, back, lost, back, lost, back} << "Up";
    QTest::newRow("repeated connected says nothing") << "cCCC" << QStringList{connected} << "Up";
    QTest::newRow("the server ends it") << "cCd"
        << QStringList{connected, QStringLiteral("Disconnected: The tunnel to Gateway 01 was ended by the server.")}
        << "Down";
    QTest::newRow("ends while reconnecting") << "cCcd"
        << QStringList{connected, lost, QStringLiteral("Disconnected: The tunnel to Gateway 01 was ended by the server.")}
        << "Down";
    QTest::newRow("an attempt that never came up") << "cd" << QStringList() << "Down";
    QTest::newRow("the bridge's announcements while up") << "cCaD" << QStringList{connected} << "Connecting";
    QTest::newRow("a failed start") << "af" << QStringList{QStringLiteral("The tunnel did not start: line 3: refused")}
                                    << "Connecting";
}

void TestTunnelNotices::notices()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, expected);
    QFETCH(QString, finalState);

    VidEru vpn;
    vpn.setDeviceId(11);
    TunnelNotices notices;
    notices.bind(&vpn, nullptr, [](int id) { return id == 11 ? QStringLiteral("Gateway 01") : QString(); });
    QStringList heard;
    connect(&notices, &TunnelNotices::notice, this,
            [&heard](const QString &summary, const QString &body) { heard << summary + QStringLiteral(": ") + body; });

    VidEruSignals *relay = VidEruSignals::instance();
    for (const QChar step : steps) {
        switch (step.toLatin1()) {
        case 'c':
            emit relay->connecting(0);
            break;
        case 'C':
            emit relay->connected(0);
            break;
        case 'd':
            emit relay->disconnected(0);
            break;
        case 'a':
            vpn.announceConnecting(11);
            break;
        case 'D':
            vpn.announceDisconnected();
            break;
        case 'f':
            emit vpn.onStartFailed(QStringLiteral("line 3: refused"));
            break;
        }
        QCoreApplication::processEvents();
    }
    QCOMPARE(heard, expected);
    QCOMPARE(QString::fromLatin1(QMetaEnum::fromType<TunnelNotices::State>().valueToKey(int(notices.state()))),
             finalState);
}

QTEST_GUILESS_MAIN(TestTunnelNotices)
#include "tst_tunnelnotices.moc"
