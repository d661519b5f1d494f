#include "helperlog.h"

#include <cstdio>

void helperLog(const QString &text)
{
    const QByteArray line = "corrivo2-helper: " + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}
