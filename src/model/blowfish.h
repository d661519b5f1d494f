#pragma once

#include <QByteArray>

#include <array>

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
    void encryptWords(quint32 &l, quint32 &r) const;
    void encryptBlock(char *block) const;
    void decryptBlock(char *block) const;

    QByteArray m_key;
    bool m_initialised = false;
    bool m_paddingEnabled = false;
    // The key schedule as words: the whole settings file goes through this cipher on
    // every write, so a block takes table lookups and nothing else.
    std::array<quint32, 18> m_p = {};
    std::array<quint32, 4 * 256> m_s = {};
};
