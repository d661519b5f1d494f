#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

#include "base/loggingcontrol.h"

namespace {

QMutex g_mutex;
QStringList g_lines;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg) {
        QMutexLocker locker(&g_mutex);
        g_lines.append(message);
    } else if (g_previous) {
        g_previous(type, context, message);
    }
}

} // namespace

LogCapture::LogCapture(int verbosity)
{
    clear();
    LoggingControl::set(verbosity, QStringLiteral("all"));
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
    LoggingControl::set(0, QStringLiteral("None"));
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&g_mutex);
    return g_lines;
}

bool LogCapture::contains(const QString &text) const
{
    QMutexLocker locker(&g_mutex);
    for (const QString &line : g_lines) {
        if (line.contains(text))
            return true;
    }
    return false;
}

void LogCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_lines.clear();
}
