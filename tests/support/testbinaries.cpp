#include "testbinaries.h"

#include <QCoreApplication>
#include <QDir>

namespace TestBinaries {

QString path(const QString &name)
{
    QString directory = qEnvironmentVariable("CORRIVO_BIN_DIR");
    if (directory.isEmpty())
        directory = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return QDir(directory).absoluteFilePath(name);
}

} // namespace TestBinaries
