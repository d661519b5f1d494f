#include "testhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include "corrivoconfig.h"
#include "model/hlvsettings.h"

namespace TestHome {

void setUpIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral(CORRIVO_ORGANIZATION_NAME));
    QCoreApplication::setOrganizationDomain(QStringLiteral(CORRIVO_ORGANIZATION_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(CORRIVO_APPLICATION_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORRIVO_APPLICATION_VERSION));
    QStandardPaths::setTestModeEnabled(true);
}

void wipe()
{
    {
        // Drops Qt's in-process cache of the file before it disappears.
        HlvSettings settings;
        settings.clear();
    }
    QFile::remove(settingsFilePath());
    for (auto location : {QStandardPaths::GenericConfigLocation, QStandardPaths::AppDataLocation}) {
        const QString dir = QStandardPaths::writableLocation(location);
        if (dir.contains(QLatin1String("qttest")))
            QDir(dir).removeRecursively();
    }
}

QString settingsFilePath()
{
    HlvSettings settings;
    return settings.fileName();
}

} // namespace TestHome
