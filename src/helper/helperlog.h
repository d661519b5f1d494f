#pragma once

#include <QString>

// One line on standard error, which the service manager keeps in its journal. Never
// given a profile or a credential.
void helperLog(const QString &text);
