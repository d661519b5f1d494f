#include "shell/sandbox.h"

#include <QByteArray>
#include <QtGlobal>

#include <unistd.h>

void disableWebEngineSandboxForRoot()
{
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArrayLiteral("1"));
}
