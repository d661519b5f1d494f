#include "stdinwatcher.h"

#include <cstdio>

void StdinWatcher::run()
{
    // Blocking reads are fine on this thread of its own; input is discarded.
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    emit endOfInput();
}
