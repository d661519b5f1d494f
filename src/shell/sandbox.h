#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

// The web engine's renderer sandbox: off for root, which it refuses to run as, and on
// for everyone else whatever the environment says. Called from main before the
// application object exists.
void configureWebEngineSandbox();

// The switches of `flags` (QTWEBENGINE_CHROMIUM_FLAGS) that the application passes on
// to the web engine: only those of a short list that change logging and drawing, each
// written anew as "--name" or "--name=value". Everything else, whatever its spelling
// ("-name", "--name=value", quoted, after "--"), is left out and, when `dropped` is
// given, listed there as it was found.
QByteArray allowedWebEngineFlags(const QByteArray &flags, QList<QByteArray> *dropped = nullptr);

// Whether a command line would hand switches to the web engine: Qt passes it what
// follows "--webEngineArgs" (in any case of letters) when QTWEBENGINE_CHROMIUM_FLAGS is
// not set.
bool carriesWebEngineArguments(const QStringList &arguments);
