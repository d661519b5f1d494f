#pragma once

#include <QString>

// The process-wide log function. A message is written at Qt's info level when it
// passes the category filter and the verbosity; as shipped nothing passes.
void logMessage(qint32 level, const char *category, const char *function, QString message);

// Short form: category "all".
void logMessage(qint32 level, const char *function, QString message);
