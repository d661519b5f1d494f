#pragma once

#include <QString>

// Test fixtures share these helpers for the application's identity and a clean
// home directory, so every test starts from a fresh installation.
namespace TestHome {

// Sets the application identity the product sets in main and switches Qt's
// standard paths to test mode.
void setUpIdentity();

// Removes the settings file and every other file the application wrote.
void wipe();

// The path of the settings file for the current identity.
QString settingsFilePath();

} // namespace TestHome
