#include "model/blowfish.h"

#include <QtEndian>
#include <QtGlobal>

#include "model/blowfish_tables.h"

namespace {

constexpr int BlockSize = 8;

quint32 wordAt(const QByteArray &table, int index)
{
    return qFromBigEndian<quint32>(table.constData() + index * 4);
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

    m_parray = QByteArray::fromHex(BlowfishTables::parray);
    m_sbox1 = QByteArray::fromHex(BlowfishTables::sbox1);
    m_sbox2 = QByteArray::fromHex(BlowfishTables::sbox2);
    m_sbox3 = QByteArray::fromHex(BlowfishTables::sbox3);
    m_sbox4 = QByteArray::fromHex(BlowfishTables::sbox4);

    const qsizetype keyLength = m_key.size();
    for (int i = 0; i < m_parray.size(); ++i)
        m_parray[i] = char(m_parray.at(i) ^ m_key.at(i % keyLength));

    // Each table is refilled with the chained encryption of a zero block, using the
    // tables as they stand at that moment.
    char block[BlockSize] = {};
    for (QByteArray *table : {&m_parray, &m_sbox1, &m_sbox2, &m_sbox3, &m_sbox4}) {
        for (qsizetype offset = 0; offset < table->size(); offset += BlockSize) {
            encryptBlock(block);
            std::copy(block, block + BlockSize, table->data() + offset);
        }
    }

    m_initialised = true;
    return true;
}

quint32 Blowfish::p(int index) const
{
    return wordAt(m_parray, index);
}

quint32 Blowfish::f(quint32 x) const
{
    const quint8 a = quint8(x >> 24);
    const quint8 b = quint8(x >> 16);
    const quint8 c = quint8(x >> 8);
    const quint8 d = quint8(x);
    return ((wordAt(m_sbox1, a) + wordAt(m_sbox2, b)) ^ wordAt(m_sbox3, c)) + wordAt(m_sbox4, d);
}

void Blowfish::encryptBlock(char *block) const
{
    quint32 l = qFromBigEndian<quint32>(block);
    quint32 r = qFromBigEndian<quint32>(block + 4);
    for (int i = 0; i < 16; ++i) {
        l ^= p(i);
        r ^= f(l);
        if (i != 15)
            std::swap(l, r);
    }
    r ^= p(16);
    l ^= p(17);
    qToBigEndian(l, block);
    qToBigEndian(r, block + 4);
}

void Blowfish::decryptBlock(char *block) const
{
    quint32 l = qFromBigEndian<quint32>(block);
    quint32 r = qFromBigEndian<quint32>(block + 4);
    l ^= p(17);
    r ^= p(16);
    for (int i = 15; i >= 0; --i) {
        if (i != 15)
            std::swap(l, r);
        r ^= f(l);
        l ^= p(i);
    }
    qToBigEndian(l, block);
    qToBigEndian(r, block + 4);
}
