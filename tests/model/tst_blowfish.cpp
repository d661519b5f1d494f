#include <QtTest>

#include "model/blowfish.h"

class TestBlowfish : public QObject
{
    Q_OBJECT

private slots:
    void publishedVectors_data();
    void publishedVectors();
    void paddedRoundTrip_data();
    void paddedRoundTrip();
    void emptyInput();
    void unpaddedLengthMustBeBlockMultiple();
    void cipherTextLengthMustBeBlockMultiple();
    void paddingCheck_data();
    void paddingCheck();
    void emptyKeyWarnsOnEveryScheduleAttempt();
    void ecbRepeatsEqualBlocks();
};

void TestBlowfish::publishedVectors_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("clear");
    QTest::addColumn<QByteArray>("cipher");

    QTest::newRow("zero") << QByteArray("0000000000000000") << QByteArray("0000000000000000")
                          << QByteArray("4EF997456198DD78");
    QTest::newRow("ones") << QByteArray("FFFFFFFFFFFFFFFF") << QByteArray("FFFFFFFFFFFFFFFF")
                          << QByteArray("51866FD5B85ECB8A");
    QTest::newRow("3000") << QByteArray("3000000000000000") << QByteArray("1000000000000001")
                          << QByteArray("7D856F9A613063F2");
    QTest::newRow("1111") << QByteArray("1111111111111111") << QByteArray("1111111111111111")
                          << QByteArray("2466DD878B963C9D");
    QTest::newRow("0123") << QByteArray("0123456789ABCDEF") << QByteArray("1111111111111111")
                          << QByteArray("61F9C3802281B096");
    QTest::newRow("FEDC") << QByteArray("FEDCBA9876543210") << QByteArray("0123456789ABCDEF")
                          << QByteArray("0ACEAB0FC6A0A28D");
    QTest::newRow("7CA1") << QByteArray("7CA110454A1A6E57") << QByteArray("01A1D6D039776742")
                          << QByteArray("59C68245EB05282B");
    // Keys longer than 8 bytes exercise the cycling of key bytes over the P-array.
    QTest::newRow("24-byte key") << QByteArray("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677")
                                 << QByteArray("FEDCBA9876543210") << QByteArray("05044B62FA52D080");
    QTest::newRow("1-byte key") << QByteArray("F0") << QByteArray("FEDCBA9876543210")
                                << QByteArray("F9AD597C49DB005E");
}

void TestBlowfish::publishedVectors()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, clear);
    QFETCH(QByteArray, cipher);

    Blowfish encryptor(QByteArray::fromHex(key));
    QCOMPARE(encryptor.encrypted(QByteArray::fromHex(clear)).toHex().toUpper(), cipher);

    Blowfish decryptor(QByteArray::fromHex(key));
    QCOMPARE(decryptor.decrypted(QByteArray::fromHex(cipher)).toHex().toUpper(), clear);
}

void TestBlowfish::paddedRoundTrip_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("cipherLength");

    QTest::newRow("1") << 1 << 8;
    QTest::newRow("7") << 7 << 8;
    QTest::newRow("8") << 8 << 16;
    QTest::newRow("16") << 16 << 24;
    QTest::newRow("1001") << 1001 << 1008;
}

