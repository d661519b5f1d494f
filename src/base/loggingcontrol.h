#pragma once

#include <QString>

// Test hook: the product never calls these, so its verbosity stays 0 and its
// filter "None" for the whole run.
namespace LoggingControl {
void set(qint32 verbosity, const QString &categoryFilter);
qint32 verbosity();
QString categoryFilter();
} // namespace LoggingControl
