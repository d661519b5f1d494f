#include "base/logging.h"

#include <QDebug>

#include "base/loggingcontrol.h"

namespace {

qint32 g_verbosity = 0;
QString g_categoryFilter = QStringLiteral("None");

} // namespace

void logMessage(qint32 level, const char *category, const char *function, QString message)
{
    if (g_categoryFilter != QLatin1String("all") && g_categoryFilter != QString::fromUtf8(category))
        return;
    if (level == 0 || g_verbosity == 0 || level > g_verbosity)
        return;

    QDebug line = QMessageLogger().info();
    line.nospace().noquote() << QString::fromUtf8(function) << "(): ";
    line.quote() << message;
}

void logMessage(qint32 level, const char *function, QString message)
{
    logMessage(level, "all", function, std::move(message));
}

namespace LoggingControl {

void set(qint32 verbosity, const QString &categoryFilter)
{
    g_verbosity = verbosity;
    g_categoryFilter = categoryFilter;
}

qint32 verbosity()
{
    return g_verbosity;
}

QString categoryFilter()
{
    return g_categoryFilter;
}

} // namespace LoggingControl
