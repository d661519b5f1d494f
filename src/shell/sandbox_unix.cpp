#include "shell/sandbox.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <unistd.h>

void configureWebEngineSandbox()
{
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArrayLiteral("1"));
        return;
    }
    // The renderer shows device web pages that are not ours: a desktop user's window
    // keeps its sandbox even when the environment it inherited (a variable exported
    // for a run as root, a shell profile) would switch it off.
    qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    const QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.isEmpty())
        return;
    QList<QByteArray> kept;
    for (const QByteArray &flag : flags.simplified().split(' ')) {
        if (flag != "--no-sandbox")
            kept.append(flag);
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", kept.join(' '));
}
