#pragma once

#include <functional>

class MainWindow;

// The whole application: the command line, the sandbox choice, the main window with its
// supervisor, the termination signals and the event loop. Returns the exit status.
// `prepareWindow`, when given, sees every main window before its page runs, the
// replacements after a renderer crash included (the UI tests add their hook that way).
int runApplication(int argc, char *argv[], const std::function<void(MainWindow *)> &prepareWindow = {});
