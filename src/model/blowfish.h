#pragma once

#include <QByteArray>

// Blowfish block cipher in ECB mode with optional PKCS#5 padding, on byte arrays.
// An object serves one operation: the key schedule runs lazily on first use.
// Every failure yields an empty array.
class Blowfish
{
public:
    explicit Blowfish(const QByteArray &key);

    void setPaddingEnabled(bool enabled);
    bool isPaddingEnabled() const;

    QByteArray encrypted(const QByteArray &clearText);
    QByteArray decrypted(const QByteArray &cipherText);

private:
    bool init();
    quint32 f(quint32 x) const;
    void encryptBlock(char *block) const;
    void decryptBlock(char *block) const;
    quint32 p(int index) const;

    QByteArray m_key;
    bool m_initialised = false;
    bool m_paddingEnabled = false;
    QByteArray m_parray;
    QByteArray m_sbox1;
    QByteArray m_sbox2;
    QByteArray m_sbox3;
    QByteArray m_sbox4;
};
