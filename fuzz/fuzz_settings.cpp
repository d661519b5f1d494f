// The settings file's decoder: a QDataStream byte array, Blowfish-decrypted, holding a
// QDataStream map. A byte-exact file from the fuzzer rarely survives the cipher, so the
// first input byte picks what the rest is: the file itself (even) or the clear text,
// which is encrypted and framed here the way the writer does it (odd), to reach the
// map's decoding. Besides the sanitizers' findings: a map that was read encodes, and
// decodes back to a map that encodes byte for byte the same.

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QGuiApplication>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "model/hlvsettings.h"

namespace {

bool read(const QByteArray &file, QSettings::SettingsMap *map)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    return HlvSettingsFormat::read(buffer, *map);
}

// The map's encoding inside the cipher, as the writer makes it. The cipher itself is
// left out of the comparison: its key schedule is most of a run's time.
QByteArray encoded(const QSettings::SettingsMap &map)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << map;
    FuzzSupport::require(out.status() == QDataStream::Ok, "a map that was read can be written");
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The application reads its settings with its GUI application in place, and the
    // map may hold any type Qt GUI streams (images, pixmaps, fonts...), which need it.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QGuiApplication(*argc, *argv); // for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest = FuzzSupport::bytes(data + 1, size - 1);
    const QByteArray file = (data[0] & 1) ? HlvSettingsFormat::fileFor(rest) : rest;

    QSettings::SettingsMap map;
    if (!read(file, &map))
        return 0;

    const QByteArray first = encoded(map);
    QSettings::SettingsMap again;
    QDataStream in(first);
    in >> again;
    FuzzSupport::require(in.status() == QDataStream::Ok, "a written map reads back");
    FuzzSupport::require(encoded(again) == first, "a map read back is written the same");
    return 0;
}
