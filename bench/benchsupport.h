#pragma once

#include <functional>

// Runs the event loop until `done` answers true; false after `timeoutMs`.
bool waitFor(const std::function<bool()> &done, int timeoutMs);
