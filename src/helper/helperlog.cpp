#include "helperlog.h"

#include <cstdio>

namespace {

// A log line stays one line of bounded length, whatever a client put into the text (a
// refusal may quote a member name or a path it sent).
constexpr qsizetype MaxLogCharacters = 2000;

} // namespace

void helperLog(const QString &text)
{
    QString line;
    for (const QChar c : text.left(MaxLogCharacters)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    if (text.size() > MaxLogCharacters)
        line += QStringLiteral("...");
    const QByteArray bytes = "corrivo2-helper: " + line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
