#pragma once

#include <QString>

// Set by the log a user switches on (base/logfile.h) and by tests; otherwise the
// verbosity stays 0 and the filter "None" for the whole run.
namespace LoggingControl {
void set(qint32 verbosity, const QString &categoryFilter);
qint32 verbosity();
QString categoryFilter();
} // namespace LoggingControl
