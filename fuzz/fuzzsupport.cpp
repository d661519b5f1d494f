#include "fuzzsupport.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

void keepSeriousMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Installed before any target code runs.
const QtMessageHandler g_previousHandler = qInstallMessageHandler(keepSeriousMessages);

} // namespace

namespace FuzzSupport {

void require(bool condition, const char *property, const std::string &detail)
{
    if (condition)
        return;
    std::fprintf(stderr, "==fuzz== property violated: %s\n", property);
    if (!detail.empty())
        std::fprintf(stderr, "==fuzz== %s\n", printable(detail).c_str());
    std::abort();
}

std::string printable(const std::string &bytes)
{
    std::string result;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n') || byte >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            result += escaped;
        } else {
            result += c;
        }
    }
    return result;
}

std::string text(const std::uint8_t *data, std::size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

QByteArray bytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace FuzzSupport