void TestBlowfish::paddedRoundTrip()
{
    QFETCH(int, length);
    QFETCH(int, cipherLength);

    QByteArray clear(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        clear[i] = char(i * 7 + 3);

    Blowfish cipher(QByteArrayLiteral("Qrm$Tbx7w3kk9pa-zuLmorweD"));
    cipher.setPaddingEnabled(true);
    QVERIFY(cipher.isPaddingEnabled());
    const QByteArray encrypted = cipher.encrypted(clear);
    QCOMPARE(encrypted.size(), cipherLength);

    Blowfish raw(QByteArrayLiteral("Qrm$Tbx7w3kk9pa-zuLmorweD"));
    const QByteArray unpadded = raw.decrypted(encrypted);
    const int n = cipherLength - length;
    QCOMPARE(unpadded.right(n), QByteArray(n, char(n)));

    QCOMPARE(cipher.decrypted(encrypted), clear);
}

void TestBlowfish::emptyInput()
{
    Blowfish cipher(QByteArrayLiteral("key"));
    cipher.setPaddingEnabled(true);
    QVERIFY(cipher.encrypted(QByteArray()).isEmpty());
    QVERIFY(cipher.decrypted(QByteArray()).isEmpty());
}

void TestBlowfish::unpaddedLengthMustBeBlockMultiple()
{
    Blowfish cipher(QByteArrayLiteral("key"));
    QTest::ignoreMessage(QtWarningMsg,
                         "Cannot encrypt. Clear-text length is not a multiple of 8 and padding is not enabled.");
    QVERIFY(cipher.encrypted(QByteArray(10, 'a')).isEmpty());
    QCOMPARE(cipher.encrypted(QByteArray(16, 'a')).size(), 16);
}

void TestBlowfish::cipherTextLengthMustBeBlockMultiple()
{
    Blowfish cipher(QByteArrayLiteral("key"));
    cipher.setPaddingEnabled(true);
    QVERIFY(cipher.decrypted(QByteArray(12, 'a')).isEmpty());
}

void TestBlowfish::paddingCheck_data()
{
    QTest::addColumn<QByteArray>("lastBlock");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("emptyResult");

    QTest::newRow("count 0 keeps the block") << QByteArray::fromHex("4142434445464700")
                                             << QByteArray::fromHex("4142434445464700") << false;
    QTest::newRow("count 3") << QByteArray::fromHex("4142434445030303") << QByteArray("ABCDE") << false;
    QTest::newRow("count 3, mismatch") << QByteArray::fromHex("4142434445040303") << QByteArray() << true;
    QTest::newRow("count larger than the text") << QByteArray::fromHex("0909090909090909") << QByteArray()
                                                << true;
}

void TestBlowfish::paddingCheck()
{
    QFETCH(QByteArray, lastBlock);
    QFETCH(QByteArray, expected);
    QFETCH(bool, emptyResult);

    Blowfish raw(QByteArrayLiteral("padding key"));
    const QByteArray encrypted = raw.encrypted(lastBlock);
    QCOMPARE(encrypted.size(), 8);

    Blowfish padded(QByteArrayLiteral("padding key"));
    padded.setPaddingEnabled(true);
    const QByteArray result = padded.decrypted(encrypted);
    QCOMPARE(result.isEmpty(), emptyResult);
    QCOMPARE(result, expected);
}

void TestBlowfish::emptyKeyWarnsOnEveryScheduleAttempt()
{
    Blowfish cipher{QByteArray()};
    QTest::ignoreMessage(QtWarningMsg, "Cannot init. Key is empty.");
    QVERIFY(cipher.encrypted(QByteArray(8, 'x')).isEmpty());
    QTest::ignoreMessage(QtWarningMsg, "Cannot init. Key is empty.");
    QVERIFY(cipher.decrypted(QByteArray(16, 'x')).isEmpty());
    // Inputs that fail before the key schedule do not warn.
    QVERIFY(cipher.decrypted(QByteArray(5, 'x')).isEmpty());
    QVERIFY(cipher.encrypted(QByteArray()).isEmpty());
}

void TestBlowfish::ecbRepeatsEqualBlocks()
{
    Blowfish cipher(QByteArrayLiteral("ecb"));
    const QByteArray encrypted = cipher.encrypted(QByteArray("SAMEBLK!SAMEBLK!"));
    QCOMPARE(encrypted.size(), 16);
    QCOMPARE(encrypted.left(8), encrypted.mid(8));
    QVERIFY(encrypted.left(8) != QByteArray("SAMEBLK!"));
}

QTEST_APPLESS_MAIN(TestBlowfish)
#include "tst_blowfish.moc"
