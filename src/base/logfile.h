#pragma once

#include <QString>
#include <QStringList>

// The log a user can switch on (--log or CORRIVO_LOG): every line of the logging
// facility, and Qt's own warnings, go to a file of the user's own instead of nowhere.
// The file is made owner-only (0600) in a directory only its owner may enter, rotated at
// a bounded size, and every line passes maskSecrets() on its way there.
namespace LogFile {

constexpr qint64 MaxBytes = 1024 * 1024;  // a file is rotated past this size
constexpr int KeptFiles = 3;              // corrivo2.log.1 .. corrivo2.log.3

// $XDG_STATE_HOME/corrivo2, or ~/.local/state/corrivo2.
QString defaultDirectory();

// Opens <directory>/corrivo2.log, installs the message handler and lets messages of
// every category up to `level` (1 to 4) through. False, with the reason, when the file
// cannot be had safely (a link or someone else's file in its place).
bool start(const QString &directory, int level, QString *error);
// Closes the file and restores Qt's own message handler (tests).
void stop();
QString path();

// Values known to be secret (a password, an API key) that no line may show, in any
// spelling the log would give them.
void addSecret(const QString &value);
// The line with credentials, keys and tokens replaced by "***".
QString maskSecrets(const QString &line);

// The value of --log[=LEVEL] or CORRIVO_LOG: 0 when off, else 1..4 (no value means 4);
// -1 for a value that is no level.
int levelFromText(const QString &text, bool given);

} // namespace LogFile
