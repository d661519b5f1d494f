#pragma once

#include <QString>

namespace TestBinaries {

// A program of the build (the simulator, the helper, ...): in CORRIVO_BIN_DIR, which
// CTest sets, else in the build's bin directory beside the test.
QString path(const QString &name);

} // namespace TestBinaries
