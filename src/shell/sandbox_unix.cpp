#include "shell/sandbox.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <cstdio>
#include <unistd.h>

void configureWebEngineSandbox()
{
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArrayLiteral("1"));
        return;
    }
    // The renderer shows device web pages that are not ours: a desktop user's window
    // keeps its sandbox even when the environment it inherited (a variable exported
    // for a run as root, a shell profile) would switch it off. The engine switches
    // that go on are those of a list known to leave the sandbox alone; every spelling
    // of any other one (--no-sandbox=1, -single-process, ...) stays behind.
    qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    if (!qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
        return;
    QList<QByteArray> dropped;
    const QByteArray kept = allowedWebEngineFlags(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"), &dropped);
    if (!dropped.isEmpty())
        std::fprintf(stderr, "corrivo2: web engine switches not passed on: %s\n", dropped.join(' ').constData());
    if (kept.isEmpty())
        qunsetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    else
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", kept);
}
