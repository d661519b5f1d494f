#include "model/blowfish.h"

#include <QtEndian>
#include <QtGlobal>

#include <utility>

#include "model/blowfish_tables.h"

namespace {

constexpr int BlockSize = 8;

// Big-endian words from the hexadecimal text of a table.
template<std::size_t N>
void loadWords(const char *hex, quint32 *words)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    Q_ASSERT(bytes.size() == qsizetype(N * 4));
    for (std::size_t i = 0; i < N; ++i)
        words[i] = qFromBigEndian<quint32>(bytes.constData() + i * 4);
}

} // namespace

Blowfish::Blowfish(const QByteArray &key)
    : m_key(key)
{
}

void Blowfish::setPaddingEnabled(bool enabled)
{
    m_paddingEnabled = enabled;
}

bool Blowfish::isPaddingEnabled() const
{
    return m_paddingEnabled;
}

QByteArray Blowfish::encrypted(const QByteArray &clearText)
{
    if (clearText.isEmpty())
        return {};

    QByteArray data = clearText;
    if (m_paddingEnabled) {
        const int n = BlockSize - (data.size() % BlockSize);
        data.append(n, char(n));
    } else if (data.size() % BlockSize != 0) {
        QMessageLogger().warning("Cannot encrypt. Clear-text length is not a multiple of 8 and padding is not enabled.");
        return {};
    }

    if (!init())
        return {};

    char *bytes = data.data();
    for (qsizetype i = 0; i < data.size(); i += BlockSize)
        encryptBlock(bytes + i);
    return data;
}

QByteArray Blowfish::decrypted(const QByteArray &cipherText)
{
    if (cipherText.isEmpty() || cipherText.size() % BlockSize != 0 || !init())
        return {};

    QByteArray data = cipherText;
    char *bytes = data.data();
    for (qsizetype i = 0; i < data.size(); i += BlockSize)
        decryptBlock(bytes + i);

    if (!m_paddingEnabled)
        return data;

    const int n = quint8(data.back());
    if (n > data.size())
        return {};
    for (qsizetype i = data.size() - n; i < data.size(); ++i) {
        if (quint8(data.at(i)) != n)
            return {};
    }
    data.chop(n);
    return data;
}

bool Blowfish::init()
{
    if (m_initialised)
        return true;
    if (m_key.isEmpty()) {
        QMessageLogger().warning("Cannot init. Key is empty.");
        return false;
    }

    loadWords<18>(BlowfishTables::parray, m_p.data());
    loadWords<256>(BlowfishTables::sbox1, m_s.data());
    loadWords<256>(BlowfishTables::sbox2, m_s.data() + 256);
    loadWords<256>(BlowfishTables::sbox3, m_s.data() + 512);
    loadWords<256>(BlowfishTables::sbox4, m_s.data() + 768);

    // The key, repeated, is laid byte for byte over the P-array as it is written out.
    const qsizetype keyLength = m_key.size();
    for (int i = 0; i < int(m_p.size()); ++i) {
        quint32 word = 0;
        for (int j = 0; j < 4; ++j)
            word = (word << 8) | quint8(m_key.at((i * 4 + j) % keyLength));
        m_p[i] ^= word;
    }

    // Each table is refilled with the chained encryption of a zero block, using the
    // tables as they stand at that moment.
    quint32 l = 0;
    quint32 r = 0;
    for (std::size_t i = 0; i < m_p.size(); i += 2) {
        encryptWords(l, r);
        m_p[i] = l;
        m_p[i + 1] = r;
    }
    for (std::size_t i = 0; i < m_s.size(); i += 2) {
        encryptWords(l, r);
        m_s[i] = l;
        m_s[i + 1] = r;
    }

    m_initialised = true;
    return true;
}

quint32 Blowfish::f(quint32 x) const
{
    return ((m_s[x >> 24] + m_s[256 + ((x >> 16) & 0xff)]) ^ m_s[512 + ((x >> 8) & 0xff)]) + m_s[768 + (x & 0xff)];
}

void Blowfish::encryptWords(quint32 &l, quint32 &r) const
{
    for (int i = 0; i < 16; ++i) {
        l ^= m_p[i];
        r ^= f(l);
        std::swap(l, r);
    }
    // The last round does not swap.
    std::swap(l, r);
    r ^= m_p[16];
    l ^= m_p[17];
}

void Blowfish::encryptBlock(char *block) const
{
    quint32 l = qFromBigEndian<quint32>(block);
    quint32 r = qFromBigEndian<quint32>(block + 4);
    encryptWords(l, r);
    qToBigEndian(l, block);
    qToBigEndian(r, block + 4);
}

void Blowfish::decryptBlock(char *block) const
{
    quint32 l = qFromBigEndian<quint32>(block);
    quint32 r = qFromBigEndian<quint32>(block + 4);
    l ^= m_p[17];
    r ^= m_p[16];
    for (int i = 15; i >= 0; --i) {
        if (i != 15)
            std::swap(l, r);
        r ^= f(l);
        l ^= m_p[i];
    }
    qToBigEndian(l, block);
    qToBigEndian(r, block + 4);
}
